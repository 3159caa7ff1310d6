// swsim run: the updater started with the start-up GUI stand-in inside an
// instrument root over the state directory, then the report.
//
//   swsim run STATE [--answer yes|no|never] [--answer-delay S] [--pull-after S|never]
//                   [--interactive] [--faults FILE] [--timeout S] [--show-trace] [--quiet]
//                   [--no-report] [--updater PATH] [--gui PATH] [--updater-cwd DIR] [--speed N]
//                   [--web [ADDR:]PORT] [--chip-timing typical|off|E,P,U]
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include "RunResult.h"
#include "SimFiles.h"
#include "SimRun.h"
#include "SwsimCommands.h"
#include "WebListen.h"

namespace swsim {

void AddRunCommand(Commands& c)
{
    struct Args {
        std::string state, pullAfter = "1", web, resultFile;
        bool noReport = false, quiet = false;
        RunOptions o;
        const CLI::Option* answerOpt = nullptr;
        const CLI::Option* pullOpt = nullptr;
        const CLI::Option* timeoutOpt = nullptr;
    };
    auto a = std::make_shared<Args>();
    CLI::App* sub = AddCommand(c, "run", "start the updater with the start-up GUI stand-in inside an instrument root", [a] {
        RunOptions o = a->o;
        if (a->pullAfter == "never") {
            o.pullAfter = -1;
        } else {
            char* end = nullptr;
            o.pullAfter = std::strtod(a->pullAfter.c_str(), &end);
            if (a->pullAfter.empty() || *end != '\0' || o.pullAfter < 0 || o.pullAfter > 86400) {
                return UsageError("--pull-after takes seconds (0 to 86400) or never");
            }
        }
        o.showGui = !a->quiet;
        if (!o.faultsFile.empty()) o.faultsFile = AbsolutePath(o.faultsFile);
        std::string why;
        // The web screen's socket is made here, on the host, and handed to
        // the GUI stand-in inside the root: the root's own network is not
        // reachable from the host's browser. The page answers and takes
        // the medium out unless --answer / --pull-after say otherwise, and
        // a person clicking has no time limit unless --timeout sets one.
        Fd web;
        if (!a->web.empty()) {
            std::string host;
            int port = 0;
            if (!startupgui::ParseWebAddress(a->web, &host, &port, &why)) return UsageError("--web: " + why);
            web = Fd(startupgui::OpenWebListener(host, port, &why));
            if (!web) return Fail(why);
            o.webFd = web.get();
            if (a->answerOpt->count() == 0) o.answer = "web";
            if (a->pullOpt->count() == 0) o.pullAfter = -1;
            if (a->timeoutOpt->count() == 0) o.timeout = 0;
            std::printf("web screen: %s\n", startupgui::WebUrlOf(web.get()).c_str());
            std::fflush(stdout);
        }
        RunResult result;
        const int rc = RunUpdate(a->state, o, SelfExe(), &result, &why);
        web = Fd();
        if (rc == 2) return Fail(why, kExitNoRoot);  // no instrument root here: a skip, not a failure
        if (rc != 0) return Fail(why);
        if (!a->resultFile.empty() && !WriteText(a->resultFile, nlohmann::json(result).dump() + "\n", 0644, &why)) {
            return Fail(why);
        }
        if (a->noReport) return 0;
        std::printf("\n");
        return PrintReport(a->state, false);
    });
    RunOptions& o = a->o;
    sub->add_option("STATE", a->state, "state directory")->required();
    a->answerOpt = sub->add_option("--answer", o.answer, "the user's answer to the question")
        ->check(CLI::IsMember({"yes", "no", "never"}))
        ->capture_default_str();
    sub->add_option("--answer-delay", o.answerDelay, "seconds before the GUI answers")->check(Seconds());
    a->pullOpt = sub->add_option("--pull-after", a->pullAfter, "seconds after the remove/failure screen (tied to the updater's looks every 2 s), or never")
        ->capture_default_str();
    sub->add_flag("--interactive", o.interactive, "the user answers and pulls on the terminal");
    sub->add_option("--faults", o.faultsFile, "flash fault file for this run");
    a->timeoutOpt = sub->add_option("--timeout", o.timeout, "stop the updater after this many seconds (0: no limit)")
        ->check(Seconds())
        ->capture_default_str();
    sub->add_flag("--show-trace", o.showTrace, "echo the updater's trace");
    sub->add_flag("--quiet", a->quiet, "do not echo the GUI's lines");
    sub->add_flag("--no-report", a->noReport, "print no report after the run");
    // For the power-cut sweep's restarts, which nobody reports on: no copy
    // of the flash and the data before the run (hidden from the help).
    sub->add_flag("--no-before-copy", [a](std::int64_t) { a->o.keepBefore = false; })->group("");
    // For the power-cut sweep, which judges each of its runs from what the
    // run gave: the run's result as JSON in FILE (RunResult.h; hidden).
    sub->add_option("--result", a->resultFile)->group("");
    // The file operations of the run into FILE (a power-cut sweep's checks).
    sub->add_option("--file-ops", o.fileOpsFile)->group("");
    // The record log library's writes into FILE (a power-cut sweep's
    // reference run, whose log cuts are built from them).
    sub->add_option("--log-writes", o.logWritesFile)->group("");
    // How the chip first reached each word of the flash during the run, into
    // FILE (a power-cut sweep's restart that may stand for other cut states).
    sub->add_option("--flash-touch", o.firstTouchFile)->group("");
    sub->add_option("--updater", o.updater, "the updater executable (default: of this build)");
    sub->add_option("--gui", o.gui, "the start-up GUI stand-in (default: of this build)");
    sub->add_option("--updater-cwd", o.updaterCwd, "directory the updater is started in (default /tmp)");
    sub->add_option("--web", a->web,
                    "show the start-up screen as a web page on [ADDR:]PORT (default address 127.0.0.1); "
                    "the page answers and takes the medium out");
    sub->add_option("--power-cut", o.powerCut, "cut the power at this write: flash:N (bus write), log:N:K (log write, K bytes kept) or file:N (after the N-th file operation)");
    sub->add_option("--speed", o.speed, "simulated clock N times faster than real time (1: real time; default: fast, real with --interactive)")
        ->check(CLI::Range(1.0, 86400.0));
    sub->add_option("--chip-timing", o.chipTiming,
                    "how long the chip is busy: typical (datasheet figures), off, or E,P,U (block erase s, word program us, lock-bit clearing s); default typical in real time, off (modelled) on a fast clock");
}

}  // namespace swsim
