// The time limit a test gives `swsim run` when the limit is only there to
// stop a hung run.
//
// `--timeout` counts simulated seconds on the run's clock, and that clock
// also counts the host's own work (unpacking, writing the flash through the
// chip model, the shell commands) `speed` times over. A limit of a few
// simulated minutes is therefore a few real seconds at the default speed,
// and a busy machine stretches a sound run past it: the updater is stopped
// and the run ends "did not finish". The limit is given in real seconds
// instead, turned into the run's simulated seconds at the speed a run gets
// here. (Tests that need the simulator's own library.)
#ifndef TEST_HANG_LIMIT_H
#define TEST_HANG_LIMIT_H

#include <string>

#include "SimClock.h"

inline std::string HangLimit(double realSeconds)
{
    return std::to_string(static_cast<long>(realSeconds * swsim::DefaultRunSpeedHere()));
}

#endif
