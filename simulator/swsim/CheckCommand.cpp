#include "SwsimCommands.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "Advice.h"
#include "Locations.h"
#include "MediumCheck.h"
#include "Outputs.h"
#include "SimFiles.h"
#include "SimMedium.h"
#include "SimRun.h"
#include "SimShards.h"

namespace swsim {

namespace {

struct CheckArgs {
    std::string medium, fleetFile, jsonFile, junitFile, htmlFile, sarifFile, workDir;
    std::string shard;               // "K/N"
    std::vector<std::string> merge;  // the shards' JSON to join
    std::vector<std::string> previous;
    int jobs = 0;
    double runLimit = 0;
    bool noFleet = false, keep = false, progress = false;

    std::vector<Output> Outputs() const
    {
        return {{"--json", jsonFile}, {"--junit", junitFile}, {"--html", htmlFile}, {"--sarif", sarifFile}};
    }
};

// Writes the outputs asked for: every one (`all`), or only
// those that also say why there is no verdict (JSON and SARIF). Returns
// true, or false with the reason.
bool WriteOutputs(const CheckArgs& a, const CheckOutcome& outcome, bool all, std::string* why)
{
    struct Kind {
        const std::string& path;
        std::string (*text)(const CheckOutcome&);
        bool withoutVerdict;
    };
    const Kind outputs[] = {{a.jsonFile, JsonText, true},
                            {a.junitFile, JunitText, false},
                            {a.htmlFile, CheckHtmlText, false},
                            {a.sarifFile, SarifText, true}};
    for (const auto& out : outputs) {
        if (out.path.empty() || (!all && !out.withoutVerdict)) continue;
        if (!WriteOutput(out.path, out.text(outcome), why)) {
            *why = "cannot write " + out.path + ": " + *why;
            return false;
        }
    }
    return true;
}

// The report, then each output asked for. Returns the exit status.
int WriteResults(const CheckArgs& a, const CheckOutcome& outcome)
{
    std::FILE* report = ReportStream(a.Outputs());
    std::fputs(ReportText(outcome).c_str(), report);
    std::fflush(report);
    std::string why;
    if (!WriteOutputs(a, outcome, true, &why)) return Fail(why, kExitCheckNotRun);
    return outcome.Errors() > 0 ? kExitFailure : kExitOk;
}

// The outcome rendered: one without a verdict writes the outputs that say
// why (the JSON says which instruments stopped, the SARIF log that the
// check did not complete; "-" is standard output, not a file of that name)
// and exits 2; else the report and every output, and the verdict's status.
int Conclude(const CheckArgs& a, const CheckOutcome& outcome)
{
    if (outcome.notChecked.empty()) return WriteResults(a, outcome);
    std::string why;
    if (!WriteOutputs(a, outcome, false, &why)) Fail(why, kExitCheckNotRun);
    return Fail("could not check: " + outcome.notChecked, kExitCheckNotRun);
}

// swsim check --merge PART.json...: the shards' parts joined into the
// outcome of one run, rendered as one run renders it.
int MergeParts(const CheckArgs& a)
{
    if (!a.medium.empty()) return UsageError("--merge takes the shards' JSON files, not MEDIUM");
    if (!a.shard.empty() || !a.fleetFile.empty() || a.noFleet || a.runLimit > 0) {
        return UsageError("--merge takes the fleet and the options from the shards' JSON");
    }
    CheckOutcome outcome;
    std::string why;
    const int rc = MergeCheckParts(a.merge, &outcome, &why);
    if (rc == kCheckMergeRefused) return UsageError(why);
    if (rc != 0) return Fail(why, kExitCheckNotRun);
    return Conclude(a, outcome);
}

int RunCheck(const CheckArgs& a)
{
    std::vector<FleetInstrument> fleet;
    std::string why;
    if (!OutputsWritable(a.Outputs(), &why)) return UsageError(why);
    // The advice reruns the whole fleet and the parts carry no upgrade path:
    // an upgrade path's check runs whole.
    if (!a.previous.empty() && (!a.shard.empty() || !a.merge.empty())) {
        return UsageError("--previous runs the whole fleet: it cannot be split with --shard or --merge");
    }
    if (!a.merge.empty()) return MergeParts(a);
    if (a.medium.empty()) return UsageError("MEDIUM is required (or --merge PART.json...)");
    if (!IsDirectory(a.medium)) return UsageError("MEDIUM " + a.medium + " is no directory");
    CheckShard shard;
    if (!a.shard.empty()) {
        if (!ParseShard(a.shard, &shard.index, &shard.count)) {
            return UsageError("--shard " + a.shard + ": K/N with 1 <= K <= N wanted");
        }
        if (a.noFleet) return UsageError("--shard splits the fleet, which --no-fleet does not run");
        if (a.jsonFile.empty()) return UsageError("--shard writes its part for --merge as JSON: give --json FILE");
    }
    if (!a.fleetFile.empty()) {
        std::string text;
        if (!ReadText(a.fleetFile, &text)) return UsageError("cannot read the fleet file " + a.fleetFile);
        if (!ParseFleet(text, &fleet, &why)) return UsageError(a.fleetFile + ": " + why);
    }
    // Scratch space of this check: the unpacked /tmp and the instruments.
    // A fresh directory under $TMPDIR unless one is named.
    const std::string work =
        a.workDir.empty() ? NewScratchDir("swsim-check", &why) : AbsolutePath(a.workDir) + "/check-" + std::to_string(getpid());
    if (work.empty()) return Fail(why, kExitCheckNotRun);
    if (!a.workDir.empty() && (!RemoveTree(work, &why) || !MakeDirs(work, &why))) {
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
    const int dumps = PrepareDumps(DirOf(AbsolutePath(a.fleetFile)), work, &fleet, &why);
    if (dumps == kFleetDumpWrong) return finish(UsageError(a.fleetFile + ": " + why));
    if (dumps != 0) return finish(Fail("could not check: " + why, kExitCheckNotRun));

    const bool progress = ProgressWanted(a.progress);
    if (progress) std::fprintf(stderr, "swsim: static checks of %s\n", AbsolutePath(a.medium).c_str());
    CheckOutcome outcome;
    MediumFacts facts;
    if (CheckMediumStatic(a.medium, work, &facts, &outcome.findings, &why) != 0) {
        return finish(Fail("the medium could not be checked: " + why, kExitCheckNotRun));
    }
    outcome.medium = facts.medium;
    outcome.mediumDigest = MediumDigest(facts.medium);
    outcome.version = facts.haveVersion ? facts.versionText.substr(0, facts.versionText.find('\n')) : "";
    outcome.shard = shard;
    FleetOptions o;
    if (!a.noFleet && ReadPreviousMedia(a.previous, work, &o.previous, &why) != 0) {
        return finish(Fail("could not check: " + why, kExitCheckNotRun));
    }
    for (const auto& p : o.previous) {
        outcome.previous.push_back(p.dir);
        outcome.previousVersions.push_back(p.version);
    }
    const std::string field = o.previous.empty() ? "" : o.previous.back().version;
    const bool runFleet = !a.noFleet && ChooseFleet(facts, &fleet, &outcome.findings, field);
    if (!a.shard.empty()) {
        fleet = ShardOfFleet(fleet, shard.index, shard.count, &outcome.shard);
        outcome.shard.staticFindings = outcome.findings.size();
        outcome.shard.estimateSeconds = facts.haveEstimate ? facts.estimateSeconds : -1;
    }
    if (runFleet) {
        o.jobs = a.jobs;
        o.workDir = work;
        o.selfExe = SelfExe();
        o.runLimitSeconds = a.runLimit > 0 ? a.runLimit : DefaultRunLimitSeconds(facts);
        outcome.runLimitSeconds = o.runLimitSeconds;
        if (progress) {
            std::fprintf(stderr, "swsim: static checks done; running %zu instruments, %d at once\n", fleet.size(),
                         std::min<int>(a.jobs, static_cast<int>(fleet.size())));
            o.onRunEnded = [](size_t n, size_t total, const std::string& name) {
                ShowProgress("instrument", n, total, name + " ended");
            };
        }
        if (RunFleet(facts, fleet, o, &outcome.fleet, &outcome.findings, &why) != 0) {
            outcome.notChecked = why;
            return finish(Conclude(a, outcome));
        }
        outcome.fleetRun = true;
        // Advice only for a medium that ships: a rerun of a failing one
        // would show nothing.
        if (outcome.Errors() == 0) {
            if (progress) std::fprintf(stderr, "swsim: looking for partitions the field already holds\n");
            o.onRunEnded = nullptr;
            SeekAdvice(facts, fleet, o, outcome.fleet, &outcome.advice);
        }
    }
    return finish(Conclude(a, outcome));
}

}  // namespace

void AddCheckCommand(Commands& commands)
{
    auto a = std::make_shared<CheckArgs>();
    CLI::App* sub = AddCommand(commands, "check",
                               "is the update medium MEDIUM safe to ship? static checks and runs over a fleet",
                               [a] { return RunCheck(*a); });
    sub->add_option("MEDIUM", a->medium, "directory holding the packages file0, file1, ... as on the medium");
    CLI::Option* fleet = sub->add_option("--fleet", a->fleetFile, "fleet file, one instrument a line "
                                         "(default: internal and market below the medium's version, market above)")
                             ->check(CLI::ExistingFile);
    sub->add_option("--json", a->jsonFile, "write every finding and fleet result as JSON to FILE (- for standard "
                                           "output; the report then goes to standard error)");
    sub->add_option("--junit", a->junitFile, "write JUnit XML to FILE or - (a test case per check and place, and "
                                             "per instrument)");
    sub->add_option("--html", a->htmlFile, "write the verdict, findings and each instrument's flash picture as an "
                                           "HTML page to FILE or -");
    sub->add_option("--sarif", a->sarifFile, "write the findings as a SARIF 2.1.0 log to FILE or - (for "
                                             "code-scanning systems)");
    sub->add_option("--shard", a->shard, "run the K-th of N shares of the fleet (K/N) and write it with --json, "
                                         "for --merge");
    sub->add_option("--merge", a->merge, "join the JSON of a fleet's shards into the answer of one run")->take_all();
    AddJobsOption(sub, &a->jobs, "instruments");
    sub->add_option("--run-limit", a->runLimit,
                    "real seconds each fleet run may take; a run stopped there makes the check \"could not "
                    "check\" (exit status 2) (default: three times the update's modelled duration + 120)")
        ->check(CLI::PositiveNumber);
    CLI::Option* previous =
        sub->add_option("--previous", a->previous,
                        "a previous release's medium (packages), installed on every fleet instrument before MEDIUM; "
                        "given several times, in order, an upgrade path")
            ->check(CLI::ExistingDirectory)
            ->expected(1)
            ->take_all();
    sub->add_flag("--no-fleet", a->noFleet, "static checks only, no runs")->excludes(fleet)->excludes(previous);
    sub->add_option("--work", a->workDir,
                    "scratch directory (default: a fresh one under $TMPDIR, else /dev/shm when it has room, "
                    "else /tmp)");
    sub->add_flag("--keep", a->keep, "keep the scratch directory with the fleet's instruments");
    AddProgressFlag(sub, &a->progress);
}

}  // namespace swsim
