#include "SimFlash.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "SimFiles.h"
#include "SwUpdateUtils.h"

namespace swsim {

const std::vector<PartitionSpec>& FactoryLayout()
{
    // The boot image at the start, the application, the instrument's data
    // file system (mounted at /instrumentData, never overwritten by an
    // update), a configuration partition and the fonts, which start 1 KiB
    // into their sector. The application and the fonts are file systems that
    // an instrument in the field has mounted at /app and /fonts; the boot
    // image is no file system, and the configuration partition is read raw
    // (no /config exists on an instrument).
    static const std::vector<PartitionSpec> layout = {
        {"ifsPart.bin", 0, 900 * 1024, "YES", false},
        {"appPart.bin", 2048, 1536 * 1024, "YES", true},
        {"instrumentDataPart.bin", 8192, 4096 * 1024, "NO", true},
        {"configPart.bin", 12288, 160 * 1024, "NO", false},
        {"fontsPart.bin", 14336, 400 * 1024, "YES", true},
    };
    return layout;
}

namespace {

// The updater's own rule: "/" + the name up to its first "Part".
std::string MountDirOfName(const std::string& name)
{
    char* dir = GetDirNameFromPartName(name.c_str());
    if (dir == nullptr) return "";
    const std::string mountDir = dir;
    std::free(dir);
    return mountDir;
}

}  // namespace

std::vector<std::string> MountDirsOf(const std::vector<PartitionSpec>& layout)
{
    std::vector<std::string> dirs;
    for (const auto& p : layout) {
        const std::string dir = MountDirOfName(p.name);
        if (p.mounted && !dir.empty() && dir != "/instrumentData") dirs.push_back(dir);
    }
    return dirs;
}

const PartitionSpec* DataPartitionOf(const std::vector<PartitionSpec>& layout)
{
    for (const auto& p : layout) {
        if (MountDirOfName(p.name) == "/instrumentData") return &p;
    }
    return nullptr;
}

std::vector<uint8_t> PartitionImage(const std::string& name, const std::string& tag, uint32_t size)
{
    std::vector<uint8_t> image(size);
    FillPattern(SeedOf(tag + "/" + name), image.data(), image.size());
    const std::string head = tag + " " + name + "\n";
    if (!image.empty()) std::memcpy(image.data(), head.data(), std::min<size_t>(head.size(), image.size()));
    return image;
}

std::vector<uint8_t> FactoryFlash(const std::string& version)
{
    std::vector<uint8_t> flash(kFlashSize, 0xFF);
    for (const auto& p : FactoryLayout()) {
        const auto image = PartitionImage(p.name, "FACTORY " + version, p.size);
        std::memcpy(flash.data() + static_cast<size_t>(p.startKiB) * 1024, image.data(), image.size());
    }
    return flash;
}

std::string MapLine::MountDir() const
{
    return MountDirOfName(partition);
}

bool MapLine::OverwriteAllowed() const
{
    return IsOverwriteAllowed(overwrite.c_str()) == 1;
}

std::vector<MapLine> ParseFlashMap(const std::string& text, size_t* walkEnd)
{
    std::vector<MapLine> lines;
    if (walkEnd) *walkEnd = 0;
    if (text.empty()) return lines;
    // The text as the updater's reader holds it: with spare zero bytes
    // behind it, cut into lines and fields in place by the updater's own
    // line reader.
    std::vector<char> buffer(text.begin(), text.end());
    buffer.resize(text.size() + 10, '\0');
    char* const begin = buffer.data();
    char* cursor = begin;
    do {
        const size_t offset = static_cast<size_t>(cursor - begin);
        FlashMapLine_t fields;
        const int kind = ReadFlashMapLine(&cursor, &fields);
        MapLine line;
        // Lines are numbered as the file's lines: a zero byte inside a line
        // gives the updater two lines of one file line.
        line.lineNo = static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n')) + 1;
        const size_t length = static_cast<size_t>(cursor - begin) - offset - 1;
        line.text = text.substr(offset, std::min(length, text.size() - std::min(offset, text.size())));
        switch (kind) {
        case FlashMapLine_Comment: line.kind = MapLine::Comment; break;
        case FlashMapLine_Empty: line.kind = MapLine::Empty; break;
        case FlashMapLine_ReleaseName: line.kind = MapLine::ReleaseName; break;
        default: line.kind = MapLine::Partition; break;
        }
        if (line.kind == MapLine::Partition) {
            line.tokens = fields.fields;
            if (fields.partition) line.partition = fields.partition;
            if (fields.startText) line.startText = fields.startText;
            if (fields.crc) line.crc = fields.crc;
            if (fields.overwrite) line.overwrite = fields.overwrite;
            line.startKiB = fields.start;
            line.valid = kind == FlashMapLine_Partition;
        }
        lines.push_back(std::move(line));
    } while (*cursor != '\0');
    if (walkEnd) *walkEnd = std::min(static_cast<size_t>(cursor - begin), text.size());
    return lines;
}

std::string CrcFileName(const std::string& image)
{
    return image.substr(0, image.rfind('.')) + ".crc";
}

namespace {

// [start, end) of an image inside the flash.
void Extent(const WrittenImage& image, uint32_t* start, uint32_t* end)
{
    const uint64_t s = static_cast<uint64_t>(image.startKiB) * 1024;
    *start = static_cast<uint32_t>(std::min<uint64_t>(s, kFlashSize));
    *end = static_cast<uint32_t>(std::min<uint64_t>(s + image.bytes.size(), kFlashSize));
}

}  // namespace

std::set<int> TouchedSectors(const std::vector<WrittenImage>& images)
{
    std::set<int> touched;
    for (const auto& image : images) {
        uint32_t start, end;
        Extent(image, &start, &end);
        for (uint32_t a = start - start % kSectorSize; a < end; a += kSectorSize) {
            touched.insert(static_cast<int>(a / kSectorSize));
        }
    }
    return touched;
}

std::vector<uint8_t> ExpectedFlash(const std::vector<uint8_t>& before,
                                   const std::vector<WrittenImage>& images)
{
    std::vector<uint8_t> expected = before;
    for (const auto& image : images) {
        uint32_t start, end;
        Extent(image, &start, &end);
        if (end > start) std::memcpy(expected.data() + start, image.bytes.data(), end - start);
    }
    return expected;
}

FlashCheck CheckFlash(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                      const std::vector<WrittenImage>& images)
{
    FlashCheck check;
    check.touched = TouchedSectors(images);
    std::vector<std::pair<uint32_t, uint32_t>> extents;  // [start, end) of each image
    for (const auto& image : images) {
        uint32_t start, end;
        Extent(image, &start, &end);
        extents.emplace_back(start, end);
        FlashCheck::Image r;
        r.name = image.name;
        r.start = start;
        r.length = end - start;
        r.holds = end == start || std::memcmp(after.data() + start, image.bytes.data(), end - start) == 0;
        if (!r.holds) {
            const auto wrong = std::mismatch(after.begin() + start, after.begin() + end, image.bytes.begin());
            r.firstDifference = static_cast<int64_t>(wrong.first - after.begin());
        }
        check.images.push_back(r);
    }
    // Sector by sector: an unchanged sector (most of them) is one comparison;
    // only the bytes of a changed one that no image covers are looked at one
    // by one.
    std::sort(extents.begin(), extents.end());
    std::vector<std::pair<uint32_t, uint32_t>> rest;  // the sector's uncovered parts
    for (uint32_t base = 0; base < kFlashSize; base += kSectorSize) {
        if (std::memcmp(after.data() + base, before.data() + base, kSectorSize) == 0) continue;
        const int sector = static_cast<int>(base / kSectorSize);
        check.changedSectors.insert(check.changedSectors.end(), sector);
        rest.clear();
        uint32_t from = base;
        for (const auto& e : extents) {
            if (e.second <= from || e.first >= base + kSectorSize) continue;
            if (e.first > from) rest.emplace_back(from, e.first);
            from = std::max(from, e.second);
        }
        if (from < base + kSectorSize) rest.emplace_back(from, base + kSectorSize);
        const bool touched = check.touched.count(sector) > 0;
        for (const auto& part : rest) {
            for (uint32_t a = part.first; a < part.second; ++a) {
                if (after[a] == before[a]) continue;
                if (touched) {
                    ++check.restChanged[sector];
                    if (check.touchedRestPreserved) check.firstRestDifference = a;
                    check.touchedRestPreserved = false;
                } else {
                    if (check.untouchedUnchanged) check.firstUntouchedDifference = a;
                    check.untouchedUnchanged = false;
                }
            }
        }
    }
    return check;
}

}  // namespace swsim
