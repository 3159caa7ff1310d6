#include "E2eSupport.h"

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "SimFiles.h"
#include "SimState.h"

int Swsim(const std::vector<std::string>& args, std::string* output)
{
    std::vector<std::string> argv = {SWSIM_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string why;
    const int status = swsim::RunProgram(argv, output, &why);
    if (status == -1) {
        *output += why;
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::map<std::string, std::string> Summary(const std::string& state)
{
    std::map<std::string, std::string> out;
    for (const auto& line : SplitLines(swsim::ReadTextOr(swsim::StatePaths(state).summary(), ""))) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

std::string TraceOf(const std::vector<std::string>& lines)
{
    std::string trace;
    for (const std::string& line : lines) trace += "<a:1>" + line + "\n";
    return trace;
}
