// Advice on a medium that ships (Advice.h): the partitions it rewrites with
// the bytes the field holds, each checked by a rerun of the fleet with its
// flash map line changed.
#include "Advice.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include <nlohmann/json.hpp>

#include "SimFiles.h"
#include "SimFlash.h"
#include "SimMedium.h"

namespace swsim {

namespace {

// Whether `flash` holds `bytes` at `start`.
bool Holds(const std::vector<uint8_t>& flash, uint64_t start, const std::vector<uint8_t>& bytes)
{
    return !bytes.empty() && start + bytes.size() <= flash.size() &&
           std::equal(bytes.begin(), bytes.end(), flash.begin() + static_cast<std::ptrdiff_t>(start));
}

// "10.5", and "0" for none, as the advice gives seconds.
std::string Seconds(double s)
{
    if (s < 0.05) return "0";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", s);
    return text;
}

const ImageHeld* HeldOf(const InstrumentResult& r, const MapPartition& p)
{
    for (const auto& h : r.held) {
        if (h.name == p.name && h.line == p.line) return &h;
    }
    return nullptr;
}

// The flash map with line `lineNo` changed: its flag made NO, or the line
// left out.
std::string ChangedMap(const std::string& map, int lineNo, bool leaveOut)
{
    size_t begin = 0;
    for (int n = 1; n < lineNo && begin != std::string::npos; ++n) {
        begin = map.find('\n', begin);
        if (begin != std::string::npos) ++begin;
    }
    if (begin == std::string::npos) return map;
    const size_t end = std::min(map.find('\n', begin), map.size());
    if (leaveOut) return map.substr(0, begin) + map.substr(std::min(end + 1, map.size()));
    // The fourth field, after runs of blanks as the updater splits them.
    size_t at = begin;
    for (int field = 0; field < 3 && at < end; ++field) {
        at = map.find_first_not_of(" \t", at);
        at = std::min(map.find_first_of(" \t", at), end);
    }
    at = map.find_first_not_of(" \t", at);
    if (at == std::string::npos || at >= end) return map;
    const size_t fieldEnd = std::min(map.find_first_of(" \t\r", at), end);
    return map.substr(0, at) + "NO" + map.substr(fieldEnd);
}

// A copy of the medium with the line changed, made from its packages
// unpacked one directory each and built as "swsim medium" builds them.
// Returns the copy's directory, or "" with the reason.
std::string ChangedMedium(const MediumFacts& facts, const MapPartition& p, bool leaveOut, const std::string& work,
                          std::string* why)
{
    const std::string src = work + "/source";
    std::string medium = work + "/medium";
    std::string mapDir;
    int mapPackage = -1;
    for (const auto& name : ListDir(facts.medium)) {
        if (name.compare(0, 4, "file") != 0 || name.size() < 5 ||
            name.find_first_not_of("0123456789", 4) != std::string::npos) {
            continue;
        }
        const std::string dir = src + "/" + name;
        std::string out;
        if (!MakeDirs(dir, why)) return "";
        const int status = RunProgram({"tar", "--gunzip", "-xf", facts.medium + "/" + name, "-C", dir,
                                       "--preserve-permissions"},
                                      &out, why);
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            *why = "cannot unpack " + name + ": " + out + *why;
            return "";
        }
        // The updater reads the map the last package brought.
        const int number = std::atoi(name.c_str() + 4);
        if (PathExists(dir + "/flashMap") && number > mapPackage) {
            mapDir = dir;
            mapPackage = number;
        }
    }
    std::string map;
    if (mapDir.empty() || !ReadText(mapDir + "/flashMap", &map)) {
        *why = "no package holds the flash map";
        return "";
    }
    std::vector<std::string> lines;
    if (!WriteText(mapDir + "/flashMap", ChangedMap(map, p.line, leaveOut), 0644, why) ||
        BuildMedium(src, medium, &lines, why) != 0) {
        return "";
    }
    return medium;
}

struct Candidate {
    const MapPartition* line = nullptr;
    Advice advice;
};

// The candidates: YES lines whose image every installing instrument held
// before its run; none when no instrument installed.
std::vector<Candidate> Candidates(const MediumFacts& facts, const std::vector<InstrumentResult>& results)
{
    std::vector<Candidate> found;
    for (const auto& p : facts.partitions) {
        if (!p.overwrite || p.hostPath.empty()) continue;
        Candidate c;
        c.line = &p;
        std::set<std::string> since;
        bool all = true, any = false, leaveOut = false;
        for (const auto& r : results) {
            if (r.outcome != "done") continue;
            const ImageHeld* h = HeldOf(r, p);
            all = all && h && h->before;
            any = true;
            since.insert(r.versionBefore);
            if (h && !h->mountDir) leaveOut = true;
            if (p.startKiB == 0) c.advice.windowBefore = std::max(c.advice.windowBefore, r.bootWindowSeconds);
        }
        if (!all || !any) continue;
        for (const auto& v : since) c.advice.since += (c.advice.since.empty() ? "" : " and ") + v;
        c.advice.image = p.name;
        c.advice.line = p.line;
        c.advice.boot = p.startKiB == 0;
        c.advice.change = leaveOut ? "leave-out" : "NO";
        found.push_back(c);
    }
    return found;
}

// Judges the rerun: every instrument as it should end, the partition kept
// with the bytes it held; fills the figures and the text.
void JudgeRerun(const Candidate& c, const std::vector<InstrumentResult>& results,
                const std::vector<InstrumentResult>& rerun, Advice* a)
{
    const MapPartition& p = *c.line;
    double saved = -1, windowAfter = 0;
    for (size_t i = 0; i < rerun.size(); ++i) {
        const InstrumentResult& was = results[i];
        const InstrumentResult& now = rerun[i];
        if (!now.ok || now.outcome != was.outcome) {
            a->detail = "not offered: with the line changed, " + now.instrument.name + " ended \"" + now.outcome +
                        "\": " + now.verdict;
            return;
        }
        if (now.outcome != "done") continue;
        const ImageHeld* h = HeldOf(now, p);
        if (!h || !h->after) {
            a->detail = "not offered: with the line changed, " + now.instrument.name + " no longer holds " + p.name +
                        " as delivered";
            return;
        }
        for (const auto& f : now.facts.partitions) {
            if (f.name == p.name && f.decision == PartitionFact::Written) {
                a->detail = "not offered: with the line changed, the updater still writes " + p.name + " on " +
                            now.instrument.name;
                return;
            }
        }
        const double s = was.facts.timing.chipSeconds - now.facts.timing.chipSeconds;
        saved = saved < 0 ? s : std::min(saved, s);
        windowAfter = std::max(windowAfter, std::max(0.0, now.bootWindowSeconds));
    }
    a->savedSeconds = Tenths(std::max(0.0, saved));
    a->offered = true;
    const std::string how = a->change == "NO" ? "writing NO" : "leaving its line out of the flash map";
    a->text = p.name + " is unchanged since " + a->since + ": " + how + " keeps it and shortens ";
    if (a->boot) {
        a->windowBefore = Tenths(std::max(0.0, a->windowBefore));
        a->windowAfter = Tenths(windowAfter);
        a->text += "the unbootable window from " + Seconds(a->windowBefore) + " s to " + Seconds(a->windowAfter) + " s";
    } else {
        a->text += "the update by " + Seconds(a->savedSeconds) + " s";
    }
    a->detail = "checked: the fleet ran the map with line " + std::to_string(p.line) +
                (a->change == "NO" ? " as NO" : " left out") + " and every instrument ended right, " + p.name +
                " kept as it was; the update is " + Seconds(a->savedSeconds) + " s shorter (the chip's time to erase "
                "and program it)";
    if (a->change != "NO") {
        a->detail += "; NO alone would not keep it: the updater writes a partition whose directory " + p.mountDir +
                     " it does not find, whatever its flag; keep " + CrcFileName(p.name) +
                     " on the medium, since the updater removes every CRC file before it installs the medium's";
    }
}

}  // namespace

std::vector<ImageHeld> HeldImages(const std::vector<MapPartition>& watch, const InstrumentKind& kind,
                                  const Holding& before, const Holding& after)
{
    std::vector<ImageHeld> held;
    for (const auto& w : watch) {
        std::vector<uint8_t> bytes;
        if (w.hostPath.empty() || w.startKiB < 0 || !ReadBytes(w.hostPath, &bytes)) continue;
        const uint64_t start = static_cast<uint64_t>(w.startKiB) * 1024;
        held.push_back({w.name, w.line, Holds(before.flash, start, bytes), Holds(after.flash, start, bytes),
                        InstrumentHasDirectory(w.mountDir, kind.mountDirs)});
    }
    return held;
}

bool WindowWanted(const MediumFacts& facts, const InstrumentKind& kind, const std::vector<MapPartition>& watch,
                  const Holding& before, bool every)
{
    const bool writesStart = std::any_of(facts.partitions.begin(), facts.partitions.end(), [&](const MapPartition& p) {
        return p.startKiB == 0 && !p.hostPath.empty() &&
               (p.overwrite || !InstrumentHasDirectory(p.mountDir, kind.mountDirs));
    });
    if (!writesStart || every) return writesStart;
    for (const auto& h : HeldImages(watch, kind, before, before)) {
        const bool atStart = std::any_of(watch.begin(), watch.end(), [&](const MapPartition& w) {
            return w.name == h.name && w.line == h.line && w.startKiB == 0;
        });
        if (h.before && atStart) return true;
    }
    return false;
}

void SeekAdvice(const MediumFacts& facts, const std::vector<FleetInstrument>& fleet, const FleetOptions& o,
                const std::vector<InstrumentResult>& results, std::vector<Advice>* advice)
{
    int n = 0;
    for (auto& c : Candidates(facts, results)) {
        Advice& a = c.advice;
        const std::string work = AbsolutePath(o.workDir) + "/advice-" + std::to_string(++n);
        std::string why;
        MediumFacts changed;
        std::vector<Finding> ignored;
        const std::string medium = RemoveTree(work, &why) && MakeDirs(work, &why)
                                       ? ChangedMedium(facts, *c.line, a.change != "NO", work, &why)
                                       : "";
        if (medium.empty() || CheckMediumStatic(medium, work, &changed, &ignored, &why) != 0) {
            a.detail = "not offered: the changed medium could not be made: " + why;
            advice->push_back(a);
            continue;
        }
        FleetOptions rerun = o;
        rerun.workDir = work;
        rerun.watch = facts.partitions;
        rerun.everyWindow = true;
        rerun.onRunEnded = nullptr;
        std::vector<InstrumentResult> again;
        std::vector<Finding> findings;
        if (RunFleet(changed, fleet, rerun, &again, &findings, &why) != 0) {
            a.detail = "not offered: the rerun with the line changed could not check: " + why;
        } else {
            JudgeRerun(c, results, again, &a);
        }
        advice->push_back(a);
    }
}

}  // namespace swsim
