#include "Process.h"

#include "Fd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

void SetWhy(std::string* why, const std::string& text)
{
    if (why != nullptr) *why = text;
}

// The null-terminated pointer array exec and spawn take.
std::vector<char*> Pointers(const std::vector<std::string>& texts)
{
    std::vector<char*> out;
    out.reserve(texts.size() + 1);
    for (const auto& t : texts) out.push_back(const_cast<char*>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

int Spawn(const ProcessStart& s, pid_t* pid, std::string* why)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (s.nullInput) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (s.output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, s.output, 1);
        posix_spawn_file_actions_adddup2(&actions, s.output, 2);
    }
    if (!s.directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, s.directory.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (s.ownGroup) {
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
    }
    std::vector<char*> args = Pointers(s.argv);
    std::vector<char*> env = s.environment != nullptr ? Pointers(*s.environment) : std::vector<char*>();
    char* const* envp = s.environment != nullptr ? env.data() : environ;
    const int rc = s.searchPath ? posix_spawnp(pid, args[0], &actions, &attr, args.data(), envp)
                                : posix_spawn(pid, args[0], &actions, &attr, args.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        SetWhy(why, "cannot start " + s.argv[0] + ": " + std::strerror(rc));
        return kProgramNotStarted;
    }
    return 0;
}

// Writes a failure's stage ('p' preparation, 'x' program) and reason to the
// parent and ends the child.
[[noreturn]] void ChildFailed(int report, char stage, const std::string& reason)
{
    const std::string text = stage + reason;
    ssize_t ignored = write(report, text.data(), text.size());
    (void)ignored;
    _exit(127);
}

// The child's side of a forked start: redirections, the preparation, then
// the body or the program.
[[noreturn]] void RunChild(const ProcessStart& s, int report)
{
    if (s.nullInput) {
        const int in = open("/dev/null", O_RDONLY);
        if (in > 0) {
            dup2(in, 0);
            close(in);
        }
    }
    if (s.output >= 0) {
        dup2(s.output, 1);
        dup2(s.output, 2);
    }
    if (s.ownGroup) setpgid(0, 0);
    if (!s.directory.empty() && chdir(s.directory.c_str()) != 0) {
        ChildFailed(report, 'x', "cannot change to " + s.directory + ": " + std::strerror(errno));
    }
    if (s.prepare) {
        const std::string reason = s.prepare();
        if (!reason.empty()) ChildFailed(report, 'p', reason);
    }
    if (s.body) {
        close(report);  // the parent stops waiting for a report here
        const int rc = s.body();
        std::fflush(nullptr);
        _exit(rc);
    }
    std::vector<char*> args = Pointers(s.argv);
    if (s.environment != nullptr) {
        std::vector<char*> env = Pointers(*s.environment);
        if (s.searchPath) execvpe(args[0], args.data(), env.data());
        else execve(args[0], args.data(), env.data());
    } else if (s.searchPath) {
        execvp(args[0], args.data());
    } else {
        execv(args[0], args.data());
    }
    ChildFailed(report, 'x', "cannot start " + s.argv[0] + ": " + std::strerror(errno));
}

int Fork(const ProcessStart& s, pid_t* pid, std::string* why)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        SetWhy(why, std::string("cannot create a pipe: ") + std::strerror(errno));
        return kNoProcess;
    }
    Fd readEnd(report[0]);
    Fd writeEnd(report[1]);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        SetWhy(why, std::string("cannot fork: ") + std::strerror(errno));
        return kNoProcess;
    }
    if (child == 0) {
        close(readEnd.release());
        RunChild(s, writeEnd.release());
    }
    writeEnd.reset();
    // Nothing comes once the program runs (the pipe closes at its exec) or
    // the body runs; a failure before comes as its stage and reason.
    std::string reason;
    char buffer[512];
    ssize_t n;
    while ((n = read(readEnd.get(), buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        reason.append(buffer, static_cast<size_t>(n));
    }
    if (reason.empty()) {
        *pid = child;
        return 0;
    }
    WaitProcess(child, nullptr);
    SetWhy(why, reason.substr(1));
    return reason[0] == 'p' ? kNotPrepared : kProgramNotStarted;
}

}  // namespace

int StartProcess(const ProcessStart& s, pid_t* pid, std::string* why)
{
    if (!s.body && s.argv.empty()) {
        SetWhy(why, "no program given");
        return kProgramNotStarted;
    }
    return s.prepare || s.body ? Fork(s, pid, why) : Spawn(s, pid, why);
}

int WaitProcess(pid_t pid, std::string* why, struct rusage* usage)
{
    int status = 0;
    while (wait4(pid, &status, 0, usage) < 0) {
        if (errno != EINTR) {
            SetWhy(why, std::string("waitpid: ") + std::strerror(errno));
            return -1;
        }
    }
    return status;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output, std::string* why)
{
    Fd readEnd, writeEnd;
    if (output != nullptr) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            SetWhy(why, std::string("pipe: ") + std::strerror(errno));
            return -1;
        }
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
    }
    ProcessStart s;
    s.argv = argv;
    s.output = writeEnd.get();
    pid_t pid = -1;
    if (StartProcess(s, &pid, why) != 0) return -1;
    writeEnd.reset();
    if (output != nullptr) {
        output->clear();
        char buf[4096];
        for (;;) {
            const ssize_t n = read(readEnd.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            output->append(buf, static_cast<size_t>(n));
        }
    }
    return WaitProcess(pid, why);
}

}  // namespace host
