#include "SimTiming.h"

#include <cstdio>
#include <cstdlib>

#include "NorChip.h"
#include "SimState.h"

namespace swsim {

namespace {

int CountOf(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

std::string Fixed(double v, int decimals)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

}  // namespace

RunTiming TimingOf(const std::string& runRecord, const std::string& trace, double erases, double programs,
                   double unlocks, const std::string& estimateText)
{
    RunTiming t;
    const std::string speed = RecordValue(runRecord, "speed");
    t.speed = speed.empty() ? 1 : std::atof(speed.c_str());
    const std::string reboot = RecordValue(runRecord, "reboot-seconds");
    const std::string end = RecordValue(runRecord, "updater-seconds");
    t.rebooted = !reboot.empty();
    if (t.rebooted) t.seconds = std::atof(reboot.c_str());
    else if (!end.empty()) t.seconds = std::atof(end.c_str());

    t.guiStarts = CountOf(trace, "GUI Initialized!");
    t.driverRestarts = CountOf(trace, "Slaying flash driver");
    // Every check of the wait for the medium's removal that still finds it
    // is followed by a pause; the last one (descriptor -1) is not.
    t.mediumWaits = CountOf(trace, "MSD attached fil descriptor is") -
                    CountOf(trace, "MSD attached fil descriptor is -1");
    t.fixedSeconds = t.guiStarts * kGuiStartWait + t.driverRestarts * kDriverRestartWait +
                     t.mediumWaits * kMediumPollWait;

    norsim::NorTiming chip;
    std::string error;
    const std::string timingText = RecordValue(runRecord, "chip-timing");
    if (timingText.empty() || norsim::ParseTimingText(timingText, &chip, &error) != 0) chip = norsim::NorTiming::Off();
    t.chipSeconds = erases * chip.eraseSeconds + programs * chip.programSeconds + unlocks * chip.unlockSeconds;

    // Read as the updater reads it: the leading whole number.
    char* stop = nullptr;
    const long est = std::strtol(estimateText.c_str(), &stop, 10);
    if (stop != estimateText.c_str() && est >= 0) t.estimate = static_cast<int>(est);
    return t;
}

void ReportTiming(const RunTiming& t, std::ostringstream* out, std::map<std::string, std::string>* summary)
{
    auto& o = *out;
    auto& s = *summary;
    s["speed"] = Fixed(t.speed, t.speed == static_cast<int>(t.speed) ? 0 : 2);
    o << "\nInstrument time (the run's clock, " << (t.speed == 1 ? std::string("real time") : s["speed"] + " times real time")
      << "):\n";
    if (t.seconds < 0) {
        o << "  not measured (the run's record holds no times)\n";
        s["estimate-short"] = "no";
        return;
    }
    o << "  the update from the updater's start to " << (t.rebooted ? "the reboot request" : "its end (no reboot request)")
      << ": " << Fixed(t.seconds, 1) << " s\n";
    o << "    fixed waits " << Fixed(t.fixedSeconds, 1) << " s (" << t.guiStarts << " GUI start x " << kGuiStartWait
      << " s, " << t.driverRestarts << " flash-driver restart x " << kDriverRestartWait << " s, " << t.mediumWaits
      << " medium check x " << kMediumPollWait << " s)\n";
    o << "    chip busy " << Fixed(t.chipSeconds, 1) << " s (at the run's chip timing)\n";
    const double rest = t.seconds - t.fixedSeconds - t.chipSeconds;
    o << "    the rest " << Fixed(rest, 1) << " s (the updater's own work and the commands it runs";
    if (t.speed != 1) o << "; the host's share of it counts " << s["speed"] << " times at this speed";
    o << ")\n";
    s["instrument-seconds"] = Fixed(t.seconds, 1);
    s["fixed-wait-seconds"] = Fixed(t.fixedSeconds, 1);
    s["chip-seconds"] = Fixed(t.chipSeconds, 1);
    if (t.estimate < 0) {
        o << "  the medium's estimate (/tmp/estUpdateTime): none\n";
        s["update-estimate"] = "";
        s["estimate-short"] = "no";
        return;
    }
    o << "  the medium's estimate (/tmp/estUpdateTime): " << t.estimate << " s\n";
    s["update-estimate"] = std::to_string(t.estimate);
    const bool shortEstimate = t.estimate < t.seconds;
    s["estimate-short"] = shortEstimate ? "yes" : "no";
    if (shortEstimate) {
        o << "  WARNING: the estimate is shorter than the measured duration (" << t.estimate << " s < "
          << Fixed(t.seconds, 1) << " s): the GUI's progress runs out before the update ends\n";
    }
}

}  // namespace swsim
