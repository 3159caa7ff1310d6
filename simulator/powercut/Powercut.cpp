// swsim powercut put together: the work directory, the reference and the
// points prepared, the timeline, the points run, the verdict; and the
// shards of a sweep merged into the report of the whole.
#include "Sweep.h"

#include <chrono>
#include <cstdio>

#include "SimFiles.h"
#include "SimShards.h"
#include "SimState.h"

namespace swsim {

using namespace sweep;

namespace {

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
            std::string* why)
{
    int rc = MakeReference(o, work, ref, why);
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
        if (InShard(i, o.shard, o.shards)) share.push_back((*points)[i]);
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
    const int rc = Prepare(o, work.path, replay, &ref, result, &points, &representativeOf, why);
    work.End(rc != kPowercutUsage);
    if (rc != 0) return rc;

    result->state = s.root;
    result->seed = o.seed;
    result->busWrites = ref.plan.writes;
    result->logWrites = ref.logWrites.size();
    PlaceOnTimeline(ref, points, result);
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
    std::vector<int> shards;
    for (size_t i = 0; i < read.size(); ++i) {
        const PowercutResult& r = read[i];
        if (r.state != first.state || r.mode != first.mode || r.seed != first.seed || r.shards != first.shards ||
            r.busWrites != first.busWrites || r.logWrites != first.logWrites || r.critical != first.critical) {
            *why = parts[i] + " is not a shard of the same sweep as " + parts[0];
            return kPowercutUsage;
        }
        shards.push_back(r.shard);
    }
    if (!ShardsComplete(parts, shards, first.shards, why)) return kPowercutUsage;
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

}  // namespace swsim
