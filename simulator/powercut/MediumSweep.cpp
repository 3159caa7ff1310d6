// The sweep of a medium as it goes onto the stick: its packages on every
// instrument of the fleet (check's fleet file or its default fleet) that
// installs it, each instrument swept as a state directory of its own would
// be; instruments that are the same (the same flash and files) share one
// sweep. A shard takes every N-th (instrument, point) pair.
#include "Sweep.h"

#include <chrono>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "Locations.h"
#include "UpgradePath.h"
#include "SimShards.h"
#include "MediumCheck.h"
#include "SimFiles.h"
#include "SimMedium.h"
#include "SimState.h"

namespace swsim {

using namespace sweep;

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// An instrument of the fleet that installs the medium.
struct Kind {
    FleetInstrument inst;
    std::string state;
    InstrumentSweep sweep;
    size_t sameAs = kNone;        // the earlier instrument whose sweep this one's is
    std::vector<size_t> share;    // its points in this shard (indexes into the sweep's points)
    PowercutResult result;
};

// The work directory: the one named (a directory of this sweep inside it),
// else a fresh scratch directory (NewScratchDir), removed at the end.
struct MediumWork {
    std::string path;
    bool scratch = false;
    MediumWork(const MediumWork&) = delete;
    MediumWork& operator=(const MediumWork&) = delete;
    MediumWork() = default;
    ~MediumWork()
    {
        if (scratch && !path.empty()) RemoveTree(path);
    }
    bool Make(const PowercutOptions& o, std::string* why)
    {
        if (o.workDir.empty()) {
            path = NewScratchDir("swsim-powercut", why);
            scratch = !path.empty();
            return scratch;
        }
        const std::string shard =
            o.shards > 1 ? "-shard-" + std::to_string(o.shard) + "-of-" + std::to_string(o.shards) : "";
        path = AbsolutePath(o.workDir) + "/powercut-medium" + shard;
        return RemoveTree(path, why) && MakeDirs(path, why);
    }
};

// The fleet: the fleet file's instruments, else check's default fleet
// around the medium's version. Returns 0, kPowercutUsage for a fleet file
// that cannot be read, kPowercutNoAnswer for a medium without a version.
int ReadFleet(const PowercutOptions& o, const MediumFacts& facts, const std::string& work, const FleetOptions& fo,
              std::vector<FleetInstrument>* fleet, std::string* why)
{
    if (!o.fleetFile.empty()) {
        std::string text;
        if (!ReadText(o.fleetFile, &text)) {
            *why = "cannot read the fleet file " + o.fleetFile;
            return kPowercutUsage;
        }
        if (!ParseFleet(text, fleet, why)) {
            *why = o.fleetFile + ": " + *why;
            return kPowercutUsage;
        }
        // Instruments from service are made once, as the check makes them.
        const int dumps = PrepareDumps(DirOf(AbsolutePath(o.fleetFile)), work, fleet, why);
        if (dumps == kFleetDumpWrong) {
            *why = o.fleetFile + ": " + *why;
            return kPowercutUsage;
        }
        if (dumps != 0) return kPowercutNoAnswer;
        if (fleet->empty()) {
            *why = o.fleetFile + " names no instrument";
            return kPowercutUsage;
        }
    }
    std::vector<Finding> findings;
    // The default fleet is placed around the version the upgrade path leaves.
    if (!ChooseFleet(facts, fleet, &findings, fo.previous.empty() ? "" : fo.previous.back().version)) {
        *why = findings.empty() ? std::string("the medium has no fleet") : findings.back().what;
        return kPowercutNoAnswer;
    }
    return 0;
}

// The fleet line of an instrument without its name: instruments with the
// same keys are made alike.
std::string KeysOf(const FleetInstrument& inst)
{
    const std::string line = FleetLine(inst);
    return line.substr(line.find(' '));
}

// Whether two instruments hold the same flash and the same files.
bool SameInstrument(const std::string& a, const std::string& b)
{
    std::vector<uint8_t> fa, fb;
    return ReadBytes(StatePaths(a).flash(), &fa) && ReadBytes(StatePaths(b).flash(), &fb) && fa == fb &&
           FilesOf(a) == FilesOf(b);
}

// The instruments of the fleet that install the medium, made under `work`
// (one described as an earlier one is a copy of it); the others into
// result->skipped. Returns 0, or kPowercutNoAnswer with the reason.
int MakeKinds(const MediumFacts& facts, const std::vector<FleetInstrument>& fleet, const std::string& work,
              const FleetOptions& fo, std::vector<Kind>* kinds, MediumPowercutResult* result, std::string* why)
{
    for (const auto& inst : fleet) {
        result->fleet.push_back(FleetLine(inst));
        if (!FleetInstalls(facts, inst)) {
            result->skipped.push_back({inst.name, "it refuses the medium (" + Trimmed(facts.versionText) +
                                                      " is not compatible with " + inst.running + ")"});
            continue;
        }
        Kind k;
        k.inst = inst;
        k.state = work + "/" + inst.name;
        const auto like = std::find_if(kinds->begin(), kinds->end(),
                                       [&](const Kind& other) { return KeysOf(other.inst) == KeysOf(inst); });
        std::string failed;
        const int rc = like != kinds->end() ? CopyInstrument(like->state, k.state, why)
                                            : CreateFleetInstrument(facts, inst, k.state, fo, nullptr, &failed, why);
        if (rc == kPathNotInstalled) {
            *why = inst.name + ": " + failed;
            return kPowercutNoAnswer;
        }
        if (rc != 0) {
            *why = "could not make the instrument " + inst.name + ": " + *why;
            return kPowercutNoAnswer;
        }
        for (size_t j = 0; j < kinds->size() && k.sameAs == kNone; ++j) {
            if ((*kinds)[j].sameAs == kNone && SameInstrument((*kinds)[j].state, k.state)) k.sameAs = j;
        }
        kinds->push_back(std::move(k));
    }
    if (kinds->empty()) {
        *why = "no instrument of the fleet installs the medium";
        return kPowercutNoAnswer;
    }
    return 0;
}

// The options of one instrument's sweep; its progress names the instrument.
PowercutOptions KindOptions(const PowercutOptions& o, const Kind& k)
{
    PowercutOptions ko = o;
    ko.state = k.state;
    ko.workDir.clear();
    ko.medium.clear();
    ko.fleetFile.clear();
    if (o.onPointDone) {
        const std::string name = k.inst.name;
        ko.onPointDone = [name, hook = o.onPointDone](size_t done, size_t total, const PointResult& r) {
            PointResult shown = r;
            shown.where = name + ", " + r.where;
            hook(done, total, shown);
        };
    }
    return ko;
}

// The points of the sweep of `all` (run once for the instrument and those
// that share its sweep) that are `k`'s share, concluded.
PowercutResult ShareOf(const Kind& k, const Kind& base, const PowercutResult& all)
{
    PowercutResult r = all;
    r.kind = k.inst.name;
    r.state = k.state;
    r.points.clear();
    const std::set<size_t> mine(k.share.begin(), k.share.end());
    const std::set<size_t> theirs(base.share.begin(), base.share.end());
    for (const auto& p : all.points) {
        if (!mine.count(p.point.sequence)) continue;
        r.points.push_back(p);
        // The same cut state of the instrument it shares with, reported there.
        if (&k != &base && theirs.count(p.point.sequence)) {
            r.points.back().sameStateAs = SweepId(p.point) + " on " + base.inst.name;
        }
    }
    Conclude(base.sweep.representativeOf, &r);
    return r;
}

// The points of the instrument `b` and of those that share its sweep, run
// once, then each one's share of them concluded; its wall time added to
// *seconds.
void RunBase(const PowercutOptions& o, size_t b, std::vector<Kind>* kinds, double* seconds)
{
    Kind& base = (*kinds)[b];
    std::set<size_t> run(base.share.begin(), base.share.end());
    for (const auto& k : *kinds) {
        if (k.sameAs == b) run.insert(k.share.begin(), k.share.end());
    }
    const auto began = std::chrono::steady_clock::now();
    base.sweep.result.shard = o.shard;
    base.sweep.result.shards = o.shards;
    RunShare(KindOptions(o, base), std::vector<size_t>(run.begin(), run.end()), &base.sweep);
    *seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    for (size_t j = b; j < kinds->size(); ++j) {
        Kind& k = (*kinds)[j];
        if (j != b && k.sameAs != b) continue;
        k.result = ShareOf(k, base, base.sweep.result);
        k.result.wallSeconds = j == b ? *seconds : 0;
    }
}

}  // namespace

int RunMediumPowercut(const PowercutOptions& o, MediumPowercutResult* result, std::string* why)
{
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<SweepPoint> replay;
    if (!ParseReplay(o, &replay, why)) return kPowercutUsage;
    MediumWork work;
    if (!work.Make(o, why)) return kPowercutNoAnswer;
    MediumFacts facts;
    std::vector<Finding> findings;
    if (CheckMediumStatic(o.medium, work.path + "/unpacked", &facts, &findings, why) != 0) return kPowercutNoAnswer;
    // The upgrade path, read as the check reads it; its media install with
    // the run limit of the sweep's runs.
    FleetOptions fo;
    fo.selfExe = o.selfExe;
    fo.runLimitSeconds = o.runLimitSeconds;
    if (ReadPreviousMedia(o.previous, work.path, &fo.previous, why) != 0) return kPowercutNoAnswer;
    std::vector<FleetInstrument> fleet;
    int rc = ReadFleet(o, facts, work.path, fo, &fleet, why);
    if (rc != 0) return rc;
    for (const auto& p : fo.previous) {
        result->previous.push_back(MediumDigest(p.dir));
        result->previousVersions.push_back(p.version);
    }
    result->medium = facts.medium;
    result->mediumDigest = MediumDigest(facts.medium);
    result->fleetSource = o.fleetFile.empty() ? "default" : o.fleetFile;
    result->shard = o.shard;
    result->shards = o.shards;
    std::vector<Kind> kinds;
    rc = MakeKinds(facts, fleet, work.path, fo, &kinds, result, why);
    if (rc != 0) return rc;

    // The instruments are prepared side by side (each one's reference run a
    // process of its own, holding one of the slots), then the points of all
    // of them run together, at most --jobs runs at once in all, so that no
    // core waits for the last points of one instrument before the next
    // one's start. The shares of a shard need every instrument's points.
    std::vector<double> seconds(kinds.size(), 0);
    JobSlots slots(o.jobs);
    std::mutex heard;
    PowercutOptions po = o;
    if (o.onPointDone) {
        po.onPointDone = [&heard, hook = o.onPointDone](size_t done, size_t total, const PointResult& r) {
            const std::lock_guard<std::mutex> lock(heard);
            hook(done, total, r);
        };
    }
    std::vector<int> prepared(kinds.size(), 0);
    std::vector<std::string> failed(kinds.size());
    std::vector<std::thread> preparing;
    for (size_t i = 0; i < kinds.size(); ++i) {
        if (kinds[i].sameAs != kNone) continue;
        preparing.emplace_back([&, i] {
            Kind& k = kinds[i];
            const auto began = std::chrono::steady_clock::now();
            k.sweep.work = StatePaths(k.state).sim() + "/powercut";
            k.sweep.slots = &slots;
            prepared[i] = MakeDirs(k.sweep.work, &failed[i])
                              ? PrepareInstrument(KindOptions(po, k), replay, &k.sweep, &failed[i])
                              : kPowercutNoAnswer;
            seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        });
    }
    for (auto& t : preparing) t.join();
    for (size_t i = 0; i < kinds.size(); ++i) {
        if (prepared[i] != 0) {
            *why = kinds[i].inst.name + ": " + failed[i];
            return prepared[i];
        }
    }
    size_t pair = 0;  // the (instrument, point) pairs in fleet order; a shard takes every N-th
    for (size_t i = 0; i < kinds.size(); ++i) {
        Kind& k = kinds[i];
        const size_t count = kinds[k.sameAs == kNone ? i : k.sameAs].sweep.points.size();
        for (size_t p = 0; p < count; ++p, ++pair) {
            if (InShard(pair, o.shard, o.shards)) k.share.push_back(p);
        }
    }
    std::vector<std::thread> running;
    for (size_t b = 0; b < kinds.size(); ++b) {
        if (kinds[b].sameAs == kNone) running.emplace_back([&, b] { RunBase(po, b, &kinds, &seconds[b]); });
    }
    for (auto& t : running) t.join();
    for (auto& k : kinds) result->kinds.push_back(std::move(k.result));
    ConcludeMedium(result);
    result->wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 0;
}

int MergeMediumPowercut(const std::vector<std::string>& parts, MediumPowercutResult* result, std::string* why)
{
    if (parts.empty()) {
        *why = "--merge needs the JSON reports of the shards";
        return kPowercutUsage;
    }
    std::vector<MediumPowercutResult> read(parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string text;
        if (!ReadText(parts[i], &text)) {
            *why = parts[i] + ": cannot be read";
            return kPowercutNoAnswer;
        }
        if (!IsMediumPowercutJson(text)) {
            *why = parts[i] + " is a part of one instrument's sweep, " + parts[0] +
                   " of a medium's sweep over a fleet: not parts of the same sweep";
            return kPowercutUsage;
        }
        try {
            nlohmann::json::parse(text).get_to(read[i]);
        } catch (const std::exception& e) {
            *why = parts[i] + ": not a power-cut report: " + e.what();
            return kPowercutNoAnswer;
        }
    }
    const MediumPowercutResult& first = read.front();
    const auto list = [](const std::vector<std::string>& v) {
        std::string text;
        for (const auto& item : v) text += (text.empty() ? "" : "; ") + item;
        return text;
    };
    for (size_t i = 1; i < read.size(); ++i) {
        const MediumPowercutResult& r = read[i];
        std::string difference;
        if (r.mediumDigest != first.mediumDigest) difference = "medium " + r.mediumDigest + " against " + first.mediumDigest;
        else if (r.fleet != first.fleet) difference = "fleet " + list(r.fleet) + " against " + list(first.fleet);
        else if (r.previous != first.previous) {
            difference = "upgrade path " + (r.previous.empty() ? std::string("none") : list(r.previous)) + " against " +
                         (first.previous.empty() ? std::string("none") : list(first.previous));
        } else if (r.shards != first.shards) {
            difference = "shards " + std::to_string(r.shards) + " against " + std::to_string(first.shards);
        } else if (r.kinds.size() != first.kinds.size()) {
            difference = std::to_string(r.kinds.size()) + " instruments swept against " + std::to_string(first.kinds.size());
        }
        if (!difference.empty()) {
            *why = parts[i] + " is not a part of the same sweep as " + parts[0] + ": " + difference;
            return kPowercutUsage;
        }
    }
    *result = first;
    result->kinds.clear();
    result->wallSeconds = 0;
    for (size_t k = 0; k < first.kinds.size(); ++k) {
        std::vector<PowercutResult> kindParts;
        for (const auto& r : read) {
            kindParts.push_back(r.kinds[k]);
            result->wallSeconds = std::max(result->wallSeconds, r.wallSeconds);
        }
        PowercutResult joined;
        const int rc = JoinShards(parts, kindParts, &joined, why);
        if (rc != 0) return rc;
        result->kinds.push_back(std::move(joined));
    }
    result->shard = result->shards = 1;
    ConcludeMedium(result);
    return 0;
}

}  // namespace swsim
