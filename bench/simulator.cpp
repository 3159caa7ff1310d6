// bench-libs: swsim_medium swsim_lib
//
// The simulator's own cost, as processes: one update run of the sample on a
// fresh instrument (swsim run), swsim check of the sample's medium with its
// default fleet, and the power-cut sweep of every distinct cut state of the
// sample on one instrument and on the default fleet. Each iteration is timed by the wall clock around the
// command alone (the instrument's creation is left out). The counters give
// the update's duration on the instrument as the run's summary states it
// (instrument-seconds; before that figure was counted, it was the run's
// clock). SWSIM names the swsim to measure (default: this build's), so that
// two builds are measured with the same benchmark.
#include <benchmark/benchmark.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SimFiles.h"
#include "SimMedium.h"
#include "SimState.h"

namespace {

std::string Swsim()
{
    const char* s = std::getenv("SWSIM");
    return s != nullptr && *s != '\0' ? s : SWSIM_EXE;
}

// A directory of its own under TMPDIR, removed at the end.
struct Scratch {
    std::string path;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    Scratch()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/swsim-bench.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        path = mkdtemp(name.data()) != nullptr ? name.data() : "";
    }
    ~Scratch()
    {
        std::string why;
        if (!path.empty()) swsim::RemoveTree(path, &why);
    }
};

// Runs swsim with `args`; false with the reason in the benchmark's error.
// `okStatus` -1 takes any verdict (0 to 2) as done.
bool Run(benchmark::State& state, const std::vector<std::string>& args, int okStatus = 0)
{
    std::vector<std::string> argv = {Swsim()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output, why;
    const int status = swsim::RunProgram(argv, &output, &why);
    const bool ok = status != -1 && WIFEXITED(status) &&
                    (okStatus < 0 ? WEXITSTATUS(status) <= 2 : WEXITSTATUS(status) == okStatus);
    if (!ok) {
        state.SkipWithError(("swsim " + args[0] + " failed: " + why + output.substr(0, 400)).c_str());
        return false;
    }
    return true;
}

double Elapsed(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The sample's run at the speed given by the range (0: the default), with
// its report (which writes the summary read for the counter).
void BM_SampleRun(benchmark::State& state)
{
    const Scratch scratch;
    double instrument = 0;
    int n = 0;
    for (auto _ : state) {
        const std::string inst = scratch.path + "/inst" + std::to_string(n++);
        if (!Run(state, {"create", inst}) || !Run(state, {"medium", inst, "--sample"})) return;
        std::vector<std::string> args = {"run", inst, "--quiet", "--timeout", "600"};
        if (state.range(0) > 0) args.insert(args.end(), {"--speed", std::to_string(state.range(0))});
        const auto t0 = std::chrono::steady_clock::now();
        if (!Run(state, args)) return;
        state.SetIterationTime(Elapsed(t0));
        instrument += std::atof(
            swsim::RecordValue(swsim::ReadTextOr(inst + "/sim/summary.txt", ""), "instrument-seconds").c_str());
    }
    state.counters["instrument_s"] = benchmark::Counter(instrument / std::max(n, 1));
}
BENCHMARK(BM_SampleRun)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(5);
// In real time the run takes the update's whole duration: run it once.
BENCHMARK(BM_SampleRun)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_CheckSample(benchmark::State& state)
{
    const Scratch scratch;
    std::vector<std::string> lines;
    std::string why;
    if (swsim::WriteSampleUpdate(scratch.path + "/src", swsim::SampleOptions(), &why) != 0 ||
        swsim::BuildMedium(scratch.path + "/src", scratch.path + "/medium", &lines, &why) != 0) {
        state.SkipWithError(why.c_str());
        return;
    }
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!Run(state, {"check", scratch.path + "/medium", "--work", scratch.path + "/work", "--json",
                         scratch.path + "/check.json"})) {
            return;
        }
        state.SetIterationTime(Elapsed(t0));
    }
}
BENCHMARK(BM_CheckSample)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(10);

// The exhaustive power-cut sweep of the sample: on the instrument of `swsim
// create` (range 0), and the sample's medium on the default fleet (range 1,
// in its default scratch space, with the wall time of each instrument's
// sweep as a counter). One
// iteration: a sweep is a few hundred update runs.
void BM_PowercutSample(benchmark::State& state)
{
    const Scratch scratch;
    const std::string inst = scratch.path + "/inst", json = scratch.path + "/powercut.json";
    if (!Run(state, {"create", inst}) || !Run(state, {"medium", inst, "--sample"})) return;
    for (auto _ : state) {
        const std::vector<std::string> args =
            state.range(0) == 0
                ? std::vector<std::string>{"powercut", inst, "--exhaustive", "--json", json}
                : std::vector<std::string>{"powercut", "--medium", inst + "/medium", "--exhaustive", "--json", json};
        const auto t0 = std::chrono::steady_clock::now();
        if (!Run(state, args, -1)) return;
        state.SetIterationTime(Elapsed(t0));
    }
    const nlohmann::json report = nlohmann::json::parse(swsim::ReadTextOr(json, ""), nullptr, false);
    if (report.is_object() && report.contains("kinds")) {
        for (const auto& k : report["kinds"]) {
            state.counters[k["kind"].get<std::string>() + "_s"] = k["wallSeconds"].get<double>();
            state.counters[k["kind"].get<std::string>() + "_points"] = static_cast<double>(k["points"].size());
            double restarts = 0;  // of the points that restart on their own
            for (const auto& p : k["points"]) {
                if (!p.contains("sameStateAs") && !p.contains("sameRestartAs")) restarts += p["restarts"].get<double>();
            }
            state.counters[k["kind"].get<std::string>() + "_restarts"] = restarts;
        }
    }
}
BENCHMARK(BM_PowercutSample)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
