#include "SimRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "InstrumentRoot.h"
#include "Locations.h"
#include "NorChip.h"
#include "RunCounts.h"
#include "RunJson.h"
#include "RunResult.h"
#include "Sanitizers.h"
#include "SimClock.h"
#include "SimCuts.h"
#include "SimFiles.h"
#include "SimMedium.h"
#include "SimState.h"

namespace swsim {

namespace {

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

double Elapsed(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The updater and the GUI stand-in of the run: those named, or those of the
// build or installation that holds swsim. Returns false with the reason
// when one is missing.
bool FindPrograms(const RunOptions& o, const Locations& where, RunOptions* resolved, std::string* why)
{
    const std::string updater = AbsolutePath(o.updater.empty() ? where.updater : o.updater);
    const std::string gui = AbsolutePath(o.gui.empty() ? where.gui : o.gui);
    for (const auto& exe : {updater, gui}) {
        if (access(exe.c_str(), X_OK) != 0) {
            *why = exe + (where.installed ? " is missing (the installation is incomplete)"
                                          : " is missing (build it first)");
            return false;
        }
    }
    resolved->updater = updater;
    resolved->gui = gui;
    return true;
}

// The chip timing of the run, checked: the one asked for, or else
//  - none (an instantly ready chip) for a run on a fast clock: the chip's
//    busy time is not waited for but modelled from the operations the run
//    made (the report counts them), and the updater no longer spends the
//    run polling a busy chip in real time; its poll bounds are covered by
//    the fault-file tests;
//  - the chip's typical timing in real time (--speed 1, and the
//    demonstrations with --interactive and --web), where the clock itself
//    is the instrument's;
//  - none for a power cut: its write numbers count the bus writes of an
//    instantly ready chip (the replay the cut points are chosen from); a
//    timed chip is polled more often, which would move the cut.
// *instrumentTiming is the chip timing the instrument's time is modelled at
// (run.txt's chip-timing, as the report reads it): the one asked for, else
// the real-time one, or none for a power cut.
bool ChipTimingOf(const RunOptions& o, double speed, std::string* chipTiming, std::string* instrumentTiming,
                  std::string* why)
{
#if defined(SWU_SANITIZED)
    // In sanitizer builds the updater's own work is several times slower,
    // and the simulated clock multiplies it: there the chip is instantly
    // ready unless asked, so that its polls do not stretch the run.
    const char* const realTimeChipTiming = "off";
#else
    const char* const realTimeChipTiming = "typical";
#endif
    *chipTiming = !o.chipTiming.empty() ? o.chipTiming
                  : !o.powerCut.empty() || speed != 1 ? "off"
                                                      : realTimeChipTiming;
    // The instrument's time models the chip at its typical timing whatever
    // the chip of this run waited for (a sanitizer build's included).
    *instrumentTiming = !o.chipTiming.empty() ? o.chipTiming : !o.powerCut.empty() ? "off" : "typical";
    norsim::NorTiming timing;
    std::string error;
    if (norsim::ParseTimingText(*chipTiming, &timing, &error) != 0) {
        *why = "--chip-timing " + *chipTiming + ": " + error;
        return false;
    }
    return true;
}

// The speed of the run's clock, checked.
bool SpeedOf(const RunOptions& o, double* speed, std::string* why)
{
    // A person answering in a terminal or on the web page sees real time unless told otherwise.
    *speed = EffectiveSpeed(o.speed, o.interactive || o.answer == "web");
    if (!(*speed >= 1 && *speed <= kMaxSpeed)) {
        *why = "--speed must be between 1 (real time) and " + Seconds(kMaxSpeed);
        return false;
    }
    return true;
}

// Without simulated time here the default speed falls back to real time,
// with a notice; a speed asked for is an error.
bool CheckSimulatedTime(const RunOptions& o, double* speed, std::string* why)
{
    if (*speed == 1) return true;
    std::string library, reason;
    if (SimulatedTimeAvailable(&library, &reason)) return true;
    if (o.speed > 0) {
        *why = "--speed " + Seconds(*speed) + " needs simulated time, which this machine lacks: " + reason +
               " (--speed 1 runs in real time)";
        return false;
    }
    std::fprintf(stderr, "swsim: running in real time: %s\n", reason.c_str());
    *speed = 1;
    return true;
}

// The options as the part inside runs them: programs found, answer, speed
// and chip timing checked, the time limit off for a person at the terminal.
// *instrumentTiming: the chip timing the instrument's time is modelled at.
bool ResolveOptions(const RunOptions& o, const Locations& where, RunOptions* resolved,
                    std::string* instrumentTiming, std::string* why)
{
    *resolved = o;
    if (!FindPrograms(o, where, resolved, why)) return false;
    if (o.answer != "yes" && o.answer != "no" && o.answer != "never" && !(o.answer == "web" && o.webFd >= 0)) {
        *why = "--answer must be yes, no or never";
        return false;
    }
    if (!SpeedOf(o, &resolved->speed, why) || !CheckSimulatedTime(o, &resolved->speed, why) ||
        !ChipTimingOf(o, resolved->speed, &resolved->chipTiming, instrumentTiming, why)) {
        return false;
    }
    if (o.interactive) resolved->timeout = 0;
    return true;
}

// A fresh start-up: /tmp is empty, as after a reboot; the medium is put back
// when it was taken out; this run's fault file in place; the flash and the
// data kept as they were before the run; the board tools' record emptied.
bool PrepareInstrument(const StatePaths& s, const RunOptions& o, int output, std::string* why)
{
    for (const auto& name : ListDir(s.tmp())) {
        if (!RemoveTree(s.tmp() + "/" + name, why)) return false;
    }
    if (!PathExists(s.usbdongle() + "/file0") && PathExists(s.medium() + "/file0")) {
        if (InsertMedium(s.medium(), s.usbdongle(), why) != 0) return false;
        const std::string line = "medium: inserted (" + s.medium() + ")\n";
        // A line for the reader: a failed write of it stops nothing.
        if (output < 0 || write(output, line.data(), line.size()) < 0) std::fputs(line.c_str(), stdout);
    }
    RemoveTree(s.faults());
    RemoveTree(s.sim() + "/faults.used");
    if (!o.faultsFile.empty()) {
        if (!CopyFileTo(o.faultsFile, s.faults(), why) || !CopyFileTo(o.faultsFile, s.sim() + "/faults.used", why)) {
            return false;
        }
    }
    if (!RemoveTree(s.dataBefore(), why)) return false;
    if (!o.keepBefore) {
        if (!RemoveTree(s.flashBefore(), why)) return false;
    } else if (!CopyFileTo(s.flash(), s.flashBefore(), why) || !CopyTree(s.instrumentData(), s.dataBefore(), why)) {
        return false;
    }
    if (!WriteText(s.boardTools(), "", 0644, why)) return false;
    RemoveTree(s.summary());
    return true;
}

// The updater's environment for a power cut. One cut at a time: a cut of the
// other kind inherited from the caller's environment is switched off.
bool AddCutEnvironment(const std::string& powerCut, std::vector<std::string>* env, std::string* why)
{
    if (powerCut.empty()) return true;
    CutPoint point;
    if (!ParseCutId(powerCut, &point, why)) return false;
    for (const char* other : {"NORFLASH_POWER_CUT=", "RECORDLOG_POWER_CUT=", "SWSIM_FILE_CUT="}) {
        const std::string entry = CutEnvironment(point);
        if (entry.compare(0, std::strlen(other), other) != 0) env->push_back(other);
    }
    env->push_back(CutEnvironment(point));
    return true;
}

// "FD:DEVICE:INODE" of a file handed down open: the process that takes it
// checks that the descriptor is still that file.
std::string HandedDown(int fd, const struct stat& st)
{
    return std::to_string(fd) + ":" + std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

// The record of the update's file operations (and the count its processes
// share), handed down open to the recorder, when asked for or for a file
// cut, which counts them. *record and *counter keep the files open.
bool OpenFileOps(const StatePaths& s, const RunOptions& o, Fd* record, Fd* counter, std::vector<std::string>* env,
                 std::string* why)
{
    CutPoint point;
    std::string ignored;
    const bool fileCut = !o.powerCut.empty() && ParseCutId(o.powerCut, &point, &ignored) && point.kind == CutPoint::File;
    if (o.fileOpsFile.empty() && !fileCut) return true;
    const std::string path = o.fileOpsFile.empty() ? s.sim() + "/file-ops.txt" : o.fileOpsFile;
    *record = Fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644));
    const std::string countPath = path + ".count";
    *counter = Fd(open(countPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
    struct stat st;
    if (!*record || !*counter || ftruncate(counter->get(), 4096) != 0 || fstat(record->get(), &st) != 0) {
        *why = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    RemoveTree(countPath);  // open here and in the processes that map it
    env->push_back("SWSIM_FILE_RECORD=" + HandedDown(record->get(), st) + ":" + std::to_string(counter->get()));
    return true;
}

// The chip model's first-touch map of the run, when asked for: a fresh file
// of untouched words, handed down open (not closed on exec) and named with
// its device and inode, so that a descriptor of the same number that is
// something else is left alone.
bool OpenFirstTouch(const RunOptions& o, Fd* map, std::vector<std::string>* env, std::string* why)
{
    if (o.firstTouchFile.empty()) return true;
    RemoveTree(o.firstTouchFile);
    *map = Fd(open(o.firstTouchFile.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
    struct stat st;
    if (!*map || ftruncate(map->get(), norsim::kTouchMapSize) != 0 || fstat(map->get(), &st) != 0) {
        *why = "cannot create " + o.firstTouchFile + ": " + std::strerror(errno);
        return false;
    }
    env->push_back("NORFLASH_FIRST_TOUCH=" + HandedDown(map->get(), st));
    return true;
}

// The directories the root shows read-only: those the locations name (the
// build and source trees of a build tree) and those of the programs of the
// run; and the board tools the root puts on its PATH.
// those of the programs of the run.
InstrumentRootConfig RootConfigOf(const StatePaths& s, const Locations& where, const RunOptions& resolved,
                                  const std::string& selfExe)
{
    InstrumentRootConfig config;
    config.stateDir = s.root;
    config.boardToolsDir = where.boardTools;
    config.mountDirs = InstrumentMountDirs(s.root);
    std::vector<std::string> bound = where.rootDirs;
    bound.insert(bound.end(), {DirOf(resolved.updater), DirOf(resolved.gui), DirOf(selfExe)});
    for (const auto& dir : bound) {
        bool seen = false;
        for (const auto& d : config.readOnlyDirs) seen = seen || d == dir;
        if (!seen) config.readOnlyDirs.push_back(dir);
    }
    return config;
}

// The lines of the run record that the part inside found.
std::string InsideRecord(const InsideResult& r)
{
    std::string text = "startup-file0=" + r.file0Names + "\n";
    if (r.medium) text += "startup-status=" + std::to_string(r.file0Status) + "\n";
    text += "updater-seconds=" + Seconds3(r.updaterSeconds) +
            "\nreboot-seconds=" + (r.rebootSeconds < 0 ? "" : Seconds3(r.rebootSeconds)) + "\n";
    text += "updater-status=" + std::to_string(r.updaterStatus) + "\nupdater-result=" + StatusText(r.updaterStatus) +
            "\ngui-result=" + StatusText(r.guiStatus) + "\ntimed-out=" + (r.timedOut ? "1" : "0") + "\n";
    return text;
}

// sim/run.txt: the options, the root's exit status and wall time, then what
// the part inside found (nothing when it found nothing: `inside` null), then
// what the run counted.
std::string RunRecord(const RunOptions& o, const RunOptions& resolved, const std::string& instrumentTiming,
                      const std::string& started, double wall, int status, const std::string& rootWhy,
                      const InsideResult* inside, const RunCounts& counts)
{
    std::string record = "started=" + started + "\nwall-seconds=" + Seconds(wall) +
                         "\nspeed=" + Seconds(resolved.speed) + "\nchip-timing=" + instrumentTiming +
                         "\nanswer=" + (o.interactive ? std::string("interactive") : o.answer) +
                         "\nanswer-delay=" + Seconds(o.answerDelay) + "\npull-after=" +
                         (o.pullAfter >= 0 ? Seconds(o.pullAfter) : std::string("never")) +
                         "\nfaults=" + o.faultsFile + "\npower-cut=" + o.powerCut + "\nupdater=" + resolved.updater +
                         "\ngui=" + resolved.gui +
                         "\nroot-result=" + (status == -1 ? "no root: " + rootWhy : StatusText(status)) + "\n";
    if (inside != nullptr) record += InsideRecord(*inside);
    record += "chip-timing-run=" + resolved.chipTiming + "\nupdater-cpu-seconds=" +
              (counts.cpuMeasured ? Seconds3(counts.cpuSeconds) : "") +
              "\nwait-seconds=" + (counts.waitsCounted ? Seconds3(counts.waitSeconds) : "") + "\n";
    return record;
}

// The record of the updater's pauses (RunCounts.h): a file opened for
// appending, handed to the part inside with the recorder of this build or
// installation. Without a recorder the pauses are not counted.
bool OpenWaitRecord(const StatePaths& s, const Locations& where, Fd* record, InsideRequest* request,
                    std::string* why)
{
    const std::string& recorder = where.waitRecorder;
    if (!PathExists(recorder)) return true;
    *record = Fd(open((s.sim() + "/waits.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644));
    if (!*record) {
        *why = "cannot create the run's records in " + s.sim() + ": " + std::strerror(errno);
        return false;
    }
    request->waitRecordFd = record->get();
    request->waitRecorder = recorder;
    return true;
}

// What the run counted: the pauses from their record, the CPU time from
// the part inside.
RunCounts CountsOf(const StatePaths& s, const InsideRequest& request, const InsideResult* inside)
{
    RunCounts c;
    c.speed = request.run.speed;
    c.chipTiming = request.run.chipTiming;
    if (inside == nullptr) {
        c.waitsWhy = "the run inside the instrument root reported nothing";
        return c;
    }
    c.cpuMeasured = inside->cpuMeasured;
    c.cpuUserSeconds = inside->cpuUserSeconds;
    c.cpuSystemSeconds = inside->cpuSystemSeconds;
    c.cpuSeconds = c.cpuUserSeconds + c.cpuSystemSeconds;
    bool updaterLoaded = false;
    c.waits = ParseWaitRecord(ReadTextOr(s.sim() + "/waits.txt", ""), inside->updaterPid, &c.processes,
                              &updaterLoaded);
    c.waitsCounted = inside->waitsRecorded && updaterLoaded;
    if (request.waitRecorder.empty()) {
        c.waitsWhy = "this build has no pause recorder (host/waitrecord)";
    } else if (!PreloadAvailable(&c.waitsWhy) || c.waitsCounted) {
        // the reason is set, or there is none
    } else if (!inside->waitsRecorded) {
        c.waitsWhy = "the recorder could not be preloaded into the updater";
    } else {
        c.waitsWhy = "the updater did not load the recorder";
    }
    if (!c.waitsCounted) c.waits.clear();
    c.waitCount = static_cast<int>(c.waits.size());
    for (const auto& w : c.waits) c.waitSeconds += w.seconds;
    return c;
}

}  // namespace

int RunUpdate(const std::string& stateDir, const RunOptions& o, const std::string& selfExe, RunResult* result,
              std::string* why)
{
    RunResult own;
    RunResult& r = result ? *result : own;
    r = RunResult();
    const StatePaths s(stateDir);
    if (!PathExists(s.marker())) {
        *why = s.root + " holds no simulated instrument (swsim create first)";
        return 1;
    }
    const Locations where = LocationsOf(selfExe);
    InsideRequest request;
    std::string instrumentTiming;
    Fd output;
    if (!o.outputFile.empty()) {
        output = Fd(open(o.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
        if (!output) {
            *why = "cannot create " + o.outputFile + ": " + std::strerror(errno);
            return 1;
        }
    }
    if (!ResolveOptions(o, where, &request.run, &instrumentTiming, why) ||
        !PrepareInstrument(s, o, output ? output.get() : -1, why)) {
        return 1;
    }

    // Records of the run, handed to the part inside the root as open files.
    Fd trace(open(s.trace().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    Fd guiRecord(open(s.guiRecord().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    const std::string innerPath = s.sim() + "/inside.json";
    Fd inner(open(innerPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!trace || !guiRecord || !inner) {
        *why = "cannot create the run's records in " + s.sim() + ": " + std::strerror(errno);
        return 1;
    }
    request.traceFd = trace.get();
    request.guiFd = guiRecord.get();
    request.resultFd = inner.get();
    Fd waitRecord;
    RemoveTree(RunCountsPath(s.root));
    if (!OpenWaitRecord(s, where, &waitRecord, &request, why)) return 1;
    if (!AddCutEnvironment(o.powerCut, &request.updaterEnv, why)) return 1;
    Fd fileOps, fileOpsCount;
    if (!OpenFileOps(s, o, &fileOps, &fileOpsCount, &request.updaterEnv, why)) return 1;
    Fd logWrites;
    if (!o.logWritesFile.empty()) {
        // Handed down open, like the records above (not closed on exec).
        logWrites = Fd(open(o.logWritesFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644));
        if (!logWrites) {
            *why = "cannot create " + o.logWritesFile + ": " + std::strerror(errno);
            return 1;
        }
        request.updaterEnv.push_back("RECORDLOG_WRITES_FD=" + std::to_string(logWrites.get()));
    }
    Fd firstTouch;
    if (!OpenFirstTouch(o, &firstTouch, &request.updaterEnv, why)) return 1;

    const std::string started = UtcNow();
    const auto t0 = std::chrono::steady_clock::now();
    std::fflush(stdout);
    std::string rootWhy;
    const int status = RunInInstrumentRoot(RootConfigOf(s, where, request.run, selfExe),
                                           {selfExe, "_inside", InsideRequestJson(request)}, &rootWhy,
                                           output ? output.get() : -1);
    const double wall = Elapsed(t0);
    RemoveTree(s.faults());

    r.rootStatus = status;
    std::string insideWhy;
    r.insideReported = InsideResultFromJson(ReadTextOr(innerPath, ""), &r.inside, &insideWhy);
    RemoveTree(innerPath);
    r.counts = CountsOf(s, request, r.insideReported ? &r.inside : nullptr);
    RemoveTree(s.sim() + "/waits.txt");
    const std::string record = RunRecord(o, request.run, instrumentTiming, started, wall, status, rootWhy,
                                         r.insideReported ? &r.inside : nullptr, r.counts);
    if (!WriteText(s.runRecord(), record, 0644, why) ||
        !WriteText(RunCountsPath(s.root), nlohmann::json(r.counts).dump(1) + "\n", 0644, why)) {
        return 1;
    }
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
