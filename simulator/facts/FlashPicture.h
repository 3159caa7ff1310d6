// What happened to each of the flash's 128 sectors in a run, judged against
// the flash the written images demand (the flash before, overlaid with each
// image): the picture the report page and the check page draw.
#ifndef SWSIM_FLASH_PICTURE_H
#define SWSIM_FLASH_PICTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "SimFlash.h"

namespace swsim {

enum class SectorState {
    Written,      // wholly covered by images, holds them
    Partial,      // partly covered: holds the image and kept its other bytes
    Kept,         // in a partition the update kept, unchanged
    Untouched,    // no image reached it, unchanged
    Unexpected,   // bytes no image covers differ from before the run
    Torn,         // an image's bytes here are not as the writing left them (a fault, a cut)
    Overwritten,  // as written, but a later image wrote over an earlier one: the earlier is not held
    NotWritten,   // in a partition the flash map demands written that the run did not write
};
const char* SectorStateKey(SectorState s);   // "written", "partial", ..., "not-written"
const char* SectorStateText(SectorState s);  // legend text

// A partition of the flash map as drawn over the sectors.
struct PartitionBox {
    std::string name;
    uint32_t start = 0;   // byte address
    uint32_t length = 0;  // bytes
    std::string decision;  // "written", "kept", "rejected", "not written"
    bool kept = false;     // its sectors count as kept when unchanged
    bool notWritten = false;  // the map demands it written, the run did not write it
};

// An image a later one wrote over: the sectors where the flash does not
// hold it although every byte is as the writing left it.
struct Overwrite {
    std::string image;
    std::string by;            // the later images reaching those bytes, ", " between
    std::vector<int> sectors;
};

struct FlashPicture {
    std::vector<SectorState> sectors;     // kSectorCount entries
    std::vector<uint32_t> coveredBytes;   // bytes of each sector that images cover
    std::vector<std::string> imageOf;     // names of the images reaching each sector
    std::vector<PartitionBox> partitions;
    std::vector<Overwrite> overwrites;    // in the order the images were written
};

// Every state, in the legend's order.
const std::vector<SectorState>& AllSectorStates();
// A state that means the flash does not hold what the flash map demands.
bool SectorStateIsFault(SectorState s);

// Classifies every sector. `before` and `after` are whole flashes
// (kFlashSize bytes); images in the order they were written.
FlashPicture PictureFlash(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                          const std::vector<WrittenImage>& images,
                          const std::vector<PartitionBox>& partitions);

}  // namespace swsim

#endif
