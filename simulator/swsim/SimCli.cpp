#include "SimCli.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <CLI/CLI.hpp>

namespace swsim {

CLI::App* AddCommand(Commands& commands, const std::string& name, const std::string& description,
                     CommandRunner run)
{
    CLI::App* sub = commands.app->add_subcommand(name, description);
    commands.runners[sub] = std::move(run);
    return sub;
}

int Fail(const std::string& why, int status)
{
    std::fprintf(stderr, "swsim: %s\n", why.c_str());
    return status;
}

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "swsim: %s\nRun with --help for more information.\n", text.c_str());
    return kExitUsage;
}

std::string SelfExe()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

const CLI::Validator& Seconds()
{
    static const CLI::Validator v = CLI::Range(0.0, 86400.0).description("SECONDS (0 to 86400)");
    return v;
}

int DefaultJobs(int perCore)
{
    return static_cast<int>(std::min(64L, perCore * std::max(1L, sysconf(_SC_NPROCESSORS_ONLN))));
}

void AddJobsOption(CLI::App* sub, int* jobs, const std::string& runs, int perCore)
{
    static const char* const kCount[] = {"one", "two", "three", "four"};
    *jobs = DefaultJobs(perCore);
    const std::string per = perCore >= 1 && perCore <= 4 ? kCount[perCore - 1] : std::to_string(perCore);
    sub->add_option("--jobs", *jobs,
                    runs + " run at once (default: " + per + " per core, " + std::to_string(*jobs) + " here)")
        ->check(CLI::Range(1, 64));
}

void AddProgressFlag(CLI::App* sub, bool* forced)
{
    sub->add_flag("--progress", *forced,
                  "show progress on standard error even when it is no terminal (e.g. in a CI log)");
}

namespace {

// Edits (insertions, deletions, substitutions, swaps of neighbours) that
// turn `a` into `b`.
size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string Nearest(const std::string& word, const std::vector<std::string>& candidates)
{
    std::string best;
    size_t bestDistance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const auto& c : candidates) {
        // A word cut short ("power" for "powercut") is as near as it gets.
        const size_t d = word.size() >= 2 && c.compare(0, word.size(), word) == 0 ? 1 : EditDistance(word, c);
        if (d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    return best;
}

}  // namespace swsim
