// The report on the last update run of a simulated instrument, rendered
// from its facts (RunFacts): outcome, screens, partitions written or kept
// and the flash check, installed files, log entries added, board-tool
// calls, flash statistics with the real-chip estimate, the instrument's
// time and the wall time; and its key=value summary (sim/summary.txt).
#ifndef SWSIM_SIM_REPORT_H
#define SWSIM_SIM_REPORT_H

#include <map>
#include <string>

#include "RunFacts.h"
#include "TraceFacts.h"

namespace swsim {

// The text report of a run.
std::string RunReportText(const RunFacts& facts);

// How the medium left the slot: "medium taken out 0 s after it was asked
// for", "medium never taken out", "medium taken out by the user".
std::string MediumTakenOut(const RunFacts& facts);

// The run's outcome as both reports head it: the outcome's sentence, its
// cause or caveat (why the flash could not be written; an update done
// without writing anything, or over a flash that does not hold what the
// map demands, said as such), and whether it is good news.
struct RunHeadline {
    std::string outcome;   // OutcomeText: "update done (remove-medium screen)"
    std::string caveat;    // ": no flash map among the unpacked packages", ", but ..."; "" for none
    bool good = false;     // done as the map demands, declined, or not allowed
};
RunHeadline HeadlineOf(const RunFacts& facts);

// The installed version's text as the reports give it ("(none)" without one).
std::string VersionText(bool have, const std::string& text);

// The summary's keys and values (sim/summary.txt, one "key=value" a line).
std::map<std::string, std::string> SummaryOf(const RunFacts& facts);

// Writes the summary of `facts` to STATE/sim/summary.txt. Returns false
// with the reason.
bool WriteSummary(const StatePaths& state, const RunFacts& facts, std::string* why);

// Reads the facts of the last run of `stateDir` (once), writes its summary
// and renders its report into *text; *facts, when given, receives the facts.
// Returns 0, or 1 with the reason (no run yet).
int MakeReport(const std::string& stateDir, std::string* text, std::string* why, RunFacts* facts = nullptr);

}  // namespace swsim

#endif
