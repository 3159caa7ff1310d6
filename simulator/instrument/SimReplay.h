// The flash writing of a run, replayed: the images the updater wrote, in the
// same order, written again through the same flash module onto the chip
// model over a copy of the flash as it was before the run. The updater's own
// process keeps the chip model's counters and bus to itself; the replay
// gives them (statistics, the recorded bus) and shows whether it ends with
// exactly the flash the run left.
//
// The chip model and the updater's flash module keep process-wide state
// (the chip's content and counters, the bus recorder, the flash module's
// fault flags, standard output while the flash module writes). Each replay
// runs in a process of its own, which owns a chip from its power-up to its
// end: replays from several threads run side by side, and the caller's
// chip, recorder and standard output are never touched.
#ifndef SWSIM_SIM_REPLAY_H
#define SWSIM_SIM_REPLAY_H

#include <cstdint>
#include <string>
#include <vector>

#include "NorChip.h"
#include "SimFlash.h"

namespace swsim {

struct ReplayImage {
    std::string path;   // host path of the image file ("" or missing: cannot be opened)
    long startKiB = 0;  // as the flash map gives it
};

struct ReplayResult {
    bool done = false;          // the replay ran (else *why)
    std::string why;
    norsim::NorChipStats stats;
    bool matchesFlash = false;  // ends with the content of `compareWith`
};

// Replays onto a scratch copy of `flashBefore` (removed afterwards), with the
// fault file `faultsFile` ("" for none); the flash module's lines are
// suppressed. With `bus`, every bus access is appended to it.
ReplayResult ReplayImages(const std::string& flashBefore, const std::string& faultsFile,
                          const std::vector<ReplayImage>& images, const std::string& compareWith,
                          std::vector<norsim::BusAccess>* bus);

// Which bus writes of a recorded bus change which sector: of the chip's
// operations (norsim::NorOperationsOf) erases and word programs change the
// array.
struct BusPlan {
    uint64_t writes = 0;                 // bus writes in all
    uint64_t first[kSectorCount] = {};   // first changing write of each sector (1-based); 0: none
    uint64_t last[kSectorCount] = {};    // its last changing write
    // Moments of special interest: erase confirms, lock-bit clearings, the
    // first and the last word program of every sector.
    std::vector<uint64_t> favoured;
};
BusPlan PlanFromBus(const std::vector<norsim::BusAccess>& bus);

}  // namespace swsim

#endif
