// Simulated time for a run: the updater and the start-up GUI stand-in see a
// clock that passes `speed` times faster than real time.
//
// The clock comes from libfaketime, preloaded into the programs of the run
// (the updater, the GUI stand-in and everything they start). They keep
// calling the system's sleep, nanosleep, poll, time and clock_gettime; the
// library shortens every pause by the factor and makes every clock pass
// faster by it. The simulator itself always runs in real time.
#ifndef SWSIM_SIM_CLOCK_H
#define SWSIM_SIM_CLOCK_H

#include <string>
#include <vector>

namespace swsim {

// The speed of a run without --speed and without --interactive. Chosen as
// the highest factor at which every run of the project's end-to-end cases
// stayed exact on a loaded 2-core machine (simulator/README.md). The host's
// own work counts that many times on the simulated clock.
constexpr double kDefaultSpeed = 50;

// The highest factor accepted at all.
constexpr double kMaxSpeed = 1000;

// The speed a run uses: `requested` when > 0, otherwise the default for the
// kind of run (real time when the user answers on the terminal).
double EffectiveSpeed(double requested, bool interactive);

// The speed a non-interactive run without --speed gets on this machine: the
// default where simulated time is available, else real time. A limit in
// real seconds times this is the run's limit in simulated seconds.
double DefaultRunSpeedHere();

// Path of libfaketime's preload library, looked for
// where Debian and a local build install it; "" when it is not installed.
std::string FindFakeTimeLibrary();

// Whether a library can be preloaded into the programs of a run. False, with
// the reason in *why, under qemu-user, which does not hand a preload
// library to the program it emulates.
bool PreloadAvailable(std::string* why);

// Whether a run faster than real time can be made here. False, with the
// reason in *why, when libfaketime is not installed or the programs run
// under qemu-user (which does not pass a preload library to the program it
// emulates). On true, *library is the preload library's path.
bool SimulatedTimeAvailable(std::string* library, std::string* why);

// The environment entries that put a program started `sinceOrigin` real
// seconds after the clock's origin onto the run's clock: libfaketime
// preloaded (after what LD_PRELOAD already holds) and a clock that is
// `speed` times faster and shows, at any moment, the origin's real time plus
// `speed` times the real time since the origin. Each program started this
// way therefore reads the same clock. Programs they start themselves inherit
// the factor but count from their own start.
std::vector<std::string> SimClockEnvironment(const std::string& library, double speed, double sinceOrigin,
                                             const char* currentPreload);

// `base` (NAME=VALUE entries) with the entries of `overrides` replacing
// those of the same name, or added; an override that is a bare NAME removes
// the variable.
std::vector<std::string> MergeEnvironment(const std::vector<std::string>& base,
                                          const std::vector<std::string>& overrides);

}  // namespace swsim

#endif
