// Shared parts of the power-loss tests: run options, seeded choice of the
// power-loss points, scratch directories, programs run with extra
// environment, and the checks of what survived a cut.
//
// A power-loss point prints as a replayable id ("flash:N" for the N-th bus
// write of the chip, "log:SCENARIO:N:K" for the N-th log write torn after K
// bytes); POWERLOSS_REPLAY set to such ids (comma-separated) runs only those.
#ifndef POWER_LOSS_H
#define POWER_LOSS_H

#include <cstdint>
#include <set>
#include <string>

#include <vector>

#include "RootTest.h"
#include "SimCuts.h"
#include "SimReplay.h"

namespace powerloss {

// POWERLOSS_POINTS (points per phase, default 50), POWERLOSS_SEED (default
// 1), POWERLOSS_JOBS (updater runs at once, default 4), POWERLOSS_REPLAY.
struct Options {
    int points = 50;
    uint64_t seed = 1;
    int jobs = 4;
    std::vector<std::string> replay;  // ids to run instead of a seeded choice
};
Options OptionsFromEnvironment();

// Ids of `replay` that start with prefix (e.g. "flash:"), the prefix removed.
std::vector<std::string> ReplayIds(const Options& options, const std::string& prefix);

// Runs argv with `extraEnv` ("NAME=value") added to this process's
// environment, standard output and error into outputFile. Returns the exit
// code, 128 + signal when killed, -1 when it could not be started.
int RunWithEnvironment(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                       const std::string& outputFile);

// The seeded choice of points is the simulator's (SimCuts.h), as is the
// bus plan of which write changes which sector (SimReplay.h).
using swsim::ChoosePoints;

// ---------------------------------------------------------------------------
// Flash: what each sector of the chip holds after a cut.

constexpr uint32_t kSectorBytes = 0x20000;
constexpr int kSectors = 128;

// Modifying bus writes per sector in a run without a cut: the first (an erase
// confirm or a program) and the last, as 1-based bus write numbers; 0 when
// the run never changes the sector.
using SectorPlan = swsim::BusPlan;

struct SectorCount {
    int oldContent = 0;   // holds its content from before the run (differs from new)
    int newContent = 0;   // holds the content the run writes (differs from old)
    int same = 0;         // untouched, or old and new are equal
    int torn = 0;         // neither old nor new
    std::vector<std::string> faults;  // violations, readable
};

// Compares each sector of `after` (cut at bus write `cut`) with `before` and
// `done` (the flash a run without a cut leaves). A sector finished before the
// cut must hold its new content, one not yet started its old; only the
// sector whose writing the cut interrupts may hold neither.
SectorCount ClassifySectors(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done,
                            const std::vector<uint8_t>& after, const SectorPlan& plan, uint64_t cut);

}  // namespace powerloss

#endif
