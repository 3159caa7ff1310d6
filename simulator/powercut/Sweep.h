// The pieces of a power-cut sweep (Powercut.h), shared between its files:
// what the reference run gave (Reference.cpp), the record log library's
// writes and their cuts (LogCuts.cpp), the logs after a restart against the
// reference run's (LogCompare.cpp), the workers' instruments (Workers.cpp),
// the runs of a point (Runner.cpp), the recorded file operations and the
// states they leave (FileCuts.cpp), the judging of a point (Judging.cpp), the
// choice of points (Points.cpp), the timeline (Timeline.cpp) and the
// verdict (Verdict.cpp). Powercut.cpp puts them together.
#ifndef SWSIM_SWEEP_H
#define SWSIM_SWEEP_H

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CutStates.h"
#include "Fd.h"
#include "NorChip.h"
#include "Powercut.h"
#include "RunResult.h"
#include "SimFlash.h"
#include "SimReplay.h"

namespace swsim {

struct StatePaths;

namespace sweep {

struct JobSlots;

// At most this many restarts after a cut.
constexpr int kMaxRestarts = 3;

// The clock of the points' runs (the cut runs and the restarts).
constexpr int kPointSpeed = 200;

// --- LogCuts.cpp

struct FileOp;

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
    uint64_t fileOp = 0;   // the file operation of the recording it is (0: not found)
    // The run of like empty records it belongs to (MarkLogRuns): the first
    // and last write of the run (0: none).
    uint64_t runFirst = 0, runLast = 0;
};

// The writes the record log library listed (RunOptions::logWritesFile).
std::vector<LogWrite> ReadLogWrites(const std::string& path);
// The bytes of each log write's record that it changes: the log before the
// update against the log after the reference run, for records only one
// write reaches.
void MarkLogChanges(const StatePaths& before, const StatePaths& after, std::vector<LogWrite>* writes);
// The runs of like empty records (a log written anew record by record):
// writes one after the other in the recording, to the next record of the
// same file, with the same bytes, no other operation and no flash write
// between them. A cut inside one of them differs from a cut at the same
// place of another only in how many records are already written, as a cut
// in one phase of one flash sector differs only in how far the phase got:
// the run is one class per place of the cut, its first and last write
// stand for it.
void MarkLogRuns(const std::vector<FileOp>& ops, std::vector<LogWrite>* writes);
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

// The history of one log: its valid entries before the update, and where
// an instrument keeps each (in the log itself; in a copy on the medium,
// wherever the backup put it: the log's own copy or the copy of a corrupt
// log set aside).
struct LogHistory {
    std::string log;
    std::vector<LoggedEntry> entries;
    std::vector<char> inLog, onMedium;
};
// The histories of the four logs of the instrument `before`, placed on the
// instrument `w`.
std::vector<LogHistory> HistoryOf(const StatePaths& before, const StatePaths& w);
// The histories placed anew on the instrument `w`.
std::vector<LogHistory> PlaceHistory(const std::vector<LogHistory>& histories, const StatePaths& w);
// Each log whose records the instrument `w` lost where the reference run
// kept them: gone from the log, or gone from the instrument and the medium
// alike ("RevHistory.log: 2 entries gone for good: ...").
std::vector<std::string> HistoryLost(const std::vector<LogHistory>& reference, const StatePaths& w);

// A file of /instrumentData (not a log) that the update removes once the
// backup has copied it (extlog.dat): the copy on the medium is then its only
// one, and a restart whose backup replaces the medium's copies loses it.
struct RemovedData {
    std::string path;   // below /instrumentData
    std::string bytes;
};
// The files of /instrumentData of `before` (but the logs) that the
// reference run `ref` removed and whose bytes it left on the medium.
std::vector<RemovedData> RemovedDataOf(const StatePaths& before, const StatePaths& ref);
// Each of them whose bytes the instrument `w` holds neither at its place
// nor anywhere on the medium ("/instrumentData/extlog.dat: gone for good ...").
std::vector<std::string> DataLost(const std::vector<RemovedData>& removed, const StatePaths& w);

// --- FileCuts.cpp (the recording; Reference.cpp needs it)

// One file operation of the update as the recorder gave it
// (host/waitrecord/FileRecord.cpp).
struct FileOp {
    uint64_t number = 0;
    long pid = 0;
    std::string program;
    double seconds = 0;              // the host's monotonic clock
    uint64_t busWritesBefore = 0;
    std::string op;                  // create truncate write copy mkdir rmdir unlink rename symlink
    std::string path, path2;         // path2: the rename's target, the copy's source, the link's target
    uint64_t offset = 0, offset2 = 0, size = 0;   // truncate: the size; copy: offset2 in the source
    unsigned mode = 0;
    std::string data;                // a write's bytes
};

// A node of the instrument's directories.
struct FileNode {
    enum Kind { File, Dir, Link } kind = File;
    std::string bytes;               // a file's content, a link's target
    bool operator==(const FileNode& o) const { return kind == o.kind && bytes == o.bytes; }
};

// The instrument's directories by absolute path inside the root ("/tmp/x"),
// with a hash of everything outside /tmp kept as it changes.
struct FileTree {
    std::map<std::string, FileNode> nodes;
    size_t hash = 0;
    std::vector<std::string> Under(const std::string& path) const;
    void Set(const std::string& path, const FileNode* node);
    bool Apply(const FileOp& op, std::string* why);
};

// A distinct state the file operations leave: the files outside /tmp that
// differ from the start, those removed, and the bus writes made by then.
struct FileState {
    std::map<std::string, FileNode> changed;
    std::vector<std::string> removed;
    uint64_t bus = 0;
    size_t firstOp = 0;              // the first prefix of the recording that leaves it
};

std::vector<FileOp> ReadFileOps(const std::string& path);
// "cp: create /usbdongle/backup/instrumentData/ifsPart.crc", ...
std::string FileOpLabel(const FileOp& op);
// The instrument's directories of a state directory (its /tmp from the
// directory `tmp` when given).
FileTree TreeOf(const std::string& root, const std::string& tmp = "");

// --- Reference.cpp

// What the reference run gave, shared by every point.
struct Reference {
    std::string base;                       // the pristine instrument every point starts from
    std::vector<uint8_t> before, done;      // flash before and after the update
    std::vector<WrittenImage> images;
    std::vector<std::set<int>> criticalSectors;
    std::vector<std::string> criticalNames;
    std::vector<size_t> criticalImages;     // their indexes in `images`
    // The boot region: the instrument boots from the flash's start, so every
    // byte from address 0 to the end of the boot image (the map's lowest
    // partition) must be wholly old or wholly new, whichever line wrote it.
    // `bootCritical`: the boot image is criticalNames[0] (the update writes it).
    uint64_t bootEnd = 0;
    std::string bootName;
    bool bootCritical = false;
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
    // flash); "" when the files changed during the writing.
    std::string flashRoot;
    // The files of each flash cut from the recording instead: the operations
    // made before the cut's bus write (FlashCutFiles).
    bool flashFiles = false;
    std::string referenceDir;               // the instrument after the reference run
    LogEntries entries;                     // the logs after the reference run
    std::map<std::string, std::string> installed;  // its /instrumentData files but the logs
    std::vector<LogHistory> history;        // the logs' history as the reference run kept it
    std::vector<RemovedData> removedData;   // the files it removed, kept only on the medium
    // The file operations of the reference run in their order, the files as
    // the updater found them, and the distinct states the operations leave
    // (stateAfter[n]: the state after the first n operations). fileOpsWhy:
    // why no file state can be built ("" when they can).
    std::vector<FileOp> fileOps;
    FileTree startTree;
    std::vector<FileState> fileStates;
    std::vector<size_t> stateAfter;
    std::string fileOpsWhy;
};

// The reference: the update once without a cut on a copy under `work`, its
// run holding one of `slots` when there are any. Returns 0, 2 when no
// instrument root can be made, 1 with the reason.
int MakeReference(const PowercutOptions& o, const std::string& work, Reference* ref, std::string* why,
                  JobSlots* slots = nullptr);
// The writing of a run made: its images (bytes from its /tmp), the plan of
// its recorded bus (ref->bus), each sector's writing and its counted
// duration. Returns 0, or 1 with the reason.
int WritingOf(const StatePaths& r, const RunFacts& facts, Reference* ref, std::string* why);
// The reference run's file recording read, with the states it gives.
void ReadFileRecording(const std::string& work, const std::string& recording, Reference* ref);
// The instrument as a cut during the flash writing leaves it (ref->flashRoot).
void MakeFlashRoot(const PowercutOptions& o, const std::string& work, Reference* ref, JobSlots* slots = nullptr);
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

// The runs that may go at once when several sweeps share the machine (the
// instruments of a medium's sweep): `--jobs` in all, not per sweep.
struct JobSlots {
    std::mutex m;
    std::condition_variable freed;
    int free;
    explicit JobSlots(int jobs) : free(std::max(1, jobs)) {}
};

// One of the slots, held while it lives (none to hold: nothing to wait for).
class SlotHeld {
public:
    explicit SlotHeld(JobSlots* slots) : slots_(slots)
    {
        if (slots_ == nullptr) return;
        std::unique_lock<std::mutex> lock(slots_->m);
        slots_->freed.wait(lock, [this] { return slots_->free > 0; });
        --slots_->free;
    }
    ~SlotHeld()
    {
        if (slots_ == nullptr) return;
        {
            std::lock_guard<std::mutex> lock(slots_->m);
            ++slots_->free;
        }
        slots_->freed.notify_one();
    }
    SlotHeld(const SlotHeld&) = delete;
    SlotHeld& operator=(const SlotHeld&) = delete;

private:
    JobSlots* slots_;
};

// Calls `fn(worker, i)` for every i below `count`, `jobs` workers at once,
// each call holding one of `slots` when there are any.
template <typename Fn>
void ForEachPoint(int jobs, size_t count, Fn fn, JobSlots* slots = nullptr)
{
    const int workers = std::max(1, std::min<int>(jobs, static_cast<int>(count)));
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(workers));
    for (int n = 0; n < workers; ++n) {
        threads.emplace_back([&, n] {
            for (size_t i; (i = next++) < count;) {
                const SlotHeld slot(slots);
                fn(n, i);
            }
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
// With `firstTouch`, the chip's first-touch map of the run goes there.
int SwsimRun(const PowercutOptions& o, const std::string& state, const std::string& cut, RunResult* result,
             std::string* output, const std::string& firstTouch = "");
// Runs "swsim run" on the instrument `state` as the sweep's reference: at the
// run's own speed and chip timing, its log writes and file operations
// recorded into `logWrites` and `fileOps`, stopped after `timeout` simulated
// seconds; its output captured in *output. A process of its own, so that
// instruments can be prepared side by side: the instrument root is then
// never made in a fork of the sweep's threaded process. Returns as
// SwsimRun (the run's result itself is not kept: the reference reads its
// records).
int SwsimReferenceRun(const PowercutOptions& o, const std::string& state, const std::string& logWrites,
                      const std::string& fileOps, double timeout, std::string* output);
// Runs the points of `result`, several at once, each worker on its own
// instrument under `work`.
void RunPoints(const PowercutOptions& o, const Reference& ref, const std::string& work, PowercutResult* result,
               JobSlots* slots = nullptr);

// --- FileCuts.cpp

// The distinct file states of the reference's recording (ref->fileStates,
// ref->stateAfter), or why there are none (ref->fileOpsWhy).
void MakeFileStates(Reference* ref);
// The instrument as the file state `state` with the flash `flash` on the
// worker's.
bool BuildFileState(const Reference& ref, const FileState& state, const std::vector<uint8_t>& flash, Worker* wk,
                    std::string* why);
// Every file of the tree `dir` (but the flash and the simulator's own
// records) with its content.
std::map<std::string, std::string> FilesOf(const std::string& dir);
// The file state a flash cut during bus write `write` leaves: that of the
// operations made before it (ref.flashFiles); else 0, every flash cut leaving
// the files of the flash root.
size_t FlashCutFiles(const Reference& ref, uint64_t write);
// Whether a cut of the log write `w` is built from the recording (its
// operation found in it), not cut for real.
bool LogCutBuilt(const Reference& ref, const LogWrite& w);
// The files a cut of the log write `w` after `keep` of its bytes leaves:
// the state before its operation with that much of it written, the flash
// as the reference run had left it then.
FileState LogCutFiles(const Reference& ref, const LogWrite& w, uint64_t keep);
// Whether two file states are the same instrument (files and flash).
bool SameFiles(const FileState& a, const FileState& b);
size_t HashOf(const FileState& s);

// The files of the points built from the recording (nullptr: cut for real,
// or a flash cut, whose files FlashCutFiles gives).
struct PointFiles {
    std::vector<const FileState*> of;
    std::deque<FileState> made;   // the log cuts' states (a deque: pointers stay)
};

// --- Judging.cpp

// Whether the critical partitions are whole on `flash`; otherwise the evidence.
bool CriticalWhole(const Reference& ref, const std::vector<uint8_t>& flash, std::vector<std::string>* evidence);
// The restarts of the worker's instrument until the update ends, then the class.
// With `touch`, the first run records the chip's first-touch map at
// touch->path and counts the opens of the flash file into touch->opens.
struct FirstTouchRun {
    std::string path;
    int64_t opens = -1;
};
void RestartAndJudge(const PowercutOptions& o, const Reference& ref, Worker* wk, PointResult* r,
                     FirstTouchRun* touch = nullptr);
// The flash cuts built from the recorded writes judged on the flash alone
// where they can be; per point, the point whose restarts it takes (itself,
// or npos when judged).
std::vector<size_t> JudgeFlashAlone(const Reference& ref, PowercutResult* result, Announcer* announcer,
                                    std::vector<CutFlashState>* states);

// The flash as the reference run had left it after `bus` bus writes.
void FlashAfter(const Reference& ref, uint64_t bus, std::vector<uint8_t>* flash);
// The file and log points built from the recording judged where they can
// be without a restart (would not start, could not be built), the others
// taking the restarts of the first point leaving the same state; `runs` as
// JudgeFlashAlone gives it, *files the files each built point leaves.
void JudgeFilePoints(const PowercutOptions& o, const Reference& ref, PowercutResult* result, Announcer* announcer,
                     std::vector<size_t>* runs, PointFiles* files);

// --- SharedRestarts.cpp

// The flash's words of which both bytes belong to an image, and a hash of
// the bytes outside the images of every sector the update changes, as it
// leaves them (0: as before the update).
struct ImageWords {
    std::vector<bool> in;                 // by word (address / 2)
    std::map<int, size_t> doneKept;
};
ImageWords ImageWordsOf(const Reference& ref);
// A hash of what a cut state leaves outside the images: states that may
// share a restart have the same.
size_t KeptBytesKey(const Reference& ref, const ImageWords& iw, const CutFlashState& s);

// What the first run of a restart did to the flash, by word: whether a cut
// state differing from the one restarted in that word is led to the same
// restart (the word lies in an image's bytes, the restart erased it and did
// not program it before). Sectors of which every word may differ, and the
// others of which some may.
struct RestartTouch {
    bool read = false;
    std::set<int> wholeSectors;
    std::map<int, std::vector<bool>> someWords;
};
// Watches the flash file `path` (invalid when it cannot); then the opens of
// it seen since, or -1 when it was read or written through a descriptor
// (the chip maps it, and reads nothing so), or the events could not all be
// counted.
host::Fd WatchFlashFile(const std::string& path);
int64_t FlashFileOpens(int watch);
// Reads the chip model's first-touch map of a run from `path` into *t. False
// (and nothing read) when it cannot be read, or when the flash file was
// opened `flashOpens` times during the run (-1: unknown) and not only by the
// chips that took the map: something else may have read it.
bool ReadRestartTouch(const ImageWords& iw, const std::string& path, int64_t flashOpens, RestartTouch* t);
// Whether the restart of the cut state `took` (first run `t`) is that of
// `other` too: every word where the two differ may differ.
bool RestartStandsFor(const Reference& ref, const RestartTouch& t, const CutFlashState& took,
                      const CutFlashState& other);
// Whether the restarts of a point may stand for others at all: one run that
// finished the update with every image in place.
bool RestartMayStand(const PointResult& r);

// --- Points.cpp

// The seeded choice of points.
std::vector<SweepPoint> ChooseCutPoints(const PowercutOptions& o, const Reference& ref);
// The points of an exhaustive sweep, with those drawn to check the classes
// (each naming its representative in *representativeOf).
std::vector<SweepPoint> ExhaustivePoints(const PowercutOptions& o, const Reference& ref,
                                         std::map<std::string, std::string>* representativeOf);
// The flash, log and file points in the order of the update.
std::vector<SweepPoint> InUpdateOrder(const Reference& ref, const std::vector<SweepPoint>& flash,
                                      const std::vector<SweepPoint>& logs, const std::vector<SweepPoint>& files);
// The recorded file operations a file point follows: all but the record
// log library's writes (the log points stand for those).
std::vector<uint64_t> FilePointOps(const Reference& ref);
// One point after every file operation but the record log library's writes.
std::vector<SweepPoint> ExhaustiveFilePoints(const Reference& ref);
// The ids given, checked against the reference run's writes. Returns 0, or
// kPowercutUsage with the reason.
int CheckIds(const Reference& ref, const std::vector<SweepPoint>& points, std::string* why);

// --- Timeline.cpp

// The writing, the window and every point placed on the instrument's timeline.
void PlaceOnTimeline(const Reference& ref, const std::vector<SweepPoint>& sweep, PowercutResult* result);

// --- Powercut.cpp

// One instrument's sweep: prepared once (the reference, the critical
// partitions, every point of the sweep numbered in order), then run on a
// share of its points.
struct InstrumentSweep {
    std::string work;                       // its work directory (made by the caller)
    Reference ref;
    std::vector<SweepPoint> points;         // every point of the whole sweep (sequence = index)
    std::map<std::string, std::string> representativeOf;
    PowercutResult result;                  // the reference's facts; the points once run
    JobSlots* slots = nullptr;              // shared with other sweeps running at once
};
// The ids of --replay. False with the reason for one that is no id.
bool ParseReplay(const PowercutOptions& o, std::vector<SweepPoint>* replay, std::string* why);
// The reference, the critical partitions and the points of `o.state`,
// checked. Returns 0; kPowercutNoRoot; kPowercutUsage or kPowercutNoAnswer
// with the reason.
int PrepareInstrument(const PowercutOptions& o, const std::vector<SweepPoint>& replay, InstrumentSweep* s,
                      std::string* why);
// Runs the points `share` (indexes into s->points) and concludes.
void RunShare(const PowercutOptions& o, const std::vector<size_t>& share, InstrumentSweep* s);
// The points by their moment, then by their place in the sweep.
void SortPoints(PowercutResult* result);
// What keeps two reports from being parts of one sweep ("seed 2 against
// 1"); "" when nothing does.
std::string SweepDifference(const PowercutResult& a, const PowercutResult& b);
// The parts of one instrument's sweep joined (each part's name in `names`):
// every shard exactly once. Returns 0, or kPowercutUsage with the reason.
int JoinShards(const std::vector<std::string>& names, const std::vector<PowercutResult>& parts, PowercutResult* result,
               std::string* why);

// --- Verdict.cpp

// Each point drawn inside a class named with its class's representative.
void MarkDrawn(const std::map<std::string, std::string>& representativeOf, PowercutResult* result);
// The counts, the disagreements and the verdict of the points of `result`.
void Conclude(const std::map<std::string, std::string>& representativeOf, PowercutResult* result);
// The verdict over the instruments of a medium's sweep, each concluded.
void ConcludeMedium(MediumPowercutResult* result);

}  // namespace sweep
}  // namespace swsim

#endif
