#include "SimFlash.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "SimFiles.h"

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

std::string MountDirOfName(const std::string& name)
{
    const size_t at = name.find("Part");
    return at == std::string::npos ? "" : "/" + name.substr(0, at);
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

std::vector<MapLine> ParseFlashMap(const std::string& text)
{
    std::vector<MapLine> lines;
    // The updater's walk ends at the first NUL; a text ending in LF has no
    // line after it.
    const std::string body = text.substr(0, text.find('\0'));
    size_t pos = 0;
    int lineNo = 0;
    do {
        size_t end = body.find('\n', pos);
        if (end == std::string::npos) end = body.size();
        MapLine line;
        line.lineNo = ++lineNo;
        line.text = body.substr(pos, end - pos);
        pos = end + 1;
        if (!line.text.empty() && line.text[0] == '#') {
            line.kind = MapLine::Comment;
        } else if (line.text.empty() || line.text[0] == '\r') {
            line.kind = MapLine::Empty;
        } else if (line.text.find("RELEASE_NAME") != std::string::npos) {
            line.kind = MapLine::ReleaseName;
        } else {
            line.kind = MapLine::Partition;
            std::vector<std::string> tokens;
            size_t t = 0;
            while (t < line.text.size()) {
                t = line.text.find_first_not_of(" \t\n", t);
                if (t == std::string::npos) break;
                size_t e = line.text.find_first_of(" \t\n", t);
                if (e == std::string::npos) e = line.text.size();
                tokens.push_back(line.text.substr(t, e - t));
                t = e;
            }
            line.tokens = static_cast<int>(tokens.size());
            if (!tokens.empty()) line.partition = tokens[0];
            if (tokens.size() > 1) {
                // Read as the updater reads it: leading digits, and a number
                // beyond an int as INT_MAX or INT_MIN, which lie outside the
                // flash (atoi's result would be undefined there).
                errno = 0;
                const long n = std::strtol(tokens[1].c_str(), nullptr, 10);
                line.startKiB = errno == ERANGE || n > INT_MAX || n < INT_MIN ? (n < 0 ? INT_MIN : INT_MAX)
                                                                              : static_cast<int>(n);
            }
            if (tokens.size() > 2) line.crc = tokens[2];
            if (tokens.size() > 3) line.overwrite = tokens[3];
            line.valid = tokens.size() >= 4 && line.partition.find("Part") != std::string::npos &&
                         line.startKiB >= 0 && line.startKiB <= 16000;
        }
        lines.push_back(std::move(line));
    } while (pos < body.size());
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
