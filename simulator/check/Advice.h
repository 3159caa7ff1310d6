// Advice on a medium that ships: a partition it rewrites with the bytes the
// field already holds costs the chip's time of writing it and, at the
// flash's start, a window in which a power cut leaves the instrument unable
// to start. Each such partition is offered as a change to the flash map
// only after the fleet has run the changed map and ended right.
#ifndef SWSIM_ADVICE_H
#define SWSIM_ADVICE_H

#include <string>
#include <vector>

#include "EndState.h"
#include "MediumCheck.h"

namespace swsim {

// Whether the watched lines' images were in the flash before and after a
// run on an instrument of `kind`, and whether it has their mount directories.
std::vector<ImageHeld> HeldImages(const std::vector<MapPartition>& watch, const InstrumentKind& kind,
                                  const Holding& before, const Holding& after);

// Whether a run on an instrument of `kind` is worth its unbootable window:
// the map writes the flash's start there and either `every` is set or the
// image written there is already in the flash.
bool WindowWanted(const MediumFacts& facts, const InstrumentKind& kind, const std::vector<MapPartition>& watch,
                  const Holding& before, bool every);

// The advice for the medium of `facts` from its fleet's results: for every
// YES line whose image every installing instrument already held, a copy of
// the medium with the line changed (built as "swsim medium" builds, under
// o.workDir) is run on the same fleet; the advice is offered when every
// instrument ends right there and the partition holds the same bytes.
void SeekAdvice(const MediumFacts& facts, const std::vector<FleetInstrument>& fleet, const FleetOptions& o,
                const std::vector<InstrumentResult>& results, std::vector<Advice>* advice);

}  // namespace swsim

#endif
