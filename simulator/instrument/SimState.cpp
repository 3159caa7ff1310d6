#include "SimState.h"

#include <ctime>
#include <cstdio>
#include <sstream>

#include "SimFiles.h"
#include "SimFlash.h"
#include "SimLogs.h"

namespace swsim {

StatePaths::StatePaths(const std::string& dir) : root(AbsolutePath(dir)) {}

bool SafeStateDir(const std::string& dir, std::string* why)
{
    const std::string abs = AbsolutePath(dir);
    static const char* const forbidden[] = {"/tmp", "/usbdongle", "/instrumentData", "/log",
                                            "/dev", "/proc", "/usr", "/etc", "/bin", "/sbin",
                                            "/lib", "/lib64", "/boot", "/var", "/home", "/root"};
    if (abs == "/") {
        *why = "the state directory cannot be /";
        return false;
    }
    for (const char* f : forbidden) {
        if (abs == f) {
            *why = "the state directory cannot be the host's own " + abs;
            return false;
        }
    }
    return true;
}

namespace {

// The damage `o` asks for done to the log `spec` names: one record's CRC
// made wrong (the record at position 1), or the log cut half a record short.
void DamageLog(const CreateOptions& o, const LogSpec& spec, std::vector<uint8_t>* log)
{
    const size_t record = RecordSize(spec.infoLength);
    for (const auto& c : o.corruptLogs) {
        if (c == spec.name && log->size() >= 2 * record) (*log)[record + 9] ^= 0x5A;
    }
    for (const auto& t : o.truncateLogs) {
        if (t == spec.name && log->size() >= record / 2) log->resize(log->size() - record / 2);
    }
}

bool Fail(std::string* why, const std::string& text)
{
    *why = text;
    return false;
}

// The logs a factory instrument carries: its revision history and a few
// diagnostic entries, all valid.
bool WriteFactoryLogs(const StatePaths& s, const CreateOptions& o, std::string* why)
{
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    const uint32_t day = 86400;
    for (const auto& spec : InstrumentLogs()) {
        std::vector<uint8_t> log = EmptyLog(spec);
        const std::string name = spec.name;
        if (name == "RevHistory.log") {
            PutRecord(&log, spec, 0, 1, RevisionEntry(now - 400 * day, 1, 0));
            PutRecord(&log, spec, 1, 2, RevisionEntry(now - 200 * day, 2, 0));
            int major = 0, minor = 0;
            std::sscanf((o.installed.empty() ? o.version : o.installed).c_str(), "%d.%d", &major, &minor);
            PutRecord(&log, spec, 2, 3, RevisionEntry(now - 30 * day, major, minor));
        } else if (name == "Diag.log") {
            PutRecord(&log, spec, 0, 1, DiagEntry(now - 20 * day, 12001, {0x01, 0, 0, 0, 0x2a, 0, 0, 0}));
            PutRecord(&log, spec, 1, 2, DiagEntry(now - 3 * day, 12017, {0x07, 0, 0, 0}));
        } else if (name == "DisplayedError.log") {
            std::vector<uint8_t> info = {0, 0, 0, 0, 0x21, 0x2f, 0, 0};
            const uint32_t t = now - 3 * day;
            for (int i = 0; i < 4; ++i) info[i] = static_cast<uint8_t>(t >> (8 * i));
            PutRecord(&log, spec, 0, 1, info);
        }
        DamageLog(o, spec, &log);
        if (!WriteBytes(s.instrumentData() + "/" + name, log.data(), log.size(), 0644, why)) return false;
    }
    return true;
}

}  // namespace

bool MayReplace(const std::string& dir, bool force, std::string* why)
{
    const StatePaths s(dir);
    if (!IsDirectory(s.root) || ListDir(s.root).empty()) return true;
    if (!force) return Fail(why, s.root + " is not empty (use --force to replace a simulated instrument there)");
    if (!PathExists(s.marker())) return Fail(why, s.root + " holds no simulated instrument; not removing anything there");
    return true;
}

bool DamageLogs(const StatePaths& s, const CreateOptions& o, std::string* why)
{
    for (const auto& spec : InstrumentLogs()) {
        std::vector<uint8_t> log;
        const std::string path = s.instrumentData() + "/" + spec.name;
        if (!ReadBytes(path, &log)) continue;
        const std::vector<uint8_t> was = log;
        DamageLog(o, spec, &log);
        if (log != was && !WriteBytes(path, log.data(), log.size(), 0644, why)) return false;
    }
    return true;
}

int CreateInstrument(const std::string& dir, const CreateOptions& o, std::string* why)
{
    if (!SafeStateDir(dir, why)) return 1;
    const StatePaths s(dir);
    for (const auto& n : o.corruptLogs) {
        if (!FindLog(n)) return Fail(why, "unknown log " + n), 1;
    }
    for (const auto& n : o.truncateLogs) {
        if (!FindLog(n)) return Fail(why, "unknown log " + n), 1;
    }
    if (!MayReplace(dir, o.force, why)) return 1;
    if (IsDirectory(s.root) && !ListDir(s.root).empty()) {
        for (const auto& name : ListDir(s.root)) {
            if (!RemoveTree(s.root + "/" + name, why)) return 1;
        }
    }
    const std::string installed = o.installed.empty() ? o.version : o.installed;
    for (const auto& d : {s.root, s.sim(), s.tmp(), s.usbdongle(), s.medium(), s.log() + "/swVersion",
                          s.instrumentData() + "/swVersion", s.instrumentData() + "/Inifiles"}) {
        if (!MakeDirs(d, why)) return 1;
    }
    const auto flash = FactoryFlash(installed);
    if (!WriteBytes(s.flash(), flash.data(), flash.size(), 0644, why)) return 1;
    if (!WriteText(s.log() + "/swVersion/swVersion", o.version + "\n", 0644, why)) return 1;
    if (!WriteText(s.instrumentData() + "/swVersion/swVersion", installed + "\n", 0644, why)) return 1;
    if (!o.market.empty() &&
        !WriteText(s.instrumentData() + "/Inifiles/Market.ini",
                   "[Instrument]\nSerial=SIM-0001\nMarket=" + o.market + "\n", 0644, why)) {
        return 1;
    }
    for (const auto& p : FactoryLayout()) {
        const auto image = PartitionImage(p.name, "FACTORY " + installed, p.size);
        char text[32];
        std::snprintf(text, sizeof text, "%08x\n", Crc32(image.data(), image.size()));
        const std::string crcName = p.name.substr(0, p.name.rfind('.')) + ".crc";
        if (!WriteText(s.instrumentData() + "/" + crcName, text, 0644, why)) return 1;
    }
    if (!WriteText(s.instrumentData() + "/extlog.dat", "external log of software " + installed + "\n", 0644,
                   why)) {
        return 1;
    }
    if (!WriteFactoryLogs(s, o, why)) return 1;
    if (!WriteText(s.boardTools(), "", 0644, why)) return 1;
    std::string marker = "version=" + o.version + "\ninstalled=" + installed + "\nmarket=" + o.market + "\n";
    if (o.mounted) marker += FactoryMountsLine();
    if (!WriteText(s.marker(), marker, 0644, why)) return 1;
    return 0;
}

int CopyInstrument(const std::string& from, const std::string& to, std::string* why)
{
    const StatePaths f(from), t(to);
    if (!PathExists(f.marker())) {
        *why = f.root + " holds no simulated instrument (swsim create first)";
        return 1;
    }
    if (IsDirectory(t.root) && !ListDir(t.root).empty()) {
        if (!PathExists(t.marker())) {
            *why = t.root + " holds no simulated instrument; not replacing anything there";
            return 1;
        }
        if (!RemoveTree(t.root, why)) return 1;
    }
    if (!MakeDirs(t.sim(), why)) return 1;
    for (const auto& dir : {f.tmp(), f.usbdongle(), f.instrumentData(), f.log(), f.medium()}) {
        const std::string into = t.root + dir.substr(f.root.size());
        if (IsDirectory(dir) ? !CopyTree(dir, into, why) : !MakeDirs(into, why)) return 1;
    }
    for (const auto& file : {f.flash(), f.boardTools(), f.marker()}) {
        if (PathExists(file) && !CopyFileTo(file, t.root + file.substr(f.root.size()), why)) return 1;
    }
    return 0;
}

std::string FactoryMountsLine()
{
    std::string mounts;
    for (const auto& d : MountDirsOf(FactoryLayout())) mounts += (mounts.empty() ? "" : " ") + d;
    return "mounts=" + mounts + "\n";
}

std::vector<std::string> InstrumentMountDirs(const std::string& dir)
{
    std::istringstream words(RecordValue(ReadTextOr(StatePaths(dir).marker(), ""), "mounts"));
    std::vector<std::string> dirs;
    std::string d;
    while (words >> d) dirs.push_back(d);
    return dirs;
}

std::string RecordValue(const std::string& text, const std::string& key)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
        pos = end + 1;
    }
    return "";
}

}  // namespace swsim
