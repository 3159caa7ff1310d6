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
int MakeReference(const PowercutOptions& o, const std::string& work, Reference* ref, std::string* why)
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
        rc = RunUpdate(refDir, run, o.selfExe, nullptr, why);
    }
    if (rc != 0) return rc;
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
    ref->logWrites = ReadLogWrites(run.logWritesFile);
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
    MarkLogChanges(b, r, &ref->logWrites);
    return 0;
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
    });
    const bool same = std::find(agree.begin(), agree.end(), 0) == agree.end();
    if (same && FilesOf(roots.front()) == FilesOf(roots.back())) {
        ref->flashRoot = roots.front();
        ref->flashRootFile0 = runs.front().inside.file0Names;
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

// The files of /instrumentData `dir` but the logs, with their content.
std::map<std::string, std::string> InstalledFiles(const std::string& dir)
{
    auto files = FilesOf(dir);
    for (const auto& spec : InstrumentLogs()) files.erase(spec.name);
    return files;
}

}  // namespace sweep
}  // namespace swsim
