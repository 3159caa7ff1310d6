// Fleet files: the instruments a medium is run on, one a line, and the
// default fleet around the medium's version.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <sstream>

#include "MediumCheck.h"
#include "SimDump.h"
#include "SimLogs.h"

namespace swsim {

namespace {

bool SafeName(const std::string& name)
{
    return !name.empty() && name[0] != '.' &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
               std::string::npos;
}

// The market a fleet file's "market=" names, as Market.ini will say it;
// empty when the updater's rules give no instrument of that name.
std::string KnownMarket(const std::string& value)
{
    std::string lower = value;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "internal") return "Internal";
    if (lower == "export") return "Export";
    return "";
}

// A dump= line takes its versions, market and logs from the dump; data=
// and logs= belong to one.
bool DumpLineFits(const FleetInstrument& inst, const std::string& where, std::string* why)
{
    if (inst.dump.empty()) {
        if (inst.data.empty() && inst.logs.empty()) return true;
        *why = where + "data= and logs= go with dump=FLASH";
        return false;
    }
    if (inst.data.empty()) {
        *why = where + "dump= needs data=DIR|ARCHIVE (the copy of /instrumentData)";
        return false;
    }
    if (!inst.running.empty() || !inst.installed.empty() || !inst.market.empty() || !inst.corruptLogs.empty() ||
        !inst.truncateLogs.empty()) {
        *why = where + "an instrument from a dump takes its versions, market and logs from the dump "
                       "(no running, installed, market, corrupt-log or truncate-log)";
        return false;
    }
    return true;
}

// A fleet file's path: as written when absolute, else relative to its directory.
std::string FromFleetDir(const std::string& fleetDir, const std::string& path)
{
    return path.empty() || path[0] == '/' ? path : fleetDir + "/" + path;
}

}  // namespace

int PrepareDumps(const std::string& fleetDir, const std::string& workDir, std::vector<FleetInstrument>* fleet,
                 std::string* why)
{
    for (auto& inst : *fleet) {
        if (inst.dump.empty()) continue;
        DumpOptions d;
        d.flash = FromFleetDir(fleetDir, inst.dump);
        d.data = FromFleetDir(fleetDir, inst.data);
        d.logs = FromFleetDir(fleetDir, inst.logs);
        d.mounted = inst.mounted;
        DumpMade made;
        inst.madeFrom = workDir + "/dumps/" + inst.name;
        const int rc = CreateFromDump(inst.madeFrom, d, &made, why);
        if (rc != 0) {
            *why = "fleet line " + std::to_string(inst.line) + ": " + *why;
            return rc == kDumpWrong ? kFleetDumpWrong : kExitCheckNotRun;
        }
        inst.running = made.running;
        inst.installed = made.installed;
        inst.market = made.market;
    }
    return 0;
}

std::string Trimmed(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool ParseFleet(const std::string& text, std::vector<FleetInstrument>* fleet, std::string* why)
{
    std::istringstream in(text);
    std::string line;
    std::set<std::string> names;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string where = "fleet line " + std::to_string(lineNo) + ": ";
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        FleetInstrument inst;
        inst.line = lineNo;
        if (!(words >> inst.name)) continue;
        if (!SafeName(inst.name) || inst.name.find('=') != std::string::npos) {
            *why = where + "\"" + inst.name + "\" is no instrument name (letters, digits, \".\", \"_\", \"-\")";
            return false;
        }
        if (!names.insert(inst.name).second) {
            *why = where + "instrument " + inst.name + " is named twice";
            return false;
        }
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            const std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
            if (eq == std::string::npos || value.empty()) {
                *why = where + "\"" + word + "\" is not KEY=VALUE";
                return false;
            }
            if ((key == "running" || key == "installed") && !SplitVersion(value).ok) {
                *why = where + word + ": " + value + " is not a version (MAJOR.MINOR, e.g. 2.4)";
                return false;
            }
            if (key == "running") {
                inst.running = value;
            } else if (key == "installed") {
                inst.installed = value;
            } else if (key == "market") {
                inst.market = KnownMarket(value);
                if (inst.market.empty()) {
                    *why = where + word + ": the updater tells apart only internal and market instruments "
                                          "(market=internal or market=Export)";
                    return false;
                }
            } else if (key == "mounted") {
                if (value != "yes" && value != "no") {
                    *why = where + word + ": mounted is yes or no";
                    return false;
                }
                inst.mounted = value == "yes";
            } else if (key == "dump" || key == "data" || key == "logs") {
                (key == "dump" ? inst.dump : key == "data" ? inst.data : inst.logs) = value;
            } else if (key == "corrupt-log" || key == "truncate-log") {
                if (!FindLog(value)) {
                    *why = where + "unknown log " + value;
                    return false;
                }
                (key == "corrupt-log" ? inst.corruptLogs : inst.truncateLogs).push_back(value);
            } else {
                *why = where + "unknown key " + key +
                       " (running, installed, market, mounted, corrupt-log, truncate-log, dump, data, logs)";
                return false;
            }
        }
        if (!DumpLineFits(inst, where, why)) return false;
        if (inst.running.empty() && inst.dump.empty()) {
            *why = where + "instrument " + inst.name + " needs running=VERSION (or dump=FLASH data=...)";
            return false;
        }
        fleet->push_back(inst);
    }
    if (fleet->empty()) {
        *why = "the fleet file names no instrument";
        return false;
    }
    return true;
}

std::string VersionBelow(const std::string& version)
{
    const VersionParts v = SplitVersion(version);
    if (!v.ok) return "1.0";
    if (v.minor > 0) {
        // A minor written with a leading zero keeps its width (2.05: 2.04).
        std::string minor = std::to_string(v.minor - 1);
        if (v.minorText.size() > 1 && v.minorText[0] == '0') {
            minor = std::string(v.minorText.size() - std::min(v.minorText.size(), minor.size()), '0') + minor;
        }
        return std::to_string(v.major) + "." + minor;
    }
    if (v.major > 0) return std::to_string(v.major - 1) + ".9";
    return std::to_string(v.major) + "." + (v.minorText.empty() ? "0" : v.minorText);
}

std::string VersionAbove(const std::string& version)
{
    const VersionParts v = SplitVersion(version);
    if (!v.ok) return "99.0";
    // The next minor with the same number of digits; past its last one
    // (2.9, 2.99), the next major.
    const size_t width = std::max<size_t>(1, v.minorText.size());
    std::string minor = std::to_string(v.minor + 1);
    if (minor.size() > width) return std::to_string(v.major + 1) + ".0";
    minor = std::string(width - minor.size(), '0') + minor;
    return std::to_string(v.major) + "." + minor;
}

std::string FleetLine(const FleetInstrument& inst)
{
    if (!inst.dump.empty()) {
        std::string line = inst.name + " dump=" + inst.dump + " data=" + inst.data;
        if (!inst.logs.empty()) line += " logs=" + inst.logs;
        return line + (inst.mounted ? " mounted=yes" : " mounted=no");
    }
    std::string line = inst.name + " running=" + inst.running;
    if (!inst.installed.empty()) line += " installed=" + inst.installed;
    if (!inst.market.empty()) line += " market=" + inst.market;
    line += inst.mounted ? " mounted=yes" : " mounted=no";
    for (const auto& log : inst.corruptLogs) line += " corrupt-log=" + log;
    for (const auto& log : inst.truncateLogs) line += " truncate-log=" + log;
    return line;
}

std::vector<FleetInstrument> DefaultFleet(const std::string& mediumVersion, const std::string& fieldVersion)
{
    std::string v = mediumVersion.substr(0, mediumVersion.find('\n'));
    const std::string below = fieldVersion.empty() ? VersionBelow(v) : fieldVersion, above = VersionAbove(v);
    // The kinds the field has: a fresh instrument (no partition mounted,
    // as it leaves the factory or service); one whose file systems are
    // mounted (/app, /fonts: a flag the updater does not read as YES keeps
    // those partitions there) and whose revision history is corrupt
    // (validated, copied aside, backed up and recreated); and a market
    // instrument on a newer version, which must refuse. Three runs: the
    // check's cost stays that of the fleet it replaces.
    std::vector<FleetInstrument> fleet(3);
    fleet[0].name = "internal-" + below;
    fleet[0].running = below;
    fleet[1].name = "market-" + below + "-mounted";
    fleet[1].running = below;
    fleet[1].market = "Export";
    fleet[1].mounted = true;
    fleet[1].corruptLogs = {"RevHistory.log"};
    fleet[2].name = "market-" + above;
    fleet[2].running = above;
    fleet[2].market = "Export";
    fleet[2].mounted = true;
    return fleet;
}

std::string VersionAsRead(const MediumFacts& facts)
{
    // A text that is MAJOR.MINOR keeps its writing (2.05 stays 2.05, so the
    // fleet around it is 2.04 and 2.06); any other is placed by the number
    // the updater compares.
    std::string t = Trimmed(facts.versionText);
    if (SplitVersion(t).ok && !t.empty() && t[0] != '.') return t;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(facts.versionValue));
    std::string read = text;
    while (read.size() > 3 && read.back() == '0' && read[read.size() - 2] != '.') read.pop_back();
    return read;
}

bool ChooseFleet(const MediumFacts& facts, std::vector<FleetInstrument>* fleet, std::vector<Finding>* findings,
                 const std::string& fieldVersion)
{
    if (!fleet->empty()) return true;
    if (facts.haveVersion) {
        *fleet = DefaultFleet(VersionAsRead(facts), fieldVersion);
        return true;
    }
    // A medium without a version (or without file0) never starts an
    // update: no instrument would do anything with it.
    Finding f;
    f.severity = Finding::Warning;
    f.check = kFleetVersionCheck;
    f.package = "file0";
    f.file = "swVersion";
    f.what = "the medium has no version: no instrument starts its update, so the fleet was not run";
    f.effect = "no instrument offers or installs this update";
    findings->push_back(f);
    return false;
}

}  // namespace swsim
