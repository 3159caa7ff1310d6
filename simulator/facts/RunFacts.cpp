#include "RunFacts.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SimFiles.h"
#include "SimFlash.h"
#include "SimLogs.h"
#include "SimMedium.h"
#include "SimReplay.h"
#include "SimState.h"
#include "SwUpdateUtils.h"
#include "TraceTexts.h"

namespace swsim {

namespace {

bool Has(const std::string& text, const std::string& needle)
{
    return text.find(needle) != std::string::npos;
}

bool EndsWith(const std::string& s, const char* tail)
{
    const size_t n = std::strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

void ReadRunRecord(const std::string& run, RunFacts* f)
{
    f->started = RecordValue(run, "started");
    f->answer = RecordValue(run, "answer");
    f->pullAfter = RecordValue(run, "pull-after");
    f->faults = RecordValue(run, "faults");
    f->updaterResult = RecordValue(run, "updater-result");
    f->guiResult = RecordValue(run, "gui-result");
    f->wallSeconds = RecordValue(run, "wall-seconds");
    f->timedOut = RecordValue(run, "timed-out") == "1";
}

// What the trace says the updater decided for one flash map line.
PartitionFact::Decision DecisionOf(const std::string& trace, const std::string& name)
{
    namespace t = tracetext;
    if (Has(trace, t::kInvalidLine + name + " ")) return PartitionFact::Rejected;
    if (Has(trace, t::kPartition + name + t::kPartitionExists)) return PartitionFact::Kept;
    if (!Has(trace, t::kFlashing + name + " @") && !Has(trace, t::kPartition + name + t::kPartitionMissing)) {
        return PartitionFact::NotReached;
    }
    if (Has(trace, t::kFaultEarlier + name + "\"")) return PartitionFact::NotAfterFault;
    if (Has(trace, t::kCannotOpen + name + "\"")) return PartitionFact::CannotOpen;
    return PartitionFact::Written;
}

// Whether the map demands partition `name` written (overwrite YES, or its
// mount directory missing) and the run did not write it: skipped after a
// fault, its image not opened, or not reached by a run that failed or did
// not finish while writing the flash.
bool DemandedNotWritten(const StatePaths& s, const RunFacts& f, const std::string& name)
{
    for (const auto& p : f.partitions) {
        if (p.name != name || !p.valid) continue;
        if (p.decision == PartitionFact::NotAfterFault || p.decision == PartitionFact::CannotOpen) return true;
        const bool stopped = f.outcome == Outcome::FlashFailed || f.outcome == Outcome::Unfinished;
        const std::string mount = HostPathOf(s, p.mountDir);
        if (p.decision == PartitionFact::NotReached && stopped &&
            (IsOverwriteAllowed(p.overwrite.c_str()) == 1 || (!mount.empty() && !PathExists(mount)))) {
            return true;
        }
    }
    return false;
}

// The partitions of the flash map as drawn over the sectors, with the
// decisions taken from the trace. A length comes from the delivered image,
// else from the factory layout, else it reaches the next partition.
std::vector<PartitionBox> BoxesOf(const StatePaths& s, const std::vector<MapLine>& lines, const RunFacts& f)
{
    std::vector<PartitionBox> boxes;
    for (const auto& line : lines) {
        if (line.kind != MapLine::Partition || !line.valid) continue;
        PartitionBox b;
        b.name = line.partition;
        b.start = static_cast<uint32_t>(line.startKiB) * 1024;
        const off_t size = FileSizeOf(HostPathOf(s, line.partition));
        if (size > 0) b.length = static_cast<uint32_t>(std::min<off_t>(size, kFlashSize));
        for (const auto& p : FactoryLayout()) {
            if (b.length == 0 && p.name == b.name) b.length = p.size;
        }
        const auto decided = [&](PartitionFact::Decision d) {
            const auto names = f.PartitionsDecided(d);
            return std::find(names.begin(), names.end(), b.name) != names.end();
        };
        b.decision = decided(PartitionFact::Written)    ? "written"
                     : decided(PartitionFact::Kept)     ? "kept"
                     : decided(PartitionFact::Rejected) ? "rejected"
                                                        : "not written";
        b.kept = b.decision == "kept";
        b.notWritten = DemandedNotWritten(s, f, b.name);
        boxes.push_back(b);
    }
    for (auto& b : boxes) {
        if (b.length != 0) continue;
        uint32_t next = kFlashSize;
        for (const auto& o : boxes) {
            if (o.start > b.start) next = std::min(next, o.start);
        }
        b.length = next > b.start ? next - b.start : 0;
    }
    return boxes;
}

void ReadTrace(const StatePaths& s, const std::string& trace, bool ended, RunFacts* f)
{
    f->outcome = OutcomeOf(trace, ended);
    std::string mapText;
    const bool haveMap = ReadText(s.tmp() + "/flashMap", &mapText);
    f->mapState = MapStateOf(trace, haveMap, mapText);
    const auto traceLines = Lines(trace);
    f->traceLines = static_cast<int>(traceLines.size());
    const auto lines = ParseFlashMap(mapText);
    if (f->mapState == MapState::Present) {
        for (const auto& line : lines) {
            if (line.kind != MapLine::Partition) continue;
            PartitionFact p;
            p.lineNo = line.lineNo;
            p.name = line.partition;
            p.startKiB = line.startKiB;
            p.overwrite = line.overwrite;
            p.mountDir = line.MountDir();
            p.valid = line.valid;
            p.decision = DecisionOf(trace, line.partition);
            f->partitions.push_back(p);
        }
    }
    if (haveMap) f->flash.picture.partitions = BoxesOf(s, lines, *f);
    for (const auto& line : traceLines) {
        const size_t at = line.find(tracetext::kFlashFault);
        if (at != std::string::npos) f->flashFaults.push_back(line.substr(at));
    }
    f->causeLines = CauseLines(trace, f->outcome);
    f->mediumChecks = MediumChecksOf(trace);
    const std::string gui = ReadTextOr(s.guiRecord(), "");
    f->guiLines = Lines(gui);
    f->screens = ScreensOf(gui);
}

// The run's writing replayed on the chip model for its counters (SimReplay.h).
void Replay(const StatePaths& s, const std::vector<FlashAttempt>& attempts, ReplayFacts* r,
            std::vector<norsim::BusAccess>* bus)
{
    std::vector<ReplayImage> images;
    images.reserve(attempts.size());
    for (const auto& a : attempts) images.push_back({HostPathOf(s, a.name), static_cast<long>(a.address / 1024)});
    const std::string faults = PathExists(s.sim() + "/faults.used") ? s.sim() + "/faults.used" : "";
    const ReplayResult replay = ReplayImages(s.flashBefore(), faults, images, s.flash(), bus);
    r->done = replay.done;
    r->why = replay.why;
    if (!replay.done) return;
    const auto& st = replay.stats;
    r->erases = st.erases;
    r->programs = st.programs;
    r->reads = st.reads;
    r->writes = st.writes;
    r->violations = st.violations;
    r->matchesFlash = replay.matchesFlash;
    r->unlocks = static_cast<int>(attempts.size());
    r->estimateSeconds = ChipSeconds(norsim::NorTiming(), {static_cast<double>(st.erases), static_cast<double>(st.programs),
                                                             static_cast<double>(attempts.size()),
                                                             static_cast<double>(st.reads + st.writes)});
}

// The flash after the run, checked once against the images the trace names
// and pictured; its writing replayed.
void ReadFlash(const StatePaths& s, const std::vector<FlashAttempt>& attempts, RunFacts* f,
               std::vector<norsim::BusAccess>* bus)
{
    std::vector<uint8_t> before, after;
    FlashFacts& fl = f->flash;
    fl.present = ReadBytes(s.flashBefore(), &before) && ReadBytes(s.flash(), &after) &&
                 before.size() == kFlashSize && after.size() == kFlashSize;
    std::vector<WrittenImage> images;
    for (const auto& a : attempts) {
        WrittenImage w;
        w.name = a.name;
        w.startKiB = static_cast<int>(a.address / 1024);
        if (!ReadBytes(HostPathOf(s, a.name), &w.bytes)) {
            fl.missingImages.push_back(a.name);
            continue;
        }
        images.push_back(std::move(w));
    }
    if (!fl.present) return;
    const FlashCheck check = CheckFlash(before, after, images);
    for (size_t i = 0; i < check.images.size(); ++i) {
        const auto& img = check.images[i];
        const auto& bytes = images[i].bytes;
        fl.images.push_back({img.name, img.start, img.length, img.holds, img.firstDifference,
                             Crc32(bytes.data(), bytes.size())});
    }
    fl.touchedSectors.assign(check.touched.begin(), check.touched.end());
    fl.changedSectors.assign(check.changedSectors.begin(), check.changedSectors.end());
    fl.restPreserved = check.touchedRestPreserved;
    fl.firstRestDifference = check.firstRestDifference;
    fl.untouchedUnchanged = check.untouchedUnchanged;
    fl.firstUntouchedDifference = check.firstUntouchedDifference;
    const auto boxes = fl.picture.partitions;
    fl.picture = PictureFlash(before, after, images, boxes);
    fl.hasPicture = true;
    Replay(s, attempts, &f->replay, bus);
}

LogFacts LogOf(const StatePaths& s, const LogSpec& spec)
{
    const auto load = [&](const std::string& dir) {
        std::vector<uint8_t> bytes;
        const bool present = ReadBytes(dir + "/" + spec.name, &bytes);
        return DecodeLog(bytes, present, spec);
    };
    const DecodedLog b = load(s.dataBefore()), a = load(s.instrumentData());
    LogFacts l;
    l.name = spec.name;
    l.present = a.present;
    l.lengthOk = a.lengthOk;
    l.size = a.size;
    l.badCrcs = a.badCrcs;
    l.corruptBefore = b.present && (!b.lengthOk || b.badCrcs);
    for (const auto& r : AddedRecords(b, a)) {
        l.added.push_back(DescribeRecord(spec, r));
        if (l.name == "RevHistory.log" && r.info.size() >= 8) {
            l.entries.emplace_back(r.info.begin() + 4, r.info.begin() + 8);
        }
        if (l.name == "Diag.log" && r.info.size() >= 16) {
            int32_t idx = 0;
            std::memcpy(&idx, r.info.data() + 8, 4);
            l.entries.push_back(std::to_string(idx));
        }
    }
    return l;
}

void ReadFiles(const StatePaths& s, RunFacts* f)
{
    f->haveVersionBefore = ReadText(s.dataBefore() + "/swVersion/swVersion", &f->versionBefore);
    f->haveVersion = ReadText(s.instrumentData() + "/swVersion/swVersion", &f->version);
    for (const auto& name : ListDir(s.instrumentData())) {
        if (EndsWith(name, ".crc")) f->crcFiles.push_back({name, ReadTextOr(s.instrumentData() + "/" + name, "")});
    }
    f->extlogBefore = PathExists(s.dataBefore() + "/extlog.dat");
    f->extlogAfter = PathExists(s.instrumentData() + "/extlog.dat");
    for (const auto& spec : InstrumentLogs()) f->logs.push_back(LogOf(s, spec));
    f->corruptCopies = ListDir(s.tmp() + "/CorruptDiagnosticLogs");
    f->backup = ListDir(s.usbdongle() + "/backup");
    f->boardTools = Lines(ReadTextOr(s.boardTools(), ""));
    for (const auto& line : f->boardTools) f->reboot = f->reboot || line.compare(0, 23, "nonblock-realtest_arm o") == 0;
}

}  // namespace

std::string RunFacts::FlashFailure() const
{
    if (outcome != Outcome::FlashFailed) return "";
    return mapState == MapState::Missing ? "no-flash-map" : "flash-write";
}

bool RunFacts::FlashOk() const
{
    if (!flash.present || !flash.missingImages.empty() || mapState == MapState::Missing) return false;
    for (const auto& img : flash.images) {
        if (!img.holds) return false;
    }
    return true;
}

std::string RunFacts::FlashMismatch() const
{
    if (!flash.present) return "";
    std::string text;
    const auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    for (const auto& img : flash.images) {
        if (img.holds) continue;
        std::string how;
        for (const auto& o : flash.picture.overwrites) {
            if (o.image != img.name || o.by.empty()) continue;
            how += (how.empty() ? "" : ", ") + ("overwritten by " + o.by + " in sector" +
                                                (o.sectors.size() == 1 ? " " : "s ") + SectorRanges(o.sectors));
        }
        if (how.empty()) how = "first difference at " + Hex(static_cast<uint64_t>(img.firstDifference));
        add("the flash does not hold " + img.name + " (" + how + ")");
    }
    for (const auto& name : flash.missingImages) add(name + " was not found in /tmp");
    if (!flash.restPreserved || !flash.untouchedUnchanged) add("bytes no image covers changed");
    for (const auto& b : flash.picture.partitions) {
        if (b.notWritten) add(b.name + " was not written although the flash map demands it");
    }
    return text;
}

std::string SectorRanges(const std::vector<int>& sectors)
{
    std::string out;
    for (size_t i = 0; i < sectors.size();) {
        size_t j = i;
        while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) ++j;
        if (!out.empty()) out += ",";
        out += i == j ? std::to_string(sectors[i]) : std::to_string(sectors[i]) + "-" + std::to_string(sectors[j]);
        i = j + 1;
    }
    return out.empty() ? "none" : out;
}

std::vector<std::string> RunFacts::PartitionsDecided(PartitionFact::Decision d) const
{
    std::vector<std::string> names;
    for (const auto& p : partitions) {
        if (p.decision == d) names.push_back(p.name);
    }
    return names;
}

const LogFacts* RunFacts::Log(const std::string& name) const
{
    for (const auto& l : logs) {
        if (l.name == name) return &l;
    }
    return nullptr;
}

int BuildRunFacts(const StatePaths& s, RunFacts* f, std::string* why, std::vector<norsim::BusAccess>* bus)
{
    std::string run;
    if (!ReadText(s.runRecord(), &run)) {
        *why = "no update has been run on " + s.root + " yet (swsim run first)";
        return 1;
    }
    *f = RunFacts();
    f->root = s.root;
    ReadRunRecord(run, f);
    const std::string trace = ReadTextOr(s.trace(), "");
    ReadTrace(s, trace, UpdaterEnded(run), f);
    const auto attempts = FlashAttempts(trace);
    ReadFlash(s, attempts, f, bus);
    ReadFiles(s, f);
    const ReplayFacts& r = f->replay;
    RunCounts counts;
    std::string countsWhy;
    const bool counted = ReadRunCounts(s.root, &counts, &countsWhy);
    if (!counted) counts.waitsWhy = countsWhy;
    f->timing = TimingOf(run, trace,
                         {static_cast<double>(r.erases), static_cast<double>(r.programs),
                          static_cast<double>(r.done ? r.unlocks : 0), static_cast<double>(r.reads + r.writes)},
                         ReadTextOr(s.tmp() + "/estUpdateTime", ""), &counts);
    return 0;
}

double Tenths(double value)
{
    if (value < 0) return -1;
    char text[40];
    std::snprintf(text, sizeof text, "%.1f", value);
    return std::strtod(text, nullptr);
}

}  // namespace swsim
