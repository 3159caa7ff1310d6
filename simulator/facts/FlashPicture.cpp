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
    case SectorState::Torn: return "torn";
    case SectorState::Overwritten: return "overwritten";
    case SectorState::NotWritten: return "not-written";
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
    case SectorState::Unexpected: return "changed unexpectedly";
    case SectorState::Torn: return "torn: the image not as written";
    case SectorState::Overwritten: return "overwritten by a later image";
    case SectorState::NotWritten: return "not written (the map demands it)";
    }
    return "";
}

const std::vector<SectorState>& AllSectorStates()
{
    static const std::vector<SectorState> all = {SectorState::Written,   SectorState::Partial,     SectorState::Kept,
                                                 SectorState::Untouched, SectorState::Unexpected,  SectorState::Torn,
                                                 SectorState::Overwritten, SectorState::NotWritten};
    return all;
}

bool SectorStateIsFault(SectorState s)
{
    return s == SectorState::Unexpected || s == SectorState::Torn || s == SectorState::Overwritten ||
           s == SectorState::NotWritten;
}

namespace {

// An image's extent inside the flash, cut at its end.
struct Extent {
    uint64_t start, end;
    const WrittenImage* image;
};

// Bytes of [a, b) that the extents cover (the union: a later image may
// overlap an earlier one).
uint64_t CoveredBytes(const std::vector<Extent>& extents, uint64_t a, uint64_t b)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const auto& e : extents) {
        const uint64_t from = std::max(a, e.start), to = std::min(b, e.end);
        if (from < to) ranges.emplace_back(from, to);
    }
    std::sort(ranges.begin(), ranges.end());
    uint64_t covered = 0, reach = a;
    for (const auto& r : ranges) {
        const uint64_t from = std::max(r.first, reach);
        if (r.second > from) covered += r.second - from;
        reach = std::max(reach, r.second);
    }
    return covered;
}

// Whether the flash differs from `expected` inside [a, b) at bytes an image
// covers (`covered` true) or at bytes none covers (false).
bool Differs(const std::vector<uint8_t>& after, const std::vector<uint8_t>& expected,
             const std::vector<Extent>& extents, uint64_t a, uint64_t b, bool covered)
{
    for (uint64_t i = a; i < b; ++i) {
        if (after[i] == expected[i]) continue;
        bool inImage = false;
        for (const auto& e : extents) inImage = inImage || (i >= e.start && i < e.end);
        if (inImage == covered) return true;
    }
    return false;
}

// Notes sector `s` under every image whose bytes in [a, b) the flash does
// not hold, naming the later images that reach them.
bool NoteOverwrites(const std::vector<uint8_t>& after, const std::vector<Extent>& extents, int s, uint64_t a,
                    uint64_t b, FlashPicture* p)
{
    bool any = false;
    for (size_t k = 0; k < extents.size(); ++k) {
        const Extent& e = extents[k];
        const uint64_t from = std::max(a, e.start), to = std::min(b, e.end);
        if (from >= to || std::memcmp(after.data() + from, e.image->bytes.data() + (from - e.start), to - from) == 0) {
            continue;
        }
        std::string by;
        for (size_t l = k + 1; l < extents.size(); ++l) {
            const Extent& later = extents[l];
            if (later.start < to && later.end > from && by.find(later.image->name) == std::string::npos) {
                by += (by.empty() ? "" : ", ") + later.image->name;
            }
        }
        auto it = std::find_if(p->overwrites.begin(), p->overwrites.end(),
                               [&](const Overwrite& o) { return o.image == e.image->name && o.by == by; });
        if (it == p->overwrites.end()) it = p->overwrites.insert(p->overwrites.end(), Overwrite{e.image->name, by, {}});
        if (it->sectors.empty() || it->sectors.back() != s) it->sectors.push_back(s);
        any = true;
    }
    return any;
}

// A sector no image reaches and that is unchanged: kept, demanded but not
// written, or untouched, by the partitions over it.
SectorState UncoveredState(const std::vector<PartitionBox>& partitions, uint64_t a, uint64_t b)
{
    bool kept = false, notWritten = false;
    for (const auto& box : partitions) {
        const uint64_t end = static_cast<uint64_t>(box.start) + box.length;
        if (box.start >= b || end <= a) continue;
        kept = kept || box.kept;
        notWritten = notWritten || box.notWritten;
    }
    return notWritten ? SectorState::NotWritten : kept ? SectorState::Kept : SectorState::Untouched;
}

}  // namespace

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
    std::vector<Extent> extents;
    for (const auto& img : images) {
        const uint64_t start = static_cast<uint64_t>(img.startKiB) * 1024;
        if (img.startKiB < 0 || start >= kFlashSize || img.bytes.empty()) continue;
        extents.push_back({start, std::min<uint64_t>(start + img.bytes.size(), kFlashSize), &img});
    }
    for (int s = 0; s < kSectorCount; ++s) {
        const uint64_t a = static_cast<uint64_t>(s) * kSectorSize, b = a + kSectorSize;
        for (const auto& e : extents) {
            if (std::max(a, e.start) < std::min(b, e.end) && p.imageOf[s].find(e.image->name) == std::string::npos) {
                p.imageOf[s] += (p.imageOf[s].empty() ? "" : ", ") + e.image->name;
            }
        }
        const uint64_t covered = CoveredBytes(extents, a, b);
        p.coveredBytes[s] = static_cast<uint32_t>(covered);
        if (!whole) {
            p.sectors[s] = SectorState::Unexpected;
        } else if (std::memcmp(after.data() + a, expected.data() + a, kSectorSize) != 0) {
            // Not as the writing left it: an image's bytes torn, else a
            // stray change next to or away from the images.
            p.sectors[s] = covered > 0 && Differs(after, expected, extents, a, b, true) ? SectorState::Torn
                                                                                         : SectorState::Unexpected;
        } else if (NoteOverwrites(after, extents, s, a, b, &p)) {
            p.sectors[s] = SectorState::Overwritten;
        } else if (covered == kSectorSize) {
            p.sectors[s] = SectorState::Written;
        } else if (covered > 0) {
            p.sectors[s] = SectorState::Partial;
        } else {
            p.sectors[s] = UncoveredState(partitions, a, b);
        }
    }
    return p;
}

}  // namespace swsim
