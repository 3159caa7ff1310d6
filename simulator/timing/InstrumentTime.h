// The instrument's time, in one place: the chip's timing figures (the chip
// model's NorTiming is the one record of them), the updater's fixed waits,
// chip operations turned into seconds, the medium's estimate, the update's
// duration from what a run counted (UpdateDurationOf), the time of a run
// read from its records, the chip's time of recorded bus writes and the
// update's timeline on which the power-cut sweep places its cuts.
#ifndef SWSIM_INSTRUMENT_TIME_H
#define SWSIM_INSTRUMENT_TIME_H

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "NorChip.h"
#include "RunCounts.h"
#include "UpdaterWaits.h"

namespace swsim {

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

// The update modelled from its writing alone: `sectors` whole sectors
// written (their erases and every word's program) and one lock-bit clearing
// per image of `images` on a typical chip, and the updater's fixed waits of
// a run (GUI start, driver restart, one check that finds the medium still
// in).
double WritingAndWaitsSeconds(uint64_t sectors, int images);

// The estimate a sample medium carries (/tmp/estUpdateTime): the above,
// rounded up, and 30 s for unpacking, the backup and the updater's own work.
int SampleEstimateSeconds(uint64_t sectors, int images);

// The update's duration on the instrument, worked out from what a run did:
//  - the fixed waits: the pauses the main thread of the updater, and of each
//    program it started and waited for, asked for, at the lengths asked
//    (the speed of the run's clock does not enter). Pauses of other threads
//    run beside the update's own sequence (the GUI server's look-up retries
//    while the updater waits for the GUI to start) and are not added.
//    The user's time to answer the question is no pause of the updater (it
//    waits for the answer on its link) and is not counted: the duration is
//    the instrument's, not the user's;
//  - the chip's busy time over the operations the replay of the run's
//    writing counted, bus accesses included, at the chip timing the
//    instrument is modelled at;
//  - the updater's own work: the CPU time of its processes, at the rate of
//    the host that ran them (not of the instrument's processor), less what
//    it spent polling a chip the run's chip model kept busy in real time
//    (that time is the chip's, counted above).
// Not counted: the medium's transfer rate and the instrument's processor
// and memory, for which the simulation has no figures.
struct UpdateDuration {
    bool known = false;         // false: the pauses were not counted (why says why): no figure
    std::string why;
    int guiStarts = 0;          // the updater's pauses by kind
    int driverRestarts = 0;
    int mediumWaits = 0;        // checks that still found the medium
    int otherWaits = 0;         // other pauses of the update's sequence
    double otherWaitSeconds = 0;
    double fixedSeconds = 0;    // all of the above
    double chipSeconds = 0;     // the chip's busy time and bus accesses
    double cpuSeconds = 0;      // the updater's own work (host CPU time)
    double seconds = -1;        // the sum; < 0 when not known
};

// The duration of the update whose run counted `counts` and whose chip
// performed `ops`, with the chip at timing `chip` (the timing the run's
// instrument is modelled at: run.txt's chip-timing).
UpdateDuration UpdateDurationOf(const RunCounts& counts, const norsim::NorTiming& chip, const ChipOps& ops);

// What a run's records say about its time.
struct RunTiming {
    double speed = 1;
    bool rebooted = false;
    double seconds = -1;        // the run's clock: the updater's start to the reboot request (or to
                                // its end), in simulated seconds; < 0: unknown
    double answerDelay = 0;     // the GUI's delay before answering (in seconds of the clock)
    int guiStarts = 0;          // fixed waits told by the trace
    int driverRestarts = 0;
    int mediumWaits = 0;        // medium checks that found it still there
    int mediumChecks = 0;       // every check for the medium's removal
    double fixedSeconds = 0;    // the counted fixed waits (the trace's when the pauses were not counted)
    double chipSeconds = 0;     // the chip's busy time and bus accesses at the modelled chip timing
    std::string chipTiming;     // that timing, as run.txt gives it
    UpdateDuration duration;    // the update's duration on the instrument
    int estimate = -1;          // the medium's /tmp/estUpdateTime; < 0: none
};

// Reads the timing of a run from its record (run.txt), the updater's trace,
// the run's chip operations, the estimate file's text ("" when there was
// none) and what the run counted (null: nothing, as in a run from before
// the counting; the duration is then unknown).
RunTiming TimingOf(const std::string& runRecord, const std::string& trace, const ChipOps& ops,
                   const std::string& estimateText, const RunCounts* counts = nullptr);

// What the medium's estimate is held against: the update's duration, or
// where that is not known the part of it that is (the fixed waits and the
// chip; an estimate short of that is short on any instrument).
double EstimateMeasure(const RunTiming& t);

// Appends the report's section on the instrument's time and its summary keys
// (instrument-seconds, fixed-wait-seconds, chip-seconds, updater-work-seconds,
// time-counted, clock-seconds, update-estimate, estimate-short, speed).
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
    double updateSeconds = 0;            // counted from the reference run where it could be, else modelled
    bool counted = false;
    std::string source;                  // how the times were obtained, for the reports
};
// `flashSeconds`: the chip's time of the whole writing; `countedSeconds`:
// the reference run's duration counted from what it did (UpdateDurationOf;
// < 0: not counted); `mediumChecks`: the checks for the medium's removal in
// the reference run.
UpdateTimeline TimelineOf(double flashSeconds, double countedSeconds, int mediumChecks);

// The moment on the timeline of a record log write made after
// `busWritesBefore` of the run's `busWrites` bus writes; `chipSecondsOfNext`
// is the chip's time of bus write busWritesBefore + 1.
double LogWriteMoment(const UpdateTimeline& t, uint64_t busWritesBefore, uint64_t busWrites,
                      double chipSecondsOfNext);

}  // namespace swsim

#endif
