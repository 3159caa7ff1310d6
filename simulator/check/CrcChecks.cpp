// The checks of the CRC files the instrument installs and of the flash
// map's CRC column, against the images the map writes.
#include <cstdio>
#include <cstdlib>

#include "SimFiles.h"
#include "StaticScan.h"

namespace swsim {
namespace scan {

namespace {

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

// The CRC file the instrument installs for an image, read through links;
// false when the medium carries none.
bool ReadCrcFile(const Scan& s, const std::string& crc, std::string* text)
{
    const std::string path = s.ScratchPath(crc);
    return !path.empty() && IsRegularFile(path) && ReadText(path, text);
}

}  // namespace

void CheckCrcWritten(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        if (!Written(f) || f.hostPath.empty()) continue;
        const MapLine& l = *f.map;
        // Its CRC file, installed into /instrumentData in place of the old one.
        const std::string crc = CrcFileName(BaseName(l.partition));
        std::string crcText;
        if (!ReadCrcFile(s, crc, &crcText)) {
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

void CheckCrcKept(Scan& s, const char* key)
{
    for (const auto& f : s.walk) {
        if (!Kept(f)) continue;
        const MapLine& l = *f.map;
        const std::string crc = CrcFileName(BaseName(l.partition));
        std::string ignored;
        if (ReadCrcFile(s, crc, &ignored)) continue;
        Report(s, W, key, s.mapPackage, "flashMap", l.lineNo,
               "the medium carries no " + crc + " for the kept partition " + l.partition,
               "the instrument's /instrumentData/" + crc + " is removed with every other CRC file and not replaced");
    }
}

}  // namespace scan
}  // namespace swsim
