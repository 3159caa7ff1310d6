#ifndef UTILS_TEST_SUPPORT_H
#define UTILS_TEST_SUPPORT_H

#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "RootTest.h"

// Everything the call writes to standard output (its own printf and the
// commands it runs), as one text.
template <typename F>
std::string CaptureOutput(F&& call)
{
    return CaptureStdoutOf(call);
}

// The trace lines of an output, without their "<file:line>" prefixes.
inline std::vector<std::string> TraceMessages(const std::string& out)
{
    std::vector<std::string> messages;
    std::regex prefix("<[^<>:]+:[0-9]+>");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), prefix);
         it != std::sregex_iterator(); ++it) {
        size_t start = it->position() + it->length();
        size_t end = out.find('\n', start);
        messages.push_back(out.substr(start, end == std::string::npos ? end : end - start));
    }
    return messages;
}

// Runs `call` in a child process whose limit `resource` (an RLIMIT_ value)
// is set to what `cap` returns (given the current soft limit). Returns the child's exit
// code, -1 when it did not exit.
template <typename Resource, typename Cap, typename F>
int RunWithLimit(Resource resource, Cap&& cap, F&& call)
{
    const pid_t pid = fork();
    if (pid == 0) {
        struct rlimit limit = {};
        getrlimit(resource, &limit);
        const rlim_t value = cap(limit.rlim_cur);
        limit.rlim_cur = limit.rlim_max = value;
        if (setrlimit(resource, &limit) != 0) {
            _exit(98);
        }
        _exit(call());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Creates the directories above `path`.
inline void MakeParentDirs(const std::string& path)
{
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

#endif
