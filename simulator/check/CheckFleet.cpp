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

namespace swsim {

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
    e.allowed = internal || (facts.haveVersion && VersionValue(inst.running) <= VersionValue(facts.versionText));
    const VersionParts m = SplitVersion(facts.versionText), r = SplitVersion(inst.running);
    if (internal || !m.ok || !r.ok) {
        e.intended = e.allowed;
    } else {
        e.intended = m.major != r.major ? m.major > r.major : m.minor >= r.minor;
    }
    return e;
}

// A fault of an instrument's run, and the static checks whose findings
// would explain it.
struct Problem {
    std::string what, effect;
    std::vector<std::string> related = {};
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
    if (run.flash.present && !run.flash.changedSectors.empty()) {
        problems->push_back({"changed the flash although it refused the update", "the instrument's software is damaged"});
    }
}

const ImageFact* WrittenImageOf(const RunFacts& run, const std::string& name, uint32_t start)
{
    for (const auto& img : run.flash.images) {
        if (img.name == name && img.start == start) return &img;
    }
    return nullptr;
}

// ", overwritten by B in sectors 23-24" when a later image wrote over
// `name` on the run's flash.
std::string OverwrittenBy(const RunFacts& run, const std::string& name)
{
    std::string text;
    for (const auto& o : run.flash.picture.overwrites) {
        if (o.image != name || o.by.empty()) continue;
        text += ", overwritten by " + o.by + " in sector" + (o.sectors.size() == 1 ? " " : "s ") + SectorRanges(o.sectors);
    }
    return text;
}

// The flash: every image the map writes at its place, nothing else changed,
// judged from the run's own flash check. (An image no package delivers is a
// static finding; the updater cannot write it.)
void JudgeFlash(const MediumFacts& facts, const RunFacts& run, Problems* problems)
{
    if (!run.flash.present) {
        problems->push_back({"left no flash to compare", "the check cannot tell what the instrument runs"});
        return;
    }
    std::vector<const ImageFact*> expected;
    for (const auto& i : facts.images) {
        std::vector<uint8_t> delivered;
        if (i.hostPath.empty() || !ReadBytes(i.hostPath, &delivered)) continue;
        const uint32_t start = static_cast<uint32_t>(i.startKiB) * 1024;
        const ImageFact* img = WrittenImageOf(run, i.name, start);
        expected.push_back(img);
        const std::string notHeld = "the flash does not hold " + i.name + " at " + Hex(start);
        if (!img) {
            problems->push_back({notHeld + " (the updater did not write it)",
                                 "the instrument runs a partition that is not the delivered one",
                                 {"map-ignored-lines", "map-line-ends", "map-start", "image-empty"}});
        } else if (img->crc != Crc32(delivered.data(), delivered.size())) {
            problems->push_back({notHeld + " (the updater wrote it from a copy that differs from the delivered one)",
                                 "the instrument runs a partition that is not the delivered one",
                                 {"package-duplicates"}});
        } else if (!img->holds) {
            problems->push_back({"the flash does not hold " + i.name + " at " + Hex(img->start) + " (first difference at " +
                                     Hex(static_cast<uint64_t>(img->firstDifference)) + OverwrittenBy(run, i.name) + ")",
                                 "the instrument runs a partition that is not the delivered one",
                                 {"map-overlap", "map-fit"}});
        }
    }
    for (const auto& img : run.flash.images) {
        if (std::find(expected.begin(), expected.end(), &img) != expected.end()) continue;
        problems->push_back({"wrote " + img.name + " at " + Hex(img.start) + ", which the flash map does not write there",
                             "partitions the update does not concern are damaged"});
    }
    if (!run.flash.restPreserved) {
        problems->push_back({"bytes next to the written images changed (first at " +
                                 Hex(static_cast<uint64_t>(run.flash.firstRestDifference)) + ")",
                             "the neighbouring partitions are damaged"});
    }
    if (!run.flash.untouchedUnchanged) {
        problems->push_back({"sectors no image reaches changed (first at " +
                                 Hex(static_cast<uint64_t>(run.flash.firstUntouchedDifference)) + ")",
                             "partitions the update does not concern are damaged"});
    }
}

// A text with its CR, LF and tabs shown as \r, \n and \t.
std::string Shown(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : c == '\t' ? std::string("\\t")
                                                                                           : std::string(1, c);
    }
    return out;
}

// The version as the instrument keeps it in step with its revision
// history: MAJOR.MINOR, each part without leading zeros, as the revision
// entry records them ("" when the text is no version at all). The
// installed file must hold exactly that, with or without one LF: a CR,
// blanks or a leading zero stay in the file, and the instrument's
// self-test then reads a version its revision history does not record.
std::string VersionAsRecorded(const std::string& text)
{
    const VersionParts v = SplitVersion(text);
    if (!v.ok) return "";
    const std::string t = Trimmed(text);
    const size_t dot = t.find('.');
    // A minor of zero reads the same however many zeros it has.
    const std::string minor = v.minor == 0 && !v.minorText.empty() ? v.minorText : std::to_string(v.minor);
    return std::to_string(v.major) + (dot == std::string::npos ? "" : "." + minor);
}

// Version file, CRC files and the revision entry.
void JudgeFiles(const MediumFacts& facts, const RunFacts& run, Problems* problems)
{
    const std::string installed = run.haveVersion ? run.version : "";
    const std::string wanted = VersionAsRecorded(facts.versionText);
    const bool clean = wanted.empty() ? installed == facts.versionText : installed == wanted || installed == wanted + "\n";
    if (facts.haveVersion && !run.haveVersion) {
        problems->push_back({"no installed version file", "the instrument reports no installed version",
                             {"version-file"}});
    } else if (facts.haveVersion && !clean) {
        // The medium's own text installed as it is, or another version.
        const bool asDelivered = installed == facts.versionText;
        problems->push_back({"installed version file holds \"" + Shown(installed) + "\", not \"" +
                                 Shown(wanted.empty() ? facts.versionText : wanted + "\n") +
                                 "\" as the instrument reads its version beside the revision history",
                             asDelivered ? "the instrument's version file and its revision history disagree"
                                         : "the instrument reports the wrong installed version",
                             {"version-text", "version-leading-zero", "version-file"}});
    }
    std::map<std::string, std::string> crcs;
    for (const auto& c : run.crcFiles) crcs[c.name] = c.text;
    for (const auto& c : facts.crcFiles) {
        const auto it = crcs.find(c);
        if (it == crcs.end()) {
            problems->push_back({c + " was not installed into /instrumentData", "the instrument lacks a CRC file",
                                 {"crc-written"}});
            continue;
        }
        if (it->second != ReadTextOr(facts.tmpDir + "/" + c, "")) {
            problems->push_back({"/instrumentData/" + c + " differs from the medium's", "the instrument holds a wrong CRC file",
                                 {"package-duplicates"}});
        }
        crcs.erase(it);
    }
    for (const auto& c : crcs) {
        problems->push_back({"/instrumentData/" + c.first + " is left over from before the update",
                             "the instrument holds a CRC file of a partition it no longer has"});
    }
    const VersionParts v = SplitVersion(facts.versionText);
    if (facts.haveVersion && v.major <= 99 && v.minor <= 99 && v.major >= 0 && v.minor >= 0) {
        char entry[16];
        std::snprintf(entry, sizeof entry, "%02d%02d", v.major, v.minor);
        const LogFacts* rev = run.Log("RevHistory.log");
        std::string got;
        for (const auto& x : rev ? rev->entries : std::vector<std::string>()) got += (got.empty() ? "" : ",") + x;
        if (got != entry) {
            problems->push_back({"revision history gained \"" + got + "\" instead of the entry " + entry,
                                 "the revision history does not record the update", {"version-range"}});
        }
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

// Everything the run should have left, compared with what it left.
Problems Judge(const MediumFacts& facts, const RunFacts& run, const Expectation& e, const FleetInstrument& inst)
{
    Problems problems;
    if (!e.allowed) {
        JudgeRefusal(facts, run, e, inst, &problems);
        return problems;
    }
    if (!e.intended) {
        problems.push_back({"installs " + Trimmed(facts.versionText) + " over the newer " + inst.running +
                                " (compared as numbers)",
                            "the version trap: market instruments running " + inst.running + " are downgraded"});
    }
    if (run.outcome != Outcome::Done) {
        problems.push_back({"ended \"" + std::string(OutcomeKey(run.outcome)) + "\" instead of installing the update",
                            "the instrument keeps its old software", RelatedChecks(run.outcome)});
        return problems;
    }
    JudgeFlash(facts, run, &problems);
    JudgeFiles(facts, run, &problems);
    return problems;
}

// The run limit of the options, else the one derived from the medium: a
// fleet run never goes without one.
double RunLimitOf(const MediumFacts& facts, const FleetOptions& o)
{
    return o.runLimitSeconds > 0 ? o.runLimitSeconds : DefaultRunLimitSeconds(facts);
}

// One instrument: made fresh, the medium inserted, the update run with the
// answer yes and the medium pulled when asked, its facts read (and its
// report's summary written). Runs in a child process; writes the facts as
// JSON to `resultPath` ({"facts": ...}, or {"noRoot"|"error": why}).
int RunOne(const MediumFacts& facts, const FleetInstrument& inst, const std::string& state, const FleetOptions& o,
           const std::string& resultPath)
{
    nlohmann::json result;
    std::string why;
    CreateOptions co;
    co.version = inst.running;
    co.installed = inst.installed;
    co.market = inst.market;
    co.corruptLogs = inst.corruptLogs;
    co.truncateLogs = inst.truncateLogs;
    const StatePaths s(state);
    int rc = CreateInstrument(state, co, &why);
    if (rc == 0) rc = InsertMedium(facts.medium, s.medium(), &why);
    if (rc == 0) rc = InsertMedium(facts.medium, s.usbdongle(), &why);
    if (rc != 0) {
        result["error"] = "could not create the instrument: " + why;
    } else {
        RunOptions ro;
        ro.answer = "yes";
        ro.pullAfter = 0;
        ro.showGui = false;
        // The limit is real time: the run's clock goes `speed` times faster.
        ro.timeout = RunLimitOf(facts, o) * DefaultRunSpeedHere();
        const int run = RunUpdate(state, ro, o.selfExe, nullptr, &why);
        std::string text;
        RunFacts runFacts;
        if (run == 2) {
            result["noRoot"] = why;
        } else if (run != 0) {
            result["error"] = "the run failed: " + why;
        } else if (MakeReport(state, &text, &why, &runFacts) != 0) {
            result["error"] = "no report: " + why;
        } else {
            result["facts"] = runFacts;
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
    const double most = RunLimitOf(facts, o) + kOutsideGraceSeconds;
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
        const pid_t pid = fork();
        if (pid < 0) {
            *why = "cannot start a run";
            while (!running.empty()) waitOne();
            return kExitCheckNotRun;
        }
        if (pid == 0) {
            // The run's own messages go to a file beside its state. (It
            // stays in the check's process group, so that an interrupt of
            // the check reaches it.)
            Fd out(open((base + "/" + fleet[i].name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
            if (out) {
                dup2(out.get(), 1);
                dup2(out.get(), 2);
            }
            const int rc = RunOne(facts, fleet[i], base + "/" + fleet[i].name, o, base + "/" + fleet[i].name + ".json");
            std::fflush(stdout);
            _exit(rc);
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
        r->facts = j.at("facts").get<RunFacts>();
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
    const Problems problems = Judge(facts, r->facts, e, r->instrument);
    r->ok = problems.empty();
    for (const auto& p : problems) {
        Finding f;
        f.severity = Finding::Error;
        f.check = "fleet";
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

// An estimate below the chip's work and the fixed waits is short on any
// instrument; one below the update's duration only is short by the
// updater's own work, which is measured on this host.
void JudgeEstimate(const MediumFacts& facts, const std::vector<InstrumentResult>& results,
                   std::vector<Finding>* findings)
{
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
    const bool shortOfWork = facts.haveEstimate && longestWork > facts.estimateSeconds;
    if (!shortOfWork && !(facts.haveEstimate && longest > facts.estimateSeconds)) return;
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
                      facts.estimateSeconds, std::ceil(longestWork), longestWorkName.c_str());
    } else {
        std::snprintf(text, sizeof text,
                      "the estimate of %d s is shorter than the %.0f s the update takes on %s (of which the "
                      "chip's work and the fixed waits are %.0f s, the rest the updater's own work, its CPU time "
                      "on this host)",
                      facts.estimateSeconds, std::ceil(longest), longestName.c_str(), std::ceil(longestWork));
    }
    f.what = text;
    f.effect = "the start-up GUI's progress display runs out while the instrument is still writing its flash, "
               "and a user may switch it off";
    findings->push_back(f);
}

}  // namespace

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
    std::string stopped;
    for (auto& r : *results) {
        if (ReadResult(facts, base, &r, findings, why) != 0) return kExitCheckNotRun;
        if (r.timedOut) stopped += (stopped.empty() ? "" : ", ") + r.instrument.name;
    }
    if (!stopped.empty()) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", RunLimitOf(facts, o));
        *why = "the run of " + stopped + " did not end within the run limit of " + limit +
               " s (real time; --run-limit sets it): the check cannot judge the medium";
        return kExitCheckNotRun;
    }
    JudgeEstimate(facts, *results, findings);
    return 0;
}

}  // namespace swsim
