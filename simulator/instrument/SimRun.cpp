#include "SimRun.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "InstrumentRoot.h"
#include "Locations.h"
#include "NorChip.h"
#include "SimCuts.h"
#include "Sanitizers.h"
#include "SimClock.h"
#include "SimFiles.h"
#include "SimMedium.h"
#include "SimState.h"

namespace swsim {

std::string BuildDirOf(const std::string& selfExe)
{
    std::string dir = selfExe.substr(0, selfExe.rfind('/'));
    return AbsolutePath(dir + "/../..");
}

namespace {

std::string DirOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string StatusText(int status)
{
    if (status == -1) return "not started";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

std::string UtcNow()
{
    time_t t = std::time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::string Seconds(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g", s);
    return buf;
}

std::string Seconds3(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

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
};

bool Spawn(const std::vector<std::string>& argv, bool ownGroup, bool keepStdin, const std::string& cwd,
           const std::vector<std::string>& env, Child* child, std::string* why)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!keepStdin) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (ownGroup) {
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const int rc = posix_spawn(&child->pid, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    child->out = Fd(fds[0]);
    if (rc != 0) {
        *why = "cannot start " + argv[0] + ": " + std::strerror(rc);
        child->pid = -1;
        return false;
    }
    child->open = true;
    return true;
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
    WriteAll(recordFd, buf, static_cast<size_t>(n));
    if (echoFd >= 0) WriteAll(echoFd, buf, static_cast<size_t>(n));
}

void Reap(Child* c, int flags)
{
    if (c->exited || c->pid < 0) return;
    int status = 0;
    pid_t r = waitpid(c->pid, &status, flags);
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

// Pumps both pipes until `done` holds or `limit` seconds passed.
template <typename Done>
void PumpUntil(Child* updater, Child* gui, int traceFd, int guiFd, int traceEcho, int guiEcho,
               double limit, RebootWatch* reboot, Done done)
{
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
        if (reboot->notify) fds.push_back({reboot->notify.get(), POLLIN, 0});
        if (fds.empty()) {
            usleep(100000);
        } else if (poll(fds.data(), fds.size(), 100) > 0) {
            for (size_t i = 0; i < who.size(); ++i) {
                if (fds[i].revents == 0) continue;
                if (who[i] == updater) Pump(updater, traceFd, traceEcho);
                else Pump(gui, guiFd, guiEcho);
            }
        }
        reboot->Check();
        Reap(updater, WNOHANG);
        Reap(gui, WNOHANG);
    }
}

}  // namespace

int RunInside(const std::vector<std::string>& args)
{
    int traceFd = -1, guiFd = -1, resultFd = -1, webFd = -1;
    std::string updaterPath, guiPath, updaterCwd;
    double timeout = 0;
    double speed = 1;
    std::string chipTiming = "typical";
    bool showTrace = false, showGui = false, interactive = false, powerCut = false;
    std::vector<std::string> guiArgs, updaterEnv;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto next = [&]() { return i + 1 < args.size() ? args[++i] : std::string(); };
        if (a == "--trace-fd") traceFd = std::atoi(next().c_str());
        else if (a == "--gui-fd") guiFd = std::atoi(next().c_str());
        else if (a == "--result-fd") resultFd = std::atoi(next().c_str());
        else if (a == "--web-fd") webFd = std::atoi(next().c_str());
        else if (a == "--updater") updaterPath = next();
        else if (a == "--gui") guiPath = next();
        else if (a == "--updater-cwd") updaterCwd = next();
        else if (a == "--timeout") timeout = std::atof(next().c_str());
        else if (a == "--show-trace") showTrace = true;
        else if (a == "--show-gui") showGui = true;
        else if (a == "--interactive") interactive = true;
        else if (a == "--env") updaterEnv.push_back(next());
        else if (a == "--power-cut") powerCut = true;
        else if (a == "--speed") speed = std::atof(next().c_str());
        else if (a == "--chip-timing") chipTiming = next();
        else if (a == "--") {
            guiArgs.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
    }
    if (traceFd < 0 || guiFd < 0 || resultFd < 0 || updaterPath.empty() || guiPath.empty() || !(speed >= 1)) {
        std::fprintf(stderr, "swsim: _inside is started by swsim run only\n");
        return 2;
    }
    std::string result;

    // The start-up's part: the update's control files from file0 into /tmp.
    if (access("/usbdongle/file0", R_OK) == 0) {
        std::string output, why;
        const int status = RunProgram({"tar", "--gunzip", "-xvf", "/usbdongle/file0", "-C", "/tmp"}, &output, &why);
        for (char& c : output) {
            if (c == '\n') c = ' ';
        }
        while (!output.empty() && output.back() == ' ') output.pop_back();
        result += "startup-file0=" + output + "\nstartup-status=" + std::to_string(status) + "\n";
        std::printf("start-up: file0 unpacked into /tmp: %s%s\n", output.c_str(),
                    status == 0 ? "" : " (tar failed)");
    } else {
        result += "startup-file0=\n";
        std::printf("start-up: no update medium (no /usbdongle/file0); starting the updater anyway\n");
    }
    std::fflush(stdout);

    Child gui, updater;
    std::string why;
    // The run's clock starts as the GUI is started; each program is put onto
    // it by the moment of its start.
    std::string fakeTime, fakeWhy;
    if (speed != 1 && !SimulatedTimeAvailable(&fakeTime, &fakeWhy)) {
        std::fprintf(stderr, "swsim: no simulated time here: %s\n", fakeWhy.c_str());
        return 3;
    }
    std::vector<std::string> baseEnv;
    for (char** e = environ; *e != nullptr; ++e) baseEnv.push_back(*e);
    baseEnv = MergeEnvironment(baseEnv, {"NORFLASH_TIMING=" + chipTiming});
    const auto origin = std::chrono::steady_clock::now();
    auto envAt = [&]() {
        if (speed == 1) return baseEnv;
        return MergeEnvironment(baseEnv, SimClockEnvironment(fakeTime, speed, Elapsed(origin), std::getenv("LD_PRELOAD")));
    };
    RebootWatch reboot;
    std::vector<std::string> guiArgv = {guiPath};
    guiArgv.insert(guiArgv.end(), guiArgs.begin(), guiArgs.end());
    if (webFd >= 0) guiArgv.insert(guiArgv.end(), {"--web-fd", std::to_string(webFd)});
    const bool guiStarted = Spawn(guiArgv, false, interactive, "", envAt(), &gui, &why);
    if (webFd >= 0) close(webFd);  // the GUI's alone, not the updater's
    if (!guiStarted) {
        std::fprintf(stderr, "swsim: %s\n", why.c_str());
        return 3;
    }
    // The GUI serves its name before the updater's first look-up; the
    // updater retries for 20 s anyway.
    usleep(100000);
    reboot.Start();
    reboot.since = std::chrono::steady_clock::now();
    if (!Spawn({updaterPath}, true, false, updaterCwd, MergeEnvironment(envAt(), updaterEnv), &updater, &why)) {
        std::fprintf(stderr, "swsim: %s\n", why.c_str());
        kill(gui.pid, SIGTERM);
        Reap(&gui, 0);
        return 3;
    }
    const int traceEcho = showTrace ? 1 : -1;
    const int guiEcho = showGui || interactive ? 1 : -1;
    // The time limit is simulated time, like every other duration of a run.
    PumpUntil(&updater, &gui, traceFd, guiFd, traceEcho, guiEcho, timeout / speed, &reboot,
              [&] { return updater.exited && !updater.open; });
    // A power cut ends the updater with SIGKILL; nothing of the instrument
    // runs on after it: not a command the updater started, not the GUI.
    const bool cut = powerCut && updater.exited && WIFSIGNALED(updater.status) && WTERMSIG(updater.status) == SIGKILL;
    if (cut) {
        kill(-updater.pid, SIGKILL);
        kill(gui.pid, SIGKILL);
    }
    const double updaterSeconds = Elapsed(reboot.since) * speed;
    bool timedOut = false;
    if (!updater.exited) {
        timedOut = true;
        std::printf("swsim: the updater did not end within %g s; stopping it\n", timeout);
        std::fflush(stdout);
        kill(-updater.pid, SIGKILL);
        PumpUntil(&updater, &gui, traceFd, guiFd, traceEcho, guiEcho, 5, &reboot, [&] { return updater.exited; });
    }
    // Output of a command the updater left running must not hold us.
    PumpUntil(&updater, &gui, traceFd, guiFd, traceEcho, guiEcho, 2, &reboot, [&] { return !updater.open; });
    if (updater.open) kill(-updater.pid, SIGKILL);
    Reap(&updater, 0);
    if (reboot.at < 0) {
        reboot.notify = Fd();
        reboot.Check();  // a request written just before the end
    }

    // The stand-in ends at once on SIGTERM; the generous bound only keeps a
    // loaded machine (sanitizer builds, parallel runs) from cutting it short.
    kill(gui.pid, SIGTERM);
    PumpUntil(&updater, &gui, traceFd, guiFd, traceEcho, guiEcho, 15, &reboot,
              [&] { return gui.exited && !gui.open; });
    if (!gui.exited) {
        kill(gui.pid, SIGKILL);
        Reap(&gui, 0);
    }
    char timing[160];
    std::snprintf(timing, sizeof timing, "updater-seconds=%.3f\nreboot-seconds=%s\n",
                  updaterSeconds, reboot.at < 0 ? "" : Seconds3(reboot.at * speed).c_str());
    result += timing;
    result += "updater-status=" + std::to_string(updater.status) + "\nupdater-result=" +
              StatusText(updater.status) + "\ngui-result=" + StatusText(gui.status) +
              "\ntimed-out=" + (timedOut ? "1" : "0") + "\n";
    WriteAll(resultFd, result.data(), result.size());
    return 0;
}

int RunUpdate(const std::string& stateDir, const RunOptions& o, const std::string& selfExe, std::string* why)
{
    const StatePaths s(stateDir);
    if (!PathExists(s.marker())) {
        *why = s.root + " holds no simulated instrument (swsim create first)";
        return 1;
    }
    const Locations where = LocationsOf(selfExe);
    const std::string updater = AbsolutePath(o.updater.empty() ? where.updater : o.updater);
    const std::string gui = AbsolutePath(o.gui.empty() ? where.gui : o.gui);
    for (const auto& exe : {updater, gui}) {
        if (access(exe.c_str(), X_OK) != 0) {
            *why = exe + (where.installed ? " is missing (the installation is incomplete)"
                                          : " is missing (build it first)");
            return 1;
        }
    }
    if (o.answer != "yes" && o.answer != "no" && o.answer != "never" && !(o.answer == "web" && o.webFd >= 0)) {
        *why = "--answer must be yes, no or never";
        return 1;
    }
    // A person answering in a terminal or on the web page sees real time unless told otherwise.
    double speed = EffectiveSpeed(o.speed, o.interactive || o.answer == "web");
    if (!(speed >= 1 && speed <= kMaxSpeed)) {
        *why = "--speed must be between 1 (real time) and " + Seconds(kMaxSpeed);
        return 1;
    }
    // A power cut's write numbers count the bus writes of an instantly ready
    // chip (the replay the cut points are chosen from): a timed chip is
    // polled more often, which would move the cut. So a cut run has no chip
    // timing unless one is asked for.
#if defined(SWU_SANITIZED)
    // In sanitizer builds the updater's own work is several times slower,
    // and the simulated clock multiplies it: there the chip is instantly
    // ready unless asked, so that its polls do not stretch the run.
    const char* const defaultChipTiming = "off";
#else
    const char* const defaultChipTiming = "typical";
#endif
    const std::string chipTiming = !o.chipTiming.empty() ? o.chipTiming
                                   : o.powerCut.empty()  ? defaultChipTiming
                                                         : "off";
    {
        norsim::NorTiming timing;
        std::string error;
        if (norsim::ParseTimingText(chipTiming, &timing, &error) != 0) {
            *why = "--chip-timing " + chipTiming + ": " + error;
            return 1;
        }
    }
    if (speed != 1) {
        std::string library, reason;
        if (!SimulatedTimeAvailable(&library, &reason)) {
            if (o.speed > 0) {
                *why = "--speed " + Seconds(speed) + " needs simulated time, which this machine lacks: " + reason +
                       " (--speed 1 runs in real time)";
                return 1;
            }
            std::fprintf(stderr, "swsim: running in real time: %s\n", reason.c_str());
            speed = 1;
        }
    }

    // A fresh start-up: /tmp is empty, as after a reboot; the medium is put
    // back when it was taken out.
    for (const auto& name : ListDir(s.tmp())) {
        if (!RemoveTree(s.tmp() + "/" + name, why)) return 1;
    }
    if (!PathExists(s.usbdongle() + "/file0") && PathExists(s.medium() + "/file0")) {
        if (InsertMedium(s.medium(), s.usbdongle(), why) != 0) return 1;
        std::printf("medium: inserted (%s)\n", s.medium().c_str());
    }
    RemoveTree(s.faults());
    RemoveTree(s.sim() + "/faults.used");
    if (!o.faultsFile.empty()) {
        if (!CopyFileTo(o.faultsFile, s.faults(), why) || !CopyFileTo(o.faultsFile, s.sim() + "/faults.used", why)) {
            return 1;
        }
    }
    if (!CopyFileTo(s.flash(), s.flashBefore(), why)) return 1;
    if (!RemoveTree(s.dataBefore(), why) || !CopyTree(s.instrumentData(), s.dataBefore(), why)) return 1;
    if (!WriteText(s.boardTools(), "", 0644, why)) return 1;
    RemoveTree(s.summary());

    // Records of the run, handed to the part inside the root as open files.
    Fd trace(open(s.trace().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    Fd guiRecord(open(s.guiRecord().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    const std::string innerPath = s.sim() + "/inside.txt";
    Fd inner(open(innerPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!trace || !guiRecord || !inner) {
        *why = "cannot create the run's records in " + s.sim() + ": " + std::strerror(errno);
        return 1;
    }

    std::vector<std::string> argv = {selfExe, "_inside", "--trace-fd", std::to_string(trace.get()),
                                     "--gui-fd", std::to_string(guiRecord.get()), "--result-fd",
                                     std::to_string(inner.get()), "--updater", updater, "--gui", gui,
                                     "--timeout", std::to_string(o.interactive ? 0 : o.timeout),
                                     "--speed", std::to_string(speed), "--chip-timing", chipTiming};
    if (!o.updaterCwd.empty()) argv.insert(argv.end(), {"--updater-cwd", o.updaterCwd});
    if (!o.powerCut.empty()) {
        CutPoint point;
        if (!ParseCutId(o.powerCut, &point, why)) return 1;
        // One cut at a time: a cut of the other kind inherited from the
        // caller's environment is switched off.
        argv.insert(argv.end(), {"--power-cut", "--env", CutEnvironment(point), "--env",
                                 point.kind == CutPoint::Flash ? "RECORDLOG_POWER_CUT=" : "NORFLASH_POWER_CUT="});
    }
    Fd logWrites;
    if (!o.logWritesFile.empty()) {
        // Handed down open, like the records above (not closed on exec).
        logWrites = Fd(open(o.logWritesFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644));
        if (!logWrites) {
            *why = "cannot create " + o.logWritesFile + ": " + std::strerror(errno);
            return 1;
        }
        argv.insert(argv.end(), {"--env", "RECORDLOG_WRITES_FD=" + std::to_string(logWrites.get())});
    }
    if (o.showTrace) argv.push_back("--show-trace");
    if (o.showGui) argv.push_back("--show-gui");
    if (o.interactive) argv.push_back("--interactive");
    if (o.webFd >= 0) argv.insert(argv.end(), {"--web-fd", std::to_string(o.webFd)});
    argv.push_back("--");
    if (o.interactive) {
        argv.push_back("--interactive");
    } else {
        argv.insert(argv.end(), {"--answer", o.answer == "web" ? "ask" : o.answer, "--answer-delay",
                                 std::to_string(o.answerDelay)});
        if (o.pullAfter >= 0) argv.insert(argv.end(), {"--pull-medium", std::to_string(o.pullAfter)});
    }

    InstrumentRootConfig config;
    config.stateDir = s.root;
    config.boardToolsDir = where.boardTools;
    std::vector<std::string> bound = where.rootDirs;
    bound.insert(bound.end(), {DirOf(updater), DirOf(gui), DirOf(selfExe)});
    for (const auto& dir : bound) {
        bool seen = false;
        for (const auto& d : config.readOnlyDirs) seen = seen || d == dir;
        if (!seen) config.readOnlyDirs.push_back(dir);
    }

    const std::string started = UtcNow();
    const auto t0 = std::chrono::steady_clock::now();
    std::fflush(stdout);
    std::string rootWhy;
    const int status = RunInInstrumentRoot(config, argv, &rootWhy);
    const double wall = Elapsed(t0);
    RemoveTree(s.faults());

    std::string record = "started=" + started + "\nwall-seconds=" + Seconds(wall) + "\nspeed=" + Seconds(speed) +
                         "\nchip-timing=" + chipTiming +
                         "\nanswer=" +
                         (o.interactive ? std::string("interactive") : o.answer) +
                         "\nanswer-delay=" + Seconds(o.answerDelay) + "\npull-after=" +
                         (o.pullAfter >= 0 ? Seconds(o.pullAfter) : std::string("never")) +
                         "\nfaults=" + o.faultsFile + "\npower-cut=" + o.powerCut + "\nupdater=" + updater + "\ngui=" + gui +
                         "\nroot-result=" + (status == -1 ? "no root: " + rootWhy : StatusText(status)) + "\n";
    record += ReadTextOr(innerPath, "");
    RemoveTree(innerPath);
    if (!WriteText(s.runRecord(), record, 0644, why)) return 1;
    if (status == -1) {
        *why = "no instrument root could be made: " + rootWhy;
        return 2;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *why = "the run inside the instrument root failed (" + StatusText(status) + ")" +
               (rootWhy.empty() ? "" : ": " + rootWhy);
        return 1;
    }
    return 0;
}

}  // namespace swsim
