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


// What the updater's walk makes of a flash map line.
struct LineFacts {
    const MapLine* map = nullptr;
    enum Fate {
        SkippedImage,   // skipped without a message, though it names an image
        TooFewFields,   // rejected: fewer than four fields
        NoPart,         // rejected: no "Part" in the image name
        StartOutside,   // rejected: start outside the flash
        Taken,          // written or kept, as its flag and the instrument decide
    } fate = Taken;
    std::string first;       // the first token (of a skipped line)
    std::string startToken;  // the start as the line writes it
    bool write = false;      // written on a fresh simulated instrument
    uint64_t start = 0;      // in bytes
    std::string hostPath;    // of a written image a package delivers; empty when none does
    uint64_t size = 0;       // its size
    uint32_t crc = 0;        // its CRC-32
};

// A file that a later package brings again with other content.
struct Duplicate {
    std::string name, earlier, later;  // the file, the package it came from first, the one replacing it
    uint32_t earlierCrc = 0;           // the CRC-32 of the replaced copy
};

// The medium as the instrument unpacks it, read once; the check functions
// below judge it and append their findings.
struct Scan {
    MediumFacts* facts = nullptr;
    std::vector<Finding>* findings = nullptr;
    std::string tmp, workDir;
    std::map<int, Package> packages;
    std::vector<int> opened;                    // the packages unpacked, in order
    std::map<std::string, std::string> owner;   // normalised file in /tmp -> package it came from
    std::set<std::string> file0Files;
    bool haveFile0 = false;                     // file0 present and readable
    bool zeroVersion = false;                   // a version beginning "0.": file1 alone
    VersionParts version;                       // ok only for MAJOR.MINOR beginning with a number
    std::string estimateText;
    bool haveMap = false;
    std::string map, mapPackage;
    std::set<std::string> delivered;            // every unpacked regular file
    std::set<std::string> named;                // image names the lines give
    std::vector<MapLine> lines;
    std::vector<LineFacts> walk;                // the lines the walk does something with
    std::vector<Duplicate> duplicates;          // in unpacking order

    std::string OwnerOf(const std::string& file) const
    {
        const auto it = owner.find(file);
        return it == owner.end() ? "" : it->second;
    }
    bool InFile0(const char* name) const { return haveFile0 && file0Files.count(name) > 0; }
};

const auto E = Finding::Error;
const auto W = Finding::Warning;

void Report(Scan& s, Finding::Severity severity, const char* key, const std::string& package,
            const std::string& file, int line, const std::string& what, const std::string& effect)
{
    Finding f;
    f.severity = severity;
    f.check = key;
    f.package = package;
    f.file = file;
    f.line = line;
    f.what = what;
    f.effect = effect;
    s.findings->push_back(f);
}

const char kUnpackingFails[] =
    "the updater's unpacking fails after the logs were validated and backed up: nothing is written, the "
    "failure screen is shown and the instrument reboots";

// ---------------------------------------------------------------------------
// Reading the medium.

void FindPackages(Scan& s)
{
    for (const auto& name : ListDir(s.facts->medium)) {
        if (name.size() < 5 || name.size() > 10 || name.compare(0, 4, "file") != 0 ||
            name.find_first_not_of("0123456789", 4) != std::string::npos) {
            continue;
        }
        const int n = std::atoi(name.c_str() + 4);
        if (std::to_string(n) != name.substr(4)) continue;  // "file01" is no package
        Package& p = s.packages[n];
        p.name = name;
        p.path = s.facts->medium + "/" + name;
        p.present = IsRegularFile(p.path);
        if (p.present) ListPackage(&p);
    }
}

// Unpacks package n into the scratch /tmp, recording which package each
// file comes from.
bool Open(Scan& s, int n, std::string* why)
{
    Package& p = s.packages[n];
    // The copies of earlier packages this one replaces.
    std::map<std::string, std::pair<std::string, std::vector<uint8_t>>> replaced;
    for (const auto& m : p.members) {
        if (!UnsafeMember(m).empty() || (m.type != '-' && m.type != 'h')) continue;
        const std::string name = NormalName(m.name);
        std::vector<uint8_t> bytes;
        if (s.owner.count(name) && !replaced.count(name) && ReadBytes(s.tmp + "/" + name, &bytes)) {
            replaced[name] = {s.owner[name], bytes};
        }
    }
    for (const auto& m : p.members) {
        if (UnsafeMember(m).empty() && (m.type == '-' || m.type == 'h')) {
            p.files.insert(NormalName(m.name));
            s.owner[NormalName(m.name)] = p.name;
        }
    }
    s.opened.push_back(n);
    if (!Unpack(p, s.tmp, s.workDir + "/members-" + p.name, why)) return false;
    for (const auto& r : replaced) {
        std::vector<uint8_t> now;
        if (ReadBytes(s.tmp + "/" + r.first, &now) && now == r.second.second) continue;
        const std::vector<uint8_t>& before = r.second.second;
        s.duplicates.push_back({r.first, r.second.first, p.name, Crc32(before.data(), before.size())});
    }
    return true;
}

// file0 as the start-up puts it into /tmp, then the packages the updater
// unpacks; the version decides how many.
bool UnpackAll(Scan& s, std::string* why)
{
    MediumFacts* facts = s.facts;
    Package& file0 = s.packages[0];
    file0.name = "file0";
    s.haveFile0 = file0.present && file0.readable;
    if (file0.present) {
        if (!Open(s, 0, why)) return false;
        s.file0Files = file0.files;
    }
    facts->haveVersion = s.haveFile0 && s.file0Files.count("swVersion") &&
                         ReadText(s.tmp + "/swVersion", &facts->versionText) && !facts->versionText.empty();
    s.zeroVersion = facts->haveVersion && facts->versionText.compare(0, 2, "0.") == 0;
    facts->unpacked = s.zeroVersion ? 1 : 3;
    for (int i = 1; i <= facts->unpacked; ++i) {
        Package& p = s.packages[i];
        if (p.name.empty()) {
            p.name = "file" + std::to_string(i);
            p.path = facts->medium + "/" + p.name;
        }
        if (!p.present || !p.readable) facts->unpackable = false;
        if (p.present && !Open(s, i, why)) return false;
    }
    return true;
}

void ReadControlFiles(Scan& s)
{
    MediumFacts* facts = s.facts;
    if (!s.haveFile0) return;
    if (facts->haveVersion) {
        const std::string core = Trimmed(facts->versionText);
        s.version = SplitVersion(core);
        if (core.find_first_of("0123456789") != 0) s.version.ok = false;
        facts->versionValue = VersionValue(facts->versionText);
        const VersionParts raw = SplitVersion(facts->versionText);
        facts->versionParts = true;
        facts->versionMajor = raw.major;
        facts->versionMinor = raw.minor;
    }
    if (s.InFile0("estUpdateTime") && ReadText(s.tmp + "/estUpdateTime", &s.estimateText) && !s.estimateText.empty()) {
        facts->haveEstimate = true;
        facts->estimateSeconds = std::atoi(s.estimateText.c_str());
    }
}

// One line of the flash map through the updater's walk.
void WalkLine(Scan& s, const MapLine& l)
{
    LineFacts f;
    f.map = &l;
    if (l.kind == MapLine::Comment) return;
    if (l.kind == MapLine::Empty || l.kind == MapLine::ReleaseName) {
        f.first = FirstToken(l.text);
        const bool looks = !f.first.empty() && f.first.find("RELEASE_NAME") == std::string::npos &&
                           LooksLikeImage(f.first, s.delivered);
        if (!looks) return;
        s.named.insert(NormalName(f.first));
        f.fate = LineFacts::SkippedImage;
        s.walk.push_back(f);
        return;
    }
    if (l.tokens == 0) return;  // blanks only: traced and skipped, nothing meant
    s.named.insert(NormalName(l.partition));
    if (l.tokens < 4) {
        f.fate = LineFacts::TooFewFields;
    } else if (l.partition.find("Part") == std::string::npos) {
        f.fate = LineFacts::NoPart;
    } else {
        const size_t b = l.text.find_first_not_of(" \t");
        const size_t st = l.text.find_first_not_of(" \t", l.text.find_first_of(" \t", b));
        f.startToken = l.text.substr(st, l.text.find_first_of(" \t\n", st) - st);
        f.fate = l.valid ? LineFacts::Taken : LineFacts::StartOutside;
        f.write = l.overwrite == "YES" || !InstrumentHasDirectory(l.MountDir());
        f.start = static_cast<uint64_t>(l.startKiB) * 1024;
    }
    if (f.fate == LineFacts::Taken) {
        MapPartition part;
        part.name = l.partition;
        part.line = l.lineNo;
        part.startKiB = l.startKiB;
        part.overwrite = l.overwrite == "YES";
        part.mountDir = l.MountDir();
        const std::string path = ScratchPathOf(s.tmp, l.partition);
        if (!path.empty() && IsRegularFile(path)) part.hostPath = path;
        s.facts->partitions.push_back(part);
    }
    if (f.fate == LineFacts::Taken && f.write) {
        ImageToWrite image;
        image.name = l.partition;
        image.line = l.lineNo;
        image.startKiB = l.startKiB;
        const std::string path = ScratchPathOf(s.tmp, l.partition);
        if (!path.empty() && IsRegularFile(path)) image.hostPath = path;
        s.facts->images.push_back(image);
        f.hostPath = image.hostPath;
        std::vector<uint8_t> bytes;
        if (!f.hostPath.empty()) f.size = static_cast<uint64_t>(FileSizeOf(f.hostPath));
        if (!f.hostPath.empty() && ReadBytes(f.hostPath, &bytes)) f.crc = Crc32(bytes.data(), bytes.size());
    }
    s.walk.push_back(f);
}

// The flash map as /tmp holds it after the unpacking, and what /tmp holds.
void ReadMap(Scan& s)
{
    s.haveMap = ReadText(s.tmp + "/flashMap", &s.map) && !s.map.empty();
    for (const auto& o : s.owner) {
        if (IsRegularFile(s.tmp + "/" + o.first)) s.delivered.insert(o.first);
    }
    s.mapPackage = s.OwnerOf("flashMap");
    if (s.haveMap) s.lines = ParseFlashMap(s.map);
    for (const auto& l : s.lines) WalkLine(s, l);
    for (const auto& f : s.delivered) {
        const bool crc = f.size() > 4 && f.compare(f.size() - 4, 4, ".crc") == 0;
        if (crc && f.find('/') == std::string::npos && f[0] != '.') s.facts->crcFiles.push_back(f);
    }
}

// The package after the unpacked ones that holds `name`; empty when none.
std::string HeldByUnread(const Scan& s, const std::string& name)
{
    std::string heldBy;
    for (const auto& p : s.packages) {
        if (p.first <= s.facts->unpacked) continue;
        for (const auto& m : p.second.members) {
            if (NormalName(m.name) == NormalName(name)) heldBy = p.second.name;
        }
    }
    return heldBy;
}

// `value` written the way `like` writes a CRC: "0x" or not, upper or lower
// case letters.
std::string CrcLike(uint32_t value, const std::string& like)
{
    const bool upper = like.find_first_of("ABCDEF") != std::string::npos &&
                       like.find_first_of("abcdef") == std::string::npos;
    const bool prefix = like.size() > 2 && like[0] == '0' && (like[1] == 'x' || like[1] == 'X');
    char text[16];
    std::snprintf(text, sizeof text, upper ? "%08X" : "%08x", value);
    return (prefix ? like.substr(0, 2) : std::string()) + text;
}

// The line number of the first CR in `text`; 0 when it holds none.
int FirstCrLine(const std::string& text)
{
    const size_t cr = text.find('\r');
    if (cr == std::string::npos) return 0;
    return static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(cr), '\n')) + 1;
}

bool Written(const LineFacts& f)
{
    return f.fate == LineFacts::Taken && f.write;
}

bool Kept(const LineFacts& f)
{
    return f.fate == LineFacts::Taken && !f.write;
}

// ---------------------------------------------------------------------------
// The checks, one function per key (the table at the end gives the keys).

void CheckPackagePresent(Scan& s, const char* key)
{
    if (!s.packages.at(0).present) {
        Report(s, E, key, "file0", "", 0, "file0 is missing",
               "the instrument sees no update medium: the start-up puts no control files into /tmp and no update "
               "is offered");
    }
    for (int i = 1; i <= s.facts->unpacked; ++i) {
        const Package& p = s.packages.at(i);
        if (!p.present) Report(s, E, key, p.name, "", 0, p.name + " is missing", kUnpackingFails);
    }
    // A package the version-zero check blames is not reported twice.
    std::set<std::string> blamed;
    for (const auto& f : s.walk) {
        if (Written(f) && f.hostPath.empty() && s.zeroVersion) blamed.insert(HeldByUnread(s, f.map->partition));
    }
    for (const auto& p : s.packages) {
        if (p.first <= s.facts->unpacked || blamed.count(p.second.name)) continue;
        Report(s, W, key, p.second.name, "", 0,
               p.second.name + " is on the medium, but the updater unpacks only file1" +
                   (s.facts->unpacked == 1 ? std::string(" for a version beginning \"0.\"") : std::string(" to file3")),
               "the instrument never reads " + p.second.name);
    }
}

void CheckPackageFormat(Scan& s, const char* key)
{
    for (int i = 0; i <= s.facts->unpacked; ++i) {
        const Package& p = s.packages.at(i);
        if (!p.present || p.readable) continue;
        Report(s, E, key, p.name, "", 0, p.name + " is not a readable gzip-compressed tar archive (" + p.error + ")",
               i == 0 ? "the start-up cannot put the control files into /tmp, so the update cannot run"
                      : kUnpackingFails);
    }
}

void CheckPackageMembers(Scan& s, const char* key)
{
    for (int n : s.opened) {
        const Package& p = s.packages.at(n);
        for (const auto& m : p.members) {
            const std::string unsafe = UnsafeMember(m);
            if (unsafe.empty()) continue;
            Report(s, E, key, p.name, m.name, 0, "member " + Shown(m.name) + " " + unsafe,
                   "the instrument unpacks the package as root, so this member would be created outside /tmp");
        }
    }
}

void CheckPackageDuplicates(Scan& s, const char* key)
{
    for (const auto& d : s.duplicates) {
        if (d.name == "swVersion") continue;  // the version-file check's
        Report(s, E, key, d.later, d.name, 0,
               d.name + " is in " + d.earlier + " and in " + d.later + " with different content",
               "the updater unpacks " + d.later + " after " + d.earlier + ", so the instrument uses " + d.later +
                   "'s " + d.name + " and never " + d.earlier + "'s");
    }
}

void CheckVersionFile(Scan& s, const char* key)
{
    const MediumFacts& facts = *s.facts;
    // A later package that brings its own swVersion replaces file0's in /tmp:
    // the updater compares and asks with one version and installs the other.
    std::string later;
    const std::string laterOwner = s.OwnerOf("swVersion");
    if (facts.haveVersion && laterOwner != "file0" && ReadText(s.tmp + "/swVersion", &later) &&
        later != facts.versionText) {
        Report(s, E, key, laterOwner, "swVersion", 0,
               laterOwner + " replaces file0's swVersion " + FirstLine(facts.versionText) + " with " +
                   Shown(FirstLine(later)),
               "the updater decides and asks with " + FirstLine(facts.versionText) + " but installs " +
                   Shown(FirstLine(later)) + " as the instrument's version");
    }
    if (!s.haveFile0) return;
    const std::string v = FirstLine(facts.versionText);
    if (!facts.haveVersion) {
        Report(s, E, key, "file0", "swVersion", 0, "swVersion is missing or empty",
               "the updater reads \"No version found\": market instruments refuse the update, internal ones "
               "install it and keep their old version file");
    } else if (Trimmed(facts.versionText).find_first_of("0123456789") != 0) {
        Report(s, E, key, "file0", "swVersion", 0, "swVersion \"" + Shown(v) + "\" does not begin with a number",
               "the updater compares it as 0.0, so market instruments refuse the update");
    } else if (!s.version.ok) {
        char text[160];
        std::snprintf(text, sizeof text, "compares as %g and is recorded as %d.%d", VersionValue(v),
                      s.version.major, s.version.minor);
        Report(s, W, key, "file0", "swVersion", 0, "swVersion \"" + Shown(v) + "\" is not MAJOR.MINOR",
               std::string("the updater ") + text + " in the revision history");
    }
}

bool ShellAccepts(const std::string& path, std::string* complaint)
{
    std::string output, ignored;
    const int status = RunProgram({"mksh", "-n", path}, &output, &ignored);
    *complaint = FirstLine(output);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const Member* MemberOf(const Package& p, const char* name)
{
    for (const auto& m : p.members) {
        if (NormalName(m.name) == name) return &m;
    }
    return nullptr;
}

void CheckRepartitionScript(Scan& s, const char* key)
{
    if (!s.haveFile0) return;
    const char* name = "FlashRepartition.sh";
    const Member* script = MemberOf(s.packages.at(0), name);
    const std::string refused =
        "the updater refuses the update after the user agreed: the pre-update actions fail, the failure "
        "screen is shown and the instrument reboots unchanged";
    std::string complaint;
    if (!s.InFile0(name)) {
        Report(s, E, key, "file0", name, 0, "FlashRepartition.sh is missing", refused);
    } else if (script && script->perms.find('x') == std::string::npos) {
        Report(s, E, key, "file0", name, 0, "FlashRepartition.sh is not executable (" + script->perms + ")", refused);
    } else if (const int cr = FirstCrLine(ReadTextOr(s.tmp + "/" + name, ""))) {
        const std::string first = FirstLine(ReadTextOr(s.tmp + "/" + name, ""));
        Report(s, E, key, "file0", name, cr, "FlashRepartition.sh has CR LF line ends (the first in line " +
                   std::to_string(cr) + ")",
               cr == 1 && first.compare(0, 2, "#!") == 0
                   ? "the updater runs it by path and the system looks for the interpreter \"" +
                         Shown(first.substr(2)) + "\", which does not exist: " + refused.substr(refused.find("the pre"))
                   : "the shell takes each CR as part of its line's last word, so the script's commands get wrong "
                     "arguments: when the script ends in failure, " + refused.substr(refused.find("the pre")));
    } else if (!ShellAccepts(s.tmp + "/" + name, &complaint)) {
        Report(s, E, key, "file0", name, 0, "mksh -n rejects FlashRepartition.sh: " + complaint, refused);
    }
}

void CheckBackupScript(Scan& s, const char* key)
{
    if (!s.haveFile0) return;
    const char* name = "SwUpdate_backup.sh";
    std::string complaint;
    if (!s.InFile0(name)) {
        Report(s, E, key, "file0", name, 0, "SwUpdate_backup.sh is missing",
               "the backup fails: the instrument's data and logs are not saved to the medium before the flash is "
               "written, and the update goes on");
    } else if (const int cr = FirstCrLine(ReadTextOr(s.tmp + "/" + name, ""))) {
        Report(s, E, key, "file0", name, cr, "SwUpdate_backup.sh has CR LF line ends (the first in line " +
                   std::to_string(cr) + ")",
               "the updater runs it with the dot command and the shell takes each CR as part of its line's last "
               "word: the backup stops at a syntax error or copies to wrong names, so the instrument's data and logs "
               "are not saved to the medium, and the update goes on");
    } else if (!ShellAccepts(s.tmp + "/" + name, &complaint)) {
        Report(s, E, key, "file0", name, 0, "mksh -n rejects SwUpdate_backup.sh: " + complaint,
               "the backup stops at the syntax error: the instrument's data and logs are not saved to the medium "
               "before the flash is written, and the update goes on");
    }
}

void CheckEstimateFile(Scan& s, const char* key)
{
    if (!s.haveFile0) return;
    if (!s.facts->haveEstimate) {
        Report(s, W, key, "file0", "estUpdateTime", 0, "estUpdateTime is missing or empty",
               "the start-up GUI's progress display gets no estimate of the update's duration");
        return;
    }
    std::string t = FirstLine(s.estimateText);
    while (!t.empty() && (t.back() == '\r' || t.back() == ' ')) t.pop_back();
    if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || s.facts->estimateSeconds <= 0) {
        Report(s, W, key, "file0", "estUpdateTime", 0,
               "estUpdateTime \"" + Shown(t) + "\" is not a positive whole number of seconds",
               "the updater reads it as " + std::to_string(s.facts->estimateSeconds) +
                   " s for the start-up GUI's progress display");
    }
}

void CheckVersionOrder(Scan& s, const char* key)
{
    if (!s.version.ok) return;
    const std::string v = FirstLine(s.facts->versionText);
    const size_t k = s.version.minorText.size();
    if (k < 2 || s.version.minorText[0] == '0') return;
    // The highest minor with one digit fewer compares higher as a number:
    // 2.9 > 2.10, 2.99 > 2.100.
    const std::string before = std::to_string(s.version.major) + "." + std::string(k - 1, '9');
    if (VersionValue(before) <= VersionValue(v)) return;
    char text[200];
    std::snprintf(text, sizeof text, "version %s compares as the number %g, below %s which it follows", v.c_str(),
                  VersionValue(v), before.c_str());
    Report(s, E, key, "file0", "swVersion", 0, text,
           "market instruments running " + before + " refuse the update as not compatible");
}

void CheckVersionLeadingZero(Scan& s, const char* key)
{
    if (!s.version.ok) return;
    const std::string v = Trimmed(s.facts->versionText);
    const std::string majorText = v.substr(0, v.find('.'));
    const bool majorZero = majorText.size() >= 2 && majorText[0] == '0';
    const bool minorZero = s.version.minorText.size() >= 2 && s.version.minorText[0] == '0' && s.version.minor != 0;
    if (!majorZero && !minorZero) return;
    const std::string part = majorZero && minorZero ? "the major and the minor part" : majorZero ? "the major part"
                                                                                           : "the minor part";
    Report(s, E, key, "file0", "swVersion", 0, part + " of " + v + " has a leading zero",
           "the installed version file says " + v + " while the revision history of every instrument records " +
               std::to_string(s.version.major) + "." + std::to_string(s.version.minor) + ", a different version");
}

// What the installed version file holds and what the revision history
// records must agree: a CR, blanks or further lines around MAJOR.MINOR stay
// in the file.
void CheckVersionText(Scan& s, const char* key)
{
    if (!s.version.ok) return;
    const std::string& t = s.facts->versionText;
    const std::string v = Trimmed(t);
    if (t == v || t == v + "\n") return;
    const std::string extra = t.find('\r') != std::string::npos   ? "a CR"
                              : t.find_first_of(" \t") != std::string::npos ? "blanks"
                                                                            : "more than one line end";
    Report(s, E, key, "file0", "swVersion", 0, "swVersion \"" + Shown(t) + "\" holds " + extra + " besides " + v,
           "the start-up GUI asks to update to version \"" + Shown(t) +
               "\" and the installed version file keeps that text, while the revision history records " +
               std::to_string(s.version.major) + "." + std::to_string(s.version.minor));
}

void CheckVersionRange(Scan& s, const char* key)
{
    if (!s.version.ok || (s.version.major <= 99 && s.version.minor <= 99)) return;
    Report(s, E, key, "file0", "swVersion", 0, "version " + FirstLine(s.facts->versionText) + " has a part above 99",
           "the update installs, but the revision history gets no entry for it");
}

void CheckVersionZero(Scan& s, const char* key)
{
    if (!s.zeroVersion) return;
    for (const auto& f : s.walk) {
        if (!Written(f) || !f.hostPath.empty()) continue;
        const std::string& name = f.map->partition;
        const std::string heldBy = HeldByUnread(s, name);
        if (heldBy.empty()) continue;
        Report(s, E, key, heldBy, name, 0,
               name + " is in " + heldBy + ", but for a version beginning \"0.\" the updater unpacks file1 alone "
                   "(flashMap line " + std::to_string(f.map->lineNo) + " writes it)",
               "the updater cannot open " + name + ": the partition keeps its old content");
    }
}

void CheckMapPresent(Scan& s, const char* key)
{
    if (s.haveMap || !s.facts->unpackable) return;
    std::string where;
    for (const auto& p : s.packages) {
        if (p.first <= s.facts->unpacked || !where.empty()) continue;
        for (const auto& m : p.second.members) {
            if (NormalName(m.name) == "flashMap") where = " (" + p.second.name + " holds one but is not unpacked)";
        }
    }
    Report(s, E, key, s.mapPackage, "flashMap", 0, "no package delivers a non-empty flashMap" + where,
           "the updater finds no /tmp/flashMap after unpacking: it writes no partition image and the update is not "
           "installed");
}

void CheckMapLineEnds(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        const MapLine& l = *f.map;
        if (f.fate != LineFacts::Taken || l.overwrite != "YES\r") continue;
        Report(s, E, key, s.mapPackage, "flashMap", l.lineNo,
               "the line of " + l.partition + " ends in CR LF, so its overwrite flag reads \"YES\\r\"",
               "the updater does not take it as YES: on an instrument that has the directory " + l.MountDir() +
                   " it keeps the old " + l.partition + " partition and does not write the new image, without a "
                   "message (only where " + l.MountDir() + " is missing is the image written)");
    }
}

void CheckMapIgnoredLines(Scan& s, const char* key)
{
    const size_t zero = s.haveMap ? s.map.find('\0') : std::string::npos;
    if (zero != std::string::npos &&
        s.map.substr(zero).find_first_not_of(std::string("\0\r\n \t", 5)) != std::string::npos) {
        const int at = static_cast<int>(std::count(s.map.begin(), s.map.begin() + static_cast<long>(zero), '\n')) + 1;
        Report(s, E, key, s.mapPackage, "flashMap", at, "the flash map holds a zero byte in line " + std::to_string(at),
               "the updater's walk ends at the zero byte: the lines after it are never read");
    }
    for (const auto& f : s.walk) {
        const MapLine& l = *f.map;
        const auto severity = LooksLikeImage(l.partition, s.delivered) ? E : W;
        if (f.fate == LineFacts::SkippedImage) {
            Report(s, E, key, s.mapPackage, "flashMap", l.lineNo,
                   "line \"" + Shown(l.text) + "\" looks like a partition but " +
                       (l.kind == MapLine::Empty ? "begins with CR" : "holds RELEASE_NAME"),
                   "the updater skips the line without a message: " + f.first + " is not written");
        } else if (f.fate == LineFacts::TooFewFields) {
            Report(s, severity, key, s.mapPackage, "flashMap", l.lineNo,
                   "line \"" + Shown(l.text) + "\" has " + std::to_string(l.tokens) + " of the 4 fields",
                   "the updater rejects it as not a valid flash instruction: " + l.partition + " is not written");
        } else if (f.fate == LineFacts::NoPart) {
            Report(s, severity, key, s.mapPackage, "flashMap", l.lineNo,
                   "image name " + l.partition + " does not contain \"Part\"",
                   "the updater rejects the line as not a valid flash instruction: " + l.partition +
                       " is not written");
        } else if (f.fate == LineFacts::Taken && l.overwrite != "YES" && l.overwrite != "YES\r" &&
                   l.overwrite != "NO" && l.overwrite != "NO\r") {
            std::string upper = l.overwrite;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            Report(s, upper == "YES" || upper == "YES\r" ? E : W, key, s.mapPackage, "flashMap", l.lineNo,
                   "overwrite flag \"" + Shown(l.overwrite) + "\" of " + l.partition + " is neither YES nor NO",
                   "the updater takes it as NO: an existing " + l.partition + " partition is kept");
        }
    }
}

void CheckMapStart(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        const MapLine& l = *f.map;
        if (f.fate == LineFacts::StartOutside) {
            Report(s, E, key, s.mapPackage, "flashMap", l.lineNo,
                   "start " + f.startToken + " KiB of " + l.partition + " lies outside 0 to 16000",
                   "the updater rejects the line as not a valid flash instruction: " + l.partition +
                       " is not written");
        } else if (f.fate == LineFacts::Taken && f.startToken.find_first_not_of("0123456789") != std::string::npos) {
            Report(s, E, key, s.mapPackage, "flashMap", l.lineNo,
                   "start \"" + Shown(f.startToken) + "\" of " + l.partition + " is not a decimal number",
                   "the updater reads it as " + std::to_string(l.startKiB) + " KiB and writes " + l.partition +
                       " there");
        }
    }
}

void CheckMapFit(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        if (!Written(f) || f.hostPath.empty() || f.start + f.size <= kFlashSize) continue;
        const MapLine& l = *f.map;
        const std::string owner = s.OwnerOf(NormalName(l.partition));
        Report(s, E, key, s.mapPackage, "flashMap", l.lineNo,
               l.partition + " (" + SizeText(f.size) + (owner.empty() ? "" : ", in " + owner) + ") from " +
                   std::to_string(l.startKiB) +
                   " KiB reaches beyond the end of the 16 MiB flash",
               "the updater writes only its first " + SizeText(kFlashSize - f.start) + "; the last " +
                   SizeText(f.start + f.size - kFlashSize) + " are lost");
    }
}

void CheckMapOverlap(Scan& s, const char* key)
{
    std::vector<const LineFacts*> written, kept;
    for (const auto& f : s.walk) {
        if (Written(f) && !f.hostPath.empty()) written.push_back(&f);
        if (Kept(f)) kept.push_back(&f);
    }
    const auto end = [](const LineFacts* f) { return std::min<uint64_t>(f->start + f->size, kFlashSize); };
    for (size_t i = 0; i < written.size(); ++i) {
        const MapLine& a = *written[i]->map;
        for (size_t j = i + 1; j < written.size(); ++j) {
            const MapLine& b = *written[j]->map;
            const uint64_t lo = std::max(written[i]->start, written[j]->start);
            const uint64_t hi = std::min(end(written[i]), end(written[j]));
            if (lo >= hi) continue;
            Report(s, E, key, s.mapPackage, "flashMap", b.lineNo,
                   a.partition + " (line " + std::to_string(a.lineNo) + ") and " + b.partition + " overlap in " +
                       Hex(lo) + " to " + Hex(hi - 1),
                   "the updater writes " + b.partition + " over the end of " + a.partition + ", which is then corrupt");
        }
        for (const LineFacts* k : kept) {
            if (k->start < written[i]->start || k->start >= end(written[i])) continue;
            Report(s, E, key, s.mapPackage, "flashMap", a.lineNo,
                   a.partition + " reaches over the start of the kept partition " + k->map->partition + " (line " +
                       std::to_string(k->map->lineNo) + ")",
                   "the updater overwrites the start of " + k->map->partition +
                       ", which the instrument keeps in use");
        }
    }
}

void CheckMapImageMissing(Scan& s, const char* key)
{
    if (!s.facts->unpackable) return;
    for (const auto& f : s.walk) {
        if (!Written(f) || !f.hostPath.empty()) continue;
        const std::string& name = f.map->partition;
        if (s.zeroVersion && !HeldByUnread(s, name).empty()) continue;  // the version-zero check's
        Report(s, s.zeroVersion ? W : E, key, s.mapPackage, "flashMap", f.map->lineNo,
               name + " is to be written but no package delivers it",
               "the updater cannot open " + name + ": the partition keeps its old content");
    }
}

void CheckMapUnnamedFiles(Scan& s, const char* key)
{
    if (!s.haveMap) return;
    std::set<std::string> crcNamed;
    for (const auto& n : s.named) crcNamed.insert(CrcFileName(BaseName(n)));
    const auto& startup = StartupFiles();
    for (const auto& f : s.delivered) {
        if (f == "flashMap" || s.named.count(f)) continue;
        if (s.file0Files.count(f) && std::find(startup.begin(), startup.end(), f) != startup.end()) continue;
        const bool crc = f.size() > 4 && f.compare(f.size() - 4, 4, ".crc") == 0;
        if (crc) {
            if (crcNamed.count(BaseName(f))) continue;
            Report(s, W, key, s.OwnerOf(f), f, 0, "no flash map line names a partition whose CRC file is " + f,
                   "the instrument installs " + f + " into /instrumentData for a partition the update does not have");
        } else {
            Report(s, W, key, s.OwnerOf(f), f, 0, "no flash map line names " + f,
                   "the updater unpacks " + f + " into /tmp and never writes it");
        }
    }
}

void CheckCrcWritten(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        if (!Written(f) || f.hostPath.empty()) continue;
        const MapLine& l = *f.map;
        // Its CRC file, installed into /instrumentData in place of the old one.
        const std::string crc = CrcFileName(BaseName(l.partition));
        std::string crcText;
        if (!ReadText(s.tmp + "/" + crc, &crcText)) {
            Report(s, E, key, s.mapPackage, "flashMap", l.lineNo,
                   "the medium carries no " + crc + " for " + l.partition,
                   "the instrument has no CRC file for the new " + l.partition +
                       ": every old CRC file is removed before the delivered ones are copied in");
            continue;
        }
        const std::string at = " (flashMap line " + std::to_string(l.lineNo) + ")";
        uint32_t value = 0;
        std::string written;
        if (!ReadCrcWriting(crcText, &value, &written)) {
            Report(s, E, key, s.OwnerOf(crc), crc, 0,
                   crc + (crcText.empty() ? std::string(" is empty") : " holds \"" + Shown(crcText) + "\"") +
                       ", which the check cannot read as a CRC-32 in hex, for " + l.partition + at,
                   "the instrument installs it as the CRC file of the new " + l.partition +
                       ", and it does not give the partition's CRC-32");
            continue;
        }
        if (value == f.crc) continue;
        // The CRC file may be right for a copy that a later package replaced.
        const Duplicate* replaced = nullptr;
        for (const auto& d : s.duplicates) {
            if (d.name == NormalName(l.partition) && d.earlierCrc == value) replaced = &d;
        }
        if (replaced) {
            Report(s, E, key, replaced->later, l.partition, 0,
                   crc + " holds the CRC-32 of " + replaced->earlier + "'s " + l.partition + ", but " +
                       replaced->later + "'s copy replaces it" + at + " and its CRC-32 is " + CrcLike(f.crc, written),
                   "the instrument writes " + replaced->later + "'s " + l.partition +
                       " and installs a CRC file that does not match it");
            continue;
        }
        Report(s, E, key, s.OwnerOf(crc), crc, 0,
               crc + " holds " + written + ", but the CRC-32 of " + l.partition + at + " is " + CrcLike(f.crc, written),
               "the instrument installs a CRC file that does not match the partition it just wrote");
    }
}

// The flash map's CRC column: the updater never reads it, people do. A
// zero there stands for "not given".
void CheckMapCrcColumn(Scan& s, const char* key)
{
    const std::string effect = "the updater does not read this column, so the instrument is not affected; whoever "
                               "checks the image against the map finds a CRC that does not match";
    for (const auto& f : s.walk) {
        if (!Written(f) || f.hostPath.empty()) continue;
        const MapLine& l = *f.map;
        uint32_t value = 0;
        std::string written;
        if (!ReadCrcWriting(l.crc, &value, &written)) {
            Report(s, W, key, s.mapPackage, "flashMap", l.lineNo,
                   "the CRC column \"" + Shown(l.crc) + "\" of " + l.partition + " is not a CRC-32 in hex", effect);
        } else if (value != 0 && value != f.crc) {
            Report(s, W, key, s.mapPackage, "flashMap", l.lineNo,
                   "the CRC column gives " + written + " for " + l.partition + ", but its CRC-32 is " +
                       CrcLike(f.crc, written),
                   effect);
        }
    }
}

// An empty image is "written" without a single sector changing.
void CheckImageEmpty(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        if (!Written(f) || f.hostPath.empty() || f.size != 0) continue;
        const MapLine& l = *f.map;
        Report(s, E, key, s.OwnerOf(NormalName(l.partition)), l.partition, 0,
               l.partition + " is empty (0 bytes), and flashMap line " + std::to_string(l.lineNo) + " writes it",
               "the updater writes nothing and counts the partition as written: it keeps its old content while the "
               "new version and the delivered CRC files are installed");
    }
}

void CheckCrcKept(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        if (!Kept(f)) continue;
        const MapLine& l = *f.map;
        const std::string crc = CrcFileName(BaseName(l.partition));
        if (IsRegularFile(s.tmp + "/" + crc)) continue;
        Report(s, W, key, s.mapPackage, "flashMap", l.lineNo,
               "the medium carries no " + crc + " for the kept partition " + l.partition,
               "the instrument's /instrumentData/" + crc + " is removed with every other CRC file and not replaced");
    }
}

// Every static check: its key, its title and the function that makes its
// findings, in report order.
struct StaticCheck {
    const char* key;
    const char* title;
    void (*run)(Scan&, const char* key);
};

const StaticCheck kStaticChecks[] = {
    {"package-present", "file0 and every package the updater unpacks are on the medium", CheckPackagePresent},
    {"package-format", "every package is a gzip-compressed tar archive", CheckPackageFormat},
    {"package-members", "no member leaves /tmp (absolute path, \"..\", link, device)", CheckPackageMembers},
    {"package-duplicates", "no file is in two unpacked packages with different content", CheckPackageDuplicates},
    {"version-file", "swVersion is readable as a version", CheckVersionFile},
    {"repartition-script", "FlashRepartition.sh is present, executable, without CR and accepted by mksh -n",
     CheckRepartitionScript},
    {"backup-script", "SwUpdate_backup.sh is present, without CR and accepted by mksh -n", CheckBackupScript},
    {"estimate-file", "estUpdateTime is present and a number of seconds", CheckEstimateFile},
    {"version-order", "the version compares as a number the way it reads as major.minor", CheckVersionOrder},
    {"version-leading-zero", "neither part of the version has a leading zero", CheckVersionLeadingZero},
    {"version-text", "swVersion holds MAJOR.MINOR and at most a line end", CheckVersionText},
    {"version-range", "major and minor are at most 99 (the revision history's limit)", CheckVersionRange},
    {"version-zero", "a version beginning \"0.\" has every image it writes in file1", CheckVersionZero},
    {"map-present", "the packages deliver a flash map", CheckMapPresent},
    {"map-line-ends", "no line saying YES ends in CR", CheckMapLineEnds},
    {"map-ignored-lines", "no line that looks like a partition is rejected or skipped", CheckMapIgnoredLines},
    {"map-start", "every start is a decimal number from 0 to 16000 KiB", CheckMapStart},
    {"map-fit", "every image fits into the flash from its start", CheckMapFit},
    {"map-overlap", "written partitions do not overlap each other or a kept one", CheckMapOverlap},
    {"map-image-missing", "every image a written line names is delivered", CheckMapImageMissing},
    {"image-empty", "no written image is empty", CheckImageEmpty},
    {"map-unnamed-files", "every delivered image and CRC file is named by a line", CheckMapUnnamedFiles},
    {"crc-written", "every written image has its CRC file, and it matches", CheckCrcWritten},
    {"map-crc-column", "the flash map's CRC column matches the written images", CheckMapCrcColumn},
    {"crc-kept", "the medium carries the CRC files of the kept partitions", CheckCrcKept},
};

}  // namespace

const std::vector<CheckInfo>& AllChecks()
{
    static const std::vector<CheckInfo> checks = [] {
        std::vector<CheckInfo> all;
        for (const auto& c : kStaticChecks) all.push_back({c.key, c.title, false});
        all.push_back({"estimate-duration", "the estimate is not shorter than the update on the instruments", true});
        all.push_back({kFleetVersionCheck, "the medium's version places the default fleet", true});
        return all;
    }();
    return checks;
}

int CheckMediumStatic(const std::string& mediumDir, const std::string& workDir, MediumFacts* facts,
                      std::vector<Finding>* findings, std::string* why)
{
    Scan s;
    s.facts = facts;
    s.findings = findings;
    facts->medium = AbsolutePath(mediumDir);
    facts->tmpDir = AbsolutePath(workDir) + "/tmp";
    s.tmp = facts->tmpDir;
    s.workDir = AbsolutePath(workDir);
    if (!RemoveTree(s.tmp, why) || !MakeDirs(s.tmp, why)) return kExitCheckNotRun;
    FindPackages(s);
    if (!UnpackAll(s, why)) return kExitCheckNotRun;
    ReadControlFiles(s);
    ReadMap(s);
    for (const auto& c : kStaticChecks) c.run(s, c.key);
    return 0;
}

}  // namespace swsim
