#include "SimSectors.h"

#include <cstring>

#include "SimFlash.h"

namespace swsim {

const char* SectorContentText(SectorContent c)
{
    switch (c) {
    case SectorContent::Same: return "same";
    case SectorContent::Old: return "old";
    case SectorContent::New: return "new";
    case SectorContent::Torn: return "torn";
    }
    return "torn";
}

SectorContent ContentOf(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done,
                        const std::vector<uint8_t>& after, uint32_t at, uint32_t length)
{
    const uint64_t end = static_cast<uint64_t>(at) + length;
    if (end > before.size() || end > done.size() || end > after.size()) return SectorContent::Torn;
    return BytesContentOf(&before[at], &done[at], &after[at], length);
}

SectorContent BytesContentOf(const uint8_t* before, const uint8_t* done, const uint8_t* after, size_t length)
{
    const bool isOld = std::memcmp(after, before, length) == 0;
    const bool isNew = std::memcmp(after, done, length) == 0;
    if (isOld && isNew) return SectorContent::Same;
    if (isOld) return SectorContent::Old;
    return isNew ? SectorContent::New : SectorContent::Torn;
}

SectorContent SectorContentOf(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done,
                              const std::vector<uint8_t>& after, int sector)
{
    return ContentOf(before, done, after, static_cast<uint32_t>(sector) * kSectorSize, kSectorSize);
}

}  // namespace swsim
