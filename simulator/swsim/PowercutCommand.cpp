// swsim powercut: the command line of the power cuts at chosen moments of an update.
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "Outputs.h"
#include "Powercut.h"
#include "SimFiles.h"
#include "SimShards.h"
#include "SwsimCommands.h"

namespace swsim {

namespace {

struct PowercutArgs {
    PowercutOptions o;
    std::string json, html;
    std::string shard;               // "K/N"
    std::vector<std::string> merge;  // the JSON reports of the shards to join
    bool progress = false;

    std::vector<Output> Outputs() const { return {{"--json", json}, {"--html", html}}; }
};

// Whether the parts to merge are those of a medium's sweep (as the first
// says; the merge refuses any other).
bool MergingMedia(const std::vector<std::string>& parts)
{
    std::string text;
    return !parts.empty() && ReadText(parts.front(), &text) && IsMediumPowercutJson(text);
}

// The report on standard output (or standard error), then the JSON and the
// page asked for. Returns the exit status of the verdict.
template <typename Result>
int WriteReports(const PowercutArgs& a, const Result& result, std::string (*text)(const Result&),
                 std::string (*json)(const Result&), std::string (*html)(const Result&))
{
    std::string why;
    std::FILE* report = ReportStream(a.Outputs());
    std::fputs(text(result).c_str(), report);
    std::fflush(report);
    if (!a.json.empty() && !WriteOutput(a.json, json(result), &why)) return Fail(why, kPowercutNoAnswer);
    if (!a.html.empty() && !WriteOutput(a.html, html(result), &why)) return Fail(why, kPowercutNoAnswer);
    return PowercutExitStatus(result);
}

// A medium swept over a fleet, or the parts of such a sweep joined.
int RunMediumCommand(const PowercutArgs& a, const PowercutOptions& o)
{
    std::string why;
    MediumPowercutResult result;
    const int rc = a.merge.empty() ? RunMediumPowercut(o, &result, &why) : MergeMediumPowercut(a.merge, &result, &why);
    if (rc != 0) return Fail(why, rc);
    return WriteReports(a, result, MediumPowercutText, MediumPowercutJson, MediumPowercutHtml);
}

// The options checked, the sweep run (or its shards' reports joined) and the
// report written. Exit status: the verdict (0 safe, 1 unsafe), or 2 when
// the analysis could not give one, 64 usage, 77 no instrument root.
int RunPowercutCommand(const PowercutArgs& a)
{
    std::string why;
    if (!OutputsWritable(a.Outputs(), &why)) return UsageError(why);
    PowercutOptions o = a.o;
    o.selfExe = SelfExe();
    if (!a.merge.empty() && (!o.state.empty() || !o.medium.empty())) {
        return UsageError("--merge takes report files, not STATE or --medium");
    }
    if (!o.state.empty() && !o.medium.empty()) return UsageError("STATE and --medium exclude each other");
    if (a.merge.empty() && o.state.empty() && o.medium.empty()) {
        return UsageError("STATE is required (or --medium DIR, or --merge PART.json...)");
    }
    if (!o.fleetFile.empty() && o.medium.empty()) return UsageError("--fleet goes with --medium");
    if (!o.previous.empty() && o.medium.empty()) return UsageError("--previous goes with --medium");
    if (!o.workDir.empty() && o.medium.empty()) return UsageError("--work goes with --medium");
    if (o.verifyClasses > 0 && !o.exhaustive) return UsageError("--verify-classes goes with --exhaustive");
    if (!a.shard.empty() && !ParseShard(a.shard, &o.shard, &o.shards)) {
        return UsageError("--shard " + a.shard + ": K/N with 1 <= K <= N wanted");
    }
    if (ProgressWanted(a.progress)) {
        o.onPointDone = [](size_t n, size_t total, const PointResult& r) {
            ShowProgress("point", n, total, SweepId(r.point) + " (" + r.where + "): " + PointClassText(r.cls));
        };
    }
    if (!o.medium.empty() || MergingMedia(a.merge)) return RunMediumCommand(a, o);
    PowercutResult result;
    const int rc = a.merge.empty() ? RunPowercut(o, &result, &why) : MergePowercut(a.merge, &result, &why);
    if (rc != 0) return Fail(why, rc);
    return WriteReports(a, result, PowercutText, PowercutJson, PowercutHtml);
}

}  // namespace

void AddPowercutCommand(Commands& c)
{
    auto a = std::make_shared<PowercutArgs>();
    CLI::App* sub = AddCommand(
        c, "powercut", "cut the power at chosen moments of the update and show what becomes of the instrument",
        [a] { return RunPowercutCommand(*a); });
    PowercutOptions& o = a->o;
    sub->add_option("STATE", o.state, "state directory with the medium inserted");
    sub->add_option("--medium", o.medium,
                    "sweep the medium DIR (its packages file0, file1, ...) on every instrument of the fleet that "
                    "installs it, instead of STATE")
        ->check(CLI::ExistingDirectory);
    sub->add_option("--fleet", o.fleetFile, "with --medium: the fleet file, as swsim check takes it (default: "
                                            "check's default fleet around the medium's version)")
        ->check(CLI::ExistingFile);
    sub->add_option("--previous", o.previous,
                    "with --medium: a previous release's medium (packages), installed on every fleet instrument "
                    "before the medium; given several times, in order, an upgrade path")
        ->check(CLI::ExistingDirectory)
        ->expected(1)
        ->take_all();
    sub->add_option("--work", o.workDir, "with --medium: the scratch directory (default: a fresh one under $TMPDIR, "
                                         "else /dev/shm when it has room, else /tmp; removed at the end)");
    sub->add_option("--points", o.points, "points over the update")->check(CLI::Range(1, 100000))->capture_default_str();
    sub->add_option("--seed", o.seed, "seed of the choice")->capture_default_str();
    sub->add_option("--critical", o.critical,
                    "a partition without which the instrument does not start, besides the boot image")
        ->take_all();
    sub->add_option("--replay", o.replay,
                    "run these point ids (flash:N, flash:N:P for an erase with P bytes erased, log:N:K, file:N) instead "
                    "of a seeded choice")
        ->take_all();
    sub->add_option("--run-limit", o.runLimitSeconds,
                    "real seconds each run of the sweep may take; a point stopped there makes the sweep \"could "
                    "not check\" (exit status 2)")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    sub->add_option("--shard", a->shard, "run the K-th of N shares of the points (K/N), for --merge");
    sub->add_option("--merge", a->merge, "join the JSON reports of a sweep's shards into its report")->take_all();
    sub->add_flag("--exhaustive", o.exhaustive, "one point for every distinct cut state instead of a seeded choice");
    sub->add_option("--verify-classes", o.verifyClasses,
                    "with --exhaustive: K further points drawn inside the classes, each checked against its class")
        ->check(CLI::Range(0, 100000));
    // File points cut for real by the recorder instead of built (the tests'
    // check of the building).
    sub->add_flag("--real-file-cuts", o.realFileCuts)->group("");
    // A point's run waits for a larger share of its time than a check's
    // (the restarts' pauses, the processes the update starts one after the
    // other): with two per core the cores stay idle a tenth of the sweep.
    AddJobsOption(sub, &o.jobs, "points", 3);
    sub->add_option("--json", a->json, "write the report as JSON to FILE (- for standard output; the report then "
                                       "goes to standard error)");
    sub->add_option("--html", a->html, "write the report as an HTML page with the update's timeline to FILE or -");
    AddProgressFlag(sub, &a->progress);
}

}  // namespace swsim
