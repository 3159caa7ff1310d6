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
//   swsim check MEDIUM [--fleet FILE] [--json FILE] [--junit FILE] [--html FILE] [--jobs N]
//                      [--no-fleet] [--work DIR] [--keep] [--progress]
//   swsim powercut STATE [--points N] [--seed S] [--critical NAME]... [--replay ID]...
//                        [--json FILE] [--html FILE] [--jobs N] [--progress]
//
// An output FILE of "-" is standard output (the text report then goes to
// standard error).
//
// `swsim --help` and `swsim COMMAND --help` list the options; see
// simulator/README.md. Each command lives in a file of its own
// (SwsimCommands.h); this file only builds the command line and dispatches.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "SwsimCommands.h"
#include "ToolVersion.h"

using namespace swsim;

namespace {

std::vector<std::string> CommandNames(const CLI::App& app)
{
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands({})) names.push_back(sub->get_name());
    return names;
}

// "unknown command 'chek'; did you mean 'check'?"
int UnknownCommand(const CLI::App& app, const std::string& word)
{
    const std::vector<std::string> names = CommandNames(app);
    const std::string near = Nearest(word, names);
    std::string list;
    for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
    return UsageError("unknown command '" + word + "'; " +
                      (near.empty() ? "the commands are " + list : "did you mean '" + near + "'?"));
}

// An option that `sub` does not take, among the arguments after the
// command's name: "" when there is none. Looked for before parsing, since
// the parser would take the value after it for an argument and complain
// about that instead.
std::string UnknownOptionOf(const CLI::App& sub, int argc, char** argv)
{
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) continue;
        const std::string name = arg.substr(0, arg.find('='));
        if (sub.get_option_no_throw(name) == nullptr) return name;
    }
    return "";
}

// "unknown option '--jsn' for 'check'; did you mean '--json'?"
int UnknownOption(const CLI::App& sub, const std::string& name)
{
    std::vector<std::string> names;
    for (const CLI::Option* o : sub.get_options()) {
        for (const auto& l : o->get_lnames()) names.push_back("--" + l);
    }
    const std::string near = Nearest(name, names);
    return UsageError("unknown option '" + name + "' for '" + sub.get_name() + "'" +
                      (near.empty() ? "" : "; did you mean '" + near + "'?"));
}

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
    const std::string first = argv[1];
    const std::vector<std::string> names = CommandNames(app);
    if (first.compare(0, 1, "-") != 0 && std::find(names.begin(), names.end(), first) == names.end()) {
        return UnknownCommand(app, first);
    }
    if (first.compare(0, 1, "-") != 0) {
        const CLI::App& sub = *app.get_subcommand(first);
        const std::string unknown = UnknownOptionOf(sub, argc, argv);
        if (!unknown.empty()) return UnknownOption(sub, unknown);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return UsageError(e.what());
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
