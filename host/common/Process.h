// Starting a process: the one way the host stand-ins and the simulator start
// programs (and children that run a function of their own).
//
// A plain program start is a posix_spawn (cheap, also from a process with
// threads); a start that must do work in the child before the program runs
// (`prepare`: entering an instrument root) or that runs a function instead
// of a program (`body`) forks.
#ifndef HOST_PROCESS_H
#define HOST_PROCESS_H

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace host {

struct ProcessStart {
    // The program and its arguments; argv[0] is looked up in PATH when
    // `searchPath` is set and it holds no '/'.
    std::vector<std::string> argv;
    bool searchPath = true;
    // The program's environment; null: this process's.
    const std::vector<std::string>* environment = nullptr;
    // Standard output and standard error go to this descriptor; -1: this
    // process's. The caller keeps (and closes) it.
    int output = -1;
    // Standard input from /dev/null instead of this process's.
    bool nullInput = false;
    // The working directory; "": this process's.
    std::string directory;
    // The child leads a process group of its own (to be ended as a whole).
    bool ownGroup = false;
    // Work done in the child before the program starts (after the
    // redirections): returns "" to go on, else the reason it failed, and the
    // program is not started.
    std::function<std::string()> prepare;
    // Set: the child runs this instead of a program and exits with its
    // result (`argv` is not used).
    std::function<int()> body;
};

// StartProcess's results other than 0 (started).
constexpr int kNoProcess = -1;          // no child could be made (pipe, fork)
constexpr int kProgramNotStarted = -2;  // the program could not be started
constexpr int kNotPrepared = -3;        // `prepare` failed in the child

// Starts a process as `s` says and returns 0 with its id in *pid (to be
// waited for by the caller), or one of the results above with the reason in
// *why; a child that did not get to run its program has been waited for.
int StartProcess(const ProcessStart& s, pid_t* pid, std::string* why);

// Waits for the child `pid` to end (through interruptions). Returns its
// wait status, or -1 with the reason in *why; `usage`, when given, receives
// the CPU time of the child and of the children it waited for.
int WaitProcess(pid_t pid, std::string* why, struct rusage* usage = nullptr);

// Runs argv (argv[0] searched in PATH) without a shell, standard output and
// error captured into *output when given (else this process's). Returns
// the wait status, or -1 with the reason in *why when it could not be
// started.
int RunProgram(const std::vector<std::string>& argv, std::string* output, std::string* why);

}  // namespace host

#endif
