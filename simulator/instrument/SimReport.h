// The report on the last update run of a simulated instrument: outcome,
// screens, partitions written or kept and the flash check, installed files,
// log entries added, board-tool calls, flash statistics with the real-chip
// estimate, and the wall time.
#ifndef SWSIM_SIM_REPORT_H
#define SWSIM_SIM_REPORT_H

#include <string>
#include <vector>

namespace swsim {

// The outcome of a run, read from the updater's trace.
enum class Outcome { NotAllowed, Declined, PreUpdateFailed, UnpackingFailed, FlashFailed, Done, Unfinished };
const char* OutcomeKey(Outcome o);
Outcome OutcomeOf(const std::string& trace, bool updaterEnded);

// What the trace says the updater decided for one partition image.
struct PartitionDecision {
    std::string name;
    enum { Unseen, Written, Kept, Rejected } what = Unseen;
};
// FlashInit calls in order ("Flashing file NAME to address 0xA").
struct FlashAttempt {
    std::string name;
    unsigned address = 0;
};
std::vector<FlashAttempt> FlashAttempts(const std::string& trace);

// The screens the start-up GUI was asked for, in order: "ready", "timers",
// "question", "in-progress", "message 2000", ... (from its record).
std::vector<std::string> ScreensOf(const std::string& guiRecord);

struct StatePaths;

// The outcome of the last run of a state directory, from its trace and run
// record (Unfinished when there was none, the updater was killed or stopped).
Outcome OutcomeOfRun(const StatePaths& state);

// The host path of a path of the instrument's (a relative one is taken in
// /tmp, where the updater works); "" for paths outside the writable
// directories.
std::string HostPathOf(const StatePaths& state, const std::string& path);

// Writes the report of the last run to *text and its key=value summary to
// STATE/sim/summary.txt. Returns 0, or 1 with the reason (no run yet).
int MakeReport(const std::string& stateDir, std::string* text, std::string* why);

}  // namespace swsim

#endif
