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

// The options checked, the sweep run (or its shards' reports joined) and the
// report written. Exit status: the verdict (0 safe, 1 unsafe), or 2 when
// the analysis could not give one, 64 usage, 77 no instrument root.
int RunPowercutCommand(const PowercutArgs& a)
{
    std::string why;
    if (!OutputsWritable(a.Outputs(), &why)) return UsageError(why);
    PowercutOptions o = a.o;
    o.selfExe = SelfExe();
    if (!a.merge.empty() && !o.state.empty()) return UsageError("--merge takes report files, not STATE");
    if (a.merge.empty() && o.state.empty()) return UsageError("STATE is required (or --merge PART.json...)");
    if (o.verifyClasses > 0 && !o.exhaustive) return UsageError("--verify-classes goes with --exhaustive");
    if (!a.shard.empty() && !ParseShard(a.shard, &o.shard, &o.shards)) {
        return UsageError("--shard " + a.shard + ": K/N with 1 <= K <= N wanted");
    }
    if (ProgressWanted(a.progress)) {
        o.onPointDone = [](size_t n, size_t total, const PointResult& r) {
            ShowProgress("point", n, total, SweepId(r.point) + " (" + r.where + "): " + PointClassText(r.cls));
        };
    }
    PowercutResult result;
    const int rc = a.merge.empty() ? RunPowercut(o, &result, &why) : MergePowercut(a.merge, &result, &why);
    if (rc != 0) return Fail(why, rc);
    std::FILE* report = ReportStream(a.Outputs());
    std::fputs(PowercutText(result).c_str(), report);
    std::fflush(report);
    if (!a.json.empty() && !WriteOutput(a.json, PowercutJson(result), &why)) return Fail(why, kPowercutNoAnswer);
    if (!a.html.empty() && !WriteOutput(a.html, PowercutHtml(result), &why)) return Fail(why, kPowercutNoAnswer);
    return PowercutExitStatus(result);
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
    sub->add_option("--points", o.points, "points over the update")->check(CLI::Range(1, 100000))->capture_default_str();
    sub->add_option("--seed", o.seed, "seed of the choice")->capture_default_str();
    sub->add_option("--critical", o.critical,
                    "a partition without which the instrument does not start, besides the one at start 0")
        ->take_all();
    sub->add_option("--replay", o.replay,
                    "run these point ids (flash:N, flash:N:P for an erase with P bytes erased, log:N:K) instead "
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
    AddJobsOption(sub, &o.jobs, "points");
    sub->add_option("--json", a->json, "write the report as JSON to FILE (- for standard output; the report then "
                                       "goes to standard error)");
    sub->add_option("--html", a->html, "write the report as an HTML page with the update's timeline to FILE or -");
    AddProgressFlag(sub, &a->progress);
}

}  // namespace swsim
