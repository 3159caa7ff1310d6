// swsim powercut: the command line of the power cuts at chosen moments of an update.
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "Outputs.h"
#include "Powercut.h"
#include "SimFiles.h"
#include "SwsimCommands.h"

namespace swsim {

namespace {

struct PowercutArgs {
    PowercutOptions o;
    std::string json, html;
    bool progress = false;

    std::vector<Output> Outputs() const { return {{"--json", json}, {"--html", html}}; }
};

int RunPowercutCommand(const PowercutArgs& a)
{
    std::string why;
    if (!OutputsWritable(a.Outputs(), &why)) return UsageError(why);
    PowercutOptions o = a.o;
    o.selfExe = SelfExe();
    if (ProgressWanted(a.progress)) {
        o.onPointDone = [](size_t n, size_t total, const PointResult& r) {
            ShowProgress("point", n, total, CutId(r.point) + " (" + r.where + "): " + PointClassText(r.cls));
        };
    }
    PowercutResult result;
    const int rc = RunPowercut(o, &result, &why);
    if (rc == 2) return Fail(why, kExitNoRoot);
    if (rc != 0) return Fail(why);
    std::FILE* report = ReportStream(a.Outputs());
    std::fputs(PowercutText(result).c_str(), report);
    std::fflush(report);
    if (!a.json.empty() && !WriteOutput(a.json, PowercutJson(result), &why)) return Fail(why);
    if (!a.html.empty() && !WriteOutput(a.html, PowercutHtml(result), &why)) return Fail(why);
    return static_cast<int>(kExitOk);
}

}  // namespace

void AddPowercutCommand(Commands& c)
{
    auto a = std::make_shared<PowercutArgs>();
    CLI::App* sub = AddCommand(
        c, "powercut", "cut the power at chosen moments of the update and show what becomes of the instrument",
        [a] { return RunPowercutCommand(*a); });
    PowercutOptions& o = a->o;
    sub->add_option("STATE", o.state, "state directory with the medium inserted")->required();
    sub->add_option("--points", o.points, "points over the update")->check(CLI::Range(1, 100000))->capture_default_str();
    sub->add_option("--seed", o.seed, "seed of the choice")->capture_default_str();
    sub->add_option("--critical", o.critical,
                    "a partition without which the instrument does not start (default: the one at start 0)")
        ->take_all();
    sub->add_option("--replay", o.replay, "run these point ids (flash:N, log:N:K) instead of a seeded choice")
        ->take_all();
    AddJobsOption(sub, &o.jobs, "points");
    sub->add_option("--json", a->json, "write the report as JSON to FILE (- for standard output; the report then "
                                       "goes to standard error)");
    sub->add_option("--html", a->html, "write the report as an HTML page with the update's timeline to FILE or -");
    AddProgressFlag(sub, &a->progress);
}

}  // namespace swsim
