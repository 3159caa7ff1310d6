// The static checks: the medium's packages unpacked into a scratch /tmp as
// the start-up and the updater unpack them, then every control file and
// flash map line judged by what the updater will do with it.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "MediumCheck.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimMedium.h"

namespace swsim {

const char* SeverityName(Finding::Severity s)
{
    return s == Finding::Error ? "error" : "warning";
}

const std::vector<CheckInfo>& AllChecks()
{
    static const std::vector<CheckInfo> checks = {
        {"package-present", "file0 and every package the updater unpacks are on the medium", false},
        {"package-format", "every package is a gzip-compressed tar archive", false},
        {"package-members", "no member leaves /tmp (absolute path, \"..\", link, device)", false},
        {"version-file", "swVersion is readable as a version", false},
        {"repartition-script", "FlashRepartition.sh is present, executable and accepted by mksh -n", false},
        {"backup-script", "SwUpdate_backup.sh is present and accepted by mksh -n", false},
        {"estimate-file", "estUpdateTime is present and a number of seconds", false},
        {"version-order", "the version compares as a number the way it reads as major.minor", false},
        {"version-leading-zero", "the minor part has no leading zero", false},
        {"version-range", "major and minor are at most 99 (the revision history's limit)", false},
        {"version-zero", "a version beginning \"0.\" has every image it writes in file1", false},
        {"map-present", "the packages deliver a flash map", false},
        {"map-line-ends", "no line saying YES ends in CR", false},
        {"map-ignored-lines", "no line that looks like a partition is rejected or skipped", false},
        {"map-start", "every start is a decimal number from 0 to 16000 KiB", false},
        {"map-fit", "every image fits into the flash from its start", false},
        {"map-overlap", "written partitions do not overlap each other or a kept one", false},
        {"map-image-missing", "every image a written line names is delivered", false},
        {"map-unnamed-files", "every delivered image and CRC file is named by a line", false},
        {"crc-written", "every written image has its CRC file, and it matches", false},
        {"crc-kept", "the medium carries the CRC files of the kept partitions", false},
        {"estimate-duration", "the estimate is not shorter than the update on the instruments", true},
    };
    return checks;
}

VersionParts SplitVersion(const std::string& text)
{
    VersionParts v;
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    const size_t dot = t.find('.');
    const std::string major = t.substr(0, dot);
    v.minorText = dot == std::string::npos ? "" : t.substr(dot + 1);
    const auto digits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    v.ok = digits(major) && (dot == std::string::npos || digits(v.minorText));
    v.major = std::atoi(major.c_str());
    v.minor = std::atoi(v.minorText.c_str());
    return v;
}

float VersionValue(const std::string& text)
{
    float value = 0.0f;
    if (std::sscanf(text.c_str(), "%f", &value) != 1) value = 0.0f;
    return value;
}

bool MarketIsInternal(const std::string& market)
{
    // The simulated instrument's Market.ini holds "Market=" + the market.
    return market.empty() || ("Market=" + market).find("Market=Internal") != std::string::npos;
}

namespace {

// One member of a package, from tar's verbose listing.
struct Member {
    char type = '-';     // '-' file, 'd' directory, 'l' symbolic link, 'h' hard link, 'c' 'b' 'p' devices
    std::string perms;   // "rwxr-xr-x"
    std::string name;
    std::string target;  // of a link
};

struct Package {
    std::string name;    // "file1"
    std::string path;
    bool present = false;
    bool readable = false;
    std::string error;   // tar's complaint
    std::vector<Member> members;
    std::set<std::string> files;  // normalised names of the regular files
};

// Unquotes a C-quoted name from tar's listing, starting at text[*pos] == '"'.
std::string Unquote(const std::string& text, size_t* pos)
{
    std::string out;
    size_t i = *pos + 1;
    while (i < text.size() && text[i] != '"') {
        char c = text[i++];
        if (c == '\\' && i < text.size()) {
            c = text[i++];
            switch (c) {
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            case 'a': c = '\a'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'v': c = '\v'; break;
            default:
                if (c >= '0' && c <= '7') {
                    int value = c - '0';
                    for (int k = 0; k < 2 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++k) {
                        value = value * 8 + (text[i++] - '0');
                    }
                    c = static_cast<char>(value);
                }
            }
        }
        out += c;
    }
    *pos = i + 1;
    return out;
}

bool IsListingLine(const std::string& line)
{
    if (line.size() < 12 || line[10] != ' ') return false;
    if (std::string("-dlhcbpsC").find(line[0]) == std::string::npos) return false;
    return line.find_first_not_of("rwxsStT-", 1) >= 10;
}

// Lists a package with the host's tar, which reads it as the updater's
// "tar --gunzip -xvf" does.
void ListPackage(Package* p)
{
    std::string output, why;
    const int status = RunProgram({"tar", "--gunzip", "-tvf", p->path, "--quoting-style=c", "--full-time",
                                   "--numeric-owner"},
                                  &output, &why);
    size_t pos = 0;
    std::string complaint;
    while (pos < output.size()) {
        size_t end = output.find('\n', pos);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(pos, end - pos);
        pos = end + 1;
        if (!IsListingLine(line)) {
            if (complaint.empty() && !line.empty()) complaint = line;
            continue;
        }
        size_t q = line.find('"');
        if (q == std::string::npos) continue;
        Member m;
        m.type = line[0];
        m.perms = line.substr(1, 9);
        m.name = Unquote(line, &q);
        const size_t arrow = line.find("-> \"", q);
        const size_t link = line.find("link to \"", q);
        if (m.type == 'l' && arrow != std::string::npos) {
            size_t t = arrow + 3;
            m.target = Unquote(line, &t);
        } else if (m.type == 'h' && link != std::string::npos) {
            size_t t = link + 8;
            m.target = Unquote(line, &t);
        }
        p->members.push_back(m);
    }
    p->readable = status == 0;
    if (!p->readable) p->error = complaint.empty() ? (status == -1 ? why : "tar failed") : complaint;
}

// "./a//b/./c" -> "a/b/c"; ".." stays (it is judged separately).
std::string NormalName(const std::string& name)
{
    std::string out;
    size_t pos = 0;
    while (pos <= name.size()) {
        size_t end = name.find('/', pos);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(pos, end - pos);
        if (!part.empty() && part != ".") out += (out.empty() ? "" : "/") + part;
        pos = end + 1;
    }
    return out;
}

// Resolves `path` lexically below `/tmp`; false when it leaves /tmp.
bool StaysInTmp(const std::string& absolute)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= absolute.size()) {
        size_t end = absolute.find('/', pos);
        if (end == std::string::npos) end = absolute.size();
        const std::string part = absolute.substr(pos, end - pos);
        if (part == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    return !parts.empty() && parts[0] == "tmp";
}

bool HasDotDot(const std::string& name)
{
    return ("/" + name + "/").find("/../") != std::string::npos;
}

// Why a member would leave /tmp when unpacked as root; empty when it stays.
std::string UnsafeMember(const Member& m)
{
    if (!m.name.empty() && m.name[0] == '/') return "has the absolute path " + m.name;
    if (HasDotDot(m.name)) return "has a \"..\" component";
    if (m.type == 'c' || m.type == 'b' || m.type == 'p') return "is a device node or FIFO";
    if (m.type == 'l') {
        const std::string dir = m.name.find('/') == std::string::npos ? "" : m.name.substr(0, m.name.rfind('/'));
        const std::string resolved = !m.target.empty() && m.target[0] == '/' ? m.target
                                                                               : "/tmp/" + dir + "/" + m.target;
        if (!StaysInTmp(resolved)) return "is a symbolic link to " + m.target + ", outside /tmp";
    }
    if (m.type == 'h' && (m.target.empty() || m.target[0] == '/' || HasDotDot(m.target))) {
        return "is a hard link to " + m.target + ", outside /tmp";
    }
    return "";
}

// Unpacks the regular files of a package that stay in /tmp (never its
// links, so no later member can be written through one) into `tmp`.
bool Unpack(const Package& p, const std::string& tmp, const std::string& listFile, std::string* why)
{
    std::string list;
    std::vector<const Member*> links;
    for (const auto& m : p.members) {
        if (!UnsafeMember(m).empty()) continue;
        if (m.type == '-') list += m.name + '\0';
        if (m.type == 'h') links.push_back(&m);
    }
    if (!list.empty()) {
        if (!WriteBytes(listFile, list.data(), list.size(), 0644, why)) return false;
        std::string output;
        const int status = RunProgram({"tar", "--gunzip", "-xf", p.path, "-C", tmp, "--no-same-owner",
                                       "--no-wildcards", "--no-recursion", "--null", "-T", listFile},
                                      &output, why);
        if (status == -1) return false;
        RemoveTree(listFile);
    }
    for (const Member* l : links) CopyFileTo(tmp + "/" + NormalName(l->target), tmp + "/" + NormalName(l->name));
    return true;
}

// Directories a fresh simulated instrument has (a partition whose mount
// directory exists is kept unless its line says YES).
bool InstrumentHasDirectory(const std::string& dir)
{
    static const std::set<std::string> dirs = {"/", "/tmp", "/usbdongle", "/instrumentData", "/log", "/proc",
                                               "/proc/boot", "/dev", "/usr", "/etc", "/bin", "/lib", "/sbin"};
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return dirs.count(d) > 0;
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

std::string Shown(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\0') out += "\\0";
        else out += c;
    }
    return out;
}

bool LooksLikeImage(const std::string& token, const std::set<std::string>& delivered)
{
    std::string lower = token;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("part") != std::string::npos || delivered.count(NormalName(token)) > 0 ||
           (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".bin") == 0);
}

// The first token of a line (separated as the updater separates them).
std::string FirstToken(const std::string& text)
{
    const size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return text.substr(b, text.find_first_of(" \t\n", b) - b);
}

// Where an image name the updater opens (relative to /tmp) lies in the
// scratch /tmp; empty when it lies outside /tmp.
std::string ScratchPathOf(const std::string& tmp, const std::string& name)
{
    if (name.empty()) return "";
    if (name[0] != '/') return HasDotDot(name) ? "" : tmp + "/" + NormalName(name);
    if (name.compare(0, 5, "/tmp/") == 0 && !HasDotDot(name)) return tmp + "/" + NormalName(name.substr(5));
    return "";
}

std::string BaseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

int CheckMediumStatic(const std::string& mediumDir, const std::string& workDir, MediumFacts* facts,
                      std::vector<Finding>* findings, std::string* why)
{
    const auto add = [findings](Finding::Severity s, const char* check, const std::string& package,
                                const std::string& file, int line, const std::string& what,
                                const std::string& effect) {
        Finding f;
        f.severity = s;
        f.check = check;
        f.package = package;
        f.file = file;
        f.line = line;
        f.what = what;
        f.effect = effect;
        findings->push_back(f);
    };
    const auto E = Finding::Error;
    const auto W = Finding::Warning;

    facts->medium = AbsolutePath(mediumDir);
    facts->tmpDir = AbsolutePath(workDir) + "/tmp";
    if (!RemoveTree(facts->tmpDir, why) || !MakeDirs(facts->tmpDir, why)) return kExitCheckNotRun;
    const std::string& tmp = facts->tmpDir;

    // The packages on the medium.
    std::map<int, Package> packages;
    for (const auto& name : ListDir(facts->medium)) {
        if (name.size() < 5 || name.size() > 10 || name.compare(0, 4, "file") != 0 ||
            name.find_first_not_of("0123456789", 4) != std::string::npos) {
            continue;
        }
        const int n = std::atoi(name.c_str() + 4);
        if (std::to_string(n) != name.substr(4)) continue;  // "file01" is no package
        Package& p = packages[n];
        p.name = name;
        p.path = facts->medium + "/" + name;
        p.present = IsRegularFile(p.path);
        if (p.present) ListPackage(&p);
    }
    std::map<std::string, std::string> owner;  // normalised file in /tmp -> package it came from
    const auto unpack = [&](Package& p) -> bool {
        for (const auto& m : p.members) {
            const std::string unsafe = UnsafeMember(m);
            if (!unsafe.empty()) {
                add(E, "package-members", p.name, m.name, 0, "member " + Shown(m.name) + " " + unsafe,
                    "the instrument unpacks the package as root, so this member would be created outside /tmp");
            } else if (m.type == '-' || m.type == 'h') {
                p.files.insert(NormalName(m.name));
                owner[NormalName(m.name)] = p.name;
            }
        }
        return Unpack(p, tmp, AbsolutePath(workDir) + "/members-" + p.name, why);
    };
    const auto checkFormat = [&](Package& p, const std::string& effect) {
        if (p.present && !p.readable) {
            add(E, "package-format", p.name, "", 0,
                p.name + " is not a readable gzip-compressed tar archive (" + p.error + ")", effect);
        }
    };

    // file0: what the start-up puts into /tmp before it starts the updater.
    Package& file0 = packages[0];
    file0.name = "file0";
    bool haveFile0 = file0.present && file0.readable;
    std::set<std::string> file0Files;
    if (!file0.present) {
        add(E, "package-present", "file0", "", 0, "file0 is missing",
            "the instrument sees no update medium: the start-up puts no control files into /tmp and no update "
            "is offered");
    } else {
        checkFormat(file0, "the start-up cannot put the control files into /tmp, so the update cannot run");
        if (!unpack(file0)) return kExitCheckNotRun;
        file0Files = file0.files;
    }

    // The version decides how many packages the updater unpacks.
    facts->haveVersion = haveFile0 && file0Files.count("swVersion") && ReadText(tmp + "/swVersion", &facts->versionText) &&
                         !facts->versionText.empty();
    const bool zeroVersion = facts->haveVersion && facts->versionText.compare(0, 2, "0.") == 0;
    facts->unpacked = zeroVersion ? 1 : 3;
    for (int i = 1; i <= facts->unpacked; ++i) {
        Package& p = packages[i];
        if (p.name.empty()) {
            p.name = "file" + std::to_string(i);
            p.path = facts->medium + "/" + p.name;
        }
        const std::string failEffect =
            "the updater's unpacking fails after the logs were validated and backed up: nothing is written, the "
            "failure screen is shown and the instrument reboots";
        if (!p.present) {
            add(E, "package-present", p.name, "", 0, p.name + " is missing", failEffect);
            facts->unpackable = false;
            continue;
        }
        checkFormat(p, failEffect);
        if (!p.readable) facts->unpackable = false;
        if (!unpack(p)) return kExitCheckNotRun;
    }

    // A later package that brings its own swVersion replaces file0's in /tmp:
    // the updater compares and asks with one version and installs the other.
    std::string laterVersion;
    if (facts->haveVersion && owner["swVersion"] != "file0" && ReadText(tmp + "/swVersion", &laterVersion) &&
        laterVersion != facts->versionText) {
        add(E, "version-file", owner["swVersion"], "swVersion", 0,
            owner["swVersion"] + " replaces file0's swVersion " + FirstLine(facts->versionText) + " with " +
                Shown(FirstLine(laterVersion)),
            "the updater decides and asks with " + FirstLine(facts->versionText) + " but installs " +
                Shown(FirstLine(laterVersion)) + " as the instrument's version");
    }

    // Control files.
    const auto inFile0 = [&](const char* name) { return haveFile0 && file0Files.count(name) > 0; };
    const auto memberOf0 = [&](const char* name) -> const Member* {
        for (const auto& m : file0.members) {
            if (NormalName(m.name) == name) return &m;
        }
        return nullptr;
    };
    const auto shellCheck = [&](const std::string& path, std::string* complaint) {
        std::string output, ignored;
        const int status = RunProgram({"mksh", "-n", path}, &output, &ignored);
        *complaint = FirstLine(output);
        return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    VersionParts version;
    if (haveFile0) {
        if (!facts->haveVersion) {
            add(E, "version-file", "file0", "swVersion", 0, "swVersion is missing or empty",
                "the updater reads \"No version found\": market instruments refuse the update, internal ones "
                "install it and keep their old version file");
        } else {
            version = SplitVersion(facts->versionText);
            const std::string v = FirstLine(facts->versionText);
            if (facts->versionText.find_first_of("0123456789") != 0) {
                add(E, "version-file", "file0", "swVersion", 0, "swVersion \"" + Shown(v) + "\" does not begin with a number",
                    "the updater compares it as 0.0, so market instruments refuse the update");
                version.ok = false;
            } else if (!version.ok) {
                char text[160];
                std::snprintf(text, sizeof text, "compares as %g and is recorded as %d.%d", VersionValue(v), version.major,
                              version.minor);
                add(W, "version-file", "file0", "swVersion", 0, "swVersion \"" + Shown(v) + "\" is not MAJOR.MINOR",
                    std::string("the updater ") + text + " in the revision history");
            }
        }
        const Member* repartition = memberOf0("FlashRepartition.sh");
        const std::string refused =
            "the updater refuses the update after the user agreed: the pre-update actions fail, the failure "
            "screen is shown and the instrument reboots unchanged";
        std::string complaint;
        if (!inFile0("FlashRepartition.sh")) {
            add(E, "repartition-script", "file0", "FlashRepartition.sh", 0, "FlashRepartition.sh is missing", refused);
        } else if (repartition && repartition->perms.find('x') == std::string::npos) {
            add(E, "repartition-script", "file0", "FlashRepartition.sh", 0,
                "FlashRepartition.sh is not executable (" + repartition->perms + ")", refused);
        } else if (!shellCheck(tmp + "/FlashRepartition.sh", &complaint)) {
            add(E, "repartition-script", "file0", "FlashRepartition.sh", 0,
                "mksh -n rejects FlashRepartition.sh: " + complaint, refused);
        }
        if (!inFile0("SwUpdate_backup.sh")) {
            add(E, "backup-script", "file0", "SwUpdate_backup.sh", 0, "SwUpdate_backup.sh is missing",
                "the backup fails: the instrument's data and logs are not saved to the medium before the flash is "
                "written, and the update goes on");
        } else if (!shellCheck(tmp + "/SwUpdate_backup.sh", &complaint)) {
            add(E, "backup-script", "file0", "SwUpdate_backup.sh", 0, "mksh -n rejects SwUpdate_backup.sh: " + complaint,
                "the backup stops at the syntax error: the instrument's data and logs are not saved to the medium "
                "before the flash is written, and the update goes on");
        }
        std::string estimate;
        if (!inFile0("estUpdateTime") || !ReadText(tmp + "/estUpdateTime", &estimate) || estimate.empty()) {
            add(W, "estimate-file", "file0", "estUpdateTime", 0, "estUpdateTime is missing or empty",
                "the start-up GUI's progress display gets no estimate of the update's duration");
        } else {
            facts->haveEstimate = true;
            facts->estimateSeconds = std::atoi(estimate.c_str());
            std::string t = FirstLine(estimate);
            while (!t.empty() && (t.back() == '\r' || t.back() == ' ')) t.pop_back();
            if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || facts->estimateSeconds <= 0) {
                add(W, "estimate-file", "file0", "estUpdateTime",
                    0, "estUpdateTime \"" + Shown(t) + "\" is not a positive whole number of seconds",
                    "the updater reads it as " + std::to_string(facts->estimateSeconds) +
                        " s for the start-up GUI's progress display");
            }
        }
    }

    // Version traps.
    if (version.ok) {
        const std::string v = FirstLine(facts->versionText);
        const size_t k = version.minorText.size();
        if (k >= 2 && version.minorText[0] != '0') {
            // The highest minor with one digit fewer compares higher as a
            // number: 2.9 > 2.10, 2.99 > 2.100.
            const std::string before = std::to_string(version.major) + "." + std::string(k - 1, '9');
            if (VersionValue(before) > VersionValue(v)) {
                char text[200];
                std::snprintf(text, sizeof text, "version %s compares as the number %g, below %s which it follows",
                              v.c_str(), VersionValue(v), before.c_str());
                add(E, "version-order", "file0", "swVersion", 0, text,
                    "market instruments running " + before + " refuse the update as not compatible");
            }
        }
        if (k >= 2 && version.minorText[0] == '0' && version.minor != 0) {
            char text[200];
            std::snprintf(text, sizeof text, "the minor part of %s has a leading zero", v.c_str());
            add(E, "version-leading-zero", "file0", "swVersion", 0, text,
                "the revision history of every instrument records it as " + std::to_string(version.major) + "." +
                    std::to_string(version.minor) + ", a different version");
        }
        if (version.major > 99 || version.minor > 99) {
            add(E, "version-range", "file0", "swVersion", 0, "version " + v + " has a part above 99",
                "the update installs, but the revision history gets no entry for it");
        }
    }

    // The flash map, as /tmp holds it after the unpacking.
    std::string map;
    const bool haveMap = ReadText(tmp + "/flashMap", &map) && !map.empty();
    std::set<std::string> delivered;  // every unpacked regular file
    for (const auto& o : owner) {
        if (IsRegularFile(tmp + "/" + o.first)) delivered.insert(o.first);
    }
    const std::string mapPackage = owner.count("flashMap") ? owner["flashMap"] : "";
    if (!haveMap) {
        std::string where;
        for (const auto& p : packages) {
            if (p.first > facts->unpacked && p.second.files.count("flashMap")) where = " (" + p.second.name + " holds one but is not unpacked)";
        }
        for (const auto& p : packages) {
            if (p.first > facts->unpacked && where.empty()) {
                for (const auto& m : p.second.members) {
                    if (NormalName(m.name) == "flashMap") where = " (" + p.second.name + " holds one but is not unpacked)";
                }
            }
        }
        if (facts->unpackable) {
            add(E, "map-present", mapPackage, "flashMap", 0, "no package delivers a non-empty flashMap" + where,
                "the updater finds no /tmp/flashMap after unpacking: it writes no partition image and the update is not installed");
        }
    }
    std::set<std::string> named;  // image names the lines give
    std::vector<MapLine> lines = haveMap ? ParseFlashMap(map) : std::vector<MapLine>();
    if (haveMap && map.find('\0') != std::string::npos) {
        const std::string rest = map.substr(map.find('\0'));
        if (rest.find_first_not_of(std::string("\0\r\n \t", 5)) != std::string::npos) {
            const int at = static_cast<int>(std::count(map.begin(), map.begin() + static_cast<long>(map.find('\0')), '\n')) + 1;
            add(E, "map-ignored-lines", mapPackage, "flashMap", at, "the flash map holds a zero byte in line " + std::to_string(at),
                "the updater's walk ends at the zero byte: the lines after it are never read");
        }
    }
    struct Extent {
        std::string name;
        int line;
        uint64_t start, end;
    };
    std::vector<Extent> written;
    std::vector<std::pair<const MapLine*, uint64_t>> keptStarts;
    for (const auto& l : lines) {
        const std::string first = FirstToken(l.text);
        if (l.kind == MapLine::Comment) continue;
        if (l.kind == MapLine::Empty || l.kind == MapLine::ReleaseName) {
            const bool looks = !first.empty() && first.find("RELEASE_NAME") == std::string::npos &&
                               LooksLikeImage(first, delivered);
            if (!looks) continue;
            named.insert(NormalName(first));
            add(E, "map-ignored-lines", mapPackage, "flashMap", l.lineNo,
                "line \"" + Shown(l.text) + "\" looks like a partition but " +
                    (l.kind == MapLine::Empty ? "begins with CR" : "holds RELEASE_NAME"),
                "the updater skips the line without a message: " + first + " is not written");
            continue;
        }
        if (l.tokens == 0) continue;  // blanks only: traced and skipped, nothing meant
        named.insert(NormalName(l.partition));
        if (l.tokens < 4) {
            add(LooksLikeImage(l.partition, delivered) ? E : W, "map-ignored-lines", mapPackage, "flashMap", l.lineNo,
                "line \"" + Shown(l.text) + "\" has " + std::to_string(l.tokens) + " of the 4 fields",
                "the updater rejects it as not a valid flash instruction: " + l.partition + " is not written");
            continue;
        }
        if (l.partition.find("Part") == std::string::npos) {
            add(LooksLikeImage(l.partition, delivered) ? E : W, "map-ignored-lines", mapPackage, "flashMap", l.lineNo,
                "image name " + l.partition + " does not contain \"Part\"",
                "the updater rejects the line as not a valid flash instruction: " + l.partition + " is not written");
            continue;
        }
        const size_t b = l.text.find_first_not_of(" \t");
        const size_t s = l.text.find_first_not_of(" \t", l.text.find_first_of(" \t", b));
        const std::string startToken = l.text.substr(s, l.text.find_first_of(" \t\n", s) - s);
        if (!l.valid) {
            add(E, "map-start", mapPackage, "flashMap", l.lineNo,
                "start " + startToken + " KiB of " + l.partition + " lies outside 0 to 16000",
                "the updater rejects the line as not a valid flash instruction: " + l.partition + " is not written");
            continue;
        }
        if (startToken.find_first_not_of("0123456789") != std::string::npos) {
            add(E, "map-start", mapPackage, "flashMap", l.lineNo,
                "start \"" + Shown(startToken) + "\" of " + l.partition + " is not a decimal number",
                "the updater reads it as " + std::to_string(l.startKiB) + " KiB and writes " + l.partition + " there");
        }
        if (l.overwrite == "YES\r") {
            add(E, "map-line-ends", mapPackage, "flashMap", l.lineNo,
                "the line of " + l.partition + " ends in CR LF, so its overwrite flag reads \"YES\\r\"",
                "the updater does not take it as YES: an existing " + l.partition +
                    " partition is kept, the new image silently not written");
        } else if (l.overwrite != "YES" && l.overwrite != "NO" && l.overwrite != "NO\r") {
            std::string upper = l.overwrite;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            const bool meantYes = upper == "YES" || upper == "YES\r";
            add(meantYes ? E : W, "map-ignored-lines", mapPackage, "flashMap", l.lineNo,
                "overwrite flag \"" + Shown(l.overwrite) + "\" of " + l.partition + " is neither YES nor NO",
                "the updater takes it as NO: an existing " + l.partition + " partition is kept");
        }
        const bool write = l.overwrite == "YES" || !InstrumentHasDirectory(l.MountDir());
        const uint64_t start = static_cast<uint64_t>(l.startKiB) * 1024;
        if (!write) {
            keptStarts.push_back({&l, start});
            const std::string crc = CrcFileName(BaseName(l.partition));
            if (!IsRegularFile(tmp + "/" + crc)) {
                add(W, "crc-kept", mapPackage, "flashMap", l.lineNo,
                    "the medium carries no " + crc + " for the kept partition " + l.partition,
                    "the instrument's /instrumentData/" + crc + " is removed with every other CRC file and not replaced");
            }
            continue;
        }
        ImageToWrite image;
        image.name = l.partition;
        image.line = l.lineNo;
        image.startKiB = l.startKiB;
        const std::string path = ScratchPathOf(tmp, l.partition);
        if (!path.empty() && IsRegularFile(path)) image.hostPath = path;
        facts->images.push_back(image);
        if (image.hostPath.empty()) {
            std::string heldBy;
            for (const auto& p : packages) {
                if (p.first > facts->unpacked) {
                    for (const auto& m : p.second.members) {
                        if (NormalName(m.name) == NormalName(l.partition)) heldBy = p.second.name;
                    }
                }
            }
            if (zeroVersion && !heldBy.empty()) {
                add(E, "version-zero", heldBy, l.partition, l.lineNo,
                    l.partition + " is in " + heldBy + ", but for a version beginning \"0.\" the updater unpacks file1 alone",
                    "the updater cannot open " + l.partition + ": the partition keeps its old content");
            } else if (facts->unpackable) {
                add(zeroVersion ? W : E, "map-image-missing", mapPackage, l.partition, l.lineNo,
                    l.partition + " is to be written but no package delivers it",
                    "the updater cannot open " + l.partition + ": the partition keeps its old content");
            }
            continue;
        }
        const uint64_t size = static_cast<uint64_t>(FileSizeOf(image.hostPath));
        if (start + size > kFlashSize) {
            add(E, "map-fit", owner[NormalName(l.partition)], l.partition, l.lineNo,
                l.partition + " (" + SizeText(size) + ") from " + std::to_string(l.startKiB) +
                    " KiB reaches beyond the end of the 16 MiB flash",
                "the updater writes only its first " + SizeText(kFlashSize - start) + "; the last " +
                    SizeText(start + size - kFlashSize) + " are lost");
        }
        written.push_back({l.partition, l.lineNo, start, std::min<uint64_t>(start + size, kFlashSize)});

        // Its CRC file, installed into /instrumentData in place of the old one.
        const std::string crc = CrcFileName(BaseName(l.partition));
        std::string crcText;
        if (!ReadText(tmp + "/" + crc, &crcText)) {
            add(E, "crc-written", mapPackage, "flashMap", l.lineNo,
                "the medium carries no " + crc + " for " + l.partition,
                "the instrument has no CRC file for the new " + l.partition +
                    ": every old CRC file is removed before the delivered ones are copied in");
        } else {
            uint32_t value = 0;
            std::vector<uint8_t> bytes;
            if (ParseCrcText(crcText, &value) && ReadBytes(image.hostPath, &bytes)) {
                const uint32_t actual = Crc32(bytes.data(), bytes.size());
                if (actual != value) {
                    char text[200];
                    std::snprintf(text, sizeof text, "%s holds %08x, but the CRC-32 of %s is %08x", crc.c_str(), value,
                                  l.partition.c_str(), actual);
                    add(E, "crc-written", owner[crc], crc, l.lineNo, text,
                        "the instrument installs a CRC file that does not match the partition it just wrote");
                }
            }
        }
    }
    for (size_t i = 0; i < written.size(); ++i) {
        for (size_t j = i + 1; j < written.size(); ++j) {
            const uint64_t lo = std::max(written[i].start, written[j].start);
            const uint64_t hi = std::min(written[i].end, written[j].end);
            if (lo >= hi) continue;
            add(E, "map-overlap", mapPackage, "flashMap", written[j].line,
                written[i].name + " (line " + std::to_string(written[i].line) + ") and " + written[j].name +
                    " overlap in " + Hex(lo) + " to " + Hex(hi - 1),
                "the updater writes " + written[j].name + " over the end of " + written[i].name +
                    ", which is then corrupt");
        }
        for (const auto& k : keptStarts) {
            if (k.second < written[i].start || k.second >= written[i].end) continue;
            add(E, "map-overlap", mapPackage, "flashMap", written[i].line,
                written[i].name + " reaches over the start of the kept partition " + k.first->partition + " (line " +
                    std::to_string(k.first->lineNo) + ")",
                "the updater overwrites the start of " + k.first->partition + ", which the instrument keeps in use");
        }
    }

    // What no line names, and the CRC files the updater installs.
    std::set<std::string> crcNamed;
    for (const auto& n : named) crcNamed.insert(CrcFileName(BaseName(n)));
    for (const auto& f : delivered) {
        const bool crc = f.size() > 4 && f.compare(f.size() - 4, 4, ".crc") == 0;
        if (crc && f.find('/') == std::string::npos && f[0] != '.') facts->crcFiles.push_back(f);
        if (!haveMap || f == "flashMap" || named.count(f)) continue;
        const auto& s = StartupFiles();
        if (file0Files.count(f) && std::find(s.begin(), s.end(), f) != s.end()) continue;
        if (crc) {
            if (crcNamed.count(BaseName(f))) continue;
            add(W, "map-unnamed-files", owner[f], f, 0, "no flash map line names a partition whose CRC file is " + f,
                "the instrument installs " + f + " into /instrumentData for a partition the update does not have");
        } else {
            add(W, "map-unnamed-files", owner[f], f, 0, "no flash map line names " + f,
                "the updater unpacks " + f + " into /tmp and never writes it");
        }
    }

    // Packages the updater never unpacks.
    std::set<std::string> reported;
    for (const auto& f : *findings) {
        if (f.check == "version-zero") reported.insert(f.package);
    }
    for (const auto& p : packages) {
        if (p.first <= facts->unpacked || reported.count(p.second.name)) continue;
        add(W, "package-present", p.second.name, "", 0,
            p.second.name + " is on the medium, but the updater unpacks only file1" +
                (facts->unpacked == 1 ? std::string(" for a version beginning \"0.\"") : std::string(" to file3")),
            "the instrument never reads " + p.second.name);
    }
    return 0;
}

}  // namespace swsim
