// The dynamic checks: the medium run on a fleet of fresh simulated
// instruments, each in a process of its own (its output kept in a file, so
// the verdict stays the first thing on standard output), several at once.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "MediumCheck.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimLogs.h"
#include "SimMedium.h"
#include "SimReport.h"
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

// The report's key for the instrument's own duration of the update (on the
// run's simulated clock); without it, run.txt's moment of the reboot request.
const char kDurationKey[] = "instrument-seconds";

// The run's summary (sim/summary.txt) as a map of its keys.
std::map<std::string, std::string> ReadSummary(const std::string& state)
{
    static const char* const keys[] = {"outcome", "rev-entries", kDurationKey, "chip-seconds", "fixed-wait-seconds"};
    const std::string text = ReadTextOr(StatePaths(state).summary(), "");
    std::map<std::string, std::string> out;
    for (const char* k : keys) out[k] = RecordValue(text, k);
    return out;
}

// The instrument's own duration of the update: from the updater's start to
// its reboot request, in simulated seconds.
double MeasuredDuration(const std::string& state, const std::map<std::string, std::string>& summary)
{
    std::string text;
    const auto it = summary.find(kDurationKey);
    if (it != summary.end()) text = it->second;
    if (text.empty()) text = RecordValue(ReadTextOr(StatePaths(state).runRecord(), ""), "reboot-seconds");
    if (text.empty()) return -1;
    return std::atof(text.c_str());
}

struct Problem {
    std::string what, effect;
};

// Everything the run should have left, compared with what it left.
std::vector<Problem> Judge(const MediumFacts& facts, const StatePaths& s, const Expectation& e,
                           const std::map<std::string, std::string>& summary, const FleetInstrument& inst)
{
    std::vector<Problem> problems;
    const std::string outcome = summary.count("outcome") ? summary.at("outcome") : "";
    std::vector<uint8_t> before, after;
    const bool haveFlash = ReadBytes(s.flashBefore(), &before) && ReadBytes(s.flash(), &after) &&
                           before.size() == kFlashSize && after.size() == kFlashSize;
    if (!e.allowed) {
        if (outcome != "not-allowed") {
            problems.push_back({"ended \"" + outcome + "\" instead of refusing the update",
                                "an instrument the market and version rules exclude runs the update"});
        } else if (!e.intended) {
            // Refused as the rules and the version numbers both say.
        } else {
            problems.push_back({"refused the update as not compatible although " + Trimmed(facts.versionText) +
                                    " is newer than " + inst.running + " read as major.minor",
                                "the version trap: every market instrument running " + inst.running +
                                    " refuses this medium"});
        }
        if (haveFlash && before != after) {
            problems.push_back({"changed the flash although it refused the update", "the instrument's software is damaged"});
        }
        return problems;
    }
    if (!e.intended) {
        problems.push_back({"installs " + Trimmed(facts.versionText) + " over the newer " + inst.running +
                                " (compared as numbers)",
                            "the version trap: market instruments running " + inst.running + " are downgraded"});
    }
    if (outcome != "done") {
        problems.push_back({"ended \"" + outcome + "\" instead of installing the update",
                            "the instrument keeps its old software"});
        return problems;
    }
    // The flash: every image the map writes at its place, nothing else
    // changed. (An image no package delivers is a static finding; the
    // updater cannot write it.)
    std::vector<WrittenImage> images;
    for (const auto& i : facts.images) {
        WrittenImage w;
        w.name = i.name;
        w.startKiB = i.startKiB;
        if (i.hostPath.empty() || !ReadBytes(i.hostPath, &w.bytes)) continue;
        images.push_back(std::move(w));
    }
    if (!haveFlash) {
        problems.push_back({"left no flash to compare", "the check cannot tell what the instrument runs"});
    } else {
        const FlashCheck check = CheckFlash(before, after, images);
        for (const auto& img : check.images) {
            if (img.holds) continue;
            problems.push_back({"the flash does not hold " + img.name + " at " + Hex(img.start) + " (first difference at " +
                                    Hex(static_cast<uint64_t>(img.firstDifference)) + ")",
                                "the instrument runs a partition that is not the delivered one"});
        }
        if (!check.touchedRestPreserved) {
            problems.push_back({"bytes next to the written images changed (first at " +
                                    Hex(static_cast<uint64_t>(check.firstRestDifference)) + ")",
                                "the neighbouring partitions are damaged"});
        }
        if (!check.untouchedUnchanged) {
            problems.push_back({"sectors no image reaches changed (first at " +
                                    Hex(static_cast<uint64_t>(check.firstUntouchedDifference)) + ")",
                                "partitions the update does not concern are damaged"});
        }
    }
    // Version file, CRC files and the revision entry.
    const std::string installed = ReadTextOr(s.instrumentData() + "/swVersion/swVersion", "");
    if (facts.haveVersion && installed != facts.versionText) {
        problems.push_back({"installed version file holds \"" + Trimmed(installed) + "\", not the medium's " +
                                Trimmed(facts.versionText),
                            "the instrument reports the wrong installed version"});
    }
    std::set<std::string> crcs;
    for (const auto& name : ListDir(s.instrumentData())) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".crc") == 0) crcs.insert(name);
    }
    for (const auto& c : facts.crcFiles) {
        if (!crcs.erase(c)) {
            problems.push_back({c + " was not installed into /instrumentData", "the instrument lacks a CRC file"});
        } else if (ReadTextOr(s.instrumentData() + "/" + c, "") != ReadTextOr(facts.tmpDir + "/" + c, "")) {
            problems.push_back({"/instrumentData/" + c + " differs from the medium's", "the instrument holds a wrong CRC file"});
        }
    }
    for (const auto& c : crcs) {
        problems.push_back({"/instrumentData/" + c + " is left over from before the update",
                            "the instrument holds a CRC file of a partition it no longer has"});
    }
    const VersionParts v = SplitVersion(facts.versionText);
    if (facts.haveVersion && v.major <= 99 && v.minor <= 99 && v.major >= 0 && v.minor >= 0) {
        char entry[16];
        std::snprintf(entry, sizeof entry, "%02d%02d", v.major, v.minor);
        const std::string got = summary.count("rev-entries") ? summary.at("rev-entries") : "";
        if (got != entry) {
            problems.push_back({"revision history gained \"" + got + "\" instead of the entry " + entry,
                                "the revision history does not record the update"});
        }
    }
    return problems;
}

// One instrument: made fresh, the medium inserted, the update run with the
// answer yes and the medium pulled when asked, the report made and judged.
// Runs in a child process; writes its result as JSON to `resultPath`.
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
        ro.timeout = 600;
        const int run = RunUpdate(state, ro, o.selfExe, &why);
        std::string text;
        if (run == 2) {
            result["noRoot"] = why;
        } else if (run != 0) {
            result["error"] = "the run failed: " + why;
        } else if (MakeReport(state, &text, &why) != 0) {
            result["error"] = "no report: " + why;
        } else {
            const auto summary = ReadSummary(state);
            const Expectation e = Expect(facts, inst);
            result["expected"] = e.allowed ? "done" : "not-allowed";
            result["outcome"] = summary.count("outcome") ? summary.at("outcome") : "";
            result["duration"] = MeasuredDuration(state, summary);
            // The part of it the instrument itself spends: the chip's work
            // and the updater's fixed waits, which the host's load does not
            // stretch (the measured time also holds the simulator's own
            // work, multiplied by the run's speed).
            const std::string chip = summary.at("chip-seconds"), waits = summary.at("fixed-wait-seconds");
            result["workSeconds"] = chip.empty() && waits.empty() ? -1.0 : std::atof(chip.c_str()) + std::atof(waits.c_str());
            nlohmann::json problems = nlohmann::json::array();
            for (const auto& p : Judge(facts, s, e, summary, inst)) {
                problems.push_back({{"what", p.what}, {"effect", p.effect}});
            }
            result["problems"] = problems;
            result["refusedAsExpected"] = !e.allowed && !e.intended;
        }
    }
    const std::string out = result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return WriteText(resultPath, out, 0644, &why) ? 0 : 1;
}

}  // namespace

int RunFleet(const MediumFacts& facts, const std::vector<FleetInstrument>& fleet, const FleetOptions& o,
             std::vector<InstrumentResult>* results, std::vector<Finding>* findings, std::string* why)
{
    const std::string base = AbsolutePath(o.workDir) + "/fleet";
    if (!RemoveTree(base, why) || !MakeDirs(base, why)) return kExitCheckNotRun;
    std::map<pid_t, size_t> running;
    size_t next = 0;
    results->assign(fleet.size(), InstrumentResult());
    std::fflush(stdout);
    std::fflush(stderr);
    const auto waitOne = [&]() {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid > 0) running.erase(pid);
    };
    while (next < fleet.size() || !running.empty()) {
        if (next < fleet.size() && static_cast<int>(running.size()) < std::max(1, o.jobs)) {
            const size_t i = next++;
            (*results)[i].instrument = fleet[i];
            (*results)[i].stateDir = base + "/" + fleet[i].name;
            const pid_t pid = fork();
            if (pid < 0) {
                *why = "cannot start a run";
                while (!running.empty()) waitOne();
                return kExitCheckNotRun;
            }
            if (pid == 0) {
                // The run's own messages go to a file beside its state.
                Fd out(open((base + "/" + fleet[i].name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
                if (out) {
                    dup2(out.get(), 1);
                    dup2(out.get(), 2);
                }
                const int rc = RunOne(facts, fleet[i], (*results)[i].stateDir, o,
                                      base + "/" + fleet[i].name + ".json");
                std::fflush(stdout);
                _exit(rc);
            }
            running[pid] = i;
            continue;
        }
        waitOne();
    }

    double longest = -1, longestWork = -1;
    std::string longestName, longestWorkName;
    for (auto& r : *results) {
        nlohmann::json j;
        const std::string text = ReadTextOr(base + "/" + r.instrument.name + ".json", "");
        try {
            j = nlohmann::json::parse(text);
        } catch (const nlohmann::json::exception&) {
            *why = "the run of " + r.instrument.name + " left no result (" + base + "/" + r.instrument.name + ".out)";
            return kExitCheckNotRun;
        }
        if (j.contains("noRoot")) {
            *why = "no instrument root can be made here: " + j["noRoot"].get<std::string>();
            return kExitCheckNotRun;
        }
        if (j.contains("error")) {
            *why = r.instrument.name + ": " + j["error"].get<std::string>();
            return kExitCheckNotRun;
        }
        r.expected = j.value("expected", "");
        r.outcome = j.value("outcome", "");
        r.durationSeconds = j.value("duration", -1.0);
        r.workSeconds = j.value("workSeconds", -1.0);
        const auto& problems = j["problems"];
        r.ok = problems.empty();
        for (const auto& p : problems) {
            Finding f;
            f.severity = Finding::Error;
            f.check = "fleet";
            f.instrument = r.instrument.name;
            f.what = p.value("what", "");
            f.effect = p.value("effect", "");
            findings->push_back(f);
        }
        if (!r.ok) {
            r.verdict = "ERROR: " + problems[0].value("what", "");
            if (problems.size() > 1) r.verdict += " (+" + std::to_string(problems.size() - 1) + " more)";
        } else if (r.expected == "done") {
            r.verdict = "installed correctly";
        } else {
            r.verdict = "refused as expected";
        }
        if (r.outcome == "done" && r.durationSeconds > longest) {
            longest = r.durationSeconds;
            longestName = r.instrument.name;
        }
        if (r.outcome == "done" && r.workSeconds > longestWork) {
            longestWork = r.workSeconds;
            longestWorkName = r.instrument.name;
        }
    }
    // An estimate below the chip's work and the fixed waits is short on any
    // instrument; one below the measured time only may be the host's load.
    const bool shortOfWork = facts.haveEstimate && longestWork > facts.estimateSeconds;
    if (shortOfWork || (facts.haveEstimate && longest > facts.estimateSeconds)) {
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
                          "the estimate of %d s is shorter than the %.0f s measured on %s (of which the chip's work "
                          "and the fixed waits are %.0f s, the rest the simulator's own work at the run's speed)",
                          facts.estimateSeconds, std::ceil(longest), longestName.c_str(), std::ceil(longestWork));
        }
        f.what = text;
        f.effect = "the start-up GUI's progress display runs out while the instrument is still writing its flash, "
                   "and a user may switch it off";
        findings->push_back(f);
    }
    return 0;
}

}  // namespace swsim
