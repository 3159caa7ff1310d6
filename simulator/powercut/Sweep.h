// The pieces of a power-cut sweep (Powercut.h), shared between its files:
// what the reference run gave (Reference.cpp), the record log library's
// writes and their cuts (LogCuts.cpp), the logs after a restart against the
// reference run's (LogCompare.cpp), the workers' instruments (Workers.cpp),
// the runs of a point (Runner.cpp), the states the installation's file
// steps leave (FileCuts.cpp), the judging of a point (Judging.cpp), the
// choice of points (Points.cpp), the timeline (Timeline.cpp) and the
// verdict (Verdict.cpp). Powercut.cpp puts them together.
#ifndef SWSIM_SWEEP_H
#define SWSIM_SWEEP_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CutStates.h"
#include "NorChip.h"
#include "Powercut.h"
#include "RunResult.h"
#include "SimFlash.h"
#include "SimReplay.h"

namespace swsim {

struct StatePaths;

namespace sweep {

// At most this many restarts after a cut.
constexpr int kMaxRestarts = 3;

// The clock of the points' runs (the cut runs and the restarts).
constexpr int kPointSpeed = 200;

// --- LogCuts.cpp

// One write of the record log library in the reference run.
struct LogWrite {
    uint64_t number = 0;
    std::string file;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t busWritesBefore = 0;
    bool entry = false;   // a record holding an entry (not an empty one)
    // The bytes of the record that the write changes, [firstDiff, lastDiff]
    // (-1: it changes none, or not known).
    int64_t firstDiff = -1, lastDiff = -1;
};

// The writes the record log library listed (RunOptions::logWritesFile).
std::vector<LogWrite> ReadLogWrites(const std::string& path);
// The bytes of each log write's record that it changes: the log before the
// update against the log after the reference run, for records only one
// write reaches.
void MarkLogChanges(const StatePaths& before, const StatePaths& after, std::vector<LogWrite>* writes);
// The class of a cut of a log write after `keep` of its bytes.
std::string LogClassOf(const LogWrite& w, uint64_t keep);
// One point for every class of every log write.
std::vector<SweepPoint> ExhaustiveLogPoints(const std::vector<LogWrite>& writes);
// What a cut of a log write after `keep` bytes was writing.
std::string LogWhere(const LogWrite& w, uint64_t keep);

// --- LogCompare.cpp

// An entry of a log as a restart is compared with the reference run: what it
// holds without its time of writing.
struct LoggedEntry {
    std::vector<uint8_t> content;
    std::string text;
};
using LogEntries = std::map<std::string, std::vector<LoggedEntry>>;

// The entries of the four logs of an instrument.
LogEntries EntriesOf(const StatePaths& w);
// What differs between the entries of one log after a restart and after the
// reference run.
std::vector<std::string> LogDifferences(const std::string& log, const std::vector<LoggedEntry>& reference,
                                        const std::vector<LoggedEntry>& after);
// A log a restart recreated, and the copy of it set aside.
LostLog DescribeLostLog(const StatePaths& w, const std::string& name);

// --- Reference.cpp

// What the reference run gave, shared by every point.
struct Reference {
    std::string base;                       // the pristine instrument every point starts from
    std::vector<uint8_t> before, done;      // flash before and after the update
    std::vector<WrittenImage> images;
    std::vector<std::set<int>> criticalSectors;
    std::vector<std::string> criticalNames;
    std::vector<size_t> criticalImages;     // their indexes in `images`
    BusPlan plan;
    std::vector<LogWrite> logWrites;
    std::map<int, std::string> sectorImage; // the image that writes each sector (the last one)
    std::vector<norsim::BusAccess> bus;     // the replayed writing
    WritingPlan writing;                    // its sectors' phases
    // The update's duration counted from what the run did (< 0: unknown),
    // and the checks for the medium's removal it made.
    double countedSeconds = -1;
    int mediumChecks = 0;
    // The instrument as a cut during the flash writing leaves it (but for the
    // flash); "" when the files changed during the writing. With what the
    // start-up unpacked from file0 there (tar's names on one line).
    std::string flashRoot;
    std::string flashRootFile0;
    std::string referenceDir;               // the instrument after the reference run
    LogEntries entries;                     // the logs after the reference run
    std::map<std::string, std::string> installed;  // its /instrumentData files but the logs
};

// The reference: the update once without a cut on a copy under `work`.
// Returns 0, 2 when no instrument root can be made, 1 with the reason.
int MakeReference(const PowercutOptions& o, const std::string& work, Reference* ref, std::string* why);
// The writing of a run made: its images (bytes from its /tmp), the plan of
// its recorded bus (ref->bus), each sector's writing and its counted
// duration. Returns 0, or 1 with the reason.
int WritingOf(const StatePaths& r, const RunFacts& facts, Reference* ref, std::string* why);
// The instrument as a cut during the flash writing leaves it (ref->flashRoot).
void MakeFlashRoot(const PowercutOptions& o, const std::string& work, Reference* ref);
// The critical partitions, into the reference and *critical. Returns 0, or
// kPowercutUsage with the reason.
int ChooseCritical(const PowercutOptions& o, const std::string& work, Reference* ref,
                   std::vector<std::string>* critical, std::string* why);
// The files of /instrumentData `dir` but the logs, with their content.
std::map<std::string, std::string> InstalledFiles(const std::string& dir);

// --- Workers.cpp

// A worker's instrument: its directory, and what its flash file holds as
// far as the sweep knows (empty: unknown). A point writes only the sectors
// its flash changes, not 16 MiB.
struct Worker {
    std::string root;
    std::vector<uint8_t> flash;
    // The flash of the last cut state built here (the buffer is reused: a
    // state differs from the one before in a few sectors).
    std::vector<uint8_t> built;
    const CutFlashState* builtState = nullptr;
};

// Calls `fn(worker, i)` for every i below `count`, `jobs` workers at once.
template <typename Fn>
void ForEachPoint(int jobs, size_t count, Fn fn)
{
    const int workers = std::max(1, std::min<int>(jobs, static_cast<int>(count)));
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(workers));
    for (int n = 0; n < workers; ++n) {
        threads.emplace_back([&, n] {
            for (size_t i; (i = next++) < count;) fn(n, i);
        });
    }
    for (auto& t : threads) t.join();
}

// The worker's instrument made a copy of the instrument `from`, its /tmp
// copied only `withTmp`. Returns 0, or 1 with the reason.
int RefreshInstrument(const std::string& from, Worker* wk, std::string* why, bool withTmp = false);
// The worker's flash file made `want`.
bool PutFlash(Worker* wk, const std::vector<uint8_t>& want, std::string* why);

// --- Runner.cpp

// A point's class is known: the caller's progress hook hears of it, with
// how many points are done of how many (the workers report one at a time).
struct Announcer {
    const PowercutOptions& o;
    size_t total;
    std::mutex m;
    size_t done = 0;
};
void Announce(Announcer* a, const PointResult& r);

// Runs "swsim run" on the instrument `state` (with the power cut `cut`
// unless ""), its output captured in *output. Returns 0 with what the run
// gave in *result; else the exit status of swsim (-1 when it did not start).
int SwsimRun(const PowercutOptions& o, const std::string& state, const std::string& cut, RunResult* result,
             std::string* output);
// Runs the points of `result`, several at once, each worker on its own
// instrument under `work`.
void RunPoints(const PowercutOptions& o, const Reference& ref, const std::string& work, PowercutResult* result);

// --- FileCuts.cpp

// The instrument as a cut in the file step `step` leaves it, on the worker's.
bool BuildFileState(const Reference& ref, const std::string& step, Worker* wk, std::string* why);
// Every file of the tree `dir` (but the flash and the simulator's own
// records) with its content.
std::map<std::string, std::string> FilesOf(const std::string& dir);

// --- Judging.cpp

// Whether the critical partitions are whole on `flash`; otherwise the evidence.
bool CriticalWhole(const Reference& ref, const std::vector<uint8_t>& flash, std::vector<std::string>* evidence);
// The restarts of the worker's instrument until the update ends, then the class.
void RestartAndJudge(const PowercutOptions& o, const Reference& ref, Worker* wk, PointResult* r);
// The flash cuts built from the recorded writes judged on the flash alone
// where they can be; per point, the point whose restarts it takes (itself,
// or npos when judged).
std::vector<size_t> JudgeFlashAlone(const Reference& ref, PowercutResult* result, Announcer* announcer,
                                    std::vector<CutFlashState>* states);

// --- Points.cpp

// The seeded choice of points.
std::vector<SweepPoint> ChooseCutPoints(const PowercutOptions& o, const Reference& ref);
// The points of an exhaustive sweep, with those drawn to check the classes
// (each naming its representative in *representativeOf).
std::vector<SweepPoint> ExhaustivePoints(const PowercutOptions& o, const Reference& ref,
                                         std::map<std::string, std::string>* representativeOf);
// The ids given, checked against the reference run's writes. Returns 0, or
// kPowercutUsage with the reason.
int CheckIds(const Reference& ref, const std::vector<SweepPoint>& points, std::string* why);

// --- Timeline.cpp

// The writing, the window and every point placed on the instrument's timeline.
void PlaceOnTimeline(const Reference& ref, const std::vector<SweepPoint>& sweep, PowercutResult* result);

// --- Verdict.cpp

// The counts, the disagreements and the verdict of the points of `result`.
void Conclude(const std::map<std::string, std::string>& representativeOf, PowercutResult* result);

}  // namespace sweep
}  // namespace swsim

#endif
