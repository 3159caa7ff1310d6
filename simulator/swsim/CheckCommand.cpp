#include "SwsimCommands.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "MediumCheck.h"
#include "SimFiles.h"
#include "SimRun.h"

namespace swsim {

namespace {

struct CheckArgs {
    std::string medium, fleetFile, jsonFile, junitFile, htmlFile, workDir;
    int jobs = 0;
    double runLimit = 0;
    bool noFleet = false, keep = false;
};

int RunCheck(const CheckArgs& a)
{
    std::vector<FleetInstrument> fleet;
    std::string why;
    if (!a.fleetFile.empty()) {
        std::string text;
        if (!ReadText(a.fleetFile, &text)) return UsageError("cannot read the fleet file " + a.fleetFile);
        if (!ParseFleet(text, &fleet, &why)) return UsageError(a.fleetFile + ": " + why);
    }
    // Scratch space of this check: the unpacked /tmp and the instruments.
    const std::string base = a.workDir.empty() ? BuildDirOf(SelfExe()) + "/check-work" : a.workDir;
    const std::string work = AbsolutePath(base) + "/check-" + std::to_string(getpid());
    if (!RemoveTree(work, &why) || !MakeDirs(work, &why)) {
        return Fail("cannot make the scratch directory " + work + ": " + why, kExitCheckNotRun);
    }
    const auto finish = [&](int status) {
        if (a.keep) {
            std::fprintf(stderr, "swsim: scratch directory kept: %s\n", work.c_str());
        } else {
            RemoveTree(work);
        }
        return status;
    };

    CheckOutcome outcome;
    MediumFacts facts;
    if (CheckMediumStatic(a.medium, work, &facts, &outcome.findings, &why) != 0) {
        return finish(Fail("the medium could not be checked: " + why, kExitCheckNotRun));
    }
    outcome.medium = facts.medium;
    outcome.version = facts.haveVersion ? facts.versionText.substr(0, facts.versionText.find('\n')) : "";
    if (!a.noFleet && ChooseFleet(facts, &fleet, &outcome.findings)) {
        FleetOptions o;
        o.jobs = a.jobs > 0 ? a.jobs : static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
        o.workDir = work;
        o.selfExe = SelfExe();
        o.runLimitSeconds = a.runLimit > 0 ? a.runLimit : DefaultRunLimitSeconds(facts);
        outcome.runLimitSeconds = o.runLimitSeconds;
        if (RunFleet(facts, fleet, o, &outcome.fleet, &outcome.findings, &why) != 0) {
            // No verdict; the JSON says which instruments stopped.
            outcome.notChecked = why;
            if (!a.jsonFile.empty()) WriteText(a.jsonFile, JsonText(outcome), 0644);
            return finish(Fail("could not check: " + why, kExitCheckNotRun));
        }
        outcome.fleetRun = true;
    }
    std::fputs(ReportText(outcome).c_str(), stdout);
    std::fflush(stdout);
    if (!a.jsonFile.empty() && !WriteText(a.jsonFile, JsonText(outcome), 0644, &why)) {
        return finish(Fail("cannot write " + a.jsonFile + ": " + why, kExitCheckNotRun));
    }
    if (!a.junitFile.empty() && !WriteText(a.junitFile, JunitText(outcome), 0644, &why)) {
        return finish(Fail("cannot write " + a.junitFile + ": " + why, kExitCheckNotRun));
    }
    if (!a.htmlFile.empty() && !WriteText(a.htmlFile, CheckHtmlText(outcome), 0644, &why)) {
        return finish(Fail("cannot write " + a.htmlFile + ": " + why, kExitCheckNotRun));
    }
    return finish(outcome.Errors() > 0 ? kExitFailure : kExitOk);
}

}  // namespace

void AddCheckCommand(Commands& commands)
{
    auto a = std::make_shared<CheckArgs>();
    CLI::App* sub = AddCommand(commands, "check",
                               "is the update medium MEDIUM safe to ship? static checks and runs over a fleet",
                               [a] { return RunCheck(*a); });
    sub->add_option("MEDIUM", a->medium, "directory holding the packages file0, file1, ... as on the medium")
        ->required()
        ->check(CLI::ExistingDirectory);
    CLI::Option* fleet = sub->add_option("--fleet", a->fleetFile, "fleet file, one instrument a line "
                                         "(default: internal and market below the medium's version, market above)")
                             ->check(CLI::ExistingFile);
    sub->add_option("--json", a->jsonFile, "write every finding and fleet result as JSON to FILE");
    sub->add_option("--junit", a->junitFile, "write JUnit XML to FILE (a test case per check and per instrument)");
    sub->add_option("--html", a->htmlFile, "write the verdict, findings and each instrument's flash picture as an HTML page to FILE");
    sub->add_option("--jobs", a->jobs, "instruments run at once (default: the number of cores)")
        ->check(CLI::Range(1, 64));
    sub->add_option("--run-limit", a->runLimit,
                    "real seconds each fleet run may take; a run stopped there makes the check \"could not "
                    "check\" (exit status 2) (default: three times the update's modelled duration + 120)")
        ->check(CLI::PositiveNumber);
    sub->add_flag("--no-fleet", a->noFleet, "static checks only, no runs")->excludes(fleet);
    sub->add_option("--work", a->workDir, "scratch directory (default: check-work in the build directory)");
    sub->add_flag("--keep", a->keep, "keep the scratch directory with the fleet's instruments");
}

}  // namespace swsim
