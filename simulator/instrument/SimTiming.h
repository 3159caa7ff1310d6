// The instrument's time of a run: how long the update took on the run's
// (simulated) clock, what of it were the updater's fixed waits and the
// chip's busy time, and how the medium's estimate compares.
#ifndef SWSIM_SIM_TIMING_H
#define SWSIM_SIM_TIMING_H

#include <map>
#include <sstream>
#include <string>

namespace swsim {

// The updater's fixed waits, in seconds: after starting its GUI link, while
// the flash driver restarts, and between two checks for the medium's removal.
constexpr double kGuiStartWait = 3;
constexpr double kDriverRestartWait = 5;
constexpr double kMediumPollWait = 2;

// What a run's records say about its time.
struct RunTiming {
    double speed = 1;
    bool rebooted = false;
    double seconds = -1;        // updater's start to the reboot request (or to its end); < 0: unknown
    int guiStarts = 0;          // fixed waits counted from the trace
    int driverRestarts = 0;
    int mediumWaits = 0;        // medium checks that found it still there
    double fixedSeconds = 0;
    double chipSeconds = 0;     // erases, word programs and lock-bit clearings at the run's chip timing
    int estimate = -1;          // the medium's /tmp/estUpdateTime; < 0: none
};

// Reads the timing of a run from its record (run.txt), the updater's trace,
// the run's chip timing text and operation counts, and the estimate file's
// text ("" when there was none).
RunTiming TimingOf(const std::string& runRecord, const std::string& trace, double erases, double programs,
                   double unlocks, const std::string& estimateText);

// Appends the report's section on the instrument's time and its summary keys
// (instrument-seconds, fixed-wait-seconds, chip-seconds, update-estimate,
// estimate-short, speed).
void ReportTiming(const RunTiming& t, std::ostringstream* out, std::map<std::string, std::string>* summary);

}  // namespace swsim

#endif
