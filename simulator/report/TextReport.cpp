// The text report and sim/summary.txt: renderers of a run's facts.
#include "SimReport.h"

#include <cstdio>
#include <sstream>

#include "SimFiles.h"
#include "InstrumentTime.h"
#include "SimMedium.h"
#include "SimState.h"
#include "SwUpdateUtils.h"

namespace swsim {

namespace {

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

const char* YesNo(bool b)
{
    return b ? "yes" : "no";
}

std::string Joined(const std::vector<std::string>& items, const char* sep)
{
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : sep) + i;
    return out;
}

std::string SectorList(const std::vector<int>& sectors)
{
    return SectorRanges(sectors);
}

std::string FirstDifference(bool ok, int64_t at)
{
    return ok ? "" : " (first difference at " + Hex(static_cast<uint64_t>(at)) + ")";
}


// "Diag" of "Diag.log": the summary's key part of a log's name.
std::string LogKey(const std::string& name)
{
    return name.substr(0, name.find('.'));
}

std::string DecisionText(const PartitionFact& p)
{
    const std::string reason =
        IsOverwriteAllowed(p.overwrite.c_str()) == 1 ? "overwrite YES" : p.mountDir + " does not exist";
    switch (p.decision) {
    case PartitionFact::Rejected: return "rejected (not a valid flash instruction)";
    case PartitionFact::Kept: return "kept (" + p.mountDir + " exists)";
    case PartitionFact::NotAfterFault: return "to be written (" + reason + "), not written after the flash fault";
    case PartitionFact::CannotOpen: return "to be written (" + reason + "), but the image could not be opened";
    case PartitionFact::Written: return "written (" + reason + ")";
    case PartitionFact::NotReached: break;
    }
    return "not reached";
}

}  // namespace

std::string MediumTakenOut(const RunFacts& f)
{
    if (f.answer == "interactive" || f.answer == "web") return "medium taken out by the user";
    if (f.pullAfter == "never") return "medium never taken out";
    return "medium taken out " + f.pullAfter + " s after it was asked for";
}

namespace {

void Head(const RunFacts& f, std::ostringstream& out)
{
    out << "Update run on the simulated instrument " << f.root << "\n";
    out << "  started " << f.started << ", answer " << f.answer << ", " << MediumTakenOut(f)
        << ", flash faults: " << (f.faults.empty() ? "none" : f.faults) << "\n\n";
    const RunHeadline headline = HeadlineOf(f);
    out << "Outcome: " << headline.outcome << headline.caveat << "; updater " << f.updaterResult
        << (f.timedOut ? " (stopped after the time limit)" : "") << "\n";
    if (!f.causeLines.empty()) {
        out << (f.outcome == Outcome::Unfinished ? "The trace's last lines:\n" : "Cause in the trace:\n");
        for (const auto& line : f.causeLines) out << "  " << line << "\n";
    }
    const StatePaths s(f.root);
    out << "\nStart-up GUI (" << s.guiRecord() << "), " << f.guiResult << ":\n";
    for (const auto& line : f.guiLines) out << "  " << line << "\n";
    out << "\nFull trace: " << s.trace() << " (" << f.traceLines << " lines)\n";
}

void Partitions(const RunFacts& f, std::ostringstream& out)
{
    out << "\nPartitions";
    if (f.mapState != MapState::Present) {
        out << ": " << MapStateText(f.mapState) << "\n";
    } else {
        out << " (flash map /tmp/flashMap):\n";
        for (const auto& p : f.partitions) {
            char head[160];
            std::snprintf(head, sizeof head, "  line %-3d %-24s @ %5d KiB %-4s ", p.lineNo, p.name.c_str(),
                          p.startKiB, Trim(p.overwrite).c_str());
            out << head << DecisionText(p) << "\n";
        }
    }
    for (const auto& fault : f.flashFaults) out << "  " << fault << "\n";
}

void Replay(const ReplayFacts& r, std::ostringstream& out)
{
    if (!r.done) {
        out << "\nFlash statistics: the replay could not run (" << r.why << ")\n";
        return;
    }
    const norsim::NorTiming timings;
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    char line[512];
    std::snprintf(line, sizeof line,
                  "\nFlash statistics (the run's writes replayed through the flash module on the chip "
                  "model, from the flash as it was before the run):\n"
                  "  sectors erased %llu, words programmed %llu, bus accesses %llu (%llu reads, %llu "
                  "writes), protocol violations %llu; replay gives the same flash: %s\n",
                  u(r.erases), u(r.programs), u(r.reads + r.writes), u(r.reads), u(r.writes), u(r.violations),
                  YesNo(r.matchesFlash));
    out << line;
    std::snprintf(line, sizeof line,
                  "  estimated time of the same writing on a real chip: %.1f s\n"
                  "    (%llu block erases x %.1f s + %llu word programs x %.0f us + %d lock-bit clearings x "
                  "%.1f s + %llu bus accesses x %.0f ns; typical datasheet figures of 128-Mbit x16 NOR "
                  "chips with this command set)\n",
                  r.estimateSeconds, u(r.erases), timings.eraseSeconds, u(r.programs), timings.programSeconds * 1e6,
                  r.unlocks, timings.unlockSeconds, u(r.reads + r.writes), kBusAccessSeconds * 1e9);
    out << line;
}

void Flash(const RunFacts& f, std::ostringstream& out)
{
    const FlashFacts& fl = f.flash;
    if (!fl.present) {
        out << "\nFlash: the flash or its copy from before the run is missing or not 16 MiB\n";
        return;
    }
    out << "\nFlash after the run (" << StatePaths(f.root).flash() << "):\n";
    for (const auto& img : fl.images) {
        out << "  " << img.name << " at " << Hex(img.start) << ", " << SizeText(img.length)
            << ": flash holds the image at its start: " << YesNo(img.holds)
            << FirstDifference(img.holds, img.firstDifference) << "\n";
    }
    if (!fl.missingImages.empty()) {
        out << "  images named in the trace but not found in /tmp: " << Joined(fl.missingImages, " ") << "\n";
    }
    if (f.mapState == MapState::Missing) out << "  no image of the update was written (no flash map)\n";
    out << "  sectors the written images reach: " << SectorList(fl.touchedSectors) << " ("
        << fl.touchedSectors.size() << ")\n";
    out << "  all other bytes of the touched sectors preserved: " << YesNo(fl.restPreserved)
        << FirstDifference(fl.restPreserved, fl.firstRestDifference);
    out << "\n  sectors not touched unchanged: " << YesNo(fl.untouchedUnchanged)
        << FirstDifference(fl.untouchedUnchanged, fl.firstUntouchedDifference);
    out << "\n  sectors whose content changed (compared with before the run): " << SectorList(fl.changedSectors)
        << " (" << fl.changedSectors.size() << ")\n";
    Replay(f.replay, out);
}

void Files(const RunFacts& f, std::ostringstream& out)
{
    const std::string before = VersionText(f.haveVersionBefore, f.versionBefore), after = VersionText(f.haveVersion, f.version);
    out << "\nInstalled version (/instrumentData/swVersion/swVersion): " << before << " -> " << after
        << (before == after ? " (unchanged)" : "") << "\n";
    std::vector<std::string> crcs;
    crcs.reserve(f.crcFiles.size());
    for (const auto& c : f.crcFiles) crcs.push_back(c.name);
    out << "CRC files in /instrumentData: " << (crcs.empty() ? "none" : Joined(crcs, ",")) << "\n";
    out << "extlog.dat: "
        << (f.extlogBefore ? (f.extlogAfter ? "kept" : "removed") : (f.extlogAfter ? "created" : "absent")) << "\n";
    out << "\nLog entries added (decoded):\n";
    for (const auto& l : f.logs) {
        std::string state;
        if (!l.present) state = " (missing)";
        else if (!l.lengthOk) state = " (too short: " + std::to_string(l.size) + " bytes)";
        else if (l.badCrcs) state = " (" + std::to_string(l.badCrcs) + " records with a wrong CRC)";
        if (l.corruptBefore && l.Valid()) state += " (was corrupt before the run, now valid)";
        out << "  " << l.name << ": " << l.added.size() << state << "\n";
        for (const auto& r : l.added) out << "    " << r << "\n";
    }
    out << "Copies of corrupt logs (/tmp/CorruptDiagnosticLogs): "
        << (f.corruptCopies.empty() ? "none" : Joined(f.corruptCopies, ",")) << "\n";
    out << "Backup on the medium (/usbdongle/backup): " << (f.backup.empty() ? "none" : Joined(f.backup, ","))
        << "\n";
}

void Tools(const RunFacts& f, std::ostringstream& out)
{
    out << "\nBoard tools called (" << StatePaths(f.root).boardTools() << "):\n";
    for (const auto& line : f.boardTools) out << "  " << line << "\n";
    if (f.boardTools.empty()) out << "  none\n";
    out << "Medium presence checks while waiting for its removal: " << f.mediumChecks.all << "\n";
    out << "Reboot requested: " << YesNo(f.reboot) << "\n";
}

}  // namespace

std::string RunReportText(const RunFacts& f)
{
    std::ostringstream out;
    Head(f, out);
    Partitions(f, out);
    Flash(f, out);
    Files(f, out);
    Tools(f, out);
    std::map<std::string, std::string> unused;
    ReportTiming(f.timing, &out, &unused);
    out << "\nWall time of the run: " << f.wallSeconds << " s\n";
    return out.str();
}

std::string VersionText(bool have, const std::string& text)
{
    return Trim(have ? text : "(none)");
}

RunHeadline HeadlineOf(const RunFacts& f)
{
    RunHeadline h;
    h.outcome = OutcomeText(f.outcome);
    const std::string mismatch = f.outcome == Outcome::Done ? f.FlashMismatch() : "";
    if (f.outcome == Outcome::FlashFailed) {
        h.caveat = f.mapState == MapState::Missing ? ": no flash map among the unpacked packages"
                                                   : ": writing a partition failed";
    } else if (f.outcome == Outcome::Done && f.mapState == MapState::Missing) {
        h.caveat = ", but no partition was written: no flash map among the unpacked packages";
    } else if (!mismatch.empty()) {
        h.caveat = ", but " + mismatch;
    }
    h.good = (f.outcome == Outcome::Done && h.caveat.empty()) || f.outcome == Outcome::Declined ||
             f.outcome == Outcome::NotAllowed;
    return h;
}

std::map<std::string, std::string> SummaryOf(const RunFacts& f)
{
    std::map<std::string, std::string> s;
    s["outcome"] = OutcomeKey(f.outcome);
    if (f.outcome == Outcome::FlashFailed) s["flash-failure"] = f.FlashFailure();
    s["flash-map"] = MapStateKey(f.mapState);
    s["updater"] = f.updaterResult;
    s["gui"] = f.guiResult;
    s["screens"] = Joined(f.screens, ",");
    s["trace-lines"] = std::to_string(f.traceLines);
    s["written"] = Joined(f.PartitionsDecided(PartitionFact::Written), ",");
    s["kept"] = Joined(f.PartitionsDecided(PartitionFact::Kept), ",");
    s["rejected"] = Joined(f.PartitionsDecided(PartitionFact::Rejected), ",");
    s["flash-ok"] = YesNo(f.FlashOk());
    if (f.flash.present) {
        s["rest-preserved"] = YesNo(f.flash.restPreserved);
        s["untouched-unchanged"] = YesNo(f.flash.untouchedUnchanged);
        s["touched-sectors"] = std::to_string(f.flash.touchedSectors.size());
        s["changed-sectors"] = std::to_string(f.flash.changedSectors.size());
    }
    if (f.replay.done) {
        s["erases"] = std::to_string(f.replay.erases);
        s["programs"] = std::to_string(f.replay.programs);
        s["bus-accesses"] = std::to_string(f.replay.reads + f.replay.writes);
        s["replay-matches"] = YesNo(f.replay.matchesFlash);
        char est[32];
        std::snprintf(est, sizeof est, "%.1f", f.replay.estimateSeconds);
        s["estimate-seconds"] = est;
    }
    s["installed-before"] = VersionText(f.haveVersionBefore, f.versionBefore);
    s["installed"] = VersionText(f.haveVersion, f.version);
    std::vector<std::string> crcs;
    crcs.reserve(f.crcFiles.size());
    for (const auto& c : f.crcFiles) crcs.push_back(c.name);
    s["crc-files"] = Joined(crcs, ",");
    s["extlog"] = f.extlogAfter ? "present" : "absent";
    for (const auto& l : f.logs) {
        s["added-" + LogKey(l.name)] = std::to_string(l.added.size());
        s["valid-" + LogKey(l.name)] = YesNo(l.Valid());
        if (l.name == "RevHistory.log") s["rev-entries"] = Joined(l.entries, ",");
        if (l.name == "Diag.log") s["diag-indexes"] = Joined(l.entries, ",");
    }
    s["corrupt-copies"] = Joined(f.corruptCopies, ",");
    s["backup"] = Joined(f.backup, ",");
    std::vector<std::string> tools;
    tools.reserve(f.boardTools.size());
    for (const auto& line : f.boardTools) tools.push_back(line.substr(0, line.find(':')));
    s["board-tools"] = Joined(tools, "|");
    s["reboot"] = YesNo(f.reboot);
    s["medium-polls"] = std::to_string(f.mediumChecks.all);
    std::ostringstream unused;
    ReportTiming(f.timing, &unused, &s);
    s["wall-seconds"] = f.wallSeconds;
    return s;
}

bool WriteSummary(const StatePaths& state, const RunFacts& facts, std::string* why)
{
    std::string text;
    for (const auto& kv : SummaryOf(facts)) text += kv.first + "=" + kv.second + "\n";
    return WriteText(state.summary(), text, 0644, why);
}

int MakeReport(const std::string& stateDir, std::string* text, std::string* why, RunFacts* facts)
{
    const StatePaths s(stateDir);
    RunFacts f;
    if (BuildRunFacts(s, &f, why) != 0) return 1;
    if (!WriteSummary(s, f, why)) return 1;
    *text = RunReportText(f);
    if (facts) *facts = std::move(f);
    return 0;
}

}  // namespace swsim
