#include "E2eSupport.h"

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "SimFiles.h"
#include "SimState.h"

ScratchDir::ScratchDir()
{
    const std::string base = std::string(SWU_BUILD_DIR) + "/e2e-scratch";
    swsim::MakeDirs(base);
    std::string templ = base + "/XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

ScratchDir::~ScratchDir()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const bool failed = info != nullptr && info->result() != nullptr && info->result()->Failed();
    if (!path_.empty() && !failed) swsim::RemoveTree(path_);
}

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

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}
