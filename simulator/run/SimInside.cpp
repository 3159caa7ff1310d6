#include "SimInside.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "InstrumentRoot.h"
#include "RunJson.h"
#include "SimClock.h"
#include "SimFiles.h"

namespace swsim {

std::string StatusText(int status)
{
    if (status == -1) return "not started";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

bool InsideRequestComplete(const InsideRequest& r)
{
    return r.traceFd >= 0 && r.guiFd >= 0 && r.resultFd >= 0 && !r.run.updater.empty() && !r.run.gui.empty() &&
           r.run.speed >= 1;
}

namespace {

// Writes all of `data` to `fd`; errors are ignored (a lost echo is no
// reason to stop an update).
void WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// One child with its output on a pipe.
struct Child {
    pid_t pid = -1;
    Fd out;
    bool open = false;   // the pipe has not reached its end
    bool exited = false;
    int status = -1;
    size_t bytes = 0;    // output read so far
    // Whether a complete line of the output began, after its time, with
    // the word `readyWord` (checked only while not yet seen; "" checks
    // nothing). Other lines, such as a sanitizer runtime's warnings on
    // standard error, do not count.
    std::string readyWord;
    bool ready = false;
    std::string partLine;  // the output's last incomplete line while not ready
    // CPU time of the child and of the children it waited for, once it has
    // ended.
    struct rusage usage = {};
};

// Starts argv (a path, not looked up in PATH) as a child with its output on
// a pipe; `ownGroup`: in a process group of its own; standard input is
// /dev/null unless `keepStdin`.
bool Spawn(const std::vector<std::string>& argv, bool ownGroup, bool keepStdin, const std::string& cwd,
           const std::vector<std::string>& env, Child* child, std::string* why)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const Fd writeEnd(fds[1]);
    child->out = Fd(fds[0]);
    host::ProcessStart start;
    start.argv = argv;
    start.searchPath = false;
    start.environment = &env;
    start.output = writeEnd.get();
    start.nullInput = !keepStdin;
    start.directory = cwd;
    start.ownGroup = ownGroup;
    if (host::StartProcess(start, &child->pid, why) != 0) {
        child->pid = -1;
        return false;
    }
    child->open = true;
    return true;
}

// Looks in the output `data` (continuing the child's last incomplete line)
// for a line "TIME WORD ..." with WORD the child's readyWord.
void NoteReady(Child* c, const char* data, size_t size)
{
    c->partLine.append(data, size);
    size_t begin = 0, end;
    while (!c->ready && (end = c->partLine.find('\n', begin)) != std::string::npos) {
        std::istringstream fields(c->partLine.substr(begin, end - begin));
        std::string time, word;
        c->ready = (fields >> time >> word) && word == c->readyWord;
        begin = end + 1;
    }
    c->partLine.erase(0, c->ready ? std::string::npos : begin);
}

// Moves what is waiting on the child's pipe to the record (and the echo).
void Pump(Child* c, int recordFd, int echoFd)
{
    char buf[8192];
    ssize_t n = read(c->out.get(), buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        c->open = false;
        return;
    }
    c->bytes += static_cast<size_t>(n);
    if (!c->ready && !c->readyWord.empty()) NoteReady(c, buf, static_cast<size_t>(n));
    WriteAll(recordFd, buf, static_cast<size_t>(n));
    if (echoFd >= 0) WriteAll(echoFd, buf, static_cast<size_t>(n));
}

void Reap(Child* c, int flags)
{
    if (c->exited || c->pid < 0) return;
    int status = 0;
    pid_t r = wait4(c->pid, &status, flags, &c->usage);
    if (r == c->pid) {
        c->exited = true;
        c->status = status;
    }
}

double Elapsed(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Notes the moment the updater requests the reboot: the board tools' record
// is watched for its line, so the moment is known on the real clock to a
// fraction of a millisecond, whatever the speed of the run.
struct RebootWatch {
    Fd notify;
    std::string seen;   // the record's lines read so far
    off_t offset = 0;
    double at = -1;     // real seconds after `since`; < 0: not requested (yet)
    std::chrono::steady_clock::time_point since;

    void Start()
    {
        notify = Fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (notify && inotify_add_watch(notify.get(), kBoardToolRecord, IN_MODIFY) < 0) notify = Fd();
    }
    // Reads what the record gained; without a watch on every call, with one
    // only when it reported a change.
    void Check()
    {
        if (notify) {
            char events[4096];
            bool changed = false;
            while (read(notify.get(), events, sizeof events) > 0) changed = true;
            if (!changed) return;
        }
        if (at >= 0) return;
        Fd record(open(kBoardToolRecord, O_RDONLY | O_CLOEXEC));
        if (!record) return;
        char buf[4096];
        ssize_t n;
        while ((n = pread(record.get(), buf, sizeof buf, offset)) > 0) {
            seen.append(buf, static_cast<size_t>(n));
            offset += n;
        }
        if (seen.find(": reboot requested\n") != std::string::npos) at = Elapsed(since);
    }
};

// The two programs of a run with their records, their echoes on standard
// output (-1: none) and the watch on the reboot request.
struct Programs {
    Child updater, gui;
    int traceFd = -1, guiFd = -1;
    int traceEcho = -1, guiEcho = -1;
    RebootWatch reboot;
    bool waitsRecorded = false;  // the pause recorder is preloaded into the updater
};

// Pumps both pipes until `done` holds or `limit` seconds passed.
template <typename Done>
void PumpUntil(Programs* p, double limit, Done done)
{
    Child* updater = &p->updater;
    Child* gui = &p->gui;
    const auto start = std::chrono::steady_clock::now();
    while (!done() && (limit <= 0 || Elapsed(start) < limit)) {
        std::vector<pollfd> fds;
        std::vector<Child*> who;
        for (Child* c : {updater, gui}) {
            if (c->pid >= 0 && c->open) {
                fds.push_back({c->out.get(), POLLIN, 0});
                who.push_back(c);
            }
        }
        if (p->reboot.notify) fds.push_back({p->reboot.notify.get(), POLLIN, 0});
        if (fds.empty()) {
            usleep(100000);
        } else if (poll(fds.data(), fds.size(), 100) > 0) {
            for (size_t i = 0; i < who.size(); ++i) {
                if (fds[i].revents == 0) continue;
                if (who[i] == updater) Pump(updater, p->traceFd, p->traceEcho);
                else Pump(gui, p->guiFd, p->guiEcho);
            }
        }
        p->reboot.Check();
        Reap(updater, WNOHANG);
        Reap(gui, WNOHANG);
    }
}
// Puts the pause recorder (RunCounts.h) into the updater's environment
// *env: preloaded first, before libfaketime (`fakeTime`, "" in real time), so that
// it sees each pause's length as the updater asks for it, and the record's
// descriptor with its file's identity. Returns false, leaving *env as it
// was, when there is no recorder or no record, or nothing can be preloaded
// here.
bool AddWaitRecorder(const InsideRequest& request, std::vector<std::string>* env, const std::string& fakeTime)
{
    struct stat st;
    std::string why;
    if (request.waitRecordFd < 0 || request.waitRecorder.empty() || !PreloadAvailable(&why) ||
        fstat(request.waitRecordFd, &st) != 0 || access(request.waitRecorder.c_str(), R_OK) != 0) {
        return false;
    }
    // First of all: a clock library the caller itself preloads must not
    // shorten a pause before the recorder sees it.
    const char* current = std::getenv("LD_PRELOAD");
    std::string preload = request.waitRecorder;
    if (current != nullptr && *current != '\0') preload += ":" + std::string(current);
    if (!fakeTime.empty()) preload += ":" + fakeTime;
    *env = MergeEnvironment(*env, {"LD_PRELOAD=" + preload,
                                   "SWSIM_WAIT_RECORD=" + std::to_string(request.waitRecordFd) + ":" +
                                       std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                                       std::to_string(static_cast<unsigned long long>(st.st_ino))});
    return true;
}

// The start-up's part: the update's control files from file0 into /tmp.
void UnpackFile0(InsideResult* result)
{
    if (access("/usbdongle/file0", R_OK) == 0) {
        std::string output, why;
        const int status = RunProgram({"tar", "--gunzip", "-xvf", "/usbdongle/file0", "-C", "/tmp"}, &output, &why);
        for (char& c : output) {
            if (c == '\n') c = ' ';
        }
        while (!output.empty() && output.back() == ' ') output.pop_back();
        result->medium = true;
        result->file0Names = output;
        result->file0Status = status;
        std::printf("start-up: file0 unpacked into /tmp: %s%s\n", output.c_str(),
                    status == 0 ? "" : " (tar failed)");
    } else {
        std::printf("start-up: no update medium (no /usbdongle/file0); starting the updater anyway\n");
    }
    std::fflush(stdout);
}

// The GUI stand-in's command line: the user's answer and the pulling of the
// medium, or a person on the terminal; the web screen's socket.
std::vector<std::string> GuiArgv(const RunOptions& o)
{
    std::vector<std::string> argv = {o.gui};
    if (o.interactive) {
        argv.push_back("--interactive");
    } else {
        argv.insert(argv.end(), {"--answer", o.answer == "web" ? "ask" : o.answer, "--answer-delay",
                                 std::to_string(o.answerDelay)});
        if (o.pullAfter >= 0) argv.insert(argv.end(), {"--pull-medium", std::to_string(o.pullAfter)});
    }
    if (o.webFd >= 0) argv.insert(argv.end(), {"--web-fd", std::to_string(o.webFd)});
    return argv;
}

// Starts the GUI stand-in, then the updater. Returns false, with the reason
// on standard error, when either cannot be started.
bool StartPrograms(const InsideRequest& request, Programs* p)
{
    const RunOptions& o = request.run;
    // The run's clock starts as the GUI is started; each program is put onto
    // it by the moment of its start.
    std::string fakeTime, why;
    if (o.speed != 1 && !SimulatedTimeAvailable(&fakeTime, &why)) {
        std::fprintf(stderr, "swsim: no simulated time here: %s\n", why.c_str());
        return false;
    }
    std::vector<std::string> baseEnv;
    for (char** e = environ; *e != nullptr; ++e) baseEnv.push_back(*e);
    baseEnv = MergeEnvironment(baseEnv, {"NORFLASH_TIMING=" + (o.chipTiming.empty() ? "typical" : o.chipTiming)});
    const auto origin = std::chrono::steady_clock::now();
    auto envAt = [&]() {
        if (o.speed == 1) return baseEnv;
        return MergeEnvironment(baseEnv, SimClockEnvironment(fakeTime, o.speed, Elapsed(origin), std::getenv("LD_PRELOAD")));
    };
    p->gui.readyWord = "start";
    const bool guiStarted = Spawn(GuiArgv(o), false, o.interactive, "", envAt(), &p->gui, &why);
    if (o.webFd >= 0) close(o.webFd);  // the GUI's alone, not the updater's
    if (!guiStarted) {
        std::fprintf(stderr, "swsim: %s\n", why.c_str());
        return false;
    }
    // The updater is started once the GUI serves its name (its "start" line
    // says so), so that the updater's first look-up of it finds it: how many
    // look-ups it makes (200 ms apart) does not depend on the host's load.
    // Not at the GUI's first output: a sanitizer build's runtime may write
    // warnings before the GUI serves. The bound only keeps a GUI that never
    // serves from holding the run.
    PumpUntil(p, 10, [&] { return p->gui.ready || p->gui.exited; });
    p->reboot.Start();
    p->reboot.since = std::chrono::steady_clock::now();
    std::vector<std::string> updaterEnv = envAt();
    p->waitsRecorded = AddWaitRecorder(request, &updaterEnv, o.speed != 1 ? fakeTime : "");
    if (!Spawn({o.updater}, true, false, o.updaterCwd, MergeEnvironment(updaterEnv, request.updaterEnv),
               &p->updater, &why)) {
        std::fprintf(stderr, "swsim: %s\n", why.c_str());
        kill(p->gui.pid, SIGTERM);
        Reap(&p->gui, 0);
        return false;
    }
    return true;
}

// Waits for the updater to end (or stops it at the time limit, or ends
// everything at a power cut) and for its output.
void WaitForUpdater(const RunOptions& o, Programs* p, InsideResult* result)
{
    Child& updater = p->updater;
    // The time limit is simulated time, like every other duration of a run.
    PumpUntil(p, o.timeout / o.speed, [&] { return updater.exited && !updater.open; });
    // A power cut ends the updater with SIGKILL; nothing of the instrument
    // runs on after it: not a command the updater started, not the GUI.
    const bool cut = !o.powerCut.empty() && updater.exited && WIFSIGNALED(updater.status) &&
                     WTERMSIG(updater.status) == SIGKILL;
    if (cut) {
        kill(-updater.pid, SIGKILL);
        kill(p->gui.pid, SIGKILL);
    }
    result->updaterSeconds = Elapsed(p->reboot.since) * o.speed;
    if (!updater.exited) {
        result->timedOut = true;
        std::printf("swsim: the updater did not end within %g s; stopping it\n", o.timeout);
        std::fflush(stdout);
        kill(-updater.pid, SIGKILL);
        PumpUntil(p, 5, [&] { return updater.exited; });
    }
    // Output of a command the updater left running must not hold us.
    PumpUntil(p, 2, [&] { return !updater.open; });
    if (updater.open) kill(-updater.pid, SIGKILL);
    Reap(&updater, 0);
    if (p->reboot.at < 0) {
        p->reboot.notify = Fd();
        p->reboot.Check();  // a request written just before the end
    }
    result->rebootSeconds = p->reboot.at < 0 ? -1 : p->reboot.at * o.speed;
}

// Ends the GUI stand-in. It ends at once on SIGTERM; the generous bound only
// keeps a loaded machine (sanitizer builds, parallel runs) from cutting it
// short.
void StopGui(Programs* p)
{
    kill(p->gui.pid, SIGTERM);
    PumpUntil(p, 15, [&] { return p->gui.exited && !p->gui.open; });
    if (!p->gui.exited) {
        kill(p->gui.pid, SIGKILL);
        Reap(&p->gui, 0);
    }
}

}  // namespace

int RunInside(const InsideRequest& request)
{
    const RunOptions& o = request.run;
    InsideResult result;
    UnpackFile0(&result);
    Programs p;
    p.traceFd = request.traceFd;
    p.guiFd = request.guiFd;
    p.traceEcho = o.showTrace ? 1 : -1;
    p.guiEcho = o.showGui || o.interactive ? 1 : -1;
    if (!StartPrograms(request, &p)) return 3;
    WaitForUpdater(o, &p, &result);
    StopGui(&p);
    result.updaterStatus = p.updater.status;
    result.guiStatus = p.gui.status;
    result.updaterPid = p.updater.pid;
    result.waitsRecorded = p.waitsRecorded;
    result.cpuMeasured = p.updater.exited;
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    result.cpuUserSeconds = seconds(p.updater.usage.ru_utime);
    result.cpuSystemSeconds = seconds(p.updater.usage.ru_stime);
    const std::string json = InsideResultJson(result);
    WriteAll(request.resultFd, json.data(), json.size());
    return 0;
}

}  // namespace swsim
