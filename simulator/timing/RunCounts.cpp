#include "RunCounts.h"

#include <cmath>
#include <sstream>

#include <nlohmann/json.hpp>

#include "SimFiles.h"

namespace swsim {

std::string RunCountsPath(const std::string& stateDir)
{
    return stateDir + "/sim/counts.json";
}

bool ReadRunCounts(const std::string& stateDir, RunCounts* counts, std::string* why)
{
    const std::string path = RunCountsPath(stateDir);
    if (!PathExists(path)) {
        *why = path + " is missing (no run, or one from before the run's time was counted)";
        return false;
    }
    try {
        *counts = nlohmann::json::parse(ReadTextOr(path, "")).get<RunCounts>();
    } catch (const nlohmann::json::exception& e) {
        *why = path + ": " + e.what();
        return false;
    }
    return true;
}

std::string WaitKind(const CountedWait& w)
{
    if (!w.updater) return "other";
    auto is = [&w](double s) { return std::fabs(w.seconds - s) < 1e-6; };
    if (w.call == "sleep" && w.mainThread) {
        if (is(3)) return "gui-start";
        if (is(5)) return "driver-restart";
        if (is(2)) return "medium-check";
    }
    if (w.call == "nanosleep" && is(0.2)) return "connection-retry";
    return "other";
}

std::vector<CountedWait> ParseWaitRecord(const std::string& text, int updaterPid, int* processes,
                                         bool* updaterLoaded)
{
    std::vector<CountedWait> waits;
    *processes = 0;
    *updaterLoaded = false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        CountedWait w;
        std::string rest;
        if (!(fields >> w.pid >> w.tid >> w.process >> w.call >> w.seconds) || (fields >> rest)) continue;
        if (!std::isfinite(w.seconds) || w.seconds < 0) continue;
        if (w.call == "start") {
            ++*processes;
            *updaterLoaded = *updaterLoaded || (updaterPid != 0 && w.pid == updaterPid);
            continue;
        }
        w.updater = updaterPid != 0 && w.pid == updaterPid;
        w.mainThread = w.tid == w.pid;
        w.kind = WaitKind(w);
        waits.push_back(w);
    }
    return waits;
}

}  // namespace swsim
