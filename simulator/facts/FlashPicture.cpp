#include "FlashPicture.h"

#include <algorithm>
#include <cstring>

namespace swsim {

const char* SectorStateKey(SectorState s)
{
    switch (s) {
    case SectorState::Written: return "written";
    case SectorState::Partial: return "partial";
    case SectorState::Kept: return "kept";
    case SectorState::Untouched: return "untouched";
    case SectorState::Unexpected: return "unexpected";
    }
    return "unexpected";
}

const char* SectorStateText(SectorState s)
{
    switch (s) {
    case SectorState::Written: return "written and verified";
    case SectorState::Partial: return "written, rest of sector kept";
    case SectorState::Kept: return "kept (partition left alone)";
    case SectorState::Untouched: return "untouched";
    case SectorState::Unexpected: return "changed unexpectedly / not as written";
    }
    return "";
}

FlashPicture PictureFlash(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                          const std::vector<WrittenImage>& images,
                          const std::vector<PartitionBox>& partitions)
{
    FlashPicture p;
    p.partitions = partitions;
    p.sectors.assign(kSectorCount, SectorState::Untouched);
    p.coveredBytes.assign(kSectorCount, 0);
    p.imageOf.assign(kSectorCount, "");
    const bool whole = before.size() == kFlashSize && after.size() == kFlashSize;
    const std::vector<uint8_t> expected = whole ? ExpectedFlash(before, images) : std::vector<uint8_t>();

    // Image extents inside the flash, cut at its end.
    struct Extent {
        uint64_t start, end;
        const std::string* name;
    };
    std::vector<Extent> extents;
    for (const auto& img : images) {
        const uint64_t start = static_cast<uint64_t>(img.startKiB) * 1024;
        if (img.startKiB < 0 || start >= kFlashSize || img.bytes.empty()) continue;
        extents.push_back({start, std::min<uint64_t>(start + img.bytes.size(), kFlashSize), &img.name});
    }
    for (int s = 0; s < kSectorCount; ++s) {
        const uint64_t a = static_cast<uint64_t>(s) * kSectorSize, b = a + kSectorSize;
        // Covered bytes: the union of the images' ranges in this sector (a
        // later image may overlap an earlier one).
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (const auto& e : extents) {
            const uint64_t from = std::max(a, e.start), to = std::min(b, e.end);
            if (from >= to) continue;
            ranges.emplace_back(from, to);
            if (p.imageOf[s].find(*e.name) == std::string::npos) {
                p.imageOf[s] += (p.imageOf[s].empty() ? "" : ", ") + *e.name;
            }
        }
        std::sort(ranges.begin(), ranges.end());
        uint64_t covered = 0, reach = a;
        for (const auto& r : ranges) {
            const uint64_t from = std::max(r.first, reach);
            if (r.second > from) covered += r.second - from;
            reach = std::max(reach, r.second);
        }
        p.coveredBytes[s] = static_cast<uint32_t>(covered);

        bool asDemanded = whole && std::memcmp(after.data() + a, expected.data() + a, kSectorSize) == 0;
        if (!asDemanded) {
            p.sectors[s] = SectorState::Unexpected;
        } else if (covered == kSectorSize) {
            p.sectors[s] = SectorState::Written;
        } else if (covered > 0) {
            p.sectors[s] = SectorState::Partial;
        } else {
            bool kept = false;
            for (const auto& box : partitions) {
                const uint64_t end = static_cast<uint64_t>(box.start) + box.length;
                kept = kept || (box.kept && box.start < b && end > a);
            }
            p.sectors[s] = kept ? SectorState::Kept : SectorState::Untouched;
        }
    }
    return p;
}

}  // namespace swsim
