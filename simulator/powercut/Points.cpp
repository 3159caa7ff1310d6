// The points of a sweep: the seeded choice over the run's writes, one for
// every distinct cut state (with points drawn inside the classes to check
// them), and the ids given on the command line checked against the run.
#include "Sweep.h"

#include <random>

namespace swsim {
namespace sweep {

// The seeded choice of points: a tenth of them (at least one) on the record
// log writes, a fifth of those on entries; a tenth on the recorded file
// operations (but the log writes', which the log points stand for); the
// rest on the bus writes.
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
    const std::vector<uint64_t> ops = FilePointOps(ref);
    std::set<uint64_t> files;
    const size_t filePoints = ops.empty() ? 0 : std::min<size_t>(ops.size(), static_cast<size_t>(o.points / 10));
    while (files.size() < filePoints) files.insert(ops[random() % ops.size()]);
    for (uint64_t n : files) {
        SweepPoint p;
        p.cut.kind = CutPoint::File;
        p.cut.write = n;
        points.push_back(p);
    }
    const int flashPoints = std::max(0, o.points - static_cast<int>(logs.size() + files.size()));
    for (uint64_t n : ChoosePoints(o.seed, flashPoints, ref.plan.writes, ref.plan.favoured)) {
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

namespace {

// The file operation after which a log or file point cuts (0: none known),
// and whether it comes before the flash writing.
uint64_t OpOfPoint(const Reference& ref, const SweepPoint& p, bool* early)
{
    uint64_t n = 0;
    if (p.cut.kind == CutPoint::File) n = p.cut.write;
    else if (p.cut.kind == CutPoint::Log && p.cut.write <= ref.logWrites.size()) n = ref.logWrites[p.cut.write - 1].fileOp;
    *early = n >= 1 && n <= ref.fileOps.size() && ref.fileOps[n - 1].busWritesBefore == 0;
    if (p.cut.kind == CutPoint::Log && n == 0 && p.cut.write <= ref.logWrites.size()) {
        *early = ref.logWrites[p.cut.write - 1].busWritesBefore == 0;
    }
    return n;
}

}  // namespace

// The points of the three kinds in the order of the update: the log and file
// points before the flash writing in the order of their file operations,
// the flash points, then the others likewise (many stand at one moment of
// the timeline; the report orders them by their place in the sweep).
std::vector<SweepPoint> InUpdateOrder(const Reference& ref, const std::vector<SweepPoint>& flash,
                                      const std::vector<SweepPoint>& logs, const std::vector<SweepPoint>& files)
{
    std::vector<std::pair<uint64_t, SweepPoint>> early, late;
    for (const auto* kind : {&logs, &files}) {
        for (const auto& p : *kind) {
            bool before = false;
            const uint64_t n = OpOfPoint(ref, p, &before);
            (before ? early : late).push_back({n, p});
        }
    }
    const auto byOp = [](const std::pair<uint64_t, SweepPoint>& a, const std::pair<uint64_t, SweepPoint>& b) {
        return a.first < b.first;
    };
    std::stable_sort(early.begin(), early.end(), byOp);
    std::stable_sort(late.begin(), late.end(), byOp);
    std::vector<SweepPoint> points;
    points.reserve(early.size() + flash.size() + late.size());
    for (const auto& e : early) points.push_back(e.second);
    points.insert(points.end(), flash.begin(), flash.end());
    for (const auto& l : late) points.push_back(l.second);
    return points;
}

// The points of an exhaustive sweep, with `verify` further points drawn
// inside their classes (each naming its representative).
std::vector<SweepPoint> ExhaustivePoints(const PowercutOptions& o, const Reference& ref,
                                         std::map<std::string, std::string>* representativeOf)
{
    std::vector<SweepPoint> points = InUpdateOrder(ref, ExhaustiveFlashPoints(ref.writing),
                                                   ExhaustiveLogPoints(ref.logWrites), ExhaustiveFilePoints(ref));
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

// One point after every file operation of the recording but the record log
// library's writes (the log points log:N:SIZE leave those states), each of
// the class of the first prefix of the recording that leaves its state.
std::vector<uint64_t> FilePointOps(const Reference& ref)
{
    std::set<uint64_t> logOps;
    for (const auto& w : ref.logWrites) logOps.insert(w.fileOp);
    std::vector<uint64_t> ops;
    for (uint64_t n = 1; n <= ref.fileOps.size(); ++n) {
        if (!logOps.count(n)) ops.push_back(n);
    }
    return ops;
}

std::vector<SweepPoint> ExhaustiveFilePoints(const Reference& ref)
{
    std::vector<SweepPoint> points;
    // Without a recording, one point stands for the file operations: it
    // could not be built, and says why.
    std::vector<uint64_t> ops = FilePointOps(ref);
    if (ref.fileOps.empty()) ops = {1};
    for (uint64_t n : ops) {
        SweepPoint p;
        p.cut.kind = CutPoint::File;
        p.cut.write = n;
        if (!ref.fileOpsWhy.empty()) {
            p.cls = "file operations: " + ref.fileOpsWhy;
        } else {
            const size_t first = ref.fileStates[ref.stateAfter[n]].firstOp;
            p.cls = first == 0 ? "the files as the updater found them"
                               : "the files as file operation " + std::to_string(first) + " left them (" +
                                     FileOpLabel(ref.fileOps[first - 1]) + ")";
        }
        points.push_back(p);
    }
    return points;
}

// The ids given: each one a write of the reference run. An id past its
// writes is a usage error.
int CheckIds(const Reference& ref, const std::vector<SweepPoint>& points, std::string* why)
{
    for (const auto& p : points) {
        const CutPoint& c = p.cut;
        const bool flash = c.kind == CutPoint::Flash;
        const uint64_t count = flash ? ref.plan.writes : c.kind == CutPoint::Log ? ref.logWrites.size() : ref.fileOps.size();
        std::string reason;
        if (c.write > count) {
            reason = "the update makes " + std::to_string(count) +
                     (flash ? " flash bus writes" : c.kind == CutPoint::Log ? " log writes" : " file operations");
        } else if (c.kind == CutPoint::Log && c.keep > ref.logWrites[c.write - 1].size) {
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

}  // namespace sweep
}  // namespace swsim
