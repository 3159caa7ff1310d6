// Running the points: "swsim run" on a worker's instrument for each cut and
// restart, a point cut for real or built from the recorded writes, and the
// points run several at once, each worker on its own instrument.
#include "Sweep.h"

#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "SimFiles.h"
#include "SimState.h"
#include "TraceFacts.h"

namespace swsim {
namespace sweep {

namespace {

// A flash cut built from the recorded writes, its critical partitions
// found whole already (JudgeFlashAlone): the instrument as the cut leaves it
// on the worker's (the files of the operations before the cut, or of a cut
// during the writing; that flash) and the restarts.
//
// With `touch`, the first restart records how the chip reached each word,
// kept in *touch when the restart may stand for other cut states.
void RunFlashPoint(const PowercutOptions& o, const Reference& ref, const CutFlashState& state, Worker* wk,
                   PointResult* r, const ImageWords& iw, RestartTouch* touch)
{
    MaterializeCut(ref.before, ref.done, state, &wk->built, wk->builtState);
    wk->builtState = &state;
    std::string why;
    const bool made =
        ref.flashFiles
            ? BuildFileState(ref, ref.fileStates[FlashCutFiles(ref, r->point.cut.write)], wk->built, wk, &why)
            : RefreshInstrument(ref.flashRoot, wk, &why) == 0 && PutFlash(wk, wk->built, &why);
    if (!made) {
        r->cls = PointClass::NotChecked;
        r->evidence.push_back("the instrument could not be copied: " + why);
        return;
    }
    if (touch == nullptr) {
        RestartAndJudge(o, ref, wk, r);
        return;
    }
    FirstTouchRun run{wk->root + ".touch", -1};
    RestartAndJudge(o, ref, wk, r, &run);
    if (RestartMayStand(*r)) ReadRestartTouch(iw, run.path, run.opens, touch);
    RemoveTree(run.path);
}

// One point on the worker's instrument: the update cut there, then,
// unless a critical partition was left half-written, the restarts. `state`:
// the flash of a cut built from the recorded writes; `files`: the files of
// a file or log cut built from the recording.
void RunPoint(const PowercutOptions& o, const Reference& ref, const CutFlashState* state, const FileState* files,
              Worker* wk, PointResult* r, const ImageWords& iw, RestartTouch* touch)
{
    if (files != nullptr) {
        const FileState& fs = *files;
        std::string why;
        FlashAfter(ref, fs.bus, &wk->built);
        wk->builtState = nullptr;
        if (!BuildFileState(ref, fs, wk->built, wk, &why)) {
            r->cls = PointClass::NotChecked;
            r->evidence.push_back("the instrument could not be made: " + why);
            return;
        }
        RestartAndJudge(o, ref, wk, r);
        return;
    }
    if (state != nullptr) {
        RunFlashPoint(o, ref, *state, wk, r, iw, touch);
        return;
    }
    const std::string& ws = wk->root;
    const StatePaths w(ws);
    std::string why, output;
    wk->flash.clear();
    // Whatever stops here leaves the point without an answer.
    r->cls = PointClass::NotChecked;
    // A file cut counts the operations of the run as the reference counted
    // them: the worker's directories are copied afresh, in the reference's
    // order (a refreshed directory may list its files in another order, and
    // cp -R copies them in the order listed).
    if (r->point.cut.kind == CutPoint::File) RemoveTree(ws);
    if (RefreshInstrument(ref.base, wk, &why) != 0 || !CopyFileTo(StatePaths(ref.base).flash(), w.flash(), &why)) {
        r->evidence.push_back("the instrument could not be copied: " + why);
        return;
    }
    RunResult run;
    const int rc = SwsimRun(o, ws, CutId(r->point.cut), &run, &output);
    if (rc != 0) {
        r->evidence.push_back("swsim run with the cut failed (status " + std::to_string(rc) + "): " + output);
        return;
    }
    if (!run.PowerCutHappened()) {
        const std::string updater = run.insideReported ? StatusText(run.inside.updaterStatus) : "";
        r->evidence.push_back("the power cut did not happen: the updater ended with " + updater +
                              (run.insideReported && run.inside.timedOut ? " at the run limit" : "") + ", outcome " +
                              OutcomeKey(OutcomeOf(ReadTextOr(w.trace(), ""), run.UpdaterEnded())));
        return;
    }
    std::vector<uint8_t> flash;
    if (!ReadBytes(w.flash(), &flash) || flash.size() != kFlashSize) {
        r->evidence.push_back("the flash after the cut cannot be read");
        return;
    }
    // An erase cut at a length of its own: the flash the cut would have left.
    if (r->point.cut.kind == CutPoint::Flash && r->point.erased >= 0) {
        flash = CutFlash(ref.before, ref.bus, r->point.cut.write, r->point.erased);
        if (!WriteBytes(w.flash(), flash.data(), flash.size(), 0644, &why)) {
            r->evidence.push_back("the flash after the cut cannot be written: " + why);
            return;
        }
    }
    r->cls = PointClass::Other;
    if (!CriticalWhole(ref, flash, &r->evidence)) {
        r->cls = PointClass::WouldNotStart;
        return;
    }
    RestartAndJudge(o, ref, wk, r);
}

// The class and evidence of the restarts of `from`, for a point that takes them.
void TakeRestarts(const PointResult& from, PointResult* r)
{
    r->cls = from.cls;
    r->restarts = from.restarts;
    r->lastOutcome = from.lastOutcome;
    r->evidence = from.evidence;
    r->logs = from.logs;
    r->lostBytes = from.lostBytes;
    r->logDifferences = from.logDifferences;
    r->historyLost = from.historyLost;
}

}  // namespace

void Announce(Announcer* a, const PointResult& r)
{
    std::lock_guard<std::mutex> lock(a->m);
    ++a->done;
    if (a->o.onPointDone) a->o.onPointDone(a->done, a->total, r);
}

namespace {

// "swsim run STATE" with `args`, the medium pulled at the first look after
// the last screen, nothing echoed or reported; what the run gave comes back
// as JSON beside its records. Returns 0 with it in *result; else the exit
// status of swsim (-1 when it did not start).
int RunSwsim(const PowercutOptions& o, const std::string& state, const std::vector<std::string>& args,
             RunResult* result, std::string* output)
{
    std::vector<std::string> argv = {o.selfExe, "run", state, "--quiet", "--no-report", "--pull-after", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string resultPath = StatePaths(state).sim() + "/sweep-result.json";
    RemoveTree(resultPath);
    argv.insert(argv.end(), {"--result", resultPath});
    argv.insert(argv.end(), o.runArgs.begin(), o.runArgs.end());
    std::string why;
    const int status = RunProgram(argv, output, &why);
    if (status == -1) {
        *output += why;
        return -1;
    }
    const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (rc != 0) return rc;
    try {
        *result = nlohmann::json::parse(ReadTextOr(resultPath, "")).get<RunResult>();
    } catch (const nlohmann::json::exception& e) {
        *output += std::string("the run left no result: ") + e.what();
        return 1;
    }
    RemoveTree(resultPath);
    return 0;
}

}  // namespace

int SwsimRun(const PowercutOptions& o, const std::string& state, const std::string& cut, RunResult* result,
             std::string* output, const std::string& firstTouch)
{
    // The chip is instantly ready: the cut's bus write numbers are those of
    // the replay, and the instrument's time comes from the chip timing model
    // and the reference run.
    //
    // Its clock runs kPointSpeed times faster than real time: the outcome of
    // a point does not depend on the moments of its pauses (the GUI answers
    // and the medium is pulled tied to the updater's own looks), only the
    // waiting shrinks. The run's time limit is simulated time: the real
    // limit times the speed. Nobody reports on the run, so it keeps no copy
    // of the flash before it.
    std::vector<std::string> args = {"--no-before-copy", "--chip-timing", "off", "--speed", std::to_string(kPointSpeed),
                                     "--timeout", std::to_string(o.runLimitSeconds * kPointSpeed)};
    if (!cut.empty()) args.insert(args.end(), {"--power-cut", cut});
    if (!firstTouch.empty()) args.insert(args.end(), {"--flash-touch", firstTouch});
    return RunSwsim(o, state, args, result, output);
}

int SwsimReferenceRun(const PowercutOptions& o, const std::string& state, const std::string& logWrites,
                      const std::string& fileOps, double timeout, std::string* output)
{
    RunResult ignored;
    return RunSwsim(o, state,
                    {"--timeout", std::to_string(timeout), "--log-writes", logWrites, "--file-ops", fileOps}, &ignored,
                    output);
}

// Runs the points of `result`, several at once, each worker on its own
// instrument under `work`.
void RunPoints(const PowercutOptions& o, const Reference& ref, const std::string& work, PowercutResult* result,
               JobSlots* slots)
{
    auto& points = result->points;
    Announcer announcer{o, points.size(), {}, 0};
    std::vector<CutFlashState> states;
    std::vector<size_t> runs = JudgeFlashAlone(ref, result, &announcer, &states);
    PointFiles files;
    JudgeFilePoints(o, ref, result, &announcer, &runs, &files);
    std::vector<Worker> workers(static_cast<size_t>(std::max(1, o.jobs)));
    for (size_t n = 0; n < workers.size(); ++n) workers[n].root = work + "/w" + std::to_string(n);
    // Flash cuts built from the recorded writes that leave the same files and
    // the same bytes outside the images wait for the first one's restart,
    // which may stand for theirs (SharedRestarts.cpp). A point drawn to check
    // its class runs its own: it is there to be tried, not reasoned about.
    constexpr size_t kNone = std::string::npos;
    std::vector<size_t> waitsFor(points.size(), kNone);
    std::vector<RestartTouch> touches(points.size());
    std::vector<bool> standsIn(points.size(), false);
    const ImageWords iw = states.empty() ? ImageWords() : ImageWordsOf(ref);
    const auto built = [&](size_t i) { return i < states.size() && points[i].point.cut.kind == CutPoint::Flash; };
    std::map<std::pair<size_t, size_t>, size_t> firstWith;  // (files, bytes outside the images) -> first point
    for (size_t i = 0; i < points.size(); ++i) {
        if (runs[i] != i || !built(i) || !points[i].representative.empty()) continue;
        const auto key =
            std::make_pair(FlashCutFiles(ref, points[i].point.cut.write), KeptBytesKey(ref, iw, states[i]));
        const auto it = firstWith.emplace(key, i).first;
        if (it->second == i) continue;
        waitsFor[i] = it->second;
        standsIn[it->second] = true;
    }
    const auto runAll = [&](const std::vector<size_t>& which) {
        ForEachPoint(o.jobs, which.size(), [&](int n, size_t k) {
            const size_t i = which[k];
            PointResult& r = points[i];
            RunPoint(o, ref, built(i) ? &states[i] : nullptr, files.of[i], &workers[static_cast<size_t>(n)], &r, iw,
                     standsIn[i] ? &touches[i] : nullptr);
            Announce(&announcer, r);
        }, slots);
    };
    std::vector<size_t> first, second;
    for (size_t i = 0; i < points.size(); ++i) {
        if (runs[i] == i && waitsFor[i] == kNone) first.push_back(i);
    }
    runAll(first);
    for (size_t i = 0; i < points.size(); ++i) {
        const size_t s = waitsFor[i];
        if (s == kNone) continue;
        if (!RestartStandsFor(ref, touches[s], states[s], states[i])) {
            second.push_back(i);
            continue;
        }
        TakeRestarts(points[s], &points[i]);
        points[i].sameRestartAs = SweepId(points[s].point);
        Announce(&announcer, points[i]);
    }
    runAll(second);
    for (size_t i = 0; i < points.size(); ++i) {
        if (runs[i] == i || runs[i] == kNone) continue;
        TakeRestarts(points[runs[i]], &points[i]);
        points[i].sameStateAs = SweepId(points[runs[i]].point);
        Announce(&announcer, points[i]);
    }
    for (const auto& wk : workers) RemoveTree(wk.root);
}

}  // namespace sweep
}  // namespace swsim
