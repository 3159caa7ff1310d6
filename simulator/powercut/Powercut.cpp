#include "Powercut.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "InstrumentTime.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimLogs.h"
#include "SimMedium.h"
#include "SimReplay.h"
#include "SimClock.h"
#include "SimReport.h"
#include "SimRun.h"
#include "SimSectors.h"
#include "SimState.h"

namespace swsim {

const char* PointClassKey(PointClass c)
{
    switch (c) {
    case PointClass::Recovered: return "recovered";
    case PointClass::LogHistoryLost: return "recovered-log-history-lost";
    case PointClass::LogsDiffer: return "recovered-logs-differ";
    case PointClass::BytesLost: return "recovered-bytes-lost";
    case PointClass::WouldNotStart: return "would-not-start";
    case PointClass::Other: return "other";
    }
    return "other";
}

const char* PointClassText(PointClass c)
{
    switch (c) {
    case PointClass::Recovered: return "recovered";
    case PointClass::LogHistoryLost: return "recovered, log history lost";
    case PointClass::LogsDiffer: return "recovered, logs differ from the reference run";
    case PointClass::BytesLost: return "recovered, bytes outside the images lost";
    case PointClass::WouldNotStart: return "would not start";
    case PointClass::Other: return "other";
    }
    return "other";
}

namespace {

constexpr int kMaxRestarts = 3;

// The clock of the points' runs (the cut runs and the restarts).
constexpr int kPointSpeed = 200;

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

// An entry of a log as a restart is compared with the reference run: what it
// holds without its time of writing.
struct LoggedEntry {
    std::vector<uint8_t> content;
    std::string text;
};
using LogEntries = std::map<std::string, std::vector<LoggedEntry>>;

// The entries of the four logs of an instrument.
LogEntries EntriesOf(const StatePaths& w)
{
    LogEntries entries;
    for (const auto& spec : InstrumentLogs()) {
        std::vector<uint8_t> bytes;
        const bool present = ReadBytes(w.instrumentData() + "/" + spec.name, &bytes);
        auto& list = entries[spec.name];
        for (const auto& r : DecodeLog(bytes, present, spec).records) {
            if (r.empty() || !r.crcOk) continue;
            LoggedEntry e;
            e.content.assign(r.info.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(4, r.info.size())), r.info.end());
            e.text = DescribeRecord(spec, r);
            list.push_back(e);
        }
    }
    return entries;
}

// What differs between the entries of one log after a restart and after the
// reference run: entries repeated, missing, or not in the reference (a
// changed entry is one missing and one not in the reference).
std::vector<std::string> LogDifferences(const std::string& log, const std::vector<LoggedEntry>& reference,
                                        const std::vector<LoggedEntry>& after)
{
    std::map<std::vector<uint8_t>, int> want, have;
    for (const auto& e : reference) ++want[e.content];
    std::vector<std::string> differences;
    for (const auto& e : after) {
        const int n = ++have[e.content];
        const auto it = want.find(e.content);
        if (it == want.end()) differences.push_back(log + ": not in the reference run: " + e.text);
        else if (n > it->second) differences.push_back(log + ": repeated: " + e.text);
    }
    for (const auto& e : reference) {
        if (have[e.content]-- <= 0) differences.push_back(log + ": missing: " + e.text);
    }
    return differences;
}

std::vector<LogWrite> ReadLogWrites(const std::string& path)
{
    std::vector<LogWrite> writes;
    std::istringstream in(ReadTextOr(path, ""));
    std::string word;
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        LogWrite w;
        std::string recordNo;
        if (!(l >> word >> w.number >> w.file >> w.offset >> w.size >> w.busWritesBefore >> recordNo) ||
            word != "log-write") {
            continue;
        }
        w.entry = recordNo != "ffffffff";
        writes.push_back(w);
    }
    return writes;
}

// Logs the trace of a run reports recreated.
std::set<std::string> RecreatedLogs(const std::string& trace)
{
    std::set<std::string> logs;
    for (const auto& spec : InstrumentLogs()) {
        if (trace.find(std::string("Recreating ") + spec.name + " since") != std::string::npos) logs.insert(spec.name);
    }
    return logs;
}

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
    // The instrument as a cut during the flash writing leaves it (but for the
    // flash); "" when the files changed during the writing.
    std::string flashRoot;
    std::string referenceDir;               // the instrument after the reference run
    LogEntries entries;                     // the logs after the reference run
    std::map<std::string, std::string> installed;  // its /instrumentData files but the logs
};

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

// The bytes of each log write's record that it changes: the log before the
// update against the log after the reference run, for records only one write
// reaches.
void MarkLogChanges(const StatePaths& before, const StatePaths& after, std::vector<LogWrite>* writes)
{
    for (auto& w : *writes) {
        int writers = 0;
        for (const auto& other : *writes) {
            writers += other.file == w.file && other.offset < w.offset + w.size && w.offset < other.offset + other.size;
        }
        std::vector<uint8_t> old, now;
        if (writers != 1 || !ReadBytes(before.instrumentData() + "/" + w.file, &old) ||
            !ReadBytes(after.instrumentData() + "/" + w.file, &now) || old.size() < w.offset + w.size ||
            now.size() < w.offset + w.size) {
            continue;
        }
        for (uint64_t i = 0; i < w.size; ++i) {
            if (old[w.offset + i] == now[w.offset + i]) continue;
            if (w.firstDiff < 0) w.firstDiff = static_cast<int64_t>(i);
            w.lastDiff = static_cast<int64_t>(i);
        }
    }
}

// Runs "swsim run" on a worker's instrument with output captured. Returns
// the exit status of swsim (-1 when it did not start).
int SwsimRun(const PowercutOptions& o, const std::string& state, const std::string& cut, std::string* output)
{
    // The chip is instantly ready: the cut's bus write numbers are those of
    // the replay, and the instrument's time comes from the chip timing model
    // and the reference run.
    //
    // Its clock runs kPointSpeed times faster than real time: the outcome of
    // a point does not depend on the moments of its pauses (the GUI answers
    // and the medium is pulled tied to the updater's own looks), only the
    // waiting shrinks. The run's time limit is simulated time: the real
    // limit times the speed. Nobody reports on the run, so it keeps no copy
    // of the flash before it.
    std::vector<std::string> argv = {o.selfExe,       "run",          state,
                                     "--quiet",       "--no-report",  "--no-before-copy",
                                     "--pull-after",  "0",            "--chip-timing",
                                     "off",           "--speed",      std::to_string(kPointSpeed),
                                     "--timeout",     std::to_string(o.runLimitSeconds * kPointSpeed)};
    argv.insert(argv.end(), o.runArgs.begin(), o.runArgs.end());
    if (!cut.empty()) argv.insert(argv.end(), {"--power-cut", cut});
    std::string why;
    const int status = RunProgram(argv, output, &why);
    if (status == -1) {
        *output += why;
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// Whether the critical partitions are whole (all old or all new) on `flash`;
// otherwise the evidence. A partition is judged by its image's bytes: the
// bytes of its sectors outside the image do not keep it from starting.
bool CriticalWhole(const Reference& ref, const std::vector<uint8_t>& flash, std::vector<std::string>* evidence)
{
    bool whole = true;
    for (size_t i = 0; i < ref.criticalSectors.size(); ++i) {
        std::map<int, SectorContent> state;
        bool anyOld = false, anyNew = false, anyTorn = false;
        const WrittenImage& img = ref.images[ref.criticalImages[i]];
        const uint64_t start = static_cast<uint64_t>(img.startKiB) * 1024;
        const uint64_t end = std::min<uint64_t>(start + img.bytes.size(), kFlashSize);
        for (int s : ref.criticalSectors[i]) {
            const uint64_t from = std::max<uint64_t>(start, static_cast<uint64_t>(s) * kSectorSize);
            const uint64_t to = std::min<uint64_t>(end, (static_cast<uint64_t>(s) + 1) * kSectorSize);
            if (to <= from) continue;
            const SectorContent c = ContentOf(ref.before, ref.done, flash, static_cast<uint32_t>(from),
                                              static_cast<uint32_t>(to - from));
            // A sector the update leaves as it was counts as both.
            if (c == SectorContent::Same) continue;
            state[s] = c;
            anyOld = anyOld || c == SectorContent::Old;
            anyNew = anyNew || c == SectorContent::New;
            anyTorn = anyTorn || c == SectorContent::Torn;
        }
        if (!anyTorn && !(anyOld && anyNew)) continue;
        whole = false;
        std::string text = ref.criticalNames[i] + " left half-written:";
        for (const auto& kv : state) {
            text += " " + std::to_string(kv.first) + " " + SectorContentText(kv.second) + ",";
        }
        text.pop_back();
        evidence->push_back(text);
    }
    return whole;
}

std::string WhereOf(const Reference& ref, const SweepPoint& sweep)
{
    const CutPoint& p = sweep.cut;
    if (p.kind == CutPoint::Log) {
        if (p.write > ref.logWrites.size()) return "beyond the " + std::to_string(ref.logWrites.size()) + " log writes";
        const LogWrite& w = ref.logWrites[p.write - 1];
        const LogSpec* spec = FindLog(w.file);
        const uint64_t size = spec ? RecordSize(spec->infoLength) : 0;
        std::string text = w.file + (w.entry ? " entry" : " empty record");
        if (size > 0) text += " at position " + std::to_string(w.offset / size);
        return text + ", " + std::to_string(std::min(p.keep, w.size)) + " of " + std::to_string(w.size) + " bytes written";
    }
    if (p.write > ref.plan.writes) return "beyond the " + std::to_string(ref.plan.writes) + " bus writes";
    const WritePhase phase = PhaseOf(ref.writing, p.write);
    if (phase.index < 0) {
        return ref.writing.sectors.empty() ? phase.phase
                                           : "before " + ref.writing.sectors[0].image + " sector " +
                                                 std::to_string(ref.writing.sectors[0].sector);
    }
    const SectorWriting& w = ref.writing.sectors[static_cast<size_t>(phase.index)];
    std::string text = w.image + " sector " + std::to_string(w.sector) + " (" + phase.phase;
    if (phase.phase == "erasing") {
        const int64_t bytes = sweep.erased >= 0 ? sweep.erased : 2 * static_cast<int64_t>(ChipCutErasedWords(p.write));
        text += ", " + std::to_string(bytes) + " bytes erased";
    }
    return text + ")";
}

LostLog DescribeLostLog(const StatePaths& w, const std::string& name)
{
    LostLog lost;
    lost.name = name;
    const std::string copy = w.tmp() + "/CorruptDiagnosticLogs/Corrupted" + name;
    lost.copyKept = PathExists(copy);
    lost.copyBackedUp = PathExists(w.usbdongle() + "/backup/CorruptDiagnosticLogs/Corrupted" + name);
    std::vector<uint8_t> bytes;
    const LogSpec* spec = FindLog(name);
    if (spec != nullptr && ReadBytes(copy, &bytes)) {
        const DecodedLog log = DecodeLog(bytes, true, *spec);
        for (const auto& r : log.records) {
            if (!r.crcOk) ++lost.copyBadRecords;
            else if (!r.empty()) ++lost.copyEntries;
        }
        lost.copyShort = !log.lengthOk;
    }
    return lost;
}

std::map<std::string, std::string> FilesOf(const std::string& dir);

// The files of /instrumentData `dir` but the logs, with their content.
std::map<std::string, std::string> InstalledFiles(const std::string& dir)
{
    auto files = FilesOf(dir);
    for (const auto& spec : InstrumentLogs()) files.erase(spec.name);
    return files;
}

// Whether the files of /instrumentData but the logs (the version file, the
// CRC files, extlog.dat gone) are those the reference run left.
bool InstalledFilesSound(const Reference& ref, const StatePaths& w, PointResult* r)
{
    auto have = InstalledFiles(w.instrumentData());
    const auto& want = ref.installed;
    bool sound = true;
    for (const auto& kv : want) {
        const auto it = have.find(kv.first);
        if (it != have.end() && it->second == kv.second) continue;
        r->evidence.push_back("/instrumentData/" + kv.first + (it == have.end() ? " is missing" : " differs") +
                              " after the restarts");
        sound = false;
    }
    for (const auto& kv : have) {
        if (want.count(kv.first)) continue;
        r->evidence.push_back("/instrumentData/" + kv.first + " is left after the restarts");
        sound = false;
    }
    return sound;
}

// Whether the flash and the logs after the restarts are sound: every image in
// place, the sectors the update does not write unchanged, every log valid.
// Records the bytes outside the images that the restarts lost.
bool FlashAndLogsSound(const Reference& ref, const StatePaths& w, const std::vector<uint8_t>& flash, PointResult* r)
{
    bool sound = true;
    const FlashCheck check = CheckFlash(ref.before, flash, ref.images);
    for (const auto& img : check.images) {
        if (img.holds) continue;
        r->evidence.push_back(img.name + " is not at its place (first difference at " +
                              Hex(static_cast<uint64_t>(img.firstDifference)) + ")");
        sound = false;
    }
    if (!check.untouchedUnchanged) {
        r->evidence.push_back("a sector the update does not write changed (first difference at " +
                              Hex(static_cast<uint64_t>(check.firstUntouchedDifference)) + ")");
        sound = false;
    }
    for (const auto& spec : InstrumentLogs()) {
        std::vector<uint8_t> bytes;
        const bool present = ReadBytes(w.instrumentData() + "/" + spec.name, &bytes);
        const DecodedLog log = DecodeLog(bytes, present, spec);
        if (!present || !log.lengthOk || log.badCrcs > 0) {
            r->evidence.push_back(std::string(spec.name) + " is not valid after the restarts");
            sound = false;
        }
    }
    r->lostBytes = check.restChanged;
    return sound;
}

// `to` made a copy of the directory `from`, rewriting the files it already
// holds in place and leaving those that hold the same bytes: a worker's
// instrument is refreshed for every point, and reading a file costs far less
// than writing it (rewriting one less than removing it and creating
// another).
bool SyncTree(const std::string& from, const std::string& to, std::string* why)  // NOLINT(misc-no-recursion)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(to, ec) && (fs::remove_all(to, ec), !fs::create_directories(to, ec))) {
        *why = "cannot create " + to + ": " + ec.message();
        return false;
    }
    const std::vector<std::string> names = ListDir(from);
    const std::set<std::string> wanted(names.begin(), names.end());
    for (const auto& name : ListDir(to)) {
        if (!wanted.count(name)) fs::remove_all(to + "/" + name, ec);
    }
    for (const auto& name : names) {
        const std::string f = from + "/" + name, t = to + "/" + name;
        const fs::file_status st = fs::symlink_status(f, ec);
        bool ok = true;
        if (fs::is_directory(st)) {
            ok = SyncTree(f, t, why);
        } else if (fs::is_regular_file(st)) {
            const fs::file_status tst = fs::symlink_status(t, ec);
            if (!fs::is_regular_file(tst)) fs::remove_all(t, ec);
            std::vector<uint8_t> bytes, held;
            const auto mode = static_cast<mode_t>(st.permissions() & fs::perms::mask);
            ok = ReadBytes(f, &bytes);
            // A file the point before left as it was is not written again.
            const bool same = ok && fs::is_regular_file(tst) && tst.permissions() == st.permissions() &&
                              fs::file_size(t, ec) == bytes.size() && ReadBytes(t, &held) && held == bytes;
            ok = ok && (same || (WriteBytes(t, bytes.data(), bytes.size(), mode, why) &&
                                 (fs::permissions(t, st.permissions(), ec), !ec)));
        } else {
            fs::remove_all(t, ec);
            fs::copy(f, t, fs::copy_options::copy_symlinks, ec);
            ok = !ec;
        }
        if (!ok) {
            if (why->empty()) *why = "cannot copy " + f + " to " + t;
            return false;
        }
    }
    return true;
}

// The worker's instrument made a copy of the instrument `from` (as
// CopyInstrument makes it), reusing what a point before left there; its
// flash is left to the point. Its /tmp is copied only `withTmp`, else left
// empty: every run starts with an empty /tmp, as after a reboot. The records
// a point is judged by are removed: each run writes them anew.
int RefreshInstrument(const std::string& from, Worker* wk, std::string* why, bool withTmp = false)
{
    const StatePaths f(from), t(wk->root);
    if (!PathExists(t.marker())) {
        wk->flash.clear();
        return CopyInstrument(from, wk->root, why);
    }
    for (const auto& dir : {f.tmp(), f.usbdongle(), f.instrumentData(), f.log(), f.medium()}) {
        const std::string into = t.root + dir.substr(f.root.size());
        if (!IsDirectory(dir) || (dir == f.tmp() && !withTmp)) {
            if (!RemoveTree(into, why) || !MakeDirs(into, why)) return 1;
        } else if (!SyncTree(dir, into, why)) {
            return 1;
        }
    }
    for (const auto& file : {f.boardTools(), f.marker()}) {
        const std::string into = t.root + file.substr(f.root.size());
        if (!PathExists(file)) {
            RemoveTree(into);
        } else if (!CopyFileTo(file, into, why)) {
            return 1;
        }
    }
    RemoveTree(t.trace());
    RemoveTree(t.runRecord());
    return 0;
}

// The worker's flash file made `want`: only the sectors that differ from
// what it holds are written when that is known, else the whole file.
bool PutFlash(Worker* wk, const std::vector<uint8_t>& want, std::string* why)
{
    const std::string path = StatePaths(wk->root).flash();
    if (wk->flash.size() == want.size() && want.size() % kSectorSize == 0) {
        const Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        bool ok = static_cast<bool>(fd);
        for (size_t at = 0; ok && at < want.size(); at += kSectorSize) {
            if (std::memcmp(want.data() + at, wk->flash.data() + at, kSectorSize) == 0) continue;
            ok = pwrite(fd.get(), want.data() + at, kSectorSize, static_cast<off_t>(at)) == static_cast<ssize_t>(kSectorSize);
            if (ok) std::memcpy(wk->flash.data() + at, want.data() + at, kSectorSize);
        }
        if (ok) return true;
    }
    wk->flash.clear();
    if (!WriteBytes(path, want.data(), want.size(), 0644, why)) return false;
    wk->flash.assign(want.begin(), want.end());
    return true;
}

// The worker's instrument, cut with its critical partitions whole, starts
// again with the medium still in until the update ends (at most
// kMaxRestarts times); then the point's class.
void RestartAndJudge(const PowercutOptions& o, const Reference& ref, Worker* wk, PointResult* r)
{
    const std::string& ws = wk->root;
    const StatePaths w(ws);
    std::string output;
    // Logs the restarts recreate: the update recreates a corrupt log before
    // it writes the flash, so a restart finds one only where the cut left it
    // torn (or cut its recreation short, taking the copy aside of the
    // original with the /tmp the restart empties).
    std::set<std::string> recreated;
    Outcome outcome = Outcome::Unfinished;
    wk->flash.clear();  // the restarts write it; known again once read back
    while (r->restarts < kMaxRestarts && outcome == Outcome::Unfinished) {
        ++r->restarts;
        if (SwsimRun(o, ws, "", &output) != 0) {
            r->evidence.push_back("restart " + std::to_string(r->restarts) + ": swsim run failed: " + output);
            return;
        }
        const auto more = RecreatedLogs(ReadTextOr(w.trace(), ""));
        recreated.insert(more.begin(), more.end());
        outcome = OutcomeOfRun(w);
    }
    r->lastOutcome = OutcomeKey(outcome);
    bool sound = true;
    if (outcome != Outcome::Done) {
        r->evidence.push_back(outcome == Outcome::Unfinished
                                  ? std::to_string(kMaxRestarts) + " restarts did not finish the update"
                                  : std::string("the last restart ended: ") + OutcomeKey(outcome));
        sound = false;
    }
    std::vector<uint8_t>& flash = wk->flash;
    if (!ReadBytes(w.flash(), &flash) || flash.size() != kFlashSize) {
        flash.clear();
        r->evidence.push_back("the flash after the restarts cannot be read");
        return;
    }
    sound = FlashAndLogsSound(ref, w, flash, r) && sound;
    sound = InstalledFilesSound(ref, w, r) && sound;
    for (const auto& name : recreated) r->logs.push_back(DescribeLostLog(w, name));
    // The entries against the reference run's (a recreated log has lost its
    // history already, which says more).
    const LogEntries after = EntriesOf(w);
    for (const auto& kv : ref.entries) {
        if (recreated.count(kv.first)) continue;
        const auto it = after.find(kv.first);
        for (auto& d : LogDifferences(kv.first, kv.second, it == after.end() ? std::vector<LoggedEntry>() : it->second)) {
            r->logDifferences.push_back(std::move(d));
        }
    }
    if (!sound) return;
    if (!r->lostBytes.empty()) r->cls = PointClass::BytesLost;
    else if (!r->logs.empty()) r->cls = PointClass::LogHistoryLost;
    else if (!r->logDifferences.empty()) r->cls = PointClass::LogsDiffer;
    else r->cls = PointClass::Recovered;
}

// A flash cut built from the recorded writes, its critical partitions
// found whole already (JudgeFlashAlone): the instrument as the cut leaves it
// on the worker's (the files of a cut during the writing, that flash) and
// the restarts.
void RunFlashPoint(const PowercutOptions& o, const Reference& ref, const CutFlashState& state, Worker* wk,
                   PointResult* r)
{
    MaterializeCut(ref.before, ref.done, state, &wk->built, wk->builtState);
    wk->builtState = &state;
    std::string why;
    if (RefreshInstrument(ref.flashRoot, wk, &why) != 0 || !PutFlash(wk, wk->built, &why)) {
        r->evidence.push_back("the instrument could not be copied: " + why);
        return;
    }
    RestartAndJudge(o, ref, wk, r);
}

// The CRC files of the directory `dir`, sorted.
std::vector<std::string> CrcFilesIn(const std::string& dir)
{
    std::vector<std::string> files;
    for (const auto& name : ListDir(dir)) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".crc") == 0) files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The regular files under `dir`, relative to it, sorted.
std::vector<std::string> FilesUnder(const std::string& dir)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(fs::relative(it->path(), dir, ec).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// A copy cut short among `files` of `dir`: the first half whole, the next
// one with half of its bytes, the others not there.
bool CutCopyShort(const std::string& dir, const std::vector<std::string>& files, std::string* why)
{
    for (size_t i = files.size() / 2; i < files.size(); ++i) {
        const std::string path = dir + "/" + files[i];
        if (i > files.size() / 2) {
            RemoveTree(path);
            continue;
        }
        std::vector<uint8_t> bytes;
        if (!ReadBytes(path, &bytes) || !WriteBytes(path, bytes.data(), bytes.size() / 2, 0644, why)) return false;
    }
    return true;
}

// The instrument as a cut before the flash writing leaves it on the worker's (the
// flash as before the update, the files as during the writing): during the
// backup onto the medium (`backup-copy`: the backup's files copied in part)
// or during the unpacking of the packages into /tmp (`unpack-extract`: a
// package copied in and its files unpacked in part).
bool BuildEarlyFileState(const Reference& ref, const std::string& step, Worker* wk, std::string* why)
{
    const StatePaths w(wk->root);
    if (RefreshInstrument(ref.flashRoot, wk, why, step == "unpack-extract") != 0 || !PutFlash(wk, ref.before, why)) {
        return false;
    }
    if (step == "backup-copy") {
        const std::string backup = w.usbdongle() + "/backup";
        return CutCopyShort(backup, FilesUnder(backup), why);
    }
    // The files the start-up took from file0 stay; the rest were unpacked
    // from the packages.
    std::istringstream startup(RecordValue(ReadTextOr(StatePaths(ref.flashRoot).runRecord(), ""), "startup-file0"));
    const std::set<std::string> kept{std::istream_iterator<std::string>(startup), std::istream_iterator<std::string>()};
    std::vector<std::string> unpacked;
    for (const auto& name : FilesUnder(w.tmp())) {
        if (!kept.count(name)) unpacked.push_back(name);
    }
    return CutCopyShort(w.tmp(), unpacked, why) && CopyFileTo(w.usbdongle() + "/file1", w.tmp() + "/file1", why);
}

// The instrument as a cut in a step of the installation's file work leaves
// it on the worker's: the flash written, the files as during the writing, then the
// version file, the CRC files and extlog.dat as far as the step got (the
// installation copies the version file, removes the old CRC files, copies
// the new ones, writes the revision entry and removes extlog.dat; a copy
// cut short leaves an empty file or half of the files).
bool BuildFileState(const Reference& ref, const std::string& step, Worker* wk, std::string* why)
{
    if (EarlyFileStep(step)) return BuildEarlyFileState(ref, step, wk, why);
    const StatePaths w(wk->root), done(ref.referenceDir);
    if (RefreshInstrument(ref.flashRoot, wk, why) != 0 || !PutFlash(wk, ref.done, why)) return false;
    const std::string data = w.instrumentData(), newData = done.instrumentData();
    const std::string version = "/swVersion/swVersion";
    if (step == "extlog-removal") return RemoveTree(data, why) && CopyTree(newData, data, why);
    if (step == "version-copy") return WriteText(data + version, "", 0644, why);
    if (!CopyFileTo(newData + version, data + version, why)) return false;
    const std::vector<std::string> old = CrcFilesIn(data), now = CrcFilesIn(newData);
    const size_t removed = step == "crc-removal" ? old.size() / 2 : old.size();
    for (size_t i = 0; i < removed; ++i) RemoveTree(data + "/" + old[i]);
    if (step != "crc-copy") return true;
    for (size_t i = 0; i < now.size() / 2; ++i) {
        if (!CopyFileTo(newData + "/" + now[i], data + "/" + now[i], why)) return false;
    }
    return true;
}

// One point on the worker's instrument: the update cut there, then,
// unless a critical partition was left half-written, the restarts. `state`:
// the flash of a cut built from the recorded writes.
void RunPoint(const PowercutOptions& o, const Reference& ref, const CutFlashState* state, Worker* wk, PointResult* r)
{
    if (!r->point.file.empty()) {
        std::string why;
        if (ref.flashRoot.empty()) {
            r->evidence.push_back("the file steps are built on the instrument a flash cut leaves, which could not be made");
        } else if (!BuildFileState(ref, r->point.file, wk, &why)) {
            r->evidence.push_back("the instrument could not be made: " + why);
        } else {
            RestartAndJudge(o, ref, wk, r);
        }
        return;
    }
    if (state != nullptr) {
        RunFlashPoint(o, ref, *state, wk, r);
        return;
    }
    const std::string& ws = wk->root;
    const StatePaths w(ws);
    std::string why, output;
    wk->flash.clear();
    if (RefreshInstrument(ref.base, wk, &why) != 0 || !CopyFileTo(StatePaths(ref.base).flash(), w.flash(), &why)) {
        r->evidence.push_back("the instrument could not be copied: " + why);
        return;
    }
    const int rc = SwsimRun(o, ws, CutId(r->point.cut), &output);
    const std::string updater = RecordValue(ReadTextOr(w.runRecord(), ""), "updater-result");
    if (rc != 0) {
        r->evidence.push_back("swsim run with the cut failed (status " + std::to_string(rc) + "): " + output);
        return;
    }
    if (updater != "killed by signal 9") {
        r->evidence.push_back("the power cut did not happen: the updater ended with " + updater + ", outcome " +
                              OutcomeKey(OutcomeOfRun(w)));
        return;
    }
    std::vector<uint8_t> flash;
    if (!ReadBytes(w.flash(), &flash) || flash.size() != kFlashSize) {
        r->evidence.push_back("the flash after the cut cannot be read");
        return;
    }
    // An erase cut at a length of its own: the flash the cut would have left.
    if (r->point.cut.kind == CutPoint::Flash && r->point.erased >= 0) {
        flash = CutFlash(ref.before, ref.bus, r->point.cut.write, r->point.erased);
        if (!WriteBytes(w.flash(), flash.data(), flash.size(), 0644, &why)) {
            r->evidence.push_back("the flash after the cut cannot be written: " + why);
            return;
        }
    }
    if (!CriticalWhole(ref, flash, &r->evidence)) {
        r->cls = PointClass::WouldNotStart;
        return;
    }
    RestartAndJudge(o, ref, wk, r);
}

// The reference: the update once without a cut on a copy, its log writes
// recorded, its flash writing replayed with the bus recorded.
int MakeReference(const PowercutOptions& o, const std::string& work, Reference* ref,
                  std::vector<norsim::BusAccess>* bus, double* countedSeconds, int* mediumChecks, std::string* why)
{
    ref->base = work + "/base";
    if (CopyInstrument(o.state, ref->base, why) != 0) return 1;
    const StatePaths b(ref->base);
    if (!PathExists(b.usbdongle() + "/file0")) {
        if (!PathExists(b.medium() + "/file0")) {
            *why = StatePaths(o.state).root + " has no update medium (swsim medium first)";
            return 1;
        }
        if (InsertMedium(b.medium(), b.usbdongle(), why) != 0) return 1;
    }
    const std::string refDir = work + "/reference";
    ref->referenceDir = refDir;
    if (CopyInstrument(ref->base, refDir, why) != 0) return 1;
    const StatePaths r(refDir);
    RunOptions run;
    run.pullAfter = 0;
    run.showGui = false;
    run.timeout = o.runLimitSeconds * DefaultRunSpeedHere();  // in simulated seconds
    run.logWritesFile = work + "/reference-log-writes.txt";
    // The run's own lines (the start-up's) go to a file, not among the report.
    int rc;
    {
        const StdoutTo output(work + "/reference-output.txt");
        rc = RunUpdate(refDir, run, o.selfExe, why);
    }
    if (rc != 0) return rc;
    const Outcome outcome = OutcomeOfRun(r);
    if (outcome == Outcome::Unfinished) {
        *why = "could not check: the update without a power cut did not end within the run limit of " +
               std::to_string(static_cast<int>(std::ceil(o.runLimitSeconds))) + " s (--run-limit; see " + r.trace() +
               ")";
        return 1;
    }
    if (outcome != Outcome::Done) {
        *why = std::string("the update does not succeed without a power cut (outcome ") + OutcomeKey(outcome) +
               "; see " + r.trace() + ")";
        return 1;
    }
    const std::string trace = ReadTextOr(r.trace(), "");
    ref->logWrites = ReadLogWrites(run.logWritesFile);
    if (!ReadBytes(b.flash(), &ref->before) || !ReadBytes(r.flash(), &ref->done) || ref->before.size() != kFlashSize ||
        ref->done.size() != kFlashSize) {
        *why = "the flash of " + r.root + " is missing or not 16 MiB";
        return 1;
    }
    std::vector<ReplayImage> replay;
    for (const auto& a : FlashAttempts(trace)) {
        WrittenImage img;
        img.name = a.name;
        img.startKiB = static_cast<int>(a.address / 1024);
        const std::string path = HostPathOf(r, a.name);
        if (!ReadBytes(path, &img.bytes)) {
            *why = "the image " + a.name + " the update wrote is not in " + r.tmp();
            return 1;
        }
        replay.push_back({path, img.startKiB});
        ref->images.push_back(std::move(img));
    }
    const ReplayResult result = ReplayImages(b.flash(), "", replay, r.flash(), bus);
    if (!result.done || !result.matchesFlash) {
        *why = result.done ? "the replay of the update's writing does not give the flash the run left"
                           : "the replay of the update's writing failed: " + result.why;
        return 1;
    }
    ref->plan = PlanFromBus(*bus);
    // The update's duration counted from what the reference run did (its
    // pauses, the chip's busy time over the operations replayed, the
    // updater's CPU time), not read off its clock, so that a busy host does
    // not move the window's share; the timeline's model where the pauses
    // could not be counted.
    ChipOps ops;
    ops.erases = static_cast<double>(result.stats.erases);
    ops.programs = static_cast<double>(result.stats.programs);
    ops.unlocks = static_cast<double>(ref->images.size());
    ops.busAccesses = static_cast<double>(result.stats.reads + result.stats.writes);
    RunCounts counts;
    std::string notCounted;
    const bool counted = ReadRunCounts(r.root, &counts, &notCounted);
    const RunTiming timing = TimingOf(ReadTextOr(r.runRecord(), ""), trace, ops,
                                      ReadTextOr(r.tmp() + "/estUpdateTime", ""), counted ? &counts : nullptr);
    *countedSeconds = timing.rebooted && timing.duration.known ? timing.duration.seconds : -1;
    *mediumChecks = timing.mediumChecks;
    for (const auto& img : ref->images) {
        for (int s : TouchedSectors({img})) ref->sectorImage[s] = img.name;
    }
    ref->writing = PlanWriting(*bus, ref->images);
    ref->entries = EntriesOf(r);
    ref->installed = InstalledFiles(r.instrumentData());
    MarkLogChanges(b, r, &ref->logWrites);
    return 0;
}

// Every file of the tree `dir` (but the flash and the simulator's own
// records) with its content.
std::map<std::string, std::string> FilesOf(const std::string& dir)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), dir, ec).string();
        if (rel == "norflash" || rel == "sim" || rel.compare(0, 4, "sim/") == 0) continue;
        if (it->is_symlink(ec)) files[rel] = "-> " + fs::read_symlink(it->path(), ec).string();
        else if (it->is_regular_file(ec)) files[rel] = ReadTextOr(it->path().string(), "");
        else files[rel] = "(directory)";
    }
    return files;
}

// The instrument as a cut during the flash writing leaves it. The updater is
// cut for real at the writing's first bus write, its first erase confirm,
// its first word program and its last bus write: each leaves the flash that
// CutFlash builds, and the files are the same at the first and the last
// (else every flash point is cut for real, one by one).
void MakeFlashRoot(const PowercutOptions& o, const std::string& work, Reference* ref)
{
    if (ref->plan.writes == 0 || ref->writing.sectors.empty()) return;
    const SectorWriting& first = ref->writing.sectors.front();
    const uint64_t cuts[] = {1, first.erase, first.firstProgram ? first.firstProgram : first.erase,
                             ref->plan.writes};
    std::vector<std::string> roots;
    std::vector<FlashCut> flashCuts;
    for (uint64_t n : cuts) {
        roots.push_back(work + "/flash-" + std::to_string(n));
        flashCuts.push_back({n, -1});
    }
    const std::vector<CutFlashState> states = CutFlashStates(ref->before, ref->done, ref->bus, flashCuts);
    std::vector<char> agree(roots.size(), 0);
    ForEachPoint(o.jobs, roots.size(), [&](int, size_t i) {
        std::string why, output;
        std::vector<uint8_t> flash, built;
        const std::string& root = roots[i];
        MaterializeCut(ref->before, ref->done, states[i], &built, nullptr);
        const bool same =
            CopyInstrument(ref->base, root, &why) == 0 &&
            SwsimRun(o, root, "flash:" + std::to_string(cuts[i]), &output) == 0 &&
            RecordValue(ReadTextOr(StatePaths(root).runRecord(), ""), "updater-result") == "killed by signal 9" &&
            ReadBytes(StatePaths(root).flash(), &flash) && flash == built;
        agree[i] = same ? 1 : 0;
    });
    const bool same = std::find(agree.begin(), agree.end(), 0) == agree.end();
    if (same && FilesOf(roots.front()) == FilesOf(roots.back())) {
        ref->flashRoot = roots.front();
        // Every point writes its own flash: copying this one first is waste.
        std::remove(StatePaths(ref->flashRoot).flash().c_str());
    }
    for (size_t i = 1; i < roots.size(); ++i) RemoveTree(roots[i]);
}

// The critical partitions: the one the map places at start 0 and those
// named; each goes into the reference with its sectors. Naming a partition
// the update does not write (or an empty name) is a usage error: the sweep
// would answer for a partition it never cuts.
int ChooseCritical(const PowercutOptions& o, const std::string& work, Reference* ref,
                   std::vector<std::string>* critical, std::string* why)
{
    const std::string mapText = ReadTextOr(work + "/reference/tmp/flashMap", "");
    std::set<std::string> mapNames;
    std::vector<std::string> names;
    for (const auto& line : ParseFlashMap(mapText)) {
        if (line.kind != MapLine::Partition) continue;
        mapNames.insert(line.partition);
        if (line.valid && line.startKiB == 0) names.push_back(line.partition);
    }
    const size_t named = names.size();
    for (const auto& name : o.critical) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    for (size_t n = 0; n < names.size(); ++n) {
        const std::string& name = names[n];
        size_t index = ref->images.size();
        for (size_t i = 0; i < ref->images.size(); ++i) {
            if (ref->images[i].name == name) index = i;
        }
        // The partition at start 0 that this update keeps is no concern of it.
        if (index == ref->images.size() && n < named) continue;
        if (index == ref->images.size()) {
            *why = name.empty() ? std::string("--critical needs the name of a partition the update writes")
                   : mapNames.count(name) ? "--critical " + name + ": the update keeps this partition, it does not write it"
                                          : "--critical " + name + ": the update's flash map names no such partition";
            return kPowercutUsage;
        }
        critical->push_back(name);
        ref->criticalNames.push_back(name);
        ref->criticalImages.push_back(index);
        ref->criticalSectors.push_back(TouchedSectors({ref->images[index]}));
    }
    return 0;
}

// The seeded choice of points: a tenth of them (at least one) on the record
// log writes, a fifth of those on entries; the rest on the bus writes.
std::vector<SweepPoint> ChooseCutPoints(const PowercutOptions& o, const Reference& ref)
{
    std::vector<SweepPoint> points;
    const uint64_t logCount = ref.logWrites.size();
    const int logPoints = logCount == 0 ? 0 : std::max(1, o.points / 10);
    std::set<CutPoint> logs;
    std::vector<uint64_t> entries;
    for (const auto& w : ref.logWrites) {
        if (w.entry) entries.push_back(w.number);
    }
    std::mt19937_64 random(o.seed * 1000003u + 17);
    for (int tries = 0; static_cast<int>(logs.size()) < logPoints && tries < 100 * logPoints; ++tries) {
        CutPoint p;
        p.kind = CutPoint::Log;
        const bool entry = !entries.empty() && static_cast<int>(logs.size()) < logPoints / 5 + 1;
        p.write = entry ? entries[random() % entries.size()] : 1 + random() % logCount;
        p.keep = random() % std::max<uint64_t>(1, ref.logWrites[p.write - 1].size);
        logs.insert(p);
    }
    for (uint64_t n : ChoosePoints(o.seed, o.points - static_cast<int>(logs.size()), ref.plan.writes,
                                   ref.plan.favoured)) {
        SweepPoint p;
        p.cut.write = n;
        points.push_back(p);
    }
    for (const auto& cut : logs) {
        SweepPoint p;
        p.cut = cut;
        points.push_back(p);
    }
    return points;
}

// The class of a cut of a log write after `keep` of its bytes: the record
// as it was, its CRC, its record number or its entry cut short, or the
// record complete (the bytes after the last one the write changes are
// already right).
std::string LogClassOf(const LogWrite& w, uint64_t keep)
{
    const std::string head = w.file + (w.entry ? " entry" : " empty record") + " (log write " +
                             std::to_string(w.number) + "): ";
    const int64_t k = static_cast<int64_t>(keep);
    if (k == 0 || (w.firstDiff >= 0 && k <= w.firstDiff)) return head + "cut before it";
    if (keep >= w.size || (w.lastDiff >= 0 && k > w.lastDiff)) return head + "record complete";
    if (k < 4) return head + "cut inside the CRC";
    if (k < 8) return head + "cut inside the record number";
    return head + "cut inside the entry";
}

// One point for every class of every log write: before it, inside each
// field it changes, the first length that completes it and its end.
std::vector<SweepPoint> ExhaustiveLogPoints(const Reference& ref)
{
    std::vector<SweepPoint> points;
    for (const auto& w : ref.logWrites) {
        std::set<uint64_t> keeps = {0, w.size};
        for (uint64_t k : {uint64_t{2}, uint64_t{6}, uint64_t{8}}) {
            if (k < w.size) keeps.insert(k);
        }
        if (w.firstDiff >= 0) keeps.insert(static_cast<uint64_t>(w.firstDiff) + 1);
        if (w.lastDiff >= 0) keeps.insert(std::min<uint64_t>(w.size, static_cast<uint64_t>(w.lastDiff) + 1));
        std::set<std::string> classes;
        for (uint64_t k : keeps) {
            SweepPoint p;
            p.cut.kind = CutPoint::Log;
            p.cut.write = w.number;
            p.cut.keep = k;
            p.cls = LogClassOf(w, k);
            // The end stays beside the length that completes the record.
            if (!classes.insert(p.cls).second && k != w.size) continue;
            points.push_back(p);
        }
    }
    return points;
}

// The points of an exhaustive sweep, with `verify` further points drawn
// inside their classes (each naming its representative).
std::vector<SweepPoint> ExhaustivePoints(const PowercutOptions& o, const Reference& ref,
                                         std::map<std::string, std::string>* representativeOf)
{
    std::vector<SweepPoint> points = ExhaustiveFlashPoints(ref.writing);
    const std::vector<SweepPoint> logs = ExhaustiveLogPoints(ref);
    points.insert(points.end(), logs.begin(), logs.end());
    for (const auto& step : FileSteps()) {
        SweepPoint p;
        p.file = step;
        p.cls = FileStepWhere(step);
        points.push_back(p);
    }
    std::map<std::string, std::string> first;   // class -> its first point
    for (const auto& p : points) first.emplace(p.cls, SweepId(p));
    std::mt19937_64 random(o.seed * 104729u + 11);
    const int logShare = ref.logWrites.empty() ? 0 : (o.verifyClasses + 4) / 5;
    std::vector<SweepPoint> drawn =
        PointsInsideClasses(ref.writing, points, o.verifyClasses - logShare, o.seed);
    for (int i = 0; i < logShare * 20 && static_cast<int>(drawn.size()) < o.verifyClasses; ++i) {
        const LogWrite& w = ref.logWrites[random() % ref.logWrites.size()];
        SweepPoint p;
        p.cut.kind = CutPoint::Log;
        p.cut.write = w.number;
        p.cut.keep = random() % (w.size + 1);
        p.cls = LogClassOf(w, p.cut.keep);
        if (first.count(p.cls) && first[p.cls] != SweepId(p)) drawn.push_back(p);
    }
    for (const auto& p : drawn) (*representativeOf)[SweepId(p)] = first[p.cls];
    std::set<std::string> ids;
    for (const auto& p : points) ids.insert(SweepId(p));
    for (const auto& p : drawn) {
        if (ids.insert(SweepId(p)).second) points.push_back(p);
    }
    return points;
}

// The first and the last changing bus write of the sectors `sectors` that
// `image` writes last ("" for any image); (0, 0) when none changes.
std::pair<uint64_t, uint64_t> WritingSpan(const Reference& ref, const std::set<int>& sectors,
                                          const std::string& image)
{
    uint64_t first = 0, last = 0;
    for (int sec : sectors) {
        if (ref.plan.first[sec] == 0) continue;
        if (!image.empty() && ref.sectorImage.at(sec) != image) continue;
        if (first == 0 || ref.plan.first[sec] < first) first = ref.plan.first[sec];
        last = std::max(last, ref.plan.last[sec]);
    }
    return {first, last};
}

// The span in which a cut leaves the image `name` half-written: from the
// first erase of its sectors to the last word programmed inside it (the kept
// bytes outside it that follow do not keep it from starting); (0, 0): none.
std::pair<uint64_t, uint64_t> ImageSpan(const Reference& ref, const std::string& name)
{
    uint64_t first = 0, last = 0;
    for (const auto& w : ref.writing.sectors) {
        if (w.image != name) continue;
        if (first == 0) first = w.erase;
        last = std::max(last, w.erase);
        for (const auto& r : w.runs) {
            if (r.inside) last = std::max(last, r.last);
        }
    }
    return {first, last};
}

// The length of the union of the window's parts (one partition named twice
// counts once).
double CoveredSeconds(const std::vector<WindowPart>& window)
{
    std::vector<std::pair<double, double>> intervals;
    intervals.reserve(window.size());
    for (const auto& part : window) intervals.push_back({part.from, part.to});
    std::sort(intervals.begin(), intervals.end());
    double covered = 0, until = -1;
    for (const auto& iv : intervals) {
        const double from = std::max(iv.first, until);
        if (iv.second > from) covered += iv.second - from;
        until = std::max(until, iv.second);
    }
    return covered;
}

// Places the update's writing, the window of the critical partitions, every
// image's writing and every point on the instrument's timeline (the chip's
// time of the recorded bus writes after the updater's fixed waits).
void PlaceOnTimeline(const Reference& ref, const std::vector<norsim::BusAccess>& bus, double countedSeconds,
                     int mediumChecks, const std::vector<SweepPoint>& sweep, PowercutResult* result)
{
    // The installation's file steps come just before the revision entry, the
    // backup and the unpacking at the start of the writing.
    std::vector<CutPoint> points;
    for (const auto& p : sweep) {
        CutPoint c = p.cut;
        if (!p.file.empty()) {
            c.kind = ref.logWrites.empty() || EarlyFileStep(p.file) ? CutPoint::Flash : CutPoint::Log;
            c.write = EarlyFileStep(p.file) ? 1 : ref.logWrites.empty() ? ref.plan.writes + 1 : 1;
        }
        points.push_back(c);
    }
    std::vector<std::pair<uint64_t, uint64_t>> critical, images;
    for (const auto& name : ref.criticalNames) critical.push_back(ImageSpan(ref, name));
    for (const auto& img : ref.images) images.push_back(WritingSpan(ref, TouchedSectors({img}), img.name));
    std::vector<uint64_t> wanted;
    for (const auto& p : points) {
        if (p.kind == CutPoint::Flash) wanted.push_back(p.write);
        else if (p.write <= ref.logWrites.size()) wanted.push_back(ref.logWrites[p.write - 1].busWritesBefore + 1);
    }
    for (const auto& spans : {critical, images}) {
        for (const auto& span : spans) {
            if (span.first != 0) wanted.insert(wanted.end(), {span.first, span.second + 1});
        }
    }
    wanted.push_back(ref.plan.writes + 1);  // the end of the writing
    const WriteClock clock = MakeWriteClock(bus, wanted);

    const UpdateTimeline t = TimelineOf(clock.At(ref.plan.writes + 1), countedSeconds, mediumChecks);
    result->flashFrom = t.flashFrom;
    result->flashTo = t.flashTo;
    result->updateSeconds = t.updateSeconds;
    result->modelledSeconds = t.modelledSeconds;
    result->timeSource = t.source;
    auto part = [&](const std::string& name, const std::pair<uint64_t, uint64_t>& span, const std::set<int>& sectors) {
        WindowPart w;
        w.partition = name;
        w.from = t.flashFrom + clock.At(span.first);
        w.to = t.flashFrom + clock.At(span.second + 1);
        w.firstSector = *sectors.begin();
        w.lastSector = *sectors.rbegin();
        return w;
    };
    for (size_t i = 0; i < critical.size(); ++i) {
        if (critical[i].first != 0) result->window.push_back(part(ref.criticalNames[i], critical[i], ref.criticalSectors[i]));
    }
    for (size_t i = 0; i < images.size(); ++i) {
        if (images[i].first != 0) result->writing.push_back(part(ref.images[i].name, images[i], TouchedSectors({ref.images[i]})));
    }
    result->windowSeconds = CoveredSeconds(result->window);

    result->points.resize(points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        PointResult& r = result->points[i];
        r.point = sweep[i];
        r.where = sweep[i].file.empty() ? WhereOf(ref, sweep[i]) : FileStepWhere(sweep[i].file);
        if (points[i].kind == CutPoint::Flash) {
            r.seconds = t.flashFrom + clock.At(std::min(points[i].write, ref.plan.writes + 1));
        } else if (points[i].write <= ref.logWrites.size()) {
            const uint64_t before = ref.logWrites[points[i].write - 1].busWritesBefore;
            const bool onBus = before != 0 && before < ref.plan.writes;
            r.seconds = LogWriteMoment(t, before, ref.plan.writes, onBus ? clock.At(before + 1) : 0);
        }
    }
}

// A finished point's line on standard error.
// A point's class is known: the caller's progress hook hears of it, with
// how many points are done of how many (the workers report one at a time).
struct Announcer {
    const PowercutOptions& o;
    size_t total;
    std::mutex m;
    size_t done = 0;
};

void Announce(Announcer* a, const PointResult& r)
{
    std::lock_guard<std::mutex> lock(a->m);
    ++a->done;
    if (a->o.onPointDone) a->o.onPointDone(a->done, a->total, r);
}

// A hash of a cut's flash state.
size_t HashOf(const CutFlashState& state)
{
    size_t h = state.doneSectors.size();
    const auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    for (int s : state.doneSectors) mix(static_cast<size_t>(s));
    for (const auto& kv : state.ownSectors) {
        mix(static_cast<size_t>(kv.first) + 0x10000);
        mix(std::hash<std::string_view>()(
            std::string_view(reinterpret_cast<const char*>(kv.second.data()), kv.second.size())));
    }
    return h;
}

// The flash cuts built from the recorded writes (their states in
// `states`, in one pass over the writes), judged on the flash alone where a
// critical partition is half-written; of the others, those leaving the same
// flash as an earlier point (the files being the same for every flash cut)
// take that point's restarts. Returns, per point, the point whose restarts
// it takes (itself when it needs its own; npos when it is judged).
std::vector<size_t> JudgeFlashAlone(const Reference& ref, PowercutResult* result, Announcer* announcer,
                                    std::vector<CutFlashState>* states)
{
    auto& points = result->points;
    std::vector<size_t> runs(points.size());
    for (size_t i = 0; i < points.size(); ++i) runs[i] = i;
    if (ref.flashRoot.empty()) return runs;
    std::vector<size_t> built;
    std::vector<FlashCut> cuts;
    for (size_t i = 0; i < points.size(); ++i) {
        if (points[i].point.cut.kind != CutPoint::Flash || !points[i].point.file.empty()) continue;
        built.push_back(i);
        cuts.push_back({points[i].point.cut.write, points[i].point.erased});
    }
    std::vector<CutFlashState> cutStates = CutFlashStates(ref.before, ref.done, ref.bus, cuts);
    states->assign(points.size(), CutFlashState());
    std::vector<uint8_t> flash;
    const CutFlashState* holding = nullptr;
    std::unordered_multimap<size_t, size_t> seen;  // hash of a state -> the first point with it
    for (size_t k = 0; k < built.size(); ++k) {
        const size_t i = built[k];
        CutFlashState& state = (*states)[i];
        state = std::move(cutStates[k]);
        MaterializeCut(ref.before, ref.done, state, &flash, holding);
        holding = &state;
        if (!CriticalWhole(ref, flash, &points[i].evidence)) {
            points[i].cls = PointClass::WouldNotStart;
            runs[i] = std::string::npos;
            Announce(announcer, points[i]);
            continue;
        }
        const size_t h = HashOf(state);
        const auto range = seen.equal_range(h);
        for (auto it = range.first; it != range.second && runs[i] == i; ++it) {
            if ((*states)[it->second] == state) runs[i] = it->second;
        }
        if (runs[i] == i) seen.emplace(h, i);
    }
    return runs;
}

// Runs the points of `result`, several at once, each worker on its own
// instrument under `work`.
void RunPoints(const PowercutOptions& o, const Reference& ref, const std::string& work, PowercutResult* result)
{
    auto& points = result->points;
    Announcer announcer{o, points.size(), {}, 0};
    std::vector<CutFlashState> states;
    const std::vector<size_t> runs = JudgeFlashAlone(ref, result, &announcer, &states);
    std::vector<size_t> own;
    for (size_t i = 0; i < points.size(); ++i) {
        if (runs[i] == i) own.push_back(i);
    }
    std::vector<Worker> workers(static_cast<size_t>(std::max(1, o.jobs)));
    for (size_t n = 0; n < workers.size(); ++n) workers[n].root = work + "/w" + std::to_string(n);
    ForEachPoint(o.jobs, own.size(), [&](int n, size_t k) {
        PointResult& r = points[own[k]];
        const bool built = own[k] < states.size() && r.point.cut.kind == CutPoint::Flash && r.point.file.empty();
        RunPoint(o, ref, built ? &states[own[k]] : nullptr, &workers[static_cast<size_t>(n)], &r);
        Announce(&announcer, r);
    });
    for (size_t i = 0; i < points.size(); ++i) {
        if (runs[i] == i || runs[i] == std::string::npos) continue;
        const PointResult& same = points[runs[i]];
        PointResult& r = points[i];
        r.cls = same.cls;
        r.restarts = same.restarts;
        r.lastOutcome = same.lastOutcome;
        r.evidence = same.evidence;
        r.logs = same.logs;
        r.lostBytes = same.lostBytes;
        r.logDifferences = same.logDifferences;
        r.sameStateAs = SweepId(same.point);
        Announce(&announcer, r);
    }
    for (const auto& wk : workers) RemoveTree(wk.root);
}

// The ids given: each one a write of the reference run. An id past its
// writes is a usage error.
int CheckIds(const Reference& ref, const std::vector<SweepPoint>& points, std::string* why)
{
    for (const auto& p : points) {
        const CutPoint& c = p.cut;
        const bool flash = c.kind == CutPoint::Flash;
        const uint64_t count = flash ? ref.plan.writes : ref.logWrites.size();
        std::string reason;
        if (c.write > count) {
            reason = "the update makes " + std::to_string(count) + (flash ? " flash bus writes" : " log writes");
        } else if (!flash && c.keep > ref.logWrites[c.write - 1].size) {
            reason = "that log write has " + std::to_string(ref.logWrites[c.write - 1].size) + " bytes";
        } else if (flash && p.erased >= 0 && PhaseOf(ref.writing, c.write).phase != "erasing") {
            reason = "an erased length goes with an erase confirm only";
        }
        if (!reason.empty()) {
            *why = "power-cut id " + SweepId(p) + " is past the run: " + reason;
            return kPowercutUsage;
        }
    }
    return 0;
}

// The sweep's work directory made anew; the last one set aside until the
// sweep is known to go ahead (a usage error puts it back).
struct WorkDir {
    std::string path, aside;
    bool Begin(std::string* why)
    {
        aside = path + ".last";
        RemoveTree(aside);
        if (PathExists(path) && std::rename(path.c_str(), aside.c_str()) != 0) {
            *why = "cannot set " + path + " aside";
            return false;
        }
        return MakeDirs(path, why);
    }
    void End(bool keepNew) const
    {
        if (keepNew) {
            RemoveTree(aside);
        } else {
            RemoveTree(path);
            if (PathExists(aside)) std::rename(aside.c_str(), path.c_str());
        }
    }
};

// The reference, the critical partitions and the points, checked.
int Prepare(const PowercutOptions& o, const std::string& work, const std::vector<SweepPoint>& replay, Reference* ref,
            PowercutResult* result, std::vector<SweepPoint>* points, std::map<std::string, std::string>* reps,
            double* counted, int* mediumChecks, std::string* why)
{
    int rc = MakeReference(o, work, ref, &ref->bus, counted, mediumChecks, why);
    if (rc == 2) return kPowercutNoRoot;
    if (rc != 0) return kPowercutNoAnswer;
    rc = ChooseCritical(o, work, ref, &result->critical, why);
    if (rc != 0) return rc;
    rc = CheckIds(*ref, replay, why);
    if (rc != 0) return rc;
    if (!replay.empty()) *points = replay;
    else if (o.exhaustive) *points = ExhaustivePoints(o, *ref, reps);
    else *points = ChooseCutPoints(o, *ref);
    result->mode = !replay.empty() ? "replay" : o.exhaustive ? "exhaustive" : "sample";
    std::set<std::string> classes;
    for (const auto& p : *points) {
        if (!p.cls.empty() && !reps->count(SweepId(p))) classes.insert(p.cls);
    }
    result->stateClasses = static_cast<int>(classes.size());
    // A shard: every shards-th point of the whole list, from the shard-th on.
    std::vector<SweepPoint> share;
    for (size_t i = 0; i < points->size(); ++i) {
        (*points)[i].sequence = i;
        if (static_cast<int>(i % static_cast<size_t>(o.shards)) == o.shard - 1) share.push_back((*points)[i]);
    }
    points->swap(share);
    result->shard = o.shard;
    result->shards = o.shards;
    return 0;
}

// The points in the order of the report: by their moment, then by their
// place in the sweep (the same for a sweep run whole and its shards merged).
void SortPoints(PowercutResult* result)
{
    std::sort(result->points.begin(), result->points.end(), [](const PointResult& a, const PointResult& b) {
        return a.seconds != b.seconds ? a.seconds < b.seconds : a.point.sequence < b.point.sequence;
    });
}

// The verdict: the counts, whether it is safe, the points drawn inside a
// class whose class differs from their representative's.
void Conclude(const std::map<std::string, std::string>& representativeOf, PowercutResult* result)
{
    result->counts.clear();
    result->disagreements.clear();
    std::map<std::string, const PointResult*> byId;
    for (auto& r : result->points) {
        const auto it = representativeOf.find(SweepId(r.point));
        if (it != representativeOf.end()) r.representative = it->second;
        byId[SweepId(r.point)] = &r;
    }
    for (const auto& r : result->points) {
        ++result->counts[r.cls];
        if (r.representative.empty() || !byId.count(r.representative)) continue;
        const PointResult& rep = *byId[r.representative];
        if (rep.cls == r.cls) continue;
        result->disagreements.push_back(SweepId(r.point) + " (" + PointClassText(r.cls) + ") differs from " +
                                        r.representative + " (" + PointClassText(rep.cls) + ") in " + r.point.cls);
    }
    const auto unable = result->counts.find(PointClass::WouldNotStart);
    result->safe = (unable == result->counts.end() || unable->second == 0) && result->windowSeconds <= 0;
}

}  // namespace

int RunPowercut(const PowercutOptions& o, PowercutResult* result, std::string* why)
{
    const auto t0 = std::chrono::steady_clock::now();
    const StatePaths s(o.state);
    if (!PathExists(s.marker())) {
        *why = s.root + " holds no simulated instrument (swsim create first)";
        return kPowercutNoAnswer;
    }
    std::vector<SweepPoint> replay;
    for (const auto& id : o.replay) {
        SweepPoint p;
        if (!ParseSweepId(id, &p, why)) return kPowercutUsage;
        replay.push_back(p);
    }
    WorkDir work;
    // Shards of one sweep may run at once on the same instrument.
    const std::string shard = o.shards > 1 ? "-shard-" + std::to_string(o.shard) + "-of-" + std::to_string(o.shards) : "";
    work.path = o.workDir.empty() ? s.sim() + "/powercut" + shard : AbsolutePath(o.workDir);
    if (!work.Begin(why)) return kPowercutNoAnswer;
    Reference ref;
    std::vector<SweepPoint> points;
    std::map<std::string, std::string> representativeOf;
    double counted = -1;
    int mediumChecks = 0;
    const int rc = Prepare(o, work.path, replay, &ref, result, &points, &representativeOf, &counted, &mediumChecks, why);
    work.End(rc != kPowercutUsage);
    if (rc != 0) return rc;

    result->state = s.root;
    result->seed = o.seed;
    result->busWrites = ref.plan.writes;
    result->logWrites = ref.logWrites.size();
    PlaceOnTimeline(ref, ref.bus, counted, mediumChecks, points, result);
    MakeFlashRoot(o, work.path, &ref);
    result->statesBuilt = !ref.flashRoot.empty();
    RunPoints(o, ref, work.path, result);

    SortPoints(result);
    Conclude(representativeOf, result);
    result->wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 0;
}

int MergePowercut(const std::vector<std::string>& parts, PowercutResult* result, std::string* why)
{
    std::vector<PowercutResult> read(parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string text;
        if (!ReadText(parts[i], &text) || !PowercutFromJson(text, &read[i], why)) {
            *why = parts[i] + ": " + (why->empty() ? "cannot be read" : *why);
            return kPowercutNoAnswer;
        }
    }
    if (read.empty()) {
        *why = "--merge needs the JSON reports of the shards";
        return kPowercutUsage;
    }
    const PowercutResult& first = read.front();
    std::set<int> shards;
    for (size_t i = 0; i < read.size(); ++i) {
        const PowercutResult& r = read[i];
        if (r.state != first.state || r.mode != first.mode || r.seed != first.seed || r.shards != first.shards ||
            r.busWrites != first.busWrites || r.logWrites != first.logWrites || r.critical != first.critical) {
            *why = parts[i] + " is not a shard of the same sweep as " + parts[0];
            return kPowercutUsage;
        }
        if (!shards.insert(r.shard).second) {
            *why = parts[i] + ": shard " + std::to_string(r.shard) + " is given twice";
            return kPowercutUsage;
        }
    }
    if (static_cast<int>(shards.size()) != first.shards) {
        *why = std::to_string(shards.size()) + " of the sweep's " + std::to_string(first.shards) + " shards given";
        return kPowercutUsage;
    }
    *result = first;
    result->points.clear();
    result->wallSeconds = 0;
    std::map<std::string, std::string> representativeOf;
    for (const auto& r : read) {
        result->wallSeconds = std::max(result->wallSeconds, r.wallSeconds);
        for (const auto& p : r.points) {
            if (!p.representative.empty()) representativeOf[SweepId(p.point)] = p.representative;
            result->points.push_back(p);
        }
    }
    result->shard = result->shards = 1;
    SortPoints(result);
    Conclude(representativeOf, result);
    return 0;
}

int PowercutExitStatus(const PowercutResult& result)
{
    if (!result.safe) return kPowercutUnsafe;
    const auto other = result.counts.find(PointClass::Other);
    if ((other != result.counts.end() && other->second > 0) || !result.disagreements.empty()) return kPowercutNoAnswer;
    return kPowercutSafe;
}

}  // namespace swsim
