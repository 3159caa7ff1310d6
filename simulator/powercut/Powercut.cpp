// swsim powercut put together: the work directory, the reference and the
// points prepared, the timeline, the points run, the verdict; and the
// shards of a sweep merged into the report of the whole.
#include "Sweep.h"

#include <chrono>
#include <cstdio>

#include "SimFiles.h"
#include "SimShards.h"
#include "SimMedium.h"
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

}  // namespace

namespace sweep {

bool ParseReplay(const PowercutOptions& o, std::vector<SweepPoint>* replay, std::string* why)
{
    for (const auto& id : o.replay) {
        SweepPoint p;
        if (!ParseSweepId(id, &p, why)) return false;
        replay->push_back(p);
    }
    return true;
}

int PrepareInstrument(const PowercutOptions& o, const std::vector<SweepPoint>& replay, InstrumentSweep* s,
                      std::string* why)
{
    Reference* ref = &s->ref;
    PowercutResult* result = &s->result;
    int rc = MakeReference(o, s->work, ref, why, s->slots);
    if (rc == 2) return kPowercutNoRoot;
    if (rc != 0) return kPowercutNoAnswer;
    rc = ChooseCritical(o, s->work, ref, &result->critical, why);
    if (rc != 0) return rc;
    rc = CheckIds(*ref, replay, why);
    if (rc != 0) return rc;
    auto& points = s->points;
    if (!replay.empty()) points = replay;
    else if (o.exhaustive) points = ExhaustivePoints(o, *ref, &s->representativeOf);
    else points = ChooseCutPoints(o, *ref);
    result->mode = !replay.empty() ? "replay" : o.exhaustive ? "exhaustive" : "sample";
    std::set<std::string> classes;
    for (size_t i = 0; i < points.size(); ++i) {
        points[i].sequence = i;
        if (!points[i].cls.empty() && !s->representativeOf.count(SweepId(points[i]))) classes.insert(points[i].cls);
    }
    result->stateClasses = static_cast<int>(classes.size());
    result->state = StatePaths(o.state).root;
    result->medium = MediumDigest(StatePaths(ref->base).usbdongle());
    result->seed = o.seed;
    result->pointsAsked = o.points;
    result->verifyClasses = o.verifyClasses;
    result->replay = o.replay;
    result->runLimitSeconds = o.runLimitSeconds;
    result->busWrites = ref->plan.writes;
    result->logWrites = ref->logWrites.size();
    return 0;
}

void RunShare(const PowercutOptions& o, const std::vector<size_t>& share, InstrumentSweep* s)
{
    std::vector<SweepPoint> points;
    points.reserve(share.size());
    for (size_t i : share) points.push_back(s->points[i]);
    PlaceOnTimeline(s->ref, points, &s->result);
    // The instrument of a flash cut serves the flash and file points alone.
    if (!points.empty()) MakeFlashRoot(o, s->work, &s->ref, s->slots);
    s->result.statesBuilt = !s->ref.flashRoot.empty() || s->ref.flashFiles;
    MarkDrawn(s->representativeOf, &s->result);  // the drawn points run their own restarts
    RunPoints(o, s->ref, s->work, &s->result, s->slots);
    SortPoints(&s->result);
    Conclude(s->representativeOf, &s->result);
}

// The points in the order of the report: by their moment, then by their
// place in the sweep (the same for a sweep run whole and its shards merged).
void SortPoints(PowercutResult* result)
{
    std::sort(result->points.begin(), result->points.end(), [](const PointResult& a, const PointResult& b) {
        return a.seconds != b.seconds ? a.seconds < b.seconds : a.point.sequence < b.point.sequence;
    });
}

std::string SweepDifference(const PowercutResult& a, const PowercutResult& b)
{
    const auto list = [](const std::vector<std::string>& v) {
        std::string text;
        for (const auto& item : v) text += (text.empty() ? "" : ", ") + item;
        return text.empty() ? std::string("none") : text;
    };
    const auto differ = [](const std::string& what, const std::string& x, const std::string& y) {
        return what + " " + x + " against " + y;
    };
    if (a.medium != b.medium) return differ("medium", a.medium.empty() ? "unnamed" : a.medium, b.medium.empty() ? "unnamed" : b.medium);
    if (a.kind != b.kind) return differ("instrument", a.kind.empty() ? "(a state directory)" : a.kind, b.kind.empty() ? "(a state directory)" : b.kind);
    if (a.state != b.state && a.kind.empty()) return differ("state", a.state, b.state);
    if (a.mode != b.mode) return differ("mode", a.mode, b.mode);
    if (a.seed != b.seed) return differ("--seed", std::to_string(a.seed), std::to_string(b.seed));
    if (a.mode == "sample" && a.pointsAsked != b.pointsAsked) {
        return differ("--points", std::to_string(a.pointsAsked), std::to_string(b.pointsAsked));
    }
    if (a.verifyClasses != b.verifyClasses) {
        return differ("--verify-classes", std::to_string(a.verifyClasses), std::to_string(b.verifyClasses));
    }
    if (a.replay != b.replay) return differ("--replay", list(a.replay), list(b.replay));
    if (a.runLimitSeconds != b.runLimitSeconds) {
        return differ("--run-limit", Fixed(a.runLimitSeconds, 1), Fixed(b.runLimitSeconds, 1));
    }
    if (a.critical != b.critical) return differ("critical partitions", list(a.critical), list(b.critical));
    if (a.shards != b.shards) return differ("shards", std::to_string(a.shards), std::to_string(b.shards));
    if (a.busWrites != b.busWrites || a.logWrites != b.logWrites) {
        return differ("the reference run's writes", std::to_string(a.busWrites) + "+" + std::to_string(a.logWrites),
                      std::to_string(b.busWrites) + "+" + std::to_string(b.logWrites));
    }
    return "";
}

int JoinShards(const std::vector<std::string>& names, const std::vector<PowercutResult>& parts, PowercutResult* result,
               std::string* why)
{
    const PowercutResult& first = parts.front();
    std::vector<int> shards;
    for (size_t i = 0; i < parts.size(); ++i) {
        const PowercutResult& r = parts[i];
        const std::string difference = SweepDifference(r, first);
        if (!difference.empty()) {
            *why = names[i] + " is not a part of the same sweep as " + names[0] + ": " + difference;
            return kPowercutUsage;
        }
        shards.push_back(r.shard);
    }
    if (!ShardsComplete(names, shards, first.shards, why)) return kPowercutUsage;
    *result = first;
    result->points.clear();
    result->wallSeconds = 0;
    std::map<std::string, std::string> representativeOf;
    for (const auto& r : parts) {
        result->wallSeconds = std::max(result->wallSeconds, r.wallSeconds);
        // A shard without points made no instrument to build flash cuts on.
        if (!r.points.empty()) result->statesBuilt = r.statesBuilt;
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

}  // namespace sweep

int RunPowercut(const PowercutOptions& o, PowercutResult* result, std::string* why)
{
    const auto t0 = std::chrono::steady_clock::now();
    const StatePaths s(o.state);
    if (!PathExists(s.marker())) {
        *why = s.root + " holds no simulated instrument (swsim create first)";
        return kPowercutNoAnswer;
    }
    std::vector<SweepPoint> replay;
    if (!ParseReplay(o, &replay, why)) return kPowercutUsage;
    WorkDir work;
    // Shards of one sweep may run at once on the same instrument.
    const std::string shard = o.shards > 1 ? "-shard-" + std::to_string(o.shard) + "-of-" + std::to_string(o.shards) : "";
    work.path = o.workDir.empty() ? s.sim() + "/powercut" + shard : AbsolutePath(o.workDir);
    if (!work.Begin(why)) return kPowercutNoAnswer;
    InstrumentSweep sweep;
    sweep.work = work.path;
    const int rc = PrepareInstrument(o, replay, &sweep, why);
    work.End(rc != kPowercutUsage);
    if (rc != 0) return rc;
    // A shard: every shards-th point of the whole list, from the shard-th on.
    std::vector<size_t> share;
    for (size_t i = 0; i < sweep.points.size(); ++i) {
        if (InShard(i, o.shard, o.shards)) share.push_back(i);
    }
    sweep.result.shard = o.shard;
    sweep.result.shards = o.shards;
    RunShare(o, share, &sweep);
    *result = std::move(sweep.result);
    result->wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return 0;
}

int MergePowercut(const std::vector<std::string>& parts, PowercutResult* result, std::string* why)
{
    std::vector<PowercutResult> read(parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string text;
        if (!ReadText(parts[i], &text)) {
            *why = parts[i] + ": cannot be read";
            return kPowercutNoAnswer;
        }
        if (IsMediumPowercutJson(text)) {
            *why = parts[i] + " is a part of a medium's sweep over a fleet, " + parts[0] +
                   " of one instrument's: not parts of the same sweep";
            return kPowercutUsage;
        }
        if (!PowercutFromJson(text, &read[i], why)) {
            *why = parts[i] + ": " + *why;
            return kPowercutNoAnswer;
        }
    }
    if (read.empty()) {
        *why = "--merge needs the JSON reports of the shards";
        return kPowercutUsage;
    }
    return JoinShards(parts, read, result, why);
}

}  // namespace swsim
