// The command line of swsim: one CLI11 application with a subcommand per
// command. Each command registers itself with AddCommand, giving the options
// it binds and the function that runs it once the line has been parsed;
// commands living in their own folders (check, powercut, ...) do the same
// from their own files.
#ifndef SWSIM_SIM_CLI_H
#define SWSIM_SIM_CLI_H

#include <functional>
#include <map>
#include <string>
#include <vector>

// The library's classes by name only: most users of this header (the
// commands' own modules, their reports) never touch the command line, and
// the library's header is a large part of each file's compile and analysis.
// The files that build the command line include <CLI/CLI.hpp> themselves.
namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace swsim {

// Exit statuses shared by every command.
enum : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 64,
    kExitNoRoot = 77,  // no instrument root can be made on this machine
};

using CommandRunner = std::function<int()>;

struct Commands {
    CLI::App* app = nullptr;
    std::map<const CLI::App*, CommandRunner> runners;
};

// Adds the subcommand `name`; `run` is called when it was given on the line
// and returns the process exit status.
CLI::App* AddCommand(Commands& commands, const std::string& name, const std::string& description,
                     CommandRunner run);

// "swsim: TEXT" on standard error; returns `status`.
int Fail(const std::string& why, int status = kExitFailure);

// A usage error found after parsing: the text and a hint, status 64.
int UsageError(const std::string& text);

// This executable's path (the run and the commands built on it find the
// updater and the GUI stand-in of the same build from it).
std::string SelfExe();

// Validates a number of seconds from 0 to one day.
const CLI::Validator& Seconds();

// Runs made at once (--jobs): the instruments of check, the points of
// powercut, each on an instrument of its own. The default is `perCore` per
// core: a run spends a good part of its time waiting (on the starts of its
// many processes, on the paced clock), so that one run per core leaves the
// cores idle.
int DefaultJobs(int perCore = 2);
// Adds --jobs to `sub`, bound to *jobs (set to DefaultJobs(perCore));
// `runs` says what runs at once ("instruments", "points").
void AddJobsOption(CLI::App* sub, int* jobs, const std::string& runs, int perCore = 2);
// Adds --progress to `sub`, bound to *forced.
void AddProgressFlag(CLI::App* sub, bool* forced);

// Of `candidates`, the one nearest `word` (a few letters changed, or `word`
// cut short), or "" when none is near enough to suggest.
std::string Nearest(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace swsim

#endif
