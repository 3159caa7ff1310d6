#include "RunJson.h"

#include <sys/wait.h>

#include <csignal>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "RunResult.h"

namespace swsim {

namespace {

using nlohmann::json;

// A text as JSON: the string itself when it is UTF-8 (what the library can
// write), otherwise the array of its byte values.
json TextJson(const std::string& s)
{
    json j = s;
    try {
        (void)j.dump();
        return j;
    } catch (const json::type_error&) {
        json bytes = json::array();
        for (const char c : s) bytes.push_back(static_cast<uint8_t>(c));
        return bytes;
    }
}

std::string TextOf(const json& j)
{
    if (!j.is_array()) return j.get<std::string>();
    std::string s;
    for (const auto& b : j) s.push_back(static_cast<char>(b.get<uint8_t>()));
    return s;
}

// Throws nlohmann::json::type_error unless `j` is an object.
void RequireObject(const json& j)
{
    (void)j.get_ref<const json::object_t&>();
}

// j[key] into *out when present: texts through TextOf, the rest as they are.
void Take(const json& j, const char* key, std::string* out)
{
    const auto it = j.find(key);
    if (it != j.end()) *out = TextOf(*it);
}

template <typename T>
void Take(const json& j, const char* key, T* out)
{
    const auto it = j.find(key);
    if (it != j.end()) it->get_to(*out);
}

}  // namespace

void to_json(json& j, const RunOptions& o)
{
    j = json{{"answer", TextJson(o.answer)},
             {"answer-delay", o.answerDelay},
             {"pull-after", o.pullAfter},
             {"interactive", o.interactive},
             {"faults", TextJson(o.faultsFile)},
             {"timeout", o.timeout},
             {"show-trace", o.showTrace},
             {"show-gui", o.showGui},
             {"updater", TextJson(o.updater)},
             {"gui", TextJson(o.gui)},
             {"updater-cwd", TextJson(o.updaterCwd)},
             {"web-fd", o.webFd},
             {"power-cut", TextJson(o.powerCut)},
             {"log-writes", TextJson(o.logWritesFile)},
             {"speed", o.speed},
             {"chip-timing", TextJson(o.chipTiming)}};
}

void from_json(const json& j, RunOptions& o)
{
    RequireObject(j);
    Take(j, "answer", &o.answer);
    Take(j, "answer-delay", &o.answerDelay);
    Take(j, "pull-after", &o.pullAfter);
    Take(j, "interactive", &o.interactive);
    Take(j, "faults", &o.faultsFile);
    Take(j, "timeout", &o.timeout);
    Take(j, "show-trace", &o.showTrace);
    Take(j, "show-gui", &o.showGui);
    Take(j, "updater", &o.updater);
    Take(j, "gui", &o.gui);
    Take(j, "updater-cwd", &o.updaterCwd);
    Take(j, "web-fd", &o.webFd);
    Take(j, "power-cut", &o.powerCut);
    Take(j, "log-writes", &o.logWritesFile);
    Take(j, "speed", &o.speed);
    Take(j, "chip-timing", &o.chipTiming);
}

void to_json(json& j, const InsideRequest& r)
{
    json env = json::array();
    for (const auto& e : r.updaterEnv) env.push_back(TextJson(e));
    j = json{{"run", r.run}, {"trace-fd", r.traceFd}, {"gui-fd", r.guiFd}, {"result-fd", r.resultFd},
             {"updater-env", env}, {"wait-record-fd", r.waitRecordFd}, {"wait-recorder", TextJson(r.waitRecorder)}};
}

void from_json(const json& j, InsideRequest& r)
{
    RequireObject(j);
    Take(j, "run", &r.run);
    Take(j, "trace-fd", &r.traceFd);
    Take(j, "gui-fd", &r.guiFd);
    Take(j, "result-fd", &r.resultFd);
    Take(j, "wait-record-fd", &r.waitRecordFd);
    Take(j, "wait-recorder", &r.waitRecorder);
    const auto env = j.find("updater-env");
    if (env == j.end()) return;
    r.updaterEnv.clear();
    for (const auto& e : *env) r.updaterEnv.push_back(TextOf(e));
}

void to_json(json& j, const InsideResult& r)
{
    j = json{{"medium", r.medium},
             {"file0-names", TextJson(r.file0Names)},
             {"file0-status", r.file0Status},
             {"updater-seconds", r.updaterSeconds},
             {"reboot-seconds", r.rebootSeconds},
             {"updater-status", r.updaterStatus},
             {"gui-status", r.guiStatus},
             {"timed-out", r.timedOut},
             {"updater-pid", r.updaterPid},
             {"waits-recorded", r.waitsRecorded},
             {"cpu-measured", r.cpuMeasured},
             {"cpu-user-seconds", r.cpuUserSeconds},
             {"cpu-system-seconds", r.cpuSystemSeconds}};
}

void from_json(const json& j, InsideResult& r)
{
    RequireObject(j);
    Take(j, "medium", &r.medium);
    Take(j, "file0-names", &r.file0Names);
    Take(j, "file0-status", &r.file0Status);
    Take(j, "updater-seconds", &r.updaterSeconds);
    Take(j, "reboot-seconds", &r.rebootSeconds);
    Take(j, "updater-status", &r.updaterStatus);
    Take(j, "gui-status", &r.guiStatus);
    Take(j, "timed-out", &r.timedOut);
    Take(j, "updater-pid", &r.updaterPid);
    Take(j, "waits-recorded", &r.waitsRecorded);
    Take(j, "cpu-measured", &r.cpuMeasured);
    Take(j, "cpu-user-seconds", &r.cpuUserSeconds);
    Take(j, "cpu-system-seconds", &r.cpuSystemSeconds);
}

namespace {

template <typename T>
bool FromJsonText(const std::string& text, T* out, std::string* why)
{
    try {
        *out = json::parse(text).get<T>();
        return true;
    } catch (const json::exception& e) {
        *why = e.what();
        return false;
    }
}

}  // namespace

std::string InsideRequestJson(const InsideRequest& r)
{
    return json(r).dump();
}

bool InsideRequestFromJson(const std::string& text, InsideRequest* r, std::string* why)
{
    return FromJsonText(text, r, why);
}

void to_json(json& j, const RunResult& r)
{
    j = json{{"rootStatus", r.rootStatus}, {"insideReported", r.insideReported}, {"inside", r.inside},
             {"counts", r.counts}};
}

void from_json(const json& j, RunResult& r)
{
    r = RunResult();
    RequireObject(j);
    Take(j, "rootStatus", &r.rootStatus);
    Take(j, "insideReported", &r.insideReported);
    Take(j, "inside", &r.inside);
    Take(j, "counts", &r.counts);
}

bool RunResult::UpdaterEnded() const
{
    return insideReported && !inside.timedOut && inside.updaterStatus >= 0 && WIFEXITED(inside.updaterStatus);
}

bool RunResult::PowerCutHappened() const
{
    return insideReported && !inside.timedOut && inside.updaterStatus >= 0 && WIFSIGNALED(inside.updaterStatus) &&
           WTERMSIG(inside.updaterStatus) == SIGKILL;
}

std::string InsideResultJson(const InsideResult& r)
{
    return json(r).dump() + "\n";
}

bool InsideResultFromJson(const std::string& text, InsideResult* r, std::string* why)
{
    return FromJsonText(text, r, why);
}

}  // namespace swsim
