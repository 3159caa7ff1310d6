#include "InstrumentTime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "SimFlash.h"
#include "SimFiles.h"
#include "SimReplay.h"
#include "SimState.h"
// The updater's trace texts: a header of constants, shared with the layers
// above that read the trace (facts/).
#include "../facts/TraceTexts.h"

namespace swsim {

double ChipSeconds(const norsim::NorTiming& t, const ChipOps& ops)
{
    return ops.erases * t.eraseSeconds + ops.programs * t.programSeconds + ops.unlocks * t.unlockSeconds +
           ops.busAccesses * kBusAccessSeconds;
}

double WritingAndWaitsSeconds(uint64_t sectors, int images)
{
    ChipOps ops;
    ops.erases = static_cast<double>(sectors);
    const uint64_t words = sectors * kSectorSize / 2;  // every word of each sector
    ops.programs = static_cast<double>(words);
    ops.unlocks = images;
    return ChipSeconds(norsim::NorTiming(), ops) + kGuiStartWait + kDriverRestartWait + kMediumPollWait;
}

int SampleEstimateSeconds(uint64_t sectors, int images)
{
    return static_cast<int>(std::ceil(WritingAndWaitsSeconds(sectors, images))) + 30;
}

UpdateDuration UpdateDurationOf(const RunCounts& c, const norsim::NorTiming& chip, const ChipOps& ops)
{
    UpdateDuration d;
    d.chipSeconds = ChipSeconds(chip, ops);
    if (!c.waitsCounted) {
        d.why = "the run's pauses were not counted" + (c.waitsWhy.empty() ? std::string() : ": " + c.waitsWhy);
        return d;
    }
    if (!c.cpuMeasured) {
        d.why = "the updater's CPU time was not measured";
        return d;
    }
    for (const auto& w : c.waits) {
        if (!w.mainThread) continue;  // beside the update's own sequence
        if (w.kind == "gui-start") ++d.guiStarts;
        else if (w.kind == "driver-restart") ++d.driverRestarts;
        else if (w.kind == "medium-check") ++d.mediumWaits;
        else {
            ++d.otherWaits;
            d.otherWaitSeconds += w.seconds;
        }
        d.fixedSeconds += w.seconds;
    }
    // A chip the run's model kept busy in real time was polled for as long
    // as it was busy on the run's clock: that CPU time is the chip's.
    double polled = 0;
    norsim::NorTiming ran;
    std::string error;
    if (!c.chipTiming.empty() && norsim::ParseTimingText(c.chipTiming, &ran, &error) == 0) {
        ChipOps busy = ops;
        busy.busAccesses = 0;
        polled = ChipSeconds(ran, busy) / std::max(1.0, c.speed);
    }
    d.cpuSeconds = std::max(0.0, c.cpuSeconds - polled);
    d.seconds = d.fixedSeconds + d.chipSeconds + d.cpuSeconds;
    d.known = true;
    return d;
}

RunTiming TimingOf(const std::string& runRecord, const std::string& trace, const ChipOps& ops,
                   const std::string& estimateText, const RunCounts* counts)
{
    RunTiming t;
    const std::string speed = RecordValue(runRecord, "speed");
    t.speed = speed.empty() ? 1 : std::atof(speed.c_str());
    t.answerDelay = std::atof(RecordValue(runRecord, "answer-delay").c_str());
    const std::string reboot = RecordValue(runRecord, "reboot-seconds");
    const std::string end = RecordValue(runRecord, "updater-seconds");
    t.rebooted = !reboot.empty();
    if (t.rebooted) t.seconds = std::atof(reboot.c_str());
    else if (!end.empty()) t.seconds = std::atof(end.c_str());

    t.guiStarts = CountOf(trace, tracetext::kGuiInitialized);
    t.driverRestarts = CountOf(trace, tracetext::kDriverRestart);
    // Every check of the wait for the medium's removal that still finds it
    // is followed by a pause; the last one (descriptor -1) is not.
    t.mediumChecks = CountOf(trace, tracetext::kMediumCheck);
    t.mediumWaits = t.mediumChecks - CountOf(trace, tracetext::kMediumGone);

    norsim::NorTiming chip;
    std::string error;
    t.chipTiming = RecordValue(runRecord, "chip-timing");
    if (t.chipTiming.empty() || norsim::ParseTimingText(t.chipTiming, &chip, &error) != 0) chip = norsim::NorTiming::Off();
    RunCounts none;
    none.waitsWhy = "the run left no count of its pauses (a run from before they were counted)";
    t.duration = UpdateDurationOf(counts != nullptr ? *counts : none, chip, ops);
    t.chipSeconds = t.duration.chipSeconds;
    t.fixedSeconds = t.duration.known ? t.duration.fixedSeconds
                                      : t.guiStarts * kGuiStartWait + t.driverRestarts * kDriverRestartWait +
                                            t.mediumWaits * kMediumPollWait;

    // Read as the updater reads it: the leading whole number.
    char* stop = nullptr;
    const long est = std::strtol(estimateText.c_str(), &stop, 10);
    if (stop != estimateText.c_str() && est >= 0) t.estimate = static_cast<int>(est);
    return t;
}

namespace {

// The report's lines on the parts of the update's duration.
void ReportParts(const RunTiming& t, std::ostream& o)
{
    const UpdateDuration& d = t.duration;
    o << "    fixed waits " << Fixed(t.fixedSeconds, 1) << " s (" << d.guiStarts << " GUI start x " << kGuiStartWait
      << " s, " << d.driverRestarts << " flash-driver restart x " << kDriverRestartWait << " s, " << d.mediumWaits
      << " medium check x " << kMediumPollWait << " s";
    if (d.otherWaits > 0) o << ", " << d.otherWaits << " other pause(s) " << Fixed(d.otherWaitSeconds, 1) << " s";
    o << ")\n";
    o << "    chip busy " << Fixed(t.chipSeconds, 1) << " s (its operations at chip timing "
      << (t.chipTiming.empty() ? std::string("off") : t.chipTiming) << ", bus accesses included)\n";
    o << "    the updater's own work " << Fixed(d.cpuSeconds, 1)
      << " s (the CPU time of its processes at this host's rate, not the instrument processor's)\n";
    o << "  not counted: the user's time to answer";
    if (t.answerDelay > 0) o << " (" << Fixed(t.answerDelay, 1) << " s in this run)";
    o << ", the medium's transfer rate, the instrument's processor speed\n";
}

}  // namespace

double EstimateMeasure(const RunTiming& t)
{
    return t.duration.known ? t.duration.seconds : t.fixedSeconds + t.chipSeconds;
}

void ReportTiming(const RunTiming& t, std::ostringstream* out, std::map<std::string, std::string>* summary)
{
    auto& o = *out;
    auto& s = *summary;
    const UpdateDuration& d = t.duration;
    s["speed"] = Fixed(t.speed, t.speed == static_cast<int>(t.speed) ? 0 : 2);
    s["clock-seconds"] = t.seconds < 0 ? "" : Fixed(t.seconds, 1);
    s["fixed-wait-seconds"] = Fixed(t.fixedSeconds, 1);
    s["chip-seconds"] = Fixed(t.chipSeconds, 1);
    s["instrument-seconds"] = d.known ? Fixed(d.seconds, 1) : "";
    s["updater-work-seconds"] = d.known ? Fixed(d.cpuSeconds, 1) : "";
    s["time-counted"] = d.known ? "yes" : "no: " + d.why;
    o << "\nInstrument time (counted from what the run did):\n";
    if (d.known) {
        o << "  the update on the instrument: " << Fixed(d.seconds, 1) << " s\n";
        ReportParts(t, o);
    } else {
        o << "  not known: " << d.why << "\n";
        o << "    of it counted: fixed waits " << Fixed(t.fixedSeconds, 1) << " s (told by the trace), chip busy "
          << Fixed(t.chipSeconds, 1) << " s\n";
    }
    if (t.seconds >= 0 && t.speed == 1) {
        o << "  the run's clock (real time, as a cross-check): " << Fixed(t.seconds, 1) << " s from the updater's start to "
          << (t.rebooted ? "the reboot request" : "its end (no reboot request)");
        if (t.answerDelay > 0) o << ", " << Fixed(t.seconds - t.answerDelay, 1) << " s without the answer's delay";
        o << "\n";
    } else if (t.seconds >= 0) {
        o << "  the run's clock (" << s["speed"] << " times real time): " << Fixed(t.seconds, 1)
          << " s, no measure of the instrument (the host's own work counts " << s["speed"]
          << " times over on it, and a chip that keeps no time adds none)\n";
    }
    const double compared = EstimateMeasure(t);
    if (t.estimate < 0) {
        o << "  the medium's estimate (/tmp/estUpdateTime): none\n";
        s["update-estimate"] = "";
        s["estimate-short"] = "no";
        return;
    }
    o << "  the medium's estimate (/tmp/estUpdateTime): " << t.estimate << " s\n";
    s["update-estimate"] = std::to_string(t.estimate);
    const bool shortEstimate = t.estimate < compared;
    s["estimate-short"] = shortEstimate ? "yes" : "no";
    if (shortEstimate) {
        o << "  WARNING: the estimate is shorter than the update's duration (" << t.estimate << " s < "
          << Fixed(compared, 1) << " s): the GUI's progress runs out before the update ends\n";
    }
}

std::vector<double> WriteTimes(const std::vector<norsim::BusAccess>& bus, const norsim::NorTiming& t,
                               const std::vector<uint64_t>& writes, double busAccessSeconds)
{
    std::vector<double> times;
    times.reserve(writes.size());
    norsim::NorCommandDecoder decoder;
    double now = 0;
    uint64_t n = 0;
    size_t next = 0;
    for (const auto& a : bus) {
        if (a.write) {
            ++n;
            while (next < writes.size() && writes[next] <= n) {
                times.push_back(now);
                ++next;
            }
            switch (decoder.Next(a.value)) {
            case norsim::NorWrite::EraseConfirm: now += t.eraseSeconds; break;
            case norsim::NorWrite::ProgramData: now += t.programSeconds; break;
            case norsim::NorWrite::UnlockConfirm: now += t.unlockSeconds; break;
            case norsim::NorWrite::Command:
            case norsim::NorWrite::SequenceError: break;
            }
        }
        now += busAccessSeconds;
    }
    while (times.size() < writes.size()) times.push_back(now);
    return times;
}

double WriteClock::At(uint64_t n) const
{
    return seconds[static_cast<size_t>(std::lower_bound(writes.begin(), writes.end(), n) - writes.begin())];
}

WriteClock MakeWriteClock(const std::vector<norsim::BusAccess>& bus, std::vector<uint64_t> writes)
{
    WriteClock clock;
    std::sort(writes.begin(), writes.end());
    writes.erase(std::unique(writes.begin(), writes.end()), writes.end());
    clock.seconds = WriteTimes(bus, norsim::NorTiming(), writes);
    clock.writes = std::move(writes);
    return clock;
}

UpdateTimeline TimelineOf(double flashSeconds, double countedSeconds, int mediumChecks)
{
    UpdateTimeline t;
    t.flashFrom = kGuiStartWait;
    t.flashTo = kGuiStartWait + flashSeconds;
    t.modelledSeconds = t.flashTo + kDriverRestartWait + kMediumPollWait * std::max(0, mediumChecks - 1);
    t.counted = countedSeconds > t.flashTo;
    t.updateSeconds = t.counted ? countedSeconds : t.modelledSeconds;
    t.source = "the cuts' moments from the chip timing model over the replayed bus writes "
               "(typical datasheet figures), the writing placed after the updater's " +
               Fixed(kGuiStartWait, 0) + " s link start; the update's duration " +
               (t.counted ? std::string("counted from what the reference run did: its fixed waits, the chip's busy "
                                        "time over its operations and the updater's own work (CPU time at this "
                                        "host's rate)")
                          : "modelled: the writing, the " + Fixed(kDriverRestartWait, 0) + " s driver restart and " +
                                Fixed(kMediumPollWait, 0) + " s per further medium poll");
    return t;
}

double LogWriteMoment(const UpdateTimeline& t, uint64_t busWritesBefore, uint64_t busWrites,
                      double chipSecondsOfNext)
{
    if (busWritesBefore == 0) return t.flashFrom;
    if (busWritesBefore >= busWrites) return t.flashTo + kDriverRestartWait;
    return t.flashFrom + chipSecondsOfNext;
}

}  // namespace swsim
