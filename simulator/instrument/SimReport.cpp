#include "SimReport.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "InstrumentTime.h"
#include "NorChip.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimLogs.h"
#include "SimMapState.h"
#include "SimMedium.h"
#include "SimReplay.h"
#include "SimState.h"
#include "SwUpdateFlash.h"

namespace swsim {

const char* OutcomeKey(Outcome o)
{
    switch (o) {
    case Outcome::NotAllowed: return "not-allowed";
    case Outcome::Declined: return "declined";
    case Outcome::PreUpdateFailed: return "pre-update-failed";
    case Outcome::UnpackingFailed: return "unpacking-failed";
    case Outcome::FlashFailed: return "flash-failed";
    case Outcome::Done: return "done";
    case Outcome::Unfinished: return "unfinished";
    }
    return "unfinished";
}

namespace {

bool Has(const std::string& text, const char* needle)
{
    return text.find(needle) != std::string::npos;
}

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

const char* YesNo(bool b)
{
    return b ? "yes" : "no";
}

std::string SectorList(const std::set<int>& sectors)
{
    std::string out;
    auto it = sectors.begin();
    while (it != sectors.end()) {
        int first = *it, last = *it;
        auto next = std::next(it);
        while (next != sectors.end() && *next == last + 1) {
            last = *next;
            ++next;
        }
        if (!out.empty()) out += ",";
        out += first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
        it = next;
    }
    return out.empty() ? "none" : out;
}


// The run's writing replayed on the chip model for its counters (SimReplay.h).
ReplayResult Replay(const StatePaths& s, const std::vector<FlashAttempt>& attempts)
{
    std::vector<ReplayImage> images;
    images.reserve(attempts.size());
    for (const auto& a : attempts) images.push_back({HostPathOf(s, a.name), static_cast<long>(a.address / 1024)});
    const std::string faults = PathExists(s.sim() + "/faults.used") ? s.sim() + "/faults.used" : "";
    return ReplayImages(s.flashBefore(), faults, images, s.flash(), nullptr);
}

DecodedLog LoadLog(const std::string& dir, const LogSpec& spec)
{
    std::vector<uint8_t> bytes;
    const bool present = ReadBytes(dir + "/" + spec.name, &bytes);
    return DecodeLog(bytes, present, spec);
}

}  // namespace

std::string HostPathOf(const StatePaths& s, const std::string& path)
{
    if (path.empty()) return "";
    if (path[0] != '/') return s.tmp() + "/" + path;  // the updater works in /tmp
    for (const char* dir : {"/tmp", "/usbdongle", "/instrumentData", "/log"}) {
        const size_t n = std::strlen(dir);
        if (path.compare(0, n, dir) == 0 && (path.size() == n || path[n] == '/')) {
            return s.root + path;
        }
    }
    return "";
}

namespace {

// The updater ended by itself (not killed, not stopped after the time limit).
bool UpdaterEnded(const std::string& run)
{
    return RecordValue(run, "timed-out") == "0" && RecordValue(run, "updater-result").compare(0, 5, "exit ") == 0;
}

}  // namespace

Outcome OutcomeOfRun(const StatePaths& s)
{
    std::string run;
    if (!ReadText(s.runRecord(), &run)) return Outcome::Unfinished;
    return OutcomeOf(ReadTextOr(s.trace(), ""), UpdaterEnded(run));
}

Outcome OutcomeOf(const std::string& trace, bool updaterEnded)
{
    if (!updaterEnded) return Outcome::Unfinished;
    if (Has(trace, "Only updates to newer version is permitted!")) return Outcome::NotAllowed;
    if (Has(trace, "Performing pre-swupdate actions failed")) return Outcome::PreUpdateFailed;
    if (Has(trace, "Corrupted update files found on MSD during unpacking!")) return Outcome::UnpackingFailed;
    if (Has(trace, "Writing the partitions into the flash failed")) return Outcome::FlashFailed;
    if (Has(trace, "Performing post-swupdate actions")) return Outcome::Done;
    if (Has(trace, "GUI Initialized!") && !Has(trace, "Performing update!")) return Outcome::Declined;
    return Outcome::Unfinished;
}

std::vector<FlashAttempt> FlashAttempts(const std::string& trace)
{
    std::vector<FlashAttempt> attempts;
    const std::string key = "Flashing file ";
    for (const auto& line : Lines(trace)) {
        const size_t at = line.find(key);
        if (at == std::string::npos) continue;
        const std::string rest = line.substr(at + key.size());
        const size_t to = rest.rfind(" to address 0x");
        if (to == std::string::npos) continue;
        FlashAttempt a;
        a.name = rest.substr(0, to);
        a.address = static_cast<unsigned>(std::strtoul(rest.c_str() + to + 14, nullptr, 16));
        attempts.push_back(a);
    }
    return attempts;
}

std::vector<std::string> ScreensOf(const std::string& guiRecord)
{
    static const char* const requests[] = {"ready", "timers", "question", "in-progress", "message",
                                           "error", "exit", "unknown", "bad-record"};
    std::vector<std::string> screens;
    for (const auto& line : Lines(guiRecord)) {
        std::istringstream in(line);
        std::string time, screen, first;
        in >> time >> screen >> first;
        for (const char* r : requests) {
            if (screen != r) continue;
            screens.push_back(screen == "message" ? screen + " " + first : screen);
        }
    }
    return screens;
}

int MakeReport(const std::string& stateDir, std::string* text, std::string* why)
{
    const StatePaths s(stateDir);
    std::string run;
    if (!ReadText(s.runRecord(), &run)) {
        *why = "no update has been run on " + s.root + " yet (swsim run first)";
        return 1;
    }
    const std::string trace = ReadTextOr(s.trace(), "");
    const std::string gui = ReadTextOr(s.guiRecord(), "");
    const std::string updaterResult = RecordValue(run, "updater-result");
    const bool ended = UpdaterEnded(run);
    const Outcome outcome = OutcomeOf(trace, ended);
    std::ostringstream out;
    std::map<std::string, std::string> summary;
    std::array<double, 3> chipOps{};  // erases, word programs, lock-bit clearings (from the replay)

    static const std::map<Outcome, std::string> outcomeText = {
        {Outcome::NotAllowed, "update not allowed (not-compatible screen)"},
        {Outcome::Declined, "the user declined"},
        {Outcome::PreUpdateFailed, "pre-update actions failed (failure screen)"},
        {Outcome::UnpackingFailed, "unpacking failed (failure screen)"},
        {Outcome::FlashFailed, "writing the flash failed, update not installed (failure screen)"},
        {Outcome::Done, "update done (remove-medium screen)"},
        {Outcome::Unfinished, "the updater did not finish"},
    };
    out << "Update run on the simulated instrument " << s.root << "\n";
    const std::string pull = RecordValue(run, "pull-after");
    out << "  started " << RecordValue(run, "started") << ", answer " << RecordValue(run, "answer")
        << (RecordValue(run, "answer") == "interactive" || RecordValue(run, "answer") == "web"
                ? std::string(", medium taken out by the user")
                : pull == "never" ? std::string(", medium never taken out")
                                  : ", medium taken out " + pull + " s after it was asked for")
        << ", flash faults: " << (RecordValue(run, "faults").empty() ? "none" : RecordValue(run, "faults"))
        << "\n\n";
    std::string mapText;
    const bool haveMap = ReadText(s.tmp() + "/flashMap", &mapText);
    const MapState mapState = MapStateOf(trace, haveMap, mapText);
    // Why the flash could not be written; and an update that ended as done
    // although it wrote nothing is said as such.
    std::string cause;
    if (outcome == Outcome::FlashFailed) {
        cause = mapState == MapState::Missing ? ": no flash map among the unpacked packages" : ": writing a partition failed";
        summary["flash-failure"] = mapState == MapState::Missing ? "no-flash-map" : "flash-write";
    } else if (outcome == Outcome::Done && mapState == MapState::Missing) {
        cause = ", but no partition was written: no flash map among the unpacked packages";
    }
    out << "Outcome: " << outcomeText.at(outcome) << cause << "; updater " << updaterResult
        << (RecordValue(run, "timed-out") == "1" ? " (stopped after the time limit)" : "") << "\n";
    summary["outcome"] = OutcomeKey(outcome);
    summary["flash-map"] = MapStateKey(mapState);
    summary["updater"] = updaterResult;
    summary["gui"] = RecordValue(run, "gui-result");

    // Screens.
    const auto screens = ScreensOf(gui);
    std::string screenList;
    for (const auto& sc : screens) screenList += (screenList.empty() ? "" : ",") + sc;
    summary["screens"] = screenList;
    out << "\nStart-up GUI (" << s.guiRecord() << "), " << RecordValue(run, "gui-result") << ":\n";
    for (const auto& line : Lines(gui)) out << "  " << line << "\n";
    const auto traceLines = Lines(trace);
    out << "\nFull trace: " << s.trace() << " (" << traceLines.size() << " lines)\n";
    summary["trace-lines"] = std::to_string(traceLines.size());

    // Partitions and the flash.
    const auto attempts = FlashAttempts(trace);
    out << "\nPartitions";
    std::string written, kept, rejected;
    if (mapState != MapState::Present) {
        out << ": " << MapStateText(mapState) << "\n";
    } else {
        out << " (flash map /tmp/flashMap):\n";
        for (const auto& line : ParseFlashMap(mapText)) {
            if (line.kind != MapLine::Partition) continue;
            char head[160];
            std::snprintf(head, sizeof head, "  line %-3d %-24s @ %5d KiB %-4s ", line.lineNo,
                          line.partition.c_str(), line.startKiB, Trim(line.overwrite).c_str());
            std::string decision;
            if (Has(trace, ("This is not a valid flash instruction: " + line.partition + " ").c_str())) {
                decision = "rejected (not a valid flash instruction)";
                rejected += (rejected.empty() ? "" : ",") + line.partition;
            } else if (Has(trace, ("Partion " + line.partition + " already exists").c_str())) {
                decision = "kept (" + line.MountDir() + " exists)";
                kept += (kept.empty() ? "" : ",") + line.partition;
            } else if (Has(trace, ("Flashing: " + line.partition + " @").c_str()) ||
                       Has(trace, ("Partion " + line.partition + " does not exist").c_str())) {
                const std::string reason = line.overwrite == "YES" ? "overwrite YES"
                                                                : line.MountDir() + " does not exist";
                if (Has(trace, ("Flash fault earlier in this run: \"" + line.partition + "\"").c_str())) {
                    decision = "to be written (" + reason + "), not written after the flash fault";
                } else if (Has(trace, ("Could not open file \"" + line.partition + "\"").c_str())) {
                    decision = "to be written (" + reason + "), but the image could not be opened";
                } else {
                    decision = "written (" + reason + ")";
                    written += (written.empty() ? "" : ",") + line.partition;
                }
            } else {
                decision = "not reached";
            }
            out << head << decision << "\n";
        }
    }
    for (const auto& line : Lines(trace)) {
        const size_t at = line.find("Flash fault: ");
        if (at != std::string::npos) out << "  " << line.substr(at) << "\n";
    }
    summary["written"] = written;
    summary["kept"] = kept;
    summary["rejected"] = rejected;

    std::vector<uint8_t> before, after;
    const bool haveFlash = ReadBytes(s.flashBefore(), &before) && ReadBytes(s.flash(), &after) &&
                           before.size() == kFlashSize && after.size() == kFlashSize;
    std::vector<WrittenImage> images;
    std::string missing;
    for (const auto& a : attempts) {
        WrittenImage w;
        w.name = a.name;
        w.startKiB = static_cast<int>(a.address / 1024);
        if (!ReadBytes(HostPathOf(s, a.name), &w.bytes)) {
            missing += " " + a.name;
            continue;
        }
        images.push_back(std::move(w));
    }
    if (!haveFlash) {
        out << "\nFlash: the flash or its copy from before the run is missing or not 16 MiB\n";
        summary["flash-ok"] = "no";
    } else {
        const FlashCheck check = CheckFlash(before, after, images);
        out << "\nFlash after the run (" << s.flash() << "):\n";
        bool allHold = true;
        for (const auto& img : check.images) {
            out << "  " << img.name << " at " << Hex(img.start) << ", " << SizeText(img.length)
                << ": flash holds the image at its start: " << YesNo(img.holds);
            if (!img.holds) out << " (first difference at " << Hex(static_cast<uint64_t>(img.firstDifference)) << ")";
            out << "\n";
            allHold = allHold && img.holds;
        }
        if (!missing.empty()) out << "  images named in the trace but not found in /tmp:" << missing << "\n";
        if (mapState == MapState::Missing) out << "  no image of the update was written (no flash map)\n";
        out << "  sectors the written images reach: " << SectorList(check.touched) << " ("
            << check.touched.size() << ")\n";
        out << "  all other bytes of the touched sectors preserved: " << YesNo(check.touchedRestPreserved);
        if (!check.touchedRestPreserved) out << " (first difference at " << Hex(static_cast<uint64_t>(check.firstRestDifference)) << ")";
        out << "\n  sectors not touched unchanged: " << YesNo(check.untouchedUnchanged);
        if (!check.untouchedUnchanged) out << " (first difference at " << Hex(static_cast<uint64_t>(check.firstUntouchedDifference)) << ")";
        out << "\n  sectors whose content changed (compared with before the run): "
            << SectorList(check.changedSectors) << " (" << check.changedSectors.size() << ")\n";
        // Without a map among the unpacked packages nothing of the update
        // reached the flash.
        summary["flash-ok"] = allHold && missing.empty() && mapState != MapState::Missing ? "yes" : "no";
        summary["rest-preserved"] = YesNo(check.touchedRestPreserved);
        summary["untouched-unchanged"] = YesNo(check.untouchedUnchanged);
        summary["touched-sectors"] = std::to_string(check.touched.size());
        summary["changed-sectors"] = std::to_string(check.changedSectors.size());

        // Statistics and the estimate.
        const ReplayResult replay = Replay(s, attempts);
        const norsim::NorTiming timings;
        if (replay.done) {
            const auto& st = replay.stats;
            chipOps = {static_cast<double>(st.erases), static_cast<double>(st.programs),
                       static_cast<double>(attempts.size())};
            const double est = ChipSeconds(timings, {static_cast<double>(st.erases),
                                                     static_cast<double>(st.programs),
                                                     static_cast<double>(attempts.size()),
                                                     static_cast<double>(st.reads + st.writes)});
            char line[512];
            std::snprintf(line, sizeof line,
                          "\nFlash statistics (the run's writes replayed through the flash module on the chip "
                          "model, from the flash as it was before the run):\n"
                          "  sectors erased %llu, words programmed %llu, bus accesses %llu (%llu reads, %llu "
                          "writes), protocol violations %llu; replay gives the same flash: %s\n",
                          static_cast<unsigned long long>(st.erases), static_cast<unsigned long long>(st.programs),
                          static_cast<unsigned long long>(st.reads) + st.writes,
                          static_cast<unsigned long long>(st.reads), static_cast<unsigned long long>(st.writes),
                          static_cast<unsigned long long>(st.violations), YesNo(replay.matchesFlash));
            out << line;
            std::snprintf(line, sizeof line,
                          "  estimated time of the same writing on a real chip: %.1f s\n"
                          "    (%llu block erases x %.1f s + %llu word programs x %.0f us + %zu lock-bit clearings x "
                          "%.1f s + %llu bus accesses x %.0f ns; typical datasheet figures of 128-Mbit x16 NOR "
                          "chips with this command set)\n",
                          est, static_cast<unsigned long long>(st.erases), timings.eraseSeconds,
                          static_cast<unsigned long long>(st.programs), timings.programSeconds * 1e6, attempts.size(),
                          timings.unlockSeconds, static_cast<unsigned long long>(st.reads) + st.writes,
                          kBusAccessSeconds * 1e9);
            out << line;
            summary["erases"] = std::to_string(st.erases);
            summary["programs"] = std::to_string(st.programs);
            summary["bus-accesses"] = std::to_string(st.reads + st.writes);
            summary["replay-matches"] = YesNo(replay.matchesFlash);
            char estText[32];
            std::snprintf(estText, sizeof estText, "%.1f", est);
            summary["estimate-seconds"] = estText;
        } else {
            out << "\nFlash statistics: the replay could not run (" << replay.why << ")\n";
        }
    }

    // Installed files.
    const std::string oldVersion = Trim(ReadTextOr(s.dataBefore() + "/swVersion/swVersion", "(none)"));
    const std::string newVersion = Trim(ReadTextOr(s.instrumentData() + "/swVersion/swVersion", "(none)"));
    out << "\nInstalled version (/instrumentData/swVersion/swVersion): " << oldVersion << " -> " << newVersion
        << (oldVersion == newVersion ? " (unchanged)" : "") << "\n";
    summary["installed-before"] = oldVersion;
    summary["installed"] = newVersion;
    std::string crcs;
    for (const auto& name : ListDir(s.instrumentData())) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".crc") == 0) {
            crcs += (crcs.empty() ? "" : ",") + name;
        }
    }
    out << "CRC files in /instrumentData: " << (crcs.empty() ? "none" : crcs) << "\n";
    summary["crc-files"] = crcs;
    const bool extBefore = PathExists(s.dataBefore() + "/extlog.dat");
    const bool extAfter = PathExists(s.instrumentData() + "/extlog.dat");
    out << "extlog.dat: " << (extBefore ? (extAfter ? "kept" : "removed") : (extAfter ? "created" : "absent"))
        << "\n";
    summary["extlog"] = extAfter ? "present" : "absent";

    // Logs.
    out << "\nLog entries added (decoded):\n";
    for (const auto& spec : InstrumentLogs()) {
        const DecodedLog b = LoadLog(s.dataBefore(), spec);
        const DecodedLog a = LoadLog(s.instrumentData(), spec);
        const auto added = AddedRecords(b, a);
        std::string key = spec.name;
        const size_t dot = key.find('.');
        if (dot != std::string::npos) key.resize(dot);
        summary["added-" + key] = std::to_string(added.size());
        std::string state;
        if (!a.present) state = " (missing)";
        else if (!a.lengthOk) state = " (too short: " + std::to_string(a.size) + " bytes)";
        else if (a.badCrcs) state = " (" + std::to_string(a.badCrcs) + " records with a wrong CRC)";
        if (b.present && (!b.lengthOk || b.badCrcs) && a.present && a.lengthOk && !a.badCrcs) {
            state += " (was corrupt before the run, now valid)";
        }
        out << "  " << spec.name << ": " << added.size() << state << "\n";
        std::string entries;
        for (const auto& r : added) {
            out << "    " << DescribeRecord(spec, r) << "\n";
            if (std::string(spec.name) == "RevHistory.log") {
                entries += (entries.empty() ? "" : ",") + std::string(r.info.begin() + 4, r.info.begin() + 8);
            }
            if (std::string(spec.name) == "Diag.log" && r.info.size() >= 16) {
                int32_t idx = 0;
                std::memcpy(&idx, r.info.data() + 8, 4);
                entries += (entries.empty() ? "" : ",") + std::to_string(idx);
            }
        }
        if (std::string(spec.name) == "RevHistory.log") summary["rev-entries"] = entries;
        if (std::string(spec.name) == "Diag.log") summary["diag-indexes"] = entries;
        summary["valid-" + key] = YesNo(a.present && a.lengthOk && !a.badCrcs);
    }
    const auto copies = ListDir(s.tmp() + "/CorruptDiagnosticLogs");
    std::string copyList;
    for (const auto& c : copies) copyList += (copyList.empty() ? "" : ",") + c;
    out << "Copies of corrupt logs (/tmp/CorruptDiagnosticLogs): " << (copyList.empty() ? "none" : copyList)
        << "\n";
    summary["corrupt-copies"] = copyList;
    const auto backup = ListDir(s.usbdongle() + "/backup");
    std::string backupList;
    for (const auto& c : backup) backupList += (backupList.empty() ? "" : ",") + c;
    out << "Backup on the medium (/usbdongle/backup): " << (backupList.empty() ? "none" : backupList) << "\n";
    summary["backup"] = backupList;

    // Board tools, medium and reboot.
    const std::string tools = ReadTextOr(s.boardTools(), "");
    out << "\nBoard tools called (" << s.boardTools() << "):\n";
    bool reboot = false;
    std::string toolList;
    for (const auto& line : Lines(tools)) {
        out << "  " << line << "\n";
        reboot = reboot || line.compare(0, 23, "nonblock-realtest_arm o") == 0;
        toolList += (toolList.empty() ? "" : "|") + line.substr(0, line.find(':'));
    }
    if (tools.empty()) out << "  none\n";
    summary["board-tools"] = toolList;
    int polls = 0;
    for (const auto& line : traceLines) polls += Has(line, "MSD attached fil descriptor is") ? 1 : 0;
    out << "Medium presence checks while waiting for its removal: " << polls << "\n";
    out << "Reboot requested: " << YesNo(reboot) << "\n";
    summary["reboot"] = YesNo(reboot);
    summary["medium-polls"] = std::to_string(polls);
    ReportTiming(TimingOf(run, trace, {chipOps[0], chipOps[1], chipOps[2], 0}, ReadTextOr(s.tmp() + "/estUpdateTime", "")),
                 &out, &summary);
    out << "\nWall time of the run: " << RecordValue(run, "wall-seconds") << " s\n";
    summary["wall-seconds"] = RecordValue(run, "wall-seconds");

    std::string summaryText;
    for (const auto& kv : summary) summaryText += kv.first + "=" + kv.second + "\n";
    if (!WriteText(s.summary(), summaryText, 0644, why)) return 1;
    *text = out.str();
    return 0;
}

}  // namespace swsim
