#include "PowerLoss.h"

#include <fcntl.h>
#include <spawn.h>
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
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
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
