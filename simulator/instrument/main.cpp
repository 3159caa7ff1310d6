// swsim: the simulated instrument for the engineers who prepare updates.
//
//   swsim create STATE [--version V] [--installed V] [--market NAME]
//                      [--corrupt-log NAME]... [--truncate-log NAME]... [--force]
//   swsim sample DIR [--version V]
//   swsim medium STATE (--from DIR | --sample [--version V])
//   swsim run STATE [--answer yes|no|never] [--answer-delay S] [--pull-after S|never]
//                   [--interactive] [--faults FILE] [--timeout S] [--show-trace] [--quiet]
//                   [--no-report] [--updater PATH] [--gui PATH] [--updater-cwd DIR] [--speed N]
//                   [--web [ADDR:]PORT] [--chip-timing typical|off|E,P,U]
//   swsim report STATE [--trace] [--html FILE]
//   swsim check MEDIUM [--fleet FILE] [--json FILE] [--junit FILE] [--jobs N] [--no-fleet]
//                      [--work DIR] [--keep]
//   swsim powercut STATE [--points N] [--seed S] [--critical NAME]... [--json FILE] [--html FILE]
//
// `swsim --help` and `swsim COMMAND --help` list the options; see
// simulator/README.md.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "CheckCommand.h"
#include "HtmlReport.h"
#include "Powercut.h"
#include "SimCli.h"
#include "SimFiles.h"
#include "SimMedium.h"
#include "SimReport.h"
#include "SimRun.h"
#include "SimState.h"
#include "ToolVersion.h"
#include "WebListen.h"

using namespace swsim;

namespace {

int PrintReport(const std::string& state, bool withTrace)
{
    std::string text, why;
    if (MakeReport(state, &text, &why) != 0) return Fail(why);
    std::fputs(text.c_str(), stdout);
    if (withTrace) {
        std::printf("\n--- trace ---\n%s", ReadTextOr(StatePaths(state).trace(), "").c_str());
    }
    return 0;
}

void AddCreate(Commands& c)
{
    auto state = std::make_shared<std::string>();
    auto o = std::make_shared<CreateOptions>();
    CLI::App* sub = AddCommand(c, "create", "a new instrument in the state directory STATE", [state, o] {
        std::string why;
        if (CreateInstrument(*state, *o, &why) != 0) return Fail(why);
        std::printf("instrument created in %s: running version %s, installed %s, %s\n",
                    AbsolutePath(*state).c_str(), o->version.c_str(),
                    (o->installed.empty() ? o->version : o->installed).c_str(),
                    o->market.empty() ? "no Market.ini (internal)" : ("market " + o->market).c_str());
        return 0;
    });
    sub->add_option("STATE", *state, "state directory")->required();
    sub->add_option("--version", o->version, "running version")->capture_default_str();
    sub->add_option("--installed", o->installed, "installed version (default: the running one)");
    sub->add_option("--market", o->market, "market setting (default: none, the instrument is internal)");
    sub->add_option("--corrupt-log", o->corruptLogs, "a log with one record's CRC wrong")->take_all();
    sub->add_option("--truncate-log", o->truncateLogs, "a log half a record short")->take_all();
    sub->add_flag("--force", o->force, "clear a state directory swsim made before");
}

void AddSample(Commands& c)
{
    auto dir = std::make_shared<std::string>();
    auto o = std::make_shared<SampleOptions>();
    CLI::App* sub = AddCommand(c, "sample", "the source directory of the built-in sample update", [dir, o] {
        std::string why;
        if (WriteSampleUpdate(*dir, *o, &why) != 0) return Fail(why);
        std::printf("sample update %s written to %s\n", o->version.c_str(), AbsolutePath(*dir).c_str());
        return 0;
    });
    sub->add_option("DIR", *dir, "directory to write (created; must be empty or missing)")->required();
    sub->add_option("--version", o->version, "the update's version")->capture_default_str();
}

void AddMedium(Commands& c)
{
    struct Args {
        std::string state, from;
        bool sample = false;
        SampleOptions so;
    };
    auto a = std::make_shared<Args>();
    CLI::App* sub = AddCommand(c, "medium", "build the update medium from DIR (or the sample) and insert it", [a] {
        const StatePaths s(a->state);
        if (a->sample == !a->from.empty()) return UsageError("medium needs exactly one of --from DIR and --sample");
        if (!PathExists(s.marker())) return Fail(s.root + " holds no simulated instrument (swsim create first)");
        std::string why, from = a->from;
        if (a->sample) {
            from = s.sim() + "/sample";
            RemoveTree(from);
            if (WriteSampleUpdate(from, a->so, &why) != 0) return Fail(why);
            std::printf("sample update %s written to %s\n", a->so.version.c_str(), from.c_str());
        }
        std::vector<std::string> lines;
        if (BuildMedium(from, s.medium(), &lines, &why) != 0) return Fail(why);
        if (InsertMedium(s.medium(), s.usbdongle(), &why) != 0) return Fail(why);
        std::printf("medium built in %s and inserted:\n", s.medium().c_str());
        for (const auto& l : lines) std::printf("  %s\n", l.c_str());
        return 0;
    });
    sub->add_option("STATE", a->state, "state directory")->required();
    sub->add_option("--from", a->from, "source directory of the update");
    sub->add_flag("--sample", a->sample, "use the built-in sample update");
    sub->add_option("--version", a->so.version, "version of the sample")->capture_default_str();
}

void AddRun(Commands& c)
{
    struct Args {
        std::string state, pullAfter = "1", web;
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
        const int rc = RunUpdate(a->state, o, SelfExe(), &why);
        web = Fd();
        if (rc == 2) return Fail(why, kExitNoRoot);  // no instrument root here: a skip, not a failure
        if (rc != 0) return Fail(why);
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
    a->pullOpt = sub->add_option("--pull-after", a->pullAfter, "seconds after the remove/failure screen, or never")
        ->capture_default_str();
    sub->add_flag("--interactive", o.interactive, "the user answers and pulls on the terminal");
    sub->add_option("--faults", o.faultsFile, "flash fault file for this run");
    a->timeoutOpt = sub->add_option("--timeout", o.timeout, "stop the updater after this many seconds (0: no limit)")
        ->check(Seconds())
        ->capture_default_str();
    sub->add_flag("--show-trace", o.showTrace, "echo the updater's trace");
    sub->add_flag("--quiet", a->quiet, "do not echo the GUI's lines");
    sub->add_flag("--no-report", a->noReport, "print no report after the run");
    sub->add_option("--updater", o.updater, "the updater executable (default: of this build)");
    sub->add_option("--gui", o.gui, "the start-up GUI stand-in (default: of this build)");
    sub->add_option("--updater-cwd", o.updaterCwd, "directory the updater is started in (default /tmp)");
    sub->add_option("--web", a->web,
                    "show the start-up screen as a web page on [ADDR:]PORT (default address 127.0.0.1); "
                    "the page answers and takes the medium out");
    sub->add_option("--power-cut", o.powerCut, "cut the power at this write: flash:N (bus write) or log:N:K (log write, K bytes kept)");
    sub->add_option("--speed", o.speed, "simulated clock N times faster than real time (1: real time; default: fast, real with --interactive)")
        ->check(CLI::Range(1.0, 86400.0));
    sub->add_option("--chip-timing", o.chipTiming,
                    "how long the chip is busy: typical (datasheet figures), off, or E,P,U (block erase s, word program us, lock-bit clearing s); default typical");
}

void AddReport(Commands& c)
{
    auto state = std::make_shared<std::string>();
    auto trace = std::make_shared<bool>(false);
    auto html = std::make_shared<std::string>();
    CLI::App* sub = AddCommand(c, "report", "the report on the last run", [state, trace, html] {
        const int rc = PrintReport(*state, *trace);
        if (rc != 0 || html->empty()) return rc;
        std::string why;
        if (WriteHtmlReport(*state, *html, &why) != 0) return Fail(why);
        std::printf("\nHTML report: %s\n", AbsolutePath(*html).c_str());
        return 0;
    });
    sub->add_option("STATE", *state, "state directory")->required();
    sub->add_flag("--trace", *trace, "the updater's full trace too");
    sub->add_option("--html", *html, "also write the report as a self-contained HTML page to FILE");
}

int Main(int argc, char** argv)
{
    // The part of a run inside the instrument root takes its arguments as
    // the run handed them over, not from a person.
    if (argc >= 2 && std::string(argv[1]) == "_inside") {
        return RunInside(std::vector<std::string>(argv + 2, argv + argc));
    }

    CLI::App app{"swsim: the simulated instrument for the engineers who prepare updates", "swsim"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("swsim ") + SWU_TOOL_VERSION, "print the version and exit");
    // As with most tools, an option given twice takes its last value (scripts
    // append their own options to a standard line).
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    Commands commands;
    commands.app = &app;
    AddCreate(commands);
    AddSample(commands);
    AddMedium(commands);
    AddRun(commands);
    AddReport(commands);
    AddCheckCommand(commands);
    AddPowercutCommand(commands);

    if (argc < 2) {
        std::fputs(app.help().c_str(), stderr);
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "swsim: %s\nRun with --help for more information.\n", e.what());
        return kExitUsage;
    }
    for (const CLI::App* sub : app.get_subcommands()) {
        const auto it = commands.runners.find(sub);
        if (it != commands.runners.end()) return it->second();
    }
    return UsageError("no command given");
}

}  // namespace

int main(int argc, char** argv)
{
    // Anything thrown (out of memory, a library's own error) ends the command
    // with its reason instead of an abort.
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        return Fail(std::string("internal error: ") + e.what());
    } catch (...) {
        return Fail("internal error");
    }
}
