#include "RunCounts.h"

#include <cmath>
#include <sstream>

#include <nlohmann/json.hpp>

#include "SimFiles.h"

namespace swsim {

void to_json(nlohmann::json& j, const CountedWait& w)
{
    j = nlohmann::json{{"process", w.process}, {"pid", w.pid},   {"tid", w.tid},         {"updater", w.updater},
                       {"mainThread", w.mainThread}, {"call", w.call}, {"seconds", w.seconds}, {"kind", w.kind}};
}

void from_json(const nlohmann::json& j, CountedWait& w)
{
    w = CountedWait();
    (void)j.get_ref<const nlohmann::json::object_t&>();  // throws unless an object
    if (j.contains("process")) j.at("process").get_to(w.process);
    if (j.contains("pid")) j.at("pid").get_to(w.pid);
    if (j.contains("tid")) j.at("tid").get_to(w.tid);
    if (j.contains("updater")) j.at("updater").get_to(w.updater);
    if (j.contains("mainThread")) j.at("mainThread").get_to(w.mainThread);
    if (j.contains("call")) j.at("call").get_to(w.call);
    if (j.contains("seconds")) j.at("seconds").get_to(w.seconds);
    if (j.contains("kind")) j.at("kind").get_to(w.kind);
}

void to_json(nlohmann::json& j, const RunCounts& c)
{
    j = nlohmann::json{{"waitsCounted", c.waitsCounted},
                       {"waitsWhy", c.waitsWhy},
                       {"waits", c.waits},
                       {"waitCount", c.waitCount},
                       {"waitSeconds", c.waitSeconds},
                       {"processes", c.processes},
                       {"cpuMeasured", c.cpuMeasured},
                       {"cpuUserSeconds", c.cpuUserSeconds},
                       {"cpuSystemSeconds", c.cpuSystemSeconds},
                       {"cpuSeconds", c.cpuSeconds},
                       {"speed", c.speed},
                       {"chipTiming", c.chipTiming}};
}

void from_json(const nlohmann::json& j, RunCounts& c)
{
    c = RunCounts();
    (void)j.get_ref<const nlohmann::json::object_t&>();  // throws unless an object
    auto get = [&j](const char* key, auto& field) {
        if (j.contains(key)) j.at(key).get_to(field);
    };
    get("waitsCounted", c.waitsCounted);
    get("waitsWhy", c.waitsWhy);
    get("waits", c.waits);
    get("waitCount", c.waitCount);
    get("waitSeconds", c.waitSeconds);
    get("processes", c.processes);
    get("cpuMeasured", c.cpuMeasured);
    get("cpuUserSeconds", c.cpuUserSeconds);
    get("cpuSystemSeconds", c.cpuSystemSeconds);
    get("cpuSeconds", c.cpuSeconds);
    get("speed", c.speed);
    get("chipTiming", c.chipTiming);
}

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
