// The instrument's time, in one place: the chip's timing figures (the chip
// model's NorTiming is the one record of them), the updater's fixed waits,
// chip operations turned into seconds, the medium's estimate, the time of a
// run read from its records, the chip's time of recorded bus writes and the
// update's timeline on which the power-cut sweep places its cuts.
#ifndef SWSIM_INSTRUMENT_TIME_H
#define SWSIM_INSTRUMENT_TIME_H

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "NorChip.h"

namespace swsim {

// The updater's fixed waits, in seconds: after starting its GUI link, while
// the flash driver restarts, and between two checks for the medium's removal.
constexpr double kGuiStartWait = 3;
constexpr double kDriverRestartWait = 5;
constexpr double kMediumPollWait = 2;

// One asynchronous 16-bit read or write on the chip's bus. The chip model
// does not delay bus accesses; the estimate and the timeline count them.
constexpr double kBusAccessSeconds = 100e-9;

// What the chip did: block erases, word programs, lock-bit clearings and bus
// accesses (reads and writes).
struct ChipOps {
    double erases = 0;
    double programs = 0;
    double unlocks = 0;
    double busAccesses = 0;
};

// The chip's time of `ops` at timing `t` (norsim::NorTiming() gives the
// typical datasheet figures of 128-Mbit x16 NOR chips with this command set).
double ChipSeconds(const norsim::NorTiming& t, const ChipOps& ops);

// The estimate a sample medium carries (/tmp/estUpdateTime): the writing of
// `sectors` whole sectors (their erases and every word's program) and one
// lock-bit clearing per image of `images` on a typical chip, the updater's fixed waits of
// a run (GUI start, driver restart, one check that finds the medium still
// in) and 30 s for unpacking, the backup and the updater's own work.
int SampleEstimateSeconds(uint64_t sectors, int images);

// What a run's records say about its time.
struct RunTiming {
    double speed = 1;
    bool rebooted = false;
    double seconds = -1;        // updater's start to the reboot request (or to its end); < 0: unknown
    int guiStarts = 0;          // fixed waits counted from the trace
    int driverRestarts = 0;
    int mediumWaits = 0;        // medium checks that found it still there
    int mediumChecks = 0;       // every check for the medium's removal
    double fixedSeconds = 0;
    double chipSeconds = 0;     // erases, word programs and lock-bit clearings at the run's chip timing
    int estimate = -1;          // the medium's /tmp/estUpdateTime; < 0: none
};

// Reads the timing of a run from its record (run.txt), the updater's trace,
// the run's chip operations (bus accesses are not counted here) and the
// estimate file's text ("" when there was none).
RunTiming TimingOf(const std::string& runRecord, const std::string& trace, const ChipOps& ops,
                   const std::string& estimateText);

// Appends the report's section on the instrument's time and its summary keys
// (instrument-seconds, fixed-wait-seconds, chip-seconds, update-estimate,
// estimate-short, speed).
void ReportTiming(const RunTiming& t, std::ostringstream* out, std::map<std::string, std::string>* summary);

// The chip's time in seconds, from its first bus access, at which each of
// the bus writes `writes` (1-based, ascending) begins; a number beyond the
// last write gives the end of the writing. Every access takes
// `busAccessSeconds`; an erase confirm keeps the chip busy for a block
// erase, a program data write for a word program, a lock-bit confirm for a
// lock-bit clearing.
std::vector<double> WriteTimes(const std::vector<norsim::BusAccess>& bus, const norsim::NorTiming& timing,
                               const std::vector<uint64_t>& writes, double busAccessSeconds = kBusAccessSeconds);

// The chip's time of chosen bus writes of a recorded bus, at typical timing,
// looked up by write number.
struct WriteClock {
    std::vector<uint64_t> writes;   // ascending, unique
    std::vector<double> seconds;
    // The time of write `n`, which must be among `writes`.
    double At(uint64_t n) const;
};
// The clock of `writes` (any order, duplicates allowed).
WriteClock MakeWriteClock(const std::vector<norsim::BusAccess>& bus, std::vector<uint64_t> writes);

// The update's timeline as the power-cut sweep sees it: the flash writing
// placed after the GUI link's start and followed by the driver restart
// (where the installation writes the revision entry) and the medium checks.
struct UpdateTimeline {
    double flashFrom = 0, flashTo = 0;   // the flash writing
    double modelledSeconds = 0;          // the update from the chip model and the fixed waits alone
    double updateSeconds = 0;            // measured when the reference's clock gave a later end, else modelled
    bool measured = false;
    std::string source;                  // how the times were obtained, for the reports
};
// `flashSeconds`: the chip's time of the whole writing; `measuredSeconds`:
// the reference run's duration on its clock (< 0: none); `mediumChecks`:
// the checks for the medium's removal in the reference run.
UpdateTimeline TimelineOf(double flashSeconds, double measuredSeconds, int mediumChecks);

// The moment on the timeline of a record log write made after
// `busWritesBefore` of the run's `busWrites` bus writes; `chipSecondsOfNext`
// is the chip's time of bus write busWritesBefore + 1.
double LogWriteMoment(const UpdateTimeline& t, uint64_t busWritesBefore, uint64_t busWrites,
                      double chipSecondsOfNext);

}  // namespace swsim

#endif
