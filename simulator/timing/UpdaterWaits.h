// The updater's fixed waits, in seconds: after starting its GUI link, while
// the flash driver restarts, and between two checks for the medium's removal.
// A header of its own, as the start-up GUI stand-in (a program apart from
// the simulator's libraries) times the medium's removal by the last.
#ifndef SWSIM_UPDATER_WAITS_H
#define SWSIM_UPDATER_WAITS_H

namespace swsim {

constexpr double kGuiStartWait = 3;
constexpr double kDriverRestartWait = 5;
constexpr double kMediumPollWait = 2;

}  // namespace swsim

#endif
