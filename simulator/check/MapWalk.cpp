// The flash map walked as the updater walks it: /tmp/flashMap after the
// unpacking, cut into lines and fields by the updater's own line reader
// (ParseFlashMap), and each line's fate on a fresh simulated instrument.
#include <sys/stat.h>

#include <cctype>

#include "SimFiles.h"
#include "StaticScan.h"

namespace swsim {
namespace scan {

namespace {

// The first token of a line (separated as the updater separates them).
std::string FirstToken(const std::string& text)
{
    const size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return text.substr(b, text.find_first_of(" \t\n", b) - b);
}

// A regular file at `path` (links followed), with its size and CRC-32.
void Measure(const std::string& path, LineFacts* f)
{
    if (path.empty() || !IsRegularFile(path)) return;
    f->hostPath = path;
    f->size = static_cast<uint64_t>(FileSizeOf(path));
    std::vector<uint8_t> bytes;
    if (ReadBytes(path, &bytes)) f->crc = Crc32(bytes.data(), bytes.size());
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
        f.fate = l.valid ? LineFacts::Taken : LineFacts::StartOutside;
        f.write = l.OverwriteAllowed() || !InstrumentHasDirectory(l.MountDir(), {});
        f.start = static_cast<uint64_t>(l.startKiB) * 1024;
    }
    if (f.fate == LineFacts::Taken) {
        MapPartition part;
        part.name = l.partition;
        part.line = l.lineNo;
        part.startKiB = l.startKiB;
        part.overwrite = l.OverwriteAllowed();
        part.mountDir = l.MountDir();
        const std::string path = s.ScratchPath(l.partition);
        if (!path.empty() && IsRegularFile(path)) part.hostPath = path;
        s.facts->partitions.push_back(part);
    }
    if (f.fate == LineFacts::Taken && f.write) {
        Measure(s.ScratchPath(l.partition), &f);
        ImageToWrite image;
        image.name = l.partition;
        image.line = l.lineNo;
        image.startKiB = l.startKiB;
        image.hostPath = f.hostPath;
        s.facts->images.push_back(image);
    }
    s.walk.push_back(f);
}

bool IsPlainFile(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool LooksLikeImage(const std::string& token, const std::set<std::string>& delivered)
{
    std::string lower = token;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("part") != std::string::npos || delivered.count(NormalName(token)) > 0 ||
           (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".bin") == 0);
}

void ReadMap(Scan& s)
{
    const std::string mapPath = s.ScratchPath("/tmp/flashMap");
    s.haveMap = !mapPath.empty() && IsRegularFile(mapPath) && ReadText(mapPath, &s.map) && !s.map.empty();
    for (const auto& o : s.owner) {
        if (IsPlainFile(s.tmp + "/" + o.first)) s.delivered.insert(o.first);
    }
    s.mapPackage = s.OwnerOf("flashMap");
    if (s.haveMap) s.lines = ParseFlashMap(s.map, &s.mapWalkEnd);
    for (const auto& l : s.lines) WalkLine(s, l);
    // The CRC files the updater copies with "cp -f /tmp/*.crc": links
    // followed, hidden names left out.
    for (const auto& o : s.owner) {
        const std::string& f = o.first;
        const bool crc = f.size() > 4 && f.compare(f.size() - 4, 4, ".crc") == 0;
        if (!crc || f.find('/') != std::string::npos || f[0] == '.') continue;
        const std::string path = s.ScratchPath(f);
        if (!path.empty() && IsRegularFile(path)) s.facts->crcFiles.push_back(f);
    }
}

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

bool Written(const LineFacts& f)
{
    return f.fate == LineFacts::Taken && f.write;
}

bool Kept(const LineFacts& f)
{
    return f.fate == LineFacts::Taken && !f.write;
}

}  // namespace scan
}  // namespace swsim
