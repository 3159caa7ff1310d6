// What the updater's trace and the GUI stand-in's record say about a run,
// and where the images the updater named lie on the host.
#ifndef SWSIM_TRACE_FACTS_H
#define SWSIM_TRACE_FACTS_H

#include <string>
#include <vector>

namespace swsim {

struct StatePaths;

// The outcome of a run, read from the updater's trace.
enum class Outcome { NotAllowed, Declined, PreUpdateFailed, UnpackingFailed, FlashFailed, Done, Unfinished };
const char* OutcomeKey(Outcome o);
// The reports' sentence for an outcome ("update done (remove-medium screen)").
const char* OutcomeText(Outcome o);
// The outcome of a key (Unfinished for an unknown one).
Outcome OutcomeOfKey(const std::string& key);
Outcome OutcomeOf(const std::string& trace, bool updaterEnded);

// The trace lines that show why a run ended as `o` did, as they stand in the
// trace (line ends cut off): for a failure or a refusal, the messages of
// the commands and the updater's lines about failures, faults and missing
// files in the phase that failed (at most 8, the last ones), and the line
// that tells the outcome; for a run that did not finish, its last 3 lines;
// none for a done or declined update.
std::vector<std::string> CauseLines(const std::string& trace, Outcome o);

// The updater ended by itself (not killed, not stopped after the time
// limit), from the run's record (run.txt).
bool UpdaterEnded(const std::string& runRecord);

// The outcome of the last run of a state directory, from its trace and run
// record (Unfinished when there was none, the updater was killed or stopped).
Outcome OutcomeOfRun(const StatePaths& state);

// The logs of /instrumentData the trace says the updater recreated, in
// InstrumentLogs() order.
std::vector<std::string> RecreatedLogsOf(const std::string& trace);

// FlashInit calls in order ("Flashing file NAME to address 0xA").
struct FlashAttempt {
    std::string name;
    unsigned address = 0;
};
std::vector<FlashAttempt> FlashAttempts(const std::string& trace);

// The screens the start-up GUI was asked for, in order: "ready", "timers",
// "question", "in-progress", "message 2000", ... (from its record).
std::vector<std::string> ScreensOf(const std::string& guiRecord);

// Checks of the medium's presence in the trace: all of them, and those that
// found it gone (descriptor -1). Each but the last one is followed by a wait.
struct MediumChecks {
    int all = 0;
    int gone = 0;
};
MediumChecks MediumChecksOf(const std::string& trace);

// The host path of a path of the instrument's (a relative one is taken in
// /tmp, where the updater works); "" for paths outside the writable
// directories.
std::string HostPathOf(const StatePaths& state, const std::string& path);

}  // namespace swsim

#endif
