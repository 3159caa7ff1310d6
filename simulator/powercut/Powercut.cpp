#include "Powercut.h"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "InstrumentTime.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimLogs.h"
#include "SimMedium.h"
#include "SimReplay.h"
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
    case PointClass::BytesLost: return "recovered, bytes outside the images lost";
    case PointClass::WouldNotStart: return "would not start";
    case PointClass::Other: return "other";
    }
    return "other";
}

namespace {

constexpr int kMaxRestarts = 3;

// One write of the record log library in the reference run.
struct LogWrite {
    uint64_t number = 0;
    std::string file;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t busWritesBefore = 0;
    bool entry = false;   // a record holding an entry (not an empty one)
};

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
    BusPlan plan;
    std::vector<LogWrite> logWrites;
    std::map<int, std::string> sectorImage; // the image that writes each sector (the last one)
};

// Runs "swsim run" on a worker's instrument with output captured. Returns
// the exit status of swsim (-1 when it did not start).
int SwsimRun(const PowercutOptions& o, const std::string& state, const std::string& cut, std::string* output)
{
    // The chip is instantly ready: the cut's bus write numbers are those of
    // the replay, and the instrument's time comes from the chip timing model
    // and the reference run.
    std::vector<std::string> argv = {o.selfExe, "run",        state, "--quiet", "--no-report", "--pull-after",
                                     "0",       "--chip-timing", "off"};
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
// otherwise the evidence.
bool CriticalWhole(const Reference& ref, const std::vector<uint8_t>& flash, std::vector<std::string>* evidence)
{
    bool whole = true;
    for (size_t i = 0; i < ref.criticalSectors.size(); ++i) {
        std::map<int, SectorContent> state;
        bool anyOld = false, anyNew = false, anyTorn = false;
        for (int s : ref.criticalSectors[i]) {
            const SectorContent c = SectorContentOf(ref.before, ref.done, flash, s);
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
        for (const auto& kv : state) text += " " + std::to_string(kv.first) + " " + SectorContentText(kv.second) + ",";
        text.pop_back();
        evidence->push_back(text);
    }
    return whole;
}

std::string WhereOf(const Reference& ref, const CutPoint& p)
{
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
    int next = -1;
    for (int s = 0; s < kSectorCount; ++s) {
        if (ref.plan.first[s] == 0) continue;
        if (ref.plan.first[s] <= p.write && p.write <= ref.plan.last[s]) {
            const bool erase = p.write == ref.plan.first[s];
            return ref.sectorImage.at(s) + " sector " + std::to_string(s) + (erase ? " (erase)" : "");
        }
        if (ref.plan.first[s] > p.write && (next < 0 || ref.plan.first[s] < ref.plan.first[next])) next = s;
    }
    return next < 0 ? "after the last sector" : "before " + ref.sectorImage.at(next) + " sector " + std::to_string(next);
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

// The instrument on `ws`, cut with its critical partitions whole, starts
// again with the medium still in until the update ends (at most
// kMaxRestarts times); then the point's class.
void RestartAndJudge(const PowercutOptions& o, const Reference& ref, const std::string& ws, PointResult* r)
{
    const StatePaths w(ws);
    std::string output;
    // Logs the restarts recreate: the update recreates a corrupt log before
    // it writes the flash, so a restart finds one only where the cut left it
    // torn (or cut its recreation short, taking the copy aside of the
    // original with the /tmp the restart empties).
    std::set<std::string> recreated;
    Outcome outcome = Outcome::Unfinished;
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
    std::vector<uint8_t> flash;
    if (!ReadBytes(w.flash(), &flash) || flash.size() != kFlashSize) {
        r->evidence.push_back("the flash after the restarts cannot be read");
        return;
    }
    sound = FlashAndLogsSound(ref, w, flash, r) && sound;
    for (const auto& name : recreated) r->logs.push_back(DescribeLostLog(w, name));
    if (!sound) return;
    if (!r->lostBytes.empty()) r->cls = PointClass::BytesLost;
    else if (!r->logs.empty()) r->cls = PointClass::LogHistoryLost;
    else r->cls = PointClass::Recovered;
}

// One point on the worker's instrument `ws`: the update cut there, then,
// unless a critical partition was left half-written, the restarts.
void RunPoint(const PowercutOptions& o, const Reference& ref, const std::string& ws, PointResult* r)
{
    const StatePaths w(ws);
    std::string why, output;
    if (CopyInstrument(ref.base, ws, &why) != 0) {
        r->evidence.push_back("the instrument could not be copied: " + why);
        return;
    }
    const int rc = SwsimRun(o, ws, CutId(r->point), &output);
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
    if (!CriticalWhole(ref, flash, &r->evidence)) {
        r->cls = PointClass::WouldNotStart;
        return;
    }
    RestartAndJudge(o, ref, ws, r);
}

// The reference: the update once without a cut on a copy, its log writes
// recorded, its flash writing replayed with the bus recorded.
int MakeReference(const PowercutOptions& o, const std::string& work, Reference* ref,
                  std::vector<norsim::BusAccess>* bus, double* measuredSeconds, int* mediumChecks, std::string* why)
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
    if (CopyInstrument(ref->base, refDir, why) != 0) return 1;
    const StatePaths r(refDir);
    RunOptions run;
    run.pullAfter = 0;
    run.showGui = false;
    run.logWritesFile = work + "/reference-log-writes.txt";
    // The run's own lines (the start-up's) go to a file, not among the report.
    int rc;
    {
        const StdoutTo output(work + "/reference-output.txt");
        rc = RunUpdate(refDir, run, o.selfExe, why);
    }
    if (rc != 0) return rc;
    const Outcome outcome = OutcomeOfRun(r);
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
    // The reference ran with the chip taking its time: its clock measured the
    // update's duration.
    ChipOps ops;
    ops.erases = static_cast<double>(result.stats.erases);
    ops.programs = static_cast<double>(result.stats.programs);
    ops.unlocks = static_cast<double>(ref->images.size());
    const RunTiming timing =
        TimingOf(ReadTextOr(r.runRecord(), ""), trace, ops, ReadTextOr(r.tmp() + "/estUpdateTime", ""));
    *measuredSeconds = timing.rebooted ? timing.seconds : -1;
    *mediumChecks = timing.mediumChecks;
    for (const auto& img : ref->images) {
        for (int s : TouchedSectors({img})) ref->sectorImage[s] = img.name;
    }
    return 0;
}

// The critical partitions: those named, or the one the map places at start
// 0; each one the update writes goes into the reference with its sectors.
int ChooseCritical(const PowercutOptions& o, const std::string& work, Reference* ref,
                   std::vector<std::string>* critical, std::string* why)
{
    const std::string mapText = ReadTextOr(work + "/reference/tmp/flashMap", "");
    std::set<std::string> mapNames;
    for (const auto& line : ParseFlashMap(mapText)) {
        if (line.kind == MapLine::Partition) mapNames.insert(line.partition);
    }
    *critical = o.critical;
    if (critical->empty()) {
        for (const auto& line : ParseFlashMap(mapText)) {
            if (line.kind == MapLine::Partition && line.valid && line.startKiB == 0) critical->push_back(line.partition);
        }
    }
    for (const auto& name : *critical) {
        if (!mapNames.count(name)) {
            *why = "--critical " + name + ": the update's flash map names no such partition";
            return 1;
        }
        for (const auto& img : ref->images) {
            if (img.name != name) continue;
            ref->criticalNames.push_back(name);
            ref->criticalSectors.push_back(TouchedSectors({img}));
        }
    }
    return 0;
}

// The seeded choice of points: a tenth of them (at least one) on the record
// log writes, a fifth of those on entries; the rest on the bus writes.
std::vector<CutPoint> ChooseCutPoints(const PowercutOptions& o, const Reference& ref)
{
    std::vector<CutPoint> points;
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
        CutPoint p;
        p.write = n;
        points.push_back(p);
    }
    points.insert(points.end(), logs.begin(), logs.end());
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
void PlaceOnTimeline(const Reference& ref, const std::vector<norsim::BusAccess>& bus, double measuredSeconds,
                     int mediumChecks, const std::vector<CutPoint>& points, PowercutResult* result)
{
    std::vector<std::pair<uint64_t, uint64_t>> critical, images;
    for (const auto& sectors : ref.criticalSectors) critical.push_back(WritingSpan(ref, sectors, ""));
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

    const UpdateTimeline t = TimelineOf(clock.At(ref.plan.writes + 1), measuredSeconds, mediumChecks);
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
        r.point = points[i];
        r.where = WhereOf(ref, points[i]);
        if (points[i].kind == CutPoint::Flash) {
            r.seconds = t.flashFrom + clock.At(std::min(points[i].write, ref.plan.writes + 1));
        } else if (points[i].write <= ref.logWrites.size()) {
            const uint64_t before = ref.logWrites[points[i].write - 1].busWritesBefore;
            const bool onBus = before != 0 && before < ref.plan.writes;
            r.seconds = LogWriteMoment(t, before, ref.plan.writes, onBus ? clock.At(before + 1) : 0);
        }
    }
}

// Runs the points of `result`, several at once, each worker on its own
// instrument under `work`.
void RunPoints(const PowercutOptions& o, const Reference& ref, const std::string& work, PowercutResult* result)
{
    auto& points = result->points;
    const int jobs = std::max(1, std::min<int>(o.jobs, static_cast<int>(points.size())));
    std::atomic<size_t> next{0};
    std::mutex printing;
    size_t done = 0;
    auto worker = [&](int n) {
        const std::string ws = work + "/w" + std::to_string(n);
        for (size_t i; (i = next++) < points.size();) {
            PointResult& r = points[i];
            RunPoint(o, ref, ws, &r);
            std::lock_guard<std::mutex> lock(printing);
            ++done;
            if (o.onPointDone) o.onPointDone(done, points.size(), r);
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(jobs));
    for (int n = 0; n < jobs; ++n) threads.emplace_back(worker, n);
    for (auto& t : threads) t.join();
    for (int n = 0; n < jobs; ++n) RemoveTree(work + "/w" + std::to_string(n));
}

}  // namespace

int RunPowercut(const PowercutOptions& o, PowercutResult* result, std::string* why)
{
    const auto t0 = std::chrono::steady_clock::now();
    const StatePaths s(o.state);
    if (!PathExists(s.marker())) {
        *why = s.root + " holds no simulated instrument (swsim create first)";
        return 1;
    }
    // The ids are read before the last sweep's work is deleted: a mistyped
    // id leaves it as it was.
    std::vector<CutPoint> replay;
    for (const auto& id : o.replay) {
        CutPoint p;
        if (!ParseCutId(id, &p, why)) return 1;
        replay.push_back(p);
    }
    const std::string work = o.workDir.empty() ? s.sim() + "/powercut" : AbsolutePath(o.workDir);
    if (!RemoveTree(work, why) || !MakeDirs(work, why)) return 1;

    Reference ref;
    std::vector<norsim::BusAccess> bus;
    double measured = -1;
    int mediumChecks = 0;
    int rc = MakeReference(o, work, &ref, &bus, &measured, &mediumChecks, why);
    if (rc != 0) return rc;
    std::vector<std::string> critical;
    rc = ChooseCritical(o, work, &ref, &critical, why);
    if (rc != 0) return rc;
    const std::vector<CutPoint> points = replay.empty() ? ChooseCutPoints(o, ref) : replay;

    result->state = s.root;
    result->seed = o.seed;
    result->busWrites = ref.plan.writes;
    result->logWrites = ref.logWrites.size();
    result->critical = critical;
    PlaceOnTimeline(ref, bus, measured, mediumChecks, points, result);
    bus = {};  // the recorded bus is large and no longer needed
    RunPoints(o, ref, work, result);

    std::sort(result->points.begin(), result->points.end(),
              [](const PointResult& a, const PointResult& b) { return a.seconds < b.seconds; });
    for (const auto& r : result->points) ++result->counts[r.cls];
    result->wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 0;
}

}  // namespace swsim
