// What a run counted of the instrument's time, as it happened: every pause
// the updater and the programs it started asked for, and the CPU time of
// the updater's processes. Kept in sim/counts.json of the state directory,
// written once by the run (SimRun.h) and read back with ReadRunCounts.
//
// The pauses are recorded by libwaitrecord (host/waitrecord), preloaded
// into the updater in front of libfaketime: each pause is recorded with the
// length the program asked for, before the simulated clock shortens it, so
// the record is the same at every speed. Recorded where they happen rather
// than read from the trace or the stand-ins' records: the trace shows some
// pauses only by a line before them (and none for a retried look-up), the
// stand-ins do not make the updater's pauses, and a recorder in the
// program counts exactly the calls it made, in any order, also those of
// the scripts and tools it starts. Where nothing can be preloaded
// (the programs run under qemu-user) the pauses are not counted:
// `waitsCounted` is false and `waitsWhy` says why.
//
// The CPU time is the updater's, with that of every program it started and
// waited for, as the kernel accounts it on the host (wait4): the host's own
// rate, not the instrument's processor.
#ifndef SWSIM_RUN_COUNTS_H
#define SWSIM_RUN_COUNTS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace swsim {

// One pause, in the order the pauses ended (a pause still going on when its
// program was killed, at a time limit or a power cut, is not recorded).
struct CountedWait {
    std::string process;   // program name ("SwUpdate", "sh", "sleep", ...)
    int pid = 0;
    int tid = 0;
    bool updater = false;  // made by the updater's own process
    bool mainThread = false;  // ... by its main thread (the update's own sequence)
    std::string call;      // sleep, usleep, nanosleep, clock_nanosleep
    double seconds = 0;    // the length asked for (less what an interrupted pause left)
    // What the pause is, for the updater's own pauses of known length:
    // "gui-start" (3 s after starting its server), "driver-restart" (5 s
    // between stopping and starting the flash driver), "medium-check"
    // (2 s after a check that still found the medium), "connection-retry"
    // (200 ms between look-ups of the start-up GUI's name, or of a name an
    // older updater holds); "other" for every other pause.
    std::string kind;
};

struct RunCounts {
    bool waitsCounted = false;   // false: the pauses are unknown, not absent
    std::string waitsWhy;        // why they were not counted
    std::vector<CountedWait> waits;
    int waitCount = 0;           // waits.size()
    double waitSeconds = 0;      // their sum (pauses of concurrent threads included)
    int processes = 0;           // programs that loaded the recorder (the updater included)
    bool cpuMeasured = false;    // false: the updater was not started
    double cpuUserSeconds = 0;   // the updater and the programs it waited for
    double cpuSystemSeconds = 0;
    double cpuSeconds = 0;       // their sum
    double speed = 1;            // the run's clock (the lengths above do not depend on it)
    std::string chipTiming;      // the chip timing the run's chip model waited for
};

// Missing keys keep the defaults; anything but an object, or a value of the
// wrong type, throws nlohmann::json::exception.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(CountedWait, process, pid, tid, updater, mainThread, call, seconds, kind)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(RunCounts, waitsCounted, waitsWhy, waits, waitCount, waitSeconds,
                                                processes, cpuMeasured, cpuUserSeconds, cpuSystemSeconds, cpuSeconds,
                                                speed, chipTiming)

// sim/counts.json of the state directory `stateDir`.
std::string RunCountsPath(const std::string& stateDir);

// Reads sim/counts.json of `stateDir`. Returns false, with the reason in
// *why, when the last run left none (a run before the counting existed, or
// none at all) or it cannot be read.
bool ReadRunCounts(const std::string& stateDir, RunCounts* counts, std::string* why);

// The recorder's lines ("PID TID NAME CALL SECONDS") as pauses; lines that
// are not such are skipped. `updaterPid` marks the updater's own pauses
// (0: unknown). *processes gets the number of "start" lines, *updaterLoaded
// whether one of them is the updater's.
std::vector<CountedWait> ParseWaitRecord(const std::string& text, int updaterPid, int* processes,
                                         bool* updaterLoaded);

// The kind of a pause (see CountedWait::kind).
std::string WaitKind(const CountedWait& w);

}  // namespace swsim

#endif
