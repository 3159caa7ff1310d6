// swsim powercut: the command line of the power cuts at chosen moments of an update.
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "Powercut.h"
#include "SimFiles.h"
#include "SwsimCommands.h"

namespace swsim {

void AddPowercutCommand(Commands& c)
{
    struct Args {
        PowercutOptions o;
        std::string json, html;
    };
    auto a = std::make_shared<Args>();
    CLI::App* sub = AddCommand(
        c, "powercut", "cut the power at chosen moments of the update and show what becomes of the instrument", [a] {
            PowercutOptions o = a->o;
            o.selfExe = SelfExe();
            PowercutResult result;
            std::string why;
            const int rc = RunPowercut(o, &result, &why);
            if (rc != 0) return Fail(why, rc);
            std::fputs(PowercutText(result).c_str(), stdout);
            if (!a->json.empty() && !WriteText(a->json, PowercutJson(result), 0644, &why)) {
                return Fail(why, kPowercutNoAnswer);
            }
            if (!a->html.empty() && !WriteText(a->html, PowercutHtml(result), 0644, &why)) {
                return Fail(why, kPowercutNoAnswer);
            }
            return PowercutExitStatus(result);
        });
    PowercutOptions& o = a->o;
    sub->add_option("STATE", o.state, "state directory with the medium inserted")->required();
    sub->add_option("--points", o.points, "points over the update")->check(CLI::Range(1, 100000))->capture_default_str();
    sub->add_option("--seed", o.seed, "seed of the choice")->capture_default_str();
    sub->add_option("--critical", o.critical,
                    "a partition without which the instrument does not start, besides the one at start 0")
        ->take_all();
    sub->add_option("--replay", o.replay,
                    "run these point ids (flash:N, flash:N:P for an erase with P bytes erased, log:N:K) instead "
                    "of a seeded choice")
        ->take_all();
    sub->add_flag("--exhaustive", o.exhaustive, "one point for every distinct cut state instead of a seeded choice");
    sub->add_option("--verify-classes", o.verifyClasses,
                    "with --exhaustive: K further points drawn inside the classes, each checked against its class")
        ->check(CLI::Range(0, 100000));
    sub->add_option("--jobs", o.jobs, "points run at once")->check(CLI::Range(1, 16))->capture_default_str();
    sub->add_option("--json", a->json, "write the report as JSON to FILE");
    sub->add_option("--html", a->html, "write the report as an HTML page with the update's timeline to FILE");
}

}  // namespace swsim
