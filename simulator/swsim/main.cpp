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
// simulator/README.md. Each command lives in a file of its own
// (SwsimCommands.h); this file only builds the command line and dispatches.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "SwsimCommands.h"
#include "ToolVersion.h"

using namespace swsim;

namespace {

int Main(int argc, char** argv)
{
    // The part of a run inside the instrument root takes its arguments as
    // the run handed them over, not from a person.
    if (argc >= 2 && std::string(argv[1]) == "_inside") return InsideCommand(argc, argv);

    CLI::App app{"swsim: the simulated instrument for the engineers who prepare updates", "swsim"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("swsim ") + SWU_TOOL_VERSION, "print the version and exit");
    // As with most tools, an option given twice takes its last value (scripts
    // append their own options to a standard line).
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    Commands commands;
    commands.app = &app;
    AddCreateCommand(commands);
    AddSampleCommand(commands);
    AddMediumCommand(commands);
    AddRunCommand(commands);
    AddReportCommand(commands);
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
