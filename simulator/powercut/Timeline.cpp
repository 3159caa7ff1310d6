// The sweep on the instrument's timeline: the flash writing after the
// updater's fixed waits, each image's writing, the window in which a cut
// leaves a critical partition half-written, and the moment of every point
// (the chip's time of the recorded bus writes; a file operation's moment
// where its bus writes place it).
#include "Sweep.h"

#include "InstrumentTime.h"

namespace swsim {
namespace sweep {

namespace {

// What a point was cutting: the log write, or the sector and its phase.
std::string WhereOf(const Reference& ref, const SweepPoint& sweep)
{
    const CutPoint& p = sweep.cut;
    if (p.kind == CutPoint::Log) {
        if (p.write > ref.logWrites.size()) return "beyond the " + std::to_string(ref.logWrites.size()) + " log writes";
        return LogWhere(ref.logWrites[p.write - 1], p.keep);
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
        const int64_t bytes = sweep.erased >= 0 ? sweep.erased : 2 * static_cast<int64_t>(norsim::NorCutErasedWords(p.write));
        text += ", " + std::to_string(bytes) + " bytes erased";
    }
    return text + ")";
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


// The file operation numbered `n` (1-based) of the recording, or null.
const FileOp* OpOf(const Reference& ref, uint64_t n)
{
    return n >= 1 && n <= ref.fileOps.size() ? &ref.fileOps[n - 1] : nullptr;
}

// The file operation a point was cut after: its own for a file point, the
// log write's for a log point (null: none recorded).
const FileOp* PointOp(const Reference& ref, const CutPoint& p)
{
    if (p.kind == CutPoint::File) return OpOf(ref, p.write);
    if (p.kind == CutPoint::Log && p.write >= 1 && p.write <= ref.logWrites.size()) {
        return OpOf(ref, ref.logWrites[p.write - 1].fileOp);
    }
    return nullptr;
}

// The moment of a file operation: where its bus writes place it (before the
// writing, during it, or after the driver restart that follows it). The
// host's work before and after the writing takes no time on the timeline:
// the operations there stand at its start and after the restart, in their
// order (the points' order in the sweep).
double OpMoment(const Reference& ref, const UpdateTimeline& t, const WriteClock& clock, const FileOp& op)
{
    const uint64_t before = op.busWritesBefore;
    const bool onBus = before != 0 && before < ref.plan.writes;
    return LogWriteMoment(t, before, ref.plan.writes, onBus ? clock.At(before + 1) : 0);
}

// What a file point was cutting: the operation done last.
std::string FileWhere(const Reference& ref, uint64_t n)
{
    const FileOp* op = OpOf(ref, n);
    if (op == nullptr) return "file operation " + std::to_string(n) + " (not recorded)";
    return "file operation " + std::to_string(n) + " of " + std::to_string(ref.fileOps.size()) + " done: " +
           FileOpLabel(*op);
}

}  // namespace

// Places the update's writing, the window of the critical partitions, every
// image's writing and every point on the instrument's timeline (the chip's
// time of the recorded bus writes after the updater's fixed waits; a file
// point and a log write at the moment of their file operation).
void PlaceOnTimeline(const Reference& ref, const std::vector<SweepPoint>& sweep, PowercutResult* result)
{
    std::vector<CutPoint> points;
    points.reserve(sweep.size());
    for (const auto& p : sweep) points.push_back(p.cut);
    std::vector<std::pair<uint64_t, uint64_t>> critical, images;
    for (const auto& name : ref.criticalNames) critical.push_back(ImageSpan(ref, name));
    for (const auto& img : ref.images) images.push_back(WritingSpan(ref, TouchedSectors({img}), img.name));
    std::vector<uint64_t> wanted;
    for (const auto& p : points) {
        const FileOp* op = PointOp(ref, p);
        if (op != nullptr) wanted.push_back(op->busWritesBefore + 1);
        else if (p.kind == CutPoint::Flash) wanted.push_back(p.write);
        else if (p.kind == CutPoint::Log && p.write <= ref.logWrites.size()) wanted.push_back(ref.logWrites[p.write - 1].busWritesBefore + 1);
    }
    for (const auto& spans : {critical, images}) {
        for (const auto& span : spans) {
            if (span.first != 0) wanted.insert(wanted.end(), {span.first, span.second + 1});
        }
    }
    wanted.push_back(ref.plan.writes + 1);  // the end of the writing
    const WriteClock clock = MakeWriteClock(ref.bus, wanted);

    const UpdateTimeline t = TimelineOf(clock.At(ref.plan.writes + 1), ref.countedSeconds, ref.mediumChecks);
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
        r.where = points[i].kind == CutPoint::File ? FileWhere(ref, points[i].write) : WhereOf(ref, sweep[i]);
        const FileOp* op = PointOp(ref, points[i]);
        if (op != nullptr) {
            r.seconds = OpMoment(ref, t, clock, *op);
        } else if (points[i].kind == CutPoint::Flash) {
            r.seconds = t.flashFrom + clock.At(std::min(points[i].write, ref.plan.writes + 1));
        } else if (points[i].kind == CutPoint::Log && points[i].write <= ref.logWrites.size()) {
            const uint64_t before = ref.logWrites[points[i].write - 1].busWritesBefore;
            const bool onBus = before != 0 && before < ref.plan.writes;
            r.seconds = LogWriteMoment(t, before, ref.plan.writes, onBus ? clock.At(before + 1) : 0);
        }
    }
}

}  // namespace sweep
double BootWindowOfRun(const StatePaths& state, const RunFacts& facts, std::vector<norsim::BusAccess> bus,
                       std::string* why)
{
    sweep::Reference ref;
    ref.bus = std::move(bus);
    if (sweep::WritingOf(state, facts, &ref, why) != 0) return -1;
    for (size_t i = 0; i < ref.images.size(); ++i) {
        if (ref.images[i].startKiB != 0) continue;
        ref.criticalNames.push_back(ref.images[i].name);
        ref.criticalImages.push_back(i);
        ref.criticalSectors.push_back(TouchedSectors({ref.images[i]}));
    }
    if (ref.criticalNames.empty()) return 0;
    PowercutResult result;
    sweep::PlaceOnTimeline(ref, {}, &result);
    return result.windowSeconds;
}

}  // namespace swsim
