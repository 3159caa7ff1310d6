// The sweep's reference: the update run once without a cut, its facts read
// once (the flash writing replayed with the bus recorded), the record log
// library's writes, the critical partitions, and the instrument a cut
// during the flash writing leaves.
#include "Sweep.h"

#include <cmath>

#include "RunFacts.h"
#include "SimFiles.h"
#include "SimLogs.h"
#include "SimMedium.h"
#include "SimClock.h"
#include "SimRun.h"
#include "SimState.h"

namespace swsim {
namespace sweep {

// The images a run wrote (from its facts, their bytes from its /tmp), the
// bus plan and each sector's writing of its recorded bus, and its counted
// duration. Returns 0, or 1 with the reason (an image gone from /tmp).
int WritingOf(const StatePaths& r, const RunFacts& facts, Reference* ref, std::string* why)
{
    for (const auto& image : facts.flash.images) {
        WrittenImage img;
        img.name = image.name;
        img.startKiB = static_cast<int>(image.start / 1024);
        if (!ReadBytes(HostPathOf(r, image.name), &img.bytes)) {
            *why = "the image " + image.name + " the update wrote is not in " + r.tmp();
            return 1;
        }
        ref->images.push_back(std::move(img));
    }
    ref->plan = PlanFromBus(ref->bus);
    // The update's duration as the run's facts count it (its pauses, the
    // chip's busy time over the operations replayed, the updater's CPU
    // time), not read off its clock, so that a busy host does not move the
    // window's share; the timeline's model where the pauses could not be
    // counted.
    const RunTiming& timing = facts.timing;
    ref->countedSeconds = timing.rebooted && timing.duration.known ? timing.duration.seconds : -1;
    ref->mediumChecks = timing.mediumChecks;
    for (const auto& img : ref->images) {
        for (int s : TouchedSectors({img})) ref->sectorImage[s] = img.name;
    }
    ref->writing = PlanWriting(ref->bus, ref->images);
    return 0;
}

// The reference: the update once without a cut on a copy, its log writes
// recorded; its facts read once, the flash writing replayed with the bus
// recorded.
int MakeReference(const PowercutOptions& o, const std::string& work, Reference* ref, std::string* why,
                  JobSlots* slots)
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
    const std::string logWritesFile = work + "/reference-log-writes.txt";
    const std::string fileOpsFile = work + "/reference-file-ops.txt";
    std::string output;
    int status;
    {
        // One run among the sweeps' runs at once.
        const SlotHeld slot(slots);
        status = SwsimReferenceRun(o, refDir, logWritesFile, fileOpsFile,
                                   o.runLimitSeconds * DefaultRunSpeedHere(),  // in simulated seconds
                                   &output);
    }
    // The run's own lines (the start-up's) go to a file, not among the
    // report (nor among another instrument's, prepared beside it).
    WriteText(work + "/reference-output.txt", output, 0644);
    if (status == kPowercutNoRoot) {
        *why = output;
        return 2;
    }
    if (status != 0) {
        *why = "the reference run failed (status " + std::to_string(status) + "): " + output;
        return 1;
    }
    RunFacts facts;
    if (BuildRunFacts(r, &facts, why, &ref->bus) != 0) return 1;
    const Outcome outcome = facts.outcome;
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
    ref->logWrites = ReadLogWrites(logWritesFile);
    if (!ReadBytes(b.flash(), &ref->before) || !ReadBytes(r.flash(), &ref->done) || ref->before.size() != kFlashSize ||
        ref->done.size() != kFlashSize) {
        *why = "the flash of " + r.root + " is missing or not 16 MiB";
        return 1;
    }
    if (!facts.flash.missingImages.empty()) {
        *why = "the image " + facts.flash.missingImages.front() + " the update wrote is not in " + r.tmp();
        return 1;
    }
    if (!facts.replay.done || !facts.replay.matchesFlash) {
        *why = facts.replay.done ? "the replay of the update's writing does not give the flash the run left"
                                 : "the replay of the update's writing failed: " + facts.replay.why;
        return 1;
    }
    if (WritingOf(r, facts, ref, why) != 0) return 1;
    ref->entries = EntriesOf(r);
    ref->installed = InstalledFiles(r.instrumentData());
    ref->history = HistoryOf(b, r);
    ref->removedData = RemovedDataOf(b, r);
    MarkLogChanges(b, r, &ref->logWrites);
    ReadFileRecording(work, fileOpsFile, ref);
    return 0;
}

namespace {

// Each log write's operation in the file recording: the updater's writes of
// the same file, offset and length, in the same order.
void MatchLogWrites(Reference* ref)
{
    size_t at = 0;
    for (auto& w : ref->logWrites) {
        for (size_t n = at; n < ref->fileOps.size(); ++n) {
            const FileOp& op = ref->fileOps[n];
            if (op.op == "write" && op.path == "/instrumentData/" + w.file && op.offset == w.offset && op.size == w.size) {
                w.fileOp = op.number;
                at = n + 1;
                break;
            }
        }
    }
}

}  // namespace

// The reference run's file operations, the files as the updater found them
// (the instrument's, with what the start-up unpacked from file0 in /tmp)
// and the distinct states the operations leave.
void ReadFileRecording(const std::string& work, const std::string& recording, Reference* ref)
{
    ref->fileOps = ReadFileOps(recording);
    MatchLogWrites(ref);
    MarkLogRuns(ref->fileOps, &ref->logWrites);
    if (ref->fileOps.empty()) {
        ref->fileOpsWhy = "no file operation of the reference run was recorded (no recorder can be preloaded here)";
        return;
    }
    const std::string tmp = work + "/startup-tmp";
    std::string output, why;
    if (!MakeDirs(tmp, &why) ||
        RunProgram({"tar", "--gunzip", "-xf", StatePaths(ref->base).usbdongle() + "/file0", "-C", tmp}, &output, &why) != 0) {
        ref->fileOpsWhy = "file0 cannot be unpacked as the start-up does: " + why + output;
        return;
    }
    ref->startTree = TreeOf(ref->base, tmp);
    RemoveTree(tmp);
    MakeFileStates(ref);
}

// The instrument as a cut during the flash writing leaves it. The updater is
// cut for real at the writing's first bus write, its first erase confirm,
// its first word program and its last bus write: each must leave the flash
// that CutFlash builds. The files are those the recorded file operations
// made before the cut's bus write leave (ref->flashFiles); without a
// recording, those of the first real cut, when the last leaves the same
// (else every flash point is cut for real, one by one).
void MakeFlashRoot(const PowercutOptions& o, const std::string& work, Reference* ref, JobSlots* slots)
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
    std::vector<RunResult> runs(roots.size());
    ForEachPoint(o.jobs, roots.size(), [&](int, size_t i) {
        std::string why, output;
        std::vector<uint8_t> flash, built;
        const std::string& root = roots[i];
        MaterializeCut(ref->before, ref->done, states[i], &built, nullptr);
        const bool same = CopyInstrument(ref->base, root, &why) == 0 &&
                          SwsimRun(o, root, "flash:" + std::to_string(cuts[i]), &runs[i], &output) == 0 &&
                          runs[i].PowerCutHappened() && ReadBytes(StatePaths(root).flash(), &flash) &&
                          flash == built;
        agree[i] = same ? 1 : 0;
    }, slots);
    const bool same = std::find(agree.begin(), agree.end(), 0) == agree.end();
    if (same && ref->fileOpsWhy.empty()) {
        ref->flashFiles = true;
    } else if (same && FilesOf(roots.front()) == FilesOf(roots.back())) {
        ref->flashRoot = work + "/flash-root";
        std::rename(roots.front().c_str(), ref->flashRoot.c_str());
    }
    // Every point writes its own flash: copying this one first is waste.
    if (!ref->flashRoot.empty()) std::remove(StatePaths(ref->flashRoot).flash().c_str());
    for (const auto& root : roots) RemoveTree(root);
}

// The boot region and the critical partitions. The instrument boots from
// the flash's start: the region from address 0 to the end of the boot image
// (the map's lowest partition, wherever its line places it) is critical
// whichever line writes into it. The boot image, when the update writes it,
// leads the critical partitions, then those named; each goes into the
// reference with its sectors. Naming a partition the update does not write
// (or an empty name) is a usage error: the sweep would answer for a
// partition it never cuts.
int ChooseCritical(const PowercutOptions& o, const std::string& work, Reference* ref,
                   std::vector<std::string>* critical, std::string* why)
{
    const std::string mapText = ReadTextOr(work + "/reference/tmp/flashMap", "");
    std::set<std::string> mapNames;
    const MapLine* boot = nullptr;
    const std::vector<MapLine> lines = ParseFlashMap(mapText);
    for (const auto& line : lines) {
        if (line.kind != MapLine::Partition) continue;
        mapNames.insert(line.partition);
        if (line.valid && line.startKiB >= 0 && (boot == nullptr || line.startKiB < boot->startKiB)) boot = &line;
    }
    std::vector<std::string> names;
    if (boot != nullptr) {
        ref->bootName = boot->partition;
        const uint64_t start = static_cast<uint64_t>(boot->startKiB) * 1024;
        uint64_t size = 0;
        const auto written = std::find_if(ref->images.begin(), ref->images.end(),
                                          [&](const WrittenImage& img) { return img.name == boot->partition; });
        if (written != ref->images.end()) {
            size = written->bytes.size();
            names.push_back(boot->partition);
            ref->bootCritical = true;
        } else {
            // Kept: its image as delivered tells how far it reaches.
            const off_t delivered = FileSizeOf(HostPathOf(StatePaths(ref->referenceDir), boot->partition));
            size = delivered > 0 ? static_cast<uint64_t>(delivered) : 0;
        }
        ref->bootEnd = std::min<uint64_t>(start + size, kFlashSize);
    }
    for (const auto& name : o.critical) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    for (const auto& name : names) {
        size_t index = ref->images.size();
        for (size_t i = 0; i < ref->images.size(); ++i) {
            if (ref->images[i].name == name) index = i;
        }
        if (index == ref->images.size()) {
            *why = name.empty() ? std::string("--critical needs the name of a partition the update writes")
                   : mapNames.count(name) ? "--critical " + name + ": the update keeps this partition, it does not write it"
                                          : "--critical " + name + ": the update's flash map names no such partition";
            return kPowercutUsage;
        }
        critical->push_back(name);
        ref->criticalNames.push_back(name);
        ref->criticalImages.push_back(index);
        std::set<int> sectors = TouchedSectors({ref->images[index]});
        // The boot image's sectors reach down to address 0.
        if (ref->bootCritical && ref->criticalNames.size() == 1) {
            for (uint64_t a = 0; a < ref->bootEnd; a += kSectorSize) sectors.insert(static_cast<int>(a / kSectorSize));
        }
        ref->criticalSectors.push_back(std::move(sectors));
    }
    return 0;
}

// The files of /instrumentData `dir` but the logs, with their content.
std::map<std::string, std::string> InstalledFiles(const std::string& dir)
{
    auto files = FilesOf(dir);
    for (const auto& spec : InstrumentLogs()) files.erase(spec.name);
    return files;
}

}  // namespace sweep
}  // namespace swsim
