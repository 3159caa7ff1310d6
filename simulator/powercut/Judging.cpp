// Judging a point: the critical partitions on the flash a cut leaves, then
// the restarts and what they leave (the images, the bytes outside them, the
// logs against the reference run's, the installed files); and the flash
// cuts judged on the flash alone, or sharing the restarts of an earlier
// point that left the same state.
#include "Sweep.h"

#include <string_view>
#include <unordered_map>

#include "SimFiles.h"
#include "SimLogs.h"
#include "SimSectors.h"
#include "SimState.h"
#include "TraceFacts.h"

namespace swsim {
namespace sweep {

namespace {

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

// Whether the region [from, to) of `flash` is whole (every byte as before
// the update, or every byte as the update leaves it), judged sector by
// sector; otherwise the evidence "WHAT left half-written: SECTOR STATE, ...".
bool RegionWhole(const Reference& ref, const std::vector<uint8_t>& flash, uint64_t from, uint64_t to,
                 const std::string& what, std::vector<std::string>* evidence)
{
    std::map<int, SectorContent> state;
    bool anyOld = false, anyNew = false, anyTorn = false;
    for (uint64_t at = from; at < to;) {
        const uint64_t end = std::min<uint64_t>(to, (at / kSectorSize + 1) * kSectorSize);
        const SectorContent c =
            ContentOf(ref.before, ref.done, flash, static_cast<uint32_t>(at), static_cast<uint32_t>(end - at));
        // A part the update leaves as it was counts as both.
        if (c != SectorContent::Same) {
            state[static_cast<int>(at / kSectorSize)] = c;
            anyOld = anyOld || c == SectorContent::Old;
            anyNew = anyNew || c == SectorContent::New;
            anyTorn = anyTorn || c == SectorContent::Torn;
        }
        at = end;
    }
    if (!anyTorn && !(anyOld && anyNew)) return true;
    std::string text = what + " left half-written:";
    for (const auto& kv : state) text += " " + std::to_string(kv.first) + " " + SectorContentText(kv.second) + ",";
    text.pop_back();
    evidence->push_back(text);
    return false;
}

}  // namespace

// Whether the boot region and the critical partitions are whole (all old or
// all new) on `flash`; otherwise the evidence. The boot region counts every
// byte from address 0 to the boot image's end, whichever line wrote it; a
// partition named critical is judged by its image's bytes: the bytes of its
// sectors outside the image do not keep it from starting.
bool CriticalWhole(const Reference& ref, const std::vector<uint8_t>& flash, std::vector<std::string>* evidence)
{
    bool whole = true;
    if (ref.bootEnd > 0) {
        whole = RegionWhole(ref, flash, 0, ref.bootEnd,
                            ref.bootCritical ? ref.bootName : "the boot region (" + ref.bootName + " and before it)",
                            evidence);
    }
    for (size_t i = ref.bootCritical ? 1 : 0; i < ref.criticalImages.size(); ++i) {
        const WrittenImage& img = ref.images[ref.criticalImages[i]];
        const uint64_t start = static_cast<uint64_t>(img.startKiB) * 1024;
        const uint64_t end = std::min<uint64_t>(start + img.bytes.size(), kFlashSize);
        whole = RegionWhole(ref, flash, start, end, ref.criticalNames[i], evidence) && whole;
    }
    return whole;
}

// The worker's instrument, cut with its critical partitions whole, starts
// again with the medium still in until the update ends (at most
// kMaxRestarts times); then the point's class.
void RestartAndJudge(const PowercutOptions& o, const Reference& ref, Worker* wk, PointResult* r,
                     FirstTouchRun* touch)
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
    const host::Fd watch = touch != nullptr ? WatchFlashFile(w.flash()) : host::Fd();
    while (r->restarts < kMaxRestarts && outcome == Outcome::Unfinished) {
        ++r->restarts;
        RunResult run;
        const bool first = touch != nullptr && r->restarts == 1;
        const int rc = SwsimRun(o, ws, "", &run, &output, first ? touch->path : "");
        if (first) touch->opens = watch ? FlashFileOpens(watch.get()) : -1;
        if (rc != 0) {
            r->cls = PointClass::NotChecked;
            r->evidence.push_back("restart " + std::to_string(r->restarts) + ": swsim run failed: " + output);
            return;
        }
        if (run.insideReported && run.inside.timedOut) {
            r->cls = PointClass::NotChecked;
            r->evidence.push_back("restart " + std::to_string(r->restarts) + " reached the run limit");
            return;
        }
        const std::string trace = ReadTextOr(w.trace(), "");
        for (const auto& log : RecreatedLogsOf(trace)) recreated.insert(log);
        outcome = OutcomeOf(trace, run.UpdaterEnded());
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
    r->historyLost = HistoryLost(ref.history, w);
    for (auto& lost : DataLost(ref.removedData, w)) r->historyLost.push_back(std::move(lost));
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
    else if (!r->historyLost.empty()) r->cls = PointClass::LogHistoryLost;
    else if (!r->logDifferences.empty()) r->cls = PointClass::LogsDiffer;
    else r->cls = PointClass::Recovered;
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
    if (ref.flashRoot.empty() && !ref.flashFiles) return runs;
    std::vector<size_t> built;
    std::vector<FlashCut> cuts;
    for (size_t i = 0; i < points.size(); ++i) {
        if (points[i].point.cut.kind != CutPoint::Flash) continue;
        built.push_back(i);
        cuts.push_back({points[i].point.cut.write, points[i].point.erased});
    }
    std::vector<CutFlashState> cutStates = CutFlashStates(ref.before, ref.done, ref.bus, cuts);
    states->assign(points.size(), CutFlashState());
    std::vector<uint8_t> flash;
    const CutFlashState* holding = nullptr;
    std::unordered_multimap<size_t, size_t> seen;  // hash of a state -> the first point with it
    // The files a cut leaves (with the flash root: the same for all).
    const auto filesOf = [&](size_t p) { return FlashCutFiles(ref, points[p].point.cut.write); };
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
        const size_t h = HashOf(state) ^ std::hash<size_t>()(filesOf(i));
        const auto range = seen.equal_range(h);
        for (auto it = range.first; it != range.second && runs[i] == i; ++it) {
            if ((*states)[it->second] == state && filesOf(it->second) == filesOf(i)) runs[i] = it->second;
        }
        if (runs[i] == i) seen.emplace(h, i);
    }
    return runs;
}

// The flash as the reference run had left it after `bus` bus writes.
void FlashAfter(const Reference& ref, uint64_t bus, std::vector<uint8_t>* flash)
{
    if (bus == 0 || bus >= ref.plan.writes) {
        *flash = bus == 0 ? ref.before : ref.done;
        return;
    }
    const std::vector<CutFlashState> states = CutFlashStates(ref.before, ref.done, ref.bus, {FlashCut{bus + 1, -1, true}});
    MaterializeCut(ref.before, ref.done, states.front(), flash, nullptr);
}

// The file and log points built from the recording: each takes the
// restarts of the first point leaving the same state (files and flash); one
// whose flash leaves a critical partition half-written would not start, one
// that cannot be built could not be checked. Updates `runs` as
// JudgeFlashAlone gives it. A log point whose write is not in the recording,
// and every point with --real-file-cuts, is cut for real.
void JudgeFilePoints(const PowercutOptions& o, const Reference& ref, PowercutResult* result, Announcer* announcer,
                     std::vector<size_t>* runs, PointFiles* files)
{
    auto& points = result->points;
    files->of.assign(points.size(), nullptr);
    std::unordered_multimap<size_t, size_t> first;   // hash of a state -> the first point with it
    std::map<uint64_t, bool> whole;                  // bus writes -> the critical partitions whole
    for (size_t i = 0; i < points.size(); ++i) {
        PointResult& r = points[i];
        const CutPoint& cut = r.point.cut;
        const bool log = cut.kind == CutPoint::Log && cut.write >= 1 && cut.write <= ref.logWrites.size();
        if (o.realFileCuts || (cut.kind != CutPoint::File && !log) ||
            (log && !LogCutBuilt(ref, ref.logWrites[cut.write - 1]))) {
            continue;
        }
        FileState logState;
        const FileState* state = nullptr;
        if (log) {
            logState = LogCutFiles(ref, ref.logWrites[cut.write - 1], cut.keep);
            state = &logState;
        } else if (ref.fileOpsWhy.empty() && cut.write < ref.stateAfter.size()) {
            state = &ref.fileStates[ref.stateAfter[cut.write]];
        } else {
            r.cls = PointClass::NotChecked;
            r.evidence.push_back("the file state could not be built: " +
                                 (ref.fileOpsWhy.empty() ? std::string("no such file operation") : ref.fileOpsWhy));
        }
        if (state != nullptr) {
            if (!whole.count(state->bus)) {
                std::vector<uint8_t> flash;
                FlashAfter(ref, state->bus, &flash);
                std::vector<std::string> evidence;
                whole[state->bus] = CriticalWhole(ref, flash, &evidence);
            }
            if (whole[state->bus]) {
                const size_t h = HashOf(*state);
                const auto range = first.equal_range(h);
                for (auto it = range.first; it != range.second && (*runs)[i] == i; ++it) {
                    if (SameFiles(*files->of[it->second], *state)) (*runs)[i] = it->second;
                }
                if ((*runs)[i] != i) {
                    files->of[i] = files->of[(*runs)[i]];
                    continue;
                }
                // A log cut's state is kept for its restart (each holds the instrument's files).
                if (log) {
                    files->made.push_back(std::move(logState));
                    state = &files->made.back();
                }
                files->of[i] = state;
                first.emplace(h, i);
                continue;
            }
            std::vector<uint8_t> flash;
            FlashAfter(ref, state->bus, &flash);
            CriticalWhole(ref, flash, &r.evidence);
            r.cls = PointClass::WouldNotStart;
        }
        (*runs)[i] = std::string::npos;
        Announce(announcer, r);
    }
}

}  // namespace sweep
}  // namespace swsim
