// The dynamic checks: the medium run on a fleet of fresh simulated
// instruments, each in a process of its own (its output kept in a file, so
// the verdict stays the first thing on standard output), several at once.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "EndState.h"
#include "MediumCheck.h"
#include "SimFiles.h"
#include "InstrumentTime.h"
#include "SimFlash.h"
#include "SimLogs.h"
#include "SimMedium.h"
#include "SimReport.h"
#include "SimClock.h"
#include "SimRun.h"
#include "SimState.h"
#include "UpgradePath.h"
#include "Powercut.h"
#include "Advice.h"

namespace swsim {

// What a fleet run's process says of the watched images.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(ImageHeld, name, line, before, after, mountDir);

namespace {

// What the updater's market and version rules decide for an instrument, and
// what the version numbers mean to the people who chose them.
struct Expectation {
    bool allowed = false;   // the updater's rules
    bool intended = false;  // major.minor of the medium not older than the running one
};

Expectation Expect(const MediumFacts& facts, const FleetInstrument& inst)
{
    Expectation e;
    const bool internal = MarketIsInternal(inst.market);
    e.allowed = internal || (facts.haveVersion && VersionValue(inst.running) <= facts.versionValue);
    const VersionParts r = SplitVersion(inst.running);
    if (internal || !facts.versionParts || !r.ok) {
        e.intended = e.allowed;
    } else {
        e.intended = facts.versionMajor != r.major ? facts.versionMajor > r.major : facts.versionMinor >= r.minor;
    }
    return e;
}

// A fault of an instrument's run, and the static checks whose findings
// would explain it.
struct Problem {
    std::string what, effect;
    std::vector<std::string> related = {};
    std::string invariant = {};  // the end-state invariant it breaks, if any
};
using Problems = std::vector<Problem>;

// An instrument the rules exclude: refused, and its flash left alone.
void JudgeRefusal(const MediumFacts& facts, const RunFacts& run, const Expectation& e, const FleetInstrument& inst,
                  Problems* problems)
{
    const std::string outcome = OutcomeKey(run.outcome);
    if (run.outcome != Outcome::NotAllowed) {
        problems->push_back({"ended \"" + outcome + "\" instead of refusing the update",
                             "an instrument the market and version rules exclude runs the update",
                             {"version-file", "version-order", "version-text", "version-leading-zero"}});
    } else if (e.intended) {
        problems->push_back({"refused the update as not compatible although " + Trimmed(facts.versionText) +
                                 " is newer than " + inst.running + " read as major.minor",
                             "the version trap: every market instrument running " + inst.running +
                                 " refuses this medium",
                             {"version-order"}});
    }
}

// The static checks whose findings tell why an update ends as `o`.
std::vector<std::string> RelatedChecks(Outcome o)
{
    switch (o) {
    case Outcome::PreUpdateFailed: return {"repartition-script", "backup-script"};
    case Outcome::UnpackingFailed:
        return {"package-present", "package-format", "package-members", "version-zero", "version-file"};
    case Outcome::FlashFailed:
        return {"map-present", "map-image-missing", "map-start", "map-fit", "image-empty", "version-zero"};
    case Outcome::NotAllowed: return {"version-file", "version-order", "version-text", "version-leading-zero"};
    default: return {};
    }
}

// The outcome the market and version rules call for, then every end-state
// invariant the instrument broke, whatever its outcome.
Problems Judge(const MediumFacts& facts, const RunFacts& run, const Expectation& e, const FleetInstrument& inst,
               const std::vector<Broken>& broken)
{
    Problems problems;
    for (const auto& b : broken) problems.push_back({b.what, b.effect, b.related, b.invariant});
    if (!e.allowed) {
        Problems refusal;
        JudgeRefusal(facts, run, e, inst, &refusal);
        problems.insert(problems.begin(), refusal.begin(), refusal.end());
        return problems;
    }
    if (!e.intended) {
        problems.push_back({"installs " + Trimmed(facts.versionText) + " over the newer " + inst.running +
                                " (compared as numbers)",
                            "the version trap: market instruments running " + inst.running + " are downgraded"});
    }
    if (run.outcome != Outcome::Done) {
        problems.insert(problems.begin(),
                        {"ended \"" + std::string(OutcomeKey(run.outcome)) + "\" instead of installing the update",
                         "the instrument keeps its old software", RelatedChecks(run.outcome)});
    }
    return problems;
}

// A fleet instrument's layout and mount directories: the factory's, with
// its file systems mounted or not.
InstrumentKind KindOf(const FleetInstrument& inst)
{
    InstrumentKind kind;
    kind.layout = FactoryLayout();
    if (inst.mounted) kind.mountDirs = MountDirsOf(kind.layout);
    return kind;
}

// The run limit of the options, else the one derived from the medium: a
// fleet run never goes without one.
double RunLimitOf(const MediumFacts& facts, const FleetOptions& o)
{
    return o.runLimitSeconds > 0 ? o.runLimitSeconds : DefaultRunLimitSeconds(facts);
}

// One instrument: made fresh (and taken along the upgrade path), the medium
// inserted, the update run with the answer yes and the medium pulled when
// asked, its facts read (and its report's summary written). Runs in a child
// process; writes the facts as JSON to `resultPath` ({"facts": ...}, or
// {"noRoot"|"error"|"previousFailed": why}).
int RunOne(const MediumFacts& facts, const FleetInstrument& inst, const std::string& state, const FleetOptions& o,
           const std::string& resultPath)
{
    nlohmann::json result;
    std::string why, failed;
    const StatePaths s(state);
    InstrumentKind kind = KindOf(inst);
    Holding before, after;
    int rc = CreateFleetInstrument(facts, inst, state, o, &kind, &failed, &why);
    if (rc == 0 && !ReadHolding(s, false, &before, &why)) rc = 1;
    if (rc == kPathNotInstalled) {
        result["previousFailed"] = failed;
    } else if (rc == 2) {
        result["noRoot"] = why;
    } else if (rc != 0) {
        result["error"] = "could not create the instrument: " + why;
    } else {
        RunOptions ro;
        ro.answer = "yes";
        ro.pullAfter = 0;
        ro.showGui = false;
        // The limit is real time: the run's clock goes `speed` times faster.
        ro.timeout = RunLimitOf(facts, o) * DefaultRunSpeedHere();
        const int run = RunUpdate(state, ro, o.selfExe, nullptr, &why);
        const std::vector<MapPartition>& watch = o.watch.empty() ? facts.partitions : o.watch;
        std::vector<norsim::BusAccess> bus;
        const bool window = WindowWanted(facts, kind, watch, before, o.everyWindow);
        RunFacts runFacts;
        if (run == 2) {
            result["noRoot"] = why;
        } else if (run != 0) {
            result["error"] = "the run failed: " + why;
        } else if (BuildRunFacts(s, &runFacts, &why, window ? &bus : nullptr) != 0 ||
                   !WriteSummary(s, runFacts, &why)) {
            result["error"] = "no report: " + why;
        } else if (!ReadHolding(s, true, &after, &why)) {
            result["error"] = "the run left no instrument to judge: " + why;
        } else {
            result["facts"] = runFacts;
            result["endState"] = JudgeEndState(facts, kind, runFacts.outcome, before, after);
            result["held"] = HeldImages(watch, kind, before, after);
            if (window) result["bootWindow"] = BootWindowOfRun(s, runFacts, std::move(bus), &why);
        }
    }
    const std::string out = result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return WriteText(resultPath, out, 0644, &why) ? 0 : 1;
}

// The time a fleet run may take beyond its run limit to be made and read
// before the check stops it from outside (the limit itself stops the
// updater; this catches a run that hangs elsewhere).
constexpr double kOutsideGraceSeconds = 120;

// Starts a run of every instrument, `jobs` at once, and waits for them all.
// A run still going `kOutsideGraceSeconds` after its limit is killed, and
// its result says it was stopped (what it started may outlive it; the
// updater itself is stopped at the limit by the run). Returns 0, or
// kExitCheckNotRun when a run cannot be started.
int StartRuns(const MediumFacts& facts, const std::vector<FleetInstrument>& fleet, const FleetOptions& o,
              const std::string& base, std::string* why)
{
    using Clock = std::chrono::steady_clock;
    // (cppcheck does not see the members used through the map's iterators.)
    struct Running {
        // cppcheck-suppress unusedStructMember
        size_t index;
        Clock::time_point since;
        // cppcheck-suppress unusedStructMember
        bool killed;
    };
    std::map<pid_t, Running> running;
    size_t next = 0, ended = 0;
    std::fflush(stdout);
    std::fflush(stderr);
    // Each instrument makes a run for every medium of the upgrade path too.
    double most = RunLimitOf(facts, o) + kOutsideGraceSeconds;
    for (const auto& p : o.previous) most += o.runLimitSeconds > 0 ? o.runLimitSeconds : DefaultRunLimitSeconds(p.facts);
    const auto waitOne = [&]() {
        for (;;) {
            int status = 0;
            const pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid < 0) {
                running.clear();
                return;
            }
            const auto it = running.find(pid);
            if (pid > 0 && it != running.end()) {
                if (it->second.killed) {
                    const std::string& name = fleet[it->second.index].name;
                    WriteText(base + "/" + name + ".json", nlohmann::json{{"stopped", most}}.dump());
                }
                if (o.onRunEnded) o.onRunEnded(++ended, fleet.size(), fleet[it->second.index].name);
                running.erase(it);
                return;
            }
            for (auto& r : running) {
                if (r.second.killed || std::chrono::duration<double>(Clock::now() - r.second.since).count() < most) continue;
                kill(r.first, SIGKILL);
                r.second.killed = true;
            }
            usleep(50 * 1000);
        }
    };
    while (next < fleet.size() || !running.empty()) {
        if (next >= fleet.size() || static_cast<int>(running.size()) >= std::max(1, o.jobs)) {
            waitOne();
            continue;
        }
        const size_t i = next++;
        // The run's own messages go to a file beside its state. (It stays in
        // the check's process group, so that an interrupt of the check
        // reaches it.)
        const Fd out(open((base + "/" + fleet[i].name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        host::ProcessStart run;
        run.output = out.get();
        run.body = [&]() {
            return RunOne(facts, fleet[i], base + "/" + fleet[i].name, o, base + "/" + fleet[i].name + ".json");
        };
        pid_t pid = -1;
        if (host::StartProcess(run, &pid, nullptr) != 0) {
            *why = "cannot start a run";
            while (!running.empty()) waitOne();
            return kExitCheckNotRun;
        }
        running[pid] = {i, Clock::now(), false};
    }
    return 0;
}

// Reads the facts one instrument's run left and judges them. Returns 0, or
// kExitCheckNotRun with the reason when the run left none.
int ReadResult(const MediumFacts& facts, const std::string& base, InstrumentResult* r, std::vector<Finding>* findings,
               std::string* why)
{
    const std::string name = r->instrument.name;
    nlohmann::json j;
    std::vector<Broken> broken;
    try {
        j = nlohmann::json::parse(ReadTextOr(base + "/" + name + ".json", ""));
        if (j.contains("noRoot")) {
            *why = "no instrument root can be made here: " + j["noRoot"].get<std::string>();
            return kExitCheckNotRun;
        }
        if (j.contains("stopped")) {
            // Killed from outside after its limit: nothing to judge.
            r->timedOut = true;
            r->expected = Expect(facts, r->instrument).allowed ? "done" : "not-allowed";
            r->outcome = "unfinished";
            r->verdict = "could not check: stopped at the run limit";
            return 0;
        }
        if (j.contains("error")) {
            *why = name + ": " + j["error"].get<std::string>();
            return kExitCheckNotRun;
        }
        if (j.contains("previousFailed")) {
            // The field's state could not be made: nothing to judge.
            r->previousFailed = j["previousFailed"].get<std::string>();
            r->expected = Expect(facts, r->instrument).allowed ? "done" : "not-allowed";
            r->outcome = "not-run";
            r->verdict = "could not check: " + r->previousFailed;
            return 0;
        }
        r->facts = j.at("facts").get<RunFacts>();
        broken = j.at("endState").get<std::vector<Broken>>();
        r->held = j.at("held").get<std::vector<ImageHeld>>();
        if (j.contains("bootWindow")) r->bootWindowSeconds = j["bootWindow"].get<double>();
        r->versionBefore = Trimmed(r->facts.versionBefore);
    } catch (const nlohmann::json::exception&) {
        *why = "the run of " + name + " left no result (" + base + "/" + name + ".out)";
        return kExitCheckNotRun;
    }
    r->ran = true;
    const Expectation e = Expect(facts, r->instrument);
    if (r->facts.timedOut) {
        // Stopped at the run limit: what it left says nothing of the medium.
        r->timedOut = true;
        r->expected = e.allowed ? "done" : "not-allowed";
        r->outcome = OutcomeKey(r->facts.outcome);
        r->verdict = "could not check: stopped at the run limit";
        return 0;
    }
    r->expected = e.allowed ? "done" : "not-allowed";
    r->outcome = OutcomeKey(r->facts.outcome);
    const RunTiming& t = r->facts.timing;
    // The update's duration counted from what the run did (unknown where
    // the pauses could not be counted), and the part of it that is the chip's
    // work and the updater's fixed waits alone, which no host changes.
    r->durationSeconds = t.duration.known ? Tenths(t.duration.seconds) : -1.0;
    r->workSeconds = Tenths(t.chipSeconds) + Tenths(t.fixedSeconds);
    const Problems problems = Judge(facts, r->facts, e, r->instrument, broken);
    r->ok = problems.empty();
    for (const auto& p : problems) {
        Finding f;
        f.severity = Finding::Error;
        f.check = "fleet";
        f.invariant = p.invariant;
        f.instrument = name;
        f.what = p.what;
        f.effect = p.effect;
        f.causeLines = r->facts.causeLines;
        for (const auto& key : p.related) {
            const bool found = std::any_of(findings->begin(), findings->end(), [&](const Finding& s) {
                return s.check == key && s.instrument.empty();
            });
            if (found && std::find(f.explainedBy.begin(), f.explainedBy.end(), key) == f.explainedBy.end()) {
                f.explainedBy.push_back(key);
            }
        }
        findings->push_back(f);
    }
    if (!r->ok) {
        r->verdict = "ERROR: " + problems[0].what;
        if (problems.size() > 1) r->verdict += " (+" + std::to_string(problems.size() - 1) + " more)";
    } else {
        r->verdict = r->expected == "done" ? "installed correctly" : "refused as expected";
    }
    return 0;
}

}  // namespace

bool FleetInstalls(const MediumFacts& facts, const FleetInstrument& inst)
{
    return Expect(facts, inst).allowed;
}

int CreateFleetInstrument(const MediumFacts& facts, const FleetInstrument& inst, const std::string& state,
                          const FleetOptions& o, InstrumentKind* kind, std::string* failed, std::string* why)
{
    CreateOptions co;
    co.version = inst.running;
    co.installed = inst.installed;
    co.market = inst.market;
    co.corruptLogs = inst.corruptLogs;
    co.truncateLogs = inst.truncateLogs;
    co.mounted = inst.mounted;
    StartOfPath(o, &co);
    const StatePaths s(state);
    InstrumentKind ownKind = KindOf(inst);
    std::string ownFailed;
    if (kind == nullptr) kind = &ownKind;
    if (failed == nullptr) failed = &ownFailed;
    int rc = inst.madeFrom.empty() ? CreateInstrument(state, co, why) : CopyInstrument(inst.madeFrom, state, why);
    // An instrument from service is already where the field left it: the
    // upgrade path brings only made instruments there.
    if (rc == 0 && inst.madeFrom.empty()) rc = InstallPath(inst, state, o, kind, failed, why);
    if (rc == 0) rc = InsertMedium(facts.medium, s.medium(), why);
    if (rc == 0) rc = InsertMedium(facts.medium, s.usbdongle(), why);
    return rc;
}

double ModelledSeconds(const MediumFacts& facts)
{
    std::set<uint64_t> sectors;
    int images = 0;
    for (const auto& i : facts.images) {
        const off_t size = i.hostPath.empty() ? 0 : FileSizeOf(i.hostPath);
        if (size <= 0 || i.startKiB < 0) continue;
        const uint64_t start = static_cast<uint64_t>(i.startKiB) * 1024;
        const uint64_t end = std::min<uint64_t>(start + static_cast<uint64_t>(size), kFlashSize);
        for (uint64_t a = start; a < end; a += kSectorSize) sectors.insert(a / kSectorSize);
        if (end > start) sectors.insert((end - 1) / kSectorSize);
        ++images;
    }
    return WritingAndWaitsSeconds(sectors.size(), images);
}

double DefaultRunLimitSeconds(const MediumFacts& facts)
{
    return std::ceil(3 * ModelledSeconds(facts)) + 120;
}

// An estimate below the chip's work and the fixed waits is short on any
// instrument; one below the update's duration only is short by the
// updater's own work, which is measured on this host.
void JudgeEstimate(int estimateSeconds, const std::vector<InstrumentResult>& results, std::vector<Finding>* findings)
{
    const bool haveEstimate = estimateSeconds >= 0;
    double longest = -1, longestWork = -1;
    std::string longestName, longestWorkName;
    for (const auto& r : results) {
        if (r.outcome == "done" && r.durationSeconds > longest) {
            longest = r.durationSeconds;
            longestName = r.instrument.name;
        }
        if (r.outcome == "done" && r.workSeconds > longestWork) {
            longestWork = r.workSeconds;
            longestWorkName = r.instrument.name;
        }
    }
    const bool shortOfWork = haveEstimate && longestWork > estimateSeconds;
    if (!shortOfWork && !(haveEstimate && longest > estimateSeconds)) return;
    Finding f;
    f.severity = shortOfWork ? Finding::Error : Finding::Warning;
    f.check = "estimate-duration";
    f.package = "file0";
    f.file = "estUpdateTime";
    f.instrument = shortOfWork ? longestWorkName : longestName;
    char text[300];
    if (shortOfWork) {
        std::snprintf(text, sizeof text,
                      "the estimate of %d s is shorter than the %.0f s the chip's work and the updater's fixed "
                      "waits take on %s",
                      estimateSeconds, std::ceil(longestWork), longestWorkName.c_str());
    } else {
        std::snprintf(text, sizeof text,
                      "the estimate of %d s is shorter than the %.0f s the update takes on %s (of which the "
                      "chip's work and the fixed waits are %.0f s, the rest the updater's own work, its CPU time "
                      "on this host)",
                      estimateSeconds, std::ceil(longest), longestName.c_str(), std::ceil(longestWork));
    }
    f.what = text;
    f.effect = "the start-up GUI's progress display runs out while the instrument is still writing its flash, "
               "and a user may switch it off";
    findings->push_back(f);
}

std::string StoppedRunsReason(const std::vector<InstrumentResult>& results, double runLimitSeconds)
{
    // A previous medium that did not install: no instrument reached the
    // field's state, which is no fault of the medium checked.
    std::map<std::string, std::string> notInstalled;  // why -> the instruments
    for (const auto& r : results) {
        if (r.previousFailed.empty()) continue;
        std::string& on = notInstalled[r.previousFailed];
        on += (on.empty() ? "" : ", ") + r.instrument.name;
    }
    if (!notInstalled.empty()) {
        std::string why;
        for (const auto& n : notInstalled) why += (why.empty() ? "" : "; ") + n.first + " (on " + n.second + ")";
        return why + "; not a fault of the medium checked";
    }
    std::string stopped;
    for (const auto& r : results) {
        if (r.timedOut) stopped += (stopped.empty() ? "" : ", ") + r.instrument.name;
    }
    if (stopped.empty()) return "";
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", runLimitSeconds);
    return "the run of " + stopped + " did not end within the run limit of " + limit +
           " s (real time; --run-limit sets it): the check cannot judge the medium";
}

int RunFleet(const MediumFacts& facts, const std::vector<FleetInstrument>& fleet, const FleetOptions& o,
             std::vector<InstrumentResult>* results, std::vector<Finding>* findings, std::string* why)
{
    const std::string base = AbsolutePath(o.workDir) + "/fleet";
    if (!RemoveTree(base, why) || !MakeDirs(base, why)) return kExitCheckNotRun;
    results->assign(fleet.size(), InstrumentResult());
    for (size_t i = 0; i < fleet.size(); ++i) {
        (*results)[i].instrument = fleet[i];
        (*results)[i].stateDir = base + "/" + fleet[i].name;
    }
    if (StartRuns(facts, fleet, o, base, why) != 0) return kExitCheckNotRun;
    for (auto& r : *results) {
        if (ReadResult(facts, base, &r, findings, why) != 0) return kExitCheckNotRun;
    }
    *why = StoppedRunsReason(*results, RunLimitOf(facts, o));
    if (!why->empty()) return kExitCheckNotRun;
    JudgeEstimate(facts.haveEstimate ? facts.estimateSeconds : -1, *results, findings);
    return 0;
}

}  // namespace swsim
