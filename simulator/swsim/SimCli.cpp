#include "SimCli.h"

#include <unistd.h>

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

}  // namespace swsim
