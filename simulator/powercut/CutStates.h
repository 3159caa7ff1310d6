// The distinct states a power cut can leave, worked out from the recorded
// writes of the reference run instead of by running the updater up to each
// cut.
//
// The flash writing: every bus write of the replayed writing falls into one
// phase of one sector (erasing, erased, programming inside an image,
// programming the kept part outside the images, verifying, done). A cut
// anywhere inside one phase leaves the same kind of flash: the sectors
// before it done, the sectors after it untouched, this sector in that phase.
// The flash a cut leaves is the flash before the update with the bus writes
// before the cut applied and the cut write done in part, as the chip model
// does it (an erase erases a prefix of its block, a word program clears some
// of its bits); the files do not change while the flash is written, so the
// instrument root of a cut at the first bus write serves every flash cut.
#ifndef SWSIM_CUT_STATES_H
#define SWSIM_CUT_STATES_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "NorChip.h"
#include "SimCuts.h"
#include "SimFlash.h"

namespace swsim {

// A point of the sweep: a cut id, and for an erase the erased bytes chosen
// (the id "flash:N:P"); -1: as the chip model chooses from N.
struct SweepPoint {
    CutPoint cut;
    int64_t erased = -1;
    std::string cls;   // the state class it represents ("" for a chosen point)
    uint64_t sequence = 0;   // its place among all the points of the sweep (shards keep it)
};

std::string SweepId(const SweepPoint& p);
// "flash:N", "flash:N:P" (P even, at most a sector), "log:N:K" and
// "file:N".
bool ParseSweepId(const std::string& id, SweepPoint* out, std::string* why);

// One sector's writing, by bus write number (1-based; 0: none).
struct SectorWriting {
    int sector = -1;
    std::string image;                 // the image that writes it last
    uint64_t erase = 0;                // its erase confirm
    uint64_t firstProgram = 0, lastProgram = 0;
    // Runs of word programs in one part of the sector: inside an image or in
    // the kept part outside the images.
    struct Run {
        uint64_t first = 0, last = 0;  // bus write numbers of the first and last data write
        bool inside = false;
        uint32_t fromByte = 0, toByte = 0;  // offsets in the sector, [from, to)
    };
    std::vector<Run> runs;
    uint64_t end = 0;                  // the last bus write before the next sector's erase (or the end)
    uint32_t imageFrom = 0, imageTo = 0;  // the part of the sector the images cover, [from, to)
};

struct WritingPlan {
    uint64_t writes = 0;
    std::vector<SectorWriting> sectors;   // in the order the writing erases them
};

WritingPlan PlanWriting(const std::vector<norsim::BusAccess>& bus, const std::vector<WrittenImage>& images);

// Where the write N falls: the sector (index into plan.sectors, -1 before the
// first erase) and the phase's name ("erasing", "erased", "programming inside
// the image", "programming outside the image", "verifying", "done").
struct WritePhase {
    int index = -1;
    std::string phase;
};
WritePhase PhaseOf(const WritingPlan& plan, uint64_t n);

// The flash a cut leaves, kept small: the sectors it leaves as the update
// leaves them, and the bytes of those it leaves otherwise; every other sector
// as before the update. Two cuts leave the same flash when their states are
// equal.
struct CutFlashState {
    std::vector<int> doneSectors;                     // ascending
    std::map<int, std::vector<uint8_t>> ownSectors;
    bool operator==(const CutFlashState& o) const
    {
        return doneSectors == o.doneSectors && ownSectors == o.ownSectors;
    }
};

// A flash cut: at bus write `write` (0 as 1), `erased` as in SweepPoint;
// `untouched`: the cut write does nothing at all (the flash as it is after
// the writes before it).
struct FlashCut {
    uint64_t write = 0;
    int64_t erased = -1;
    bool untouched = false;
};

// The states the cuts leave on the flash `before` whose update leaves
// `done`, worked out in one pass over the recorded bus.
std::vector<CutFlashState> CutFlashStates(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done,
                                          const std::vector<norsim::BusAccess>& bus, const std::vector<FlashCut>& cuts);

// The whole flash of `state` in `flash`; when `holding` is given, `flash`
// holds that state already and only the sectors of the two are rewritten.
void MaterializeCut(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done, const CutFlashState& state,
                    std::vector<uint8_t>* flash, const CutFlashState* holding);

// The flash a cut leaves: `before` with the bus writes before the cut done
// and the cut write done in part. `erased` as in SweepPoint.
std::vector<uint8_t> CutFlash(const std::vector<uint8_t>& before, const std::vector<norsim::BusAccess>& bus,
                              uint64_t cutAt, int64_t erased);

// The class of a flash cut: "<image> sector <s>: <phase>" with, for an erase,
// the part of the sector its erased length reaches.
std::string FlashClassOf(const WritingPlan& plan, uint64_t n, int64_t erasedBytes);

// One point for every distinct flash cut state (SweepPoint::cls set).
std::vector<SweepPoint> ExhaustiveFlashPoints(const WritingPlan& plan);

// `count` further points drawn inside the classes of `points` from `seed`,
// each with the class of the representative it is compared with.
std::vector<SweepPoint> PointsInsideClasses(const WritingPlan& plan, const std::vector<SweepPoint>& points,
                                            int count, uint64_t seed);

}  // namespace swsim

#endif
