// What a run of the updater gave, as the run itself found it: how the
// instrument root ended, what the part inside reported (the updater's and
// the GUI's wait statuses, the time limit, the start-up's unpacking) and
// what the run counted. RunUpdate returns it; sim/run.txt and
// sim/counts.json are written from it for the reports, and the callers that
// judge a run (the power-cut sweep) take it instead of reading those back.
#ifndef SWSIM_RUN_RESULT_H
#define SWSIM_RUN_RESULT_H

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "RunCounts.h"
#include "SimInside.h"

namespace swsim {

struct RunResult {
    int rootStatus = -1;          // the instrument root's wait status; -1: no root was made
    bool insideReported = false;  // the part inside reported: `inside` holds what it found
    InsideResult inside;
    RunCounts counts;

    // The updater ended on its own (not stopped at the time limit, not killed).
    bool UpdaterEnded() const;
    // The updater was killed as a power cut kills it (SIGKILL), not stopped
    // at the time limit.
    bool PowerCutHappened() const;
};

// Missing keys keep the defaults; a value of the wrong type throws
// nlohmann::json::exception.
void to_json(nlohmann::json& j, const RunResult& r);
void from_json(const nlohmann::json& j, RunResult& r);

}  // namespace swsim

#endif
