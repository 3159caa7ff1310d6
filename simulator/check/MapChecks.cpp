// The checks of the flash map's lines and of the images they name, as the
// updater's walk takes them.
#include <algorithm>
#include <cctype>

#include "SimFiles.h"
#include "SimMedium.h"
#include "StaticScan.h"

namespace swsim {
namespace scan {

namespace {

// A flag the updater takes as NO that was surely meant as YES: "YES" in
// other letters, or with invisible or blank characters around it ("YES"
// followed by a no-break space or a zero-width space, or by a CR).
bool LooksLikeYes(const std::string& flag)
{
    const auto letter = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    const auto first = std::find_if(flag.begin(), flag.end(), letter);
    const auto last = std::find_if(flag.rbegin(), flag.rend(), letter).base();
    if (first >= last) return false;
    std::string core(first, last);
    for (char& c : core) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return core == "YES";
}

// Two lines that write the same image at the same start: the second writes
// the same bytes again.
bool SameWriting(const LineFacts& a, const LineFacts& b)
{
    return NormalName(a.map->partition) == NormalName(b.map->partition) && a.start == b.start &&
           a.hostPath == b.hostPath;
}

}  // namespace

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
    // The walk ends where a line's end is followed by a zero byte.
    const std::string unread = s.haveMap ? s.map.substr(s.mapWalkEnd) : "";
    if (unread.find_first_not_of(std::string("\0\r\n \t", 5)) != std::string::npos) {
        const auto end = s.map.begin() + static_cast<long>(s.mapWalkEnd);
        const int at = static_cast<int>(std::count(s.map.begin(), end, '\n')) + 1;
        Report(s, E, key, s.mapPackage, "flashMap", at,
               "the flash map holds a zero byte right after a line's end, in line " + std::to_string(at),
               "the updater's walk ends at a zero byte that follows a line's end: the lines after it are never "
               "read");
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
        } else if (f.fate == LineFacts::Taken && !l.OverwriteAllowed() && l.overwrite != "YES\r" &&
                   l.overwrite != "NO" && l.overwrite != "NO\r") {
            // Meant as YES: an instrument with the partition's mount
            // directory keeps the old image while the new CRC file and
            // version are installed.
            Report(s, LooksLikeYes(l.overwrite) ? E : W, key, s.mapPackage, "flashMap", l.lineNo,
                   "overwrite flag \"" + Shown(l.overwrite) + "\" of " + l.partition + " is neither YES nor NO",
                   "the updater takes it as NO: on an instrument that has the directory " + l.MountDir() +
                       " the old " + l.partition + " partition is kept");
        }
    }
}

void CheckMapStart(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        const MapLine& l = *f.map;
        if (f.fate == LineFacts::StartOutside) {
            Report(s, E, key, s.mapPackage, "flashMap", l.lineNo,
                   "start " + l.startText + " KiB of " + l.partition + " lies outside 0 to 16000",
                   "the updater rejects the line as not a valid flash instruction: " + l.partition +
                       " is not written");
        } else if (f.fate == LineFacts::Taken && l.startText.find_first_not_of("0123456789") != std::string::npos) {
            Report(s, E, key, s.mapPackage, "flashMap", l.lineNo,
                   "start \"" + Shown(l.startText) + "\" of " + l.partition + " is not a decimal number",
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
                   std::to_string(l.startKiB) + " KiB reaches beyond the end of the 16 MiB flash",
               "the updater writes only its first " + SizeText(kFlashSize - f.start) + "; the last " +
                   SizeText(f.start + f.size - kFlashSize) + " are lost");
    }
}

// A line that writes an image an earlier line already wrote at the same
// start: the same bytes twice, which every instrument ends with.
void CheckMapRepeatedLine(Scan& s, const char* key)
{
    for (size_t i = 0; i < s.walk.size(); ++i) {
        const LineFacts& b = s.walk[i];
        if (!Written(b) || b.hostPath.empty()) continue;
        for (size_t j = 0; j < i; ++j) {
            const LineFacts& a = s.walk[j];
            if (!Written(a) || !SameWriting(a, b)) continue;
            Report(s, W, key, s.mapPackage, "flashMap", b.map->lineNo,
                   "the line of " + b.map->partition + " repeats line " + std::to_string(a.map->lineNo) +
                       " (the same image at the same start)",
                   "the updater writes " + b.map->partition + " twice with the same bytes; the instrument ends "
                   "with it written once");
            break;
        }
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
            if (lo >= hi || SameWriting(*written[i], *written[j])) continue;
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
        const auto link = s.lastMember.find(NormalName(name));
        const bool linked = link != s.lastMember.end() && link->second.type == 'l';
        Report(s, s.zeroVersion ? W : E, key, s.mapPackage, "flashMap", f.map->lineNo,
               name + " is to be written but " +
                   (linked ? "it is a link to " + link->second.target + ", which no package delivers"
                           : std::string("no package delivers it")),
               "the updater cannot open " + name + ": the partition keeps its old content");
    }
}

// An image that is a link: the updater opens it through the link.
void CheckImageLink(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        if (!Written(f) || f.hostPath.empty()) continue;
        const auto link = s.lastMember.find(NormalName(f.map->partition));
        if (link == s.lastMember.end() || (link->second.type != 'l' && link->second.type != 'h')) continue;
        const Member& m = link->second;
        const std::string kind = m.type == 'l' ? "a symbolic link" : "a hard link";
        Report(s, W, key, s.OwnerOf(NormalName(m.name)), f.map->partition, 0,
               "linked image: " + f.map->partition + " is " + kind + " to " + m.target + " (flashMap line " +
                   std::to_string(f.map->lineNo) + " writes it)",
               "the updater opens it through the link and writes " + m.target + "'s bytes on every instrument");
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

void CheckMapUnnamedFiles(Scan& s, const char* key)
{
    if (!s.haveMap) return;
    std::set<std::string> crcNamed;
    for (const auto& n : s.named) crcNamed.insert(CrcFileName(BaseName(n)));
    // The files the lines' links lead to are written through them.
    std::set<std::string> linkedTo;
    for (const auto& f : s.walk) {
        if (!f.hostPath.empty() && f.hostPath.compare(0, s.tmp.size() + 1, s.tmp + "/") == 0) {
            linkedTo.insert(f.hostPath.substr(s.tmp.size() + 1));
        }
        const auto link = f.map ? s.lastMember.find(NormalName(f.map->partition)) : s.lastMember.end();
        if (link != s.lastMember.end() && link->second.type == 'h') linkedTo.insert(NormalName(link->second.target));
    }
    const auto& startup = StartupFiles();
    for (const auto& f : s.delivered) {
        if (f == "flashMap" || s.named.count(f) || linkedTo.count(f)) continue;
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

}  // namespace scan
}  // namespace swsim
