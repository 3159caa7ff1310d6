#include "PowerLoss.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "SimFiles.h"
#include "SimSectors.h"

namespace powerloss {

namespace {

// A whole decimal number from the environment, or `fallback`.
uint64_t EnvNumber(const char* name, uint64_t fallback, uint64_t min)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (*end != '\0' || v < min || text[0] == '-') {
        ADD_FAILURE() << name << "=" << text << " is not a number >= " << min;
        return fallback;
    }
    return v;
}

}  // namespace

Options OptionsFromEnvironment()
{
    Options o;
    o.points = static_cast<int>(EnvNumber("POWERLOSS_POINTS", 50, 1));
    o.seed = EnvNumber("POWERLOSS_SEED", 1, 0);
    o.jobs = static_cast<int>(EnvNumber("POWERLOSS_JOBS", 4, 1));
    if (const char* replay = std::getenv("POWERLOSS_REPLAY")) {
        std::istringstream in(replay);
        for (std::string id; std::getline(in, id, ',');) {
            if (!id.empty()) o.replay.push_back(id);
        }
    }
    return o;
}

std::vector<std::string> ReplayIds(const Options& options, const std::string& prefix)
{
    std::vector<std::string> ids;
    for (const auto& id : options.replay) {
        if (id.compare(0, prefix.size(), prefix) == 0) ids.push_back(id.substr(prefix.size()));
    }
    return ids;
}

int RunWithEnvironment(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                       const std::string& outputFile)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const auto& x : extraEnv) {
            const std::string name = x.substr(0, x.find('=') + 1);
            replaced = replaced || std::strncmp(*e, name.c_str(), name.size()) == 0;
        }
        if (!replaced) env.push_back(*e);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    const host::Fd out(open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return -1;
    host::ProcessStart start;
    start.argv = argv;
    start.searchPath = false;
    start.environment = &env;
    start.nullInput = true;
    start.output = out.get();
    pid_t pid = -1;
    if (host::StartProcess(start, &pid, nullptr) != 0) return -1;
    const int status = host::WaitProcess(pid, nullptr);
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

SectorCount ClassifySectors(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done,
                            const std::vector<uint8_t>& after, const SectorPlan& plan, uint64_t cut)
{
    SectorCount count;
    for (int s = 0; s < kSectors; ++s) {
        const swsim::SectorContent content = swsim::SectorContentOf(before, done, after, s);
        const bool isOld = content == swsim::SectorContent::Old || content == swsim::SectorContent::Same;
        const bool isNew = content == swsim::SectorContent::New || content == swsim::SectorContent::Same;
        const bool touched = plan.first[s] != 0;
        const bool finished = touched && plan.last[s] < cut;
        const bool started = touched && plan.first[s] <= cut;
        const bool beingWritten = started && !finished;
        switch (content) {
        case swsim::SectorContent::Same: ++count.same; break;
        case swsim::SectorContent::Old: ++count.oldContent; break;
        case swsim::SectorContent::New: ++count.newContent; break;
        case swsim::SectorContent::Torn: ++count.torn; break;
        }

        const std::string name = "sector " + std::to_string(s);
        if (!isOld && !isNew && !beingWritten)
            count.faults.push_back(name + " holds neither its old nor its new content, but was not being written");
        else if (finished && !isNew)
            count.faults.push_back(name + " was finished before the cut but does not hold its new content");
        else if (!started && !isOld)
            count.faults.push_back(name + " changed although its writing had not begun");
    }
    if (count.torn > 1)
        count.faults.push_back(std::to_string(count.torn) + " sectors hold neither old nor new content");
    return count;
}

}  // namespace powerloss
