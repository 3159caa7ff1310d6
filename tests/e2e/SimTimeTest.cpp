// Simulated time: a fast run ends as the same run in real time does; the
// report's instrument time; when a fast run is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "E2eSupport.h"
#include "InstrumentTime.h"
#include "Sanitizers.h"
#include "SimClock.h"
#include "SimFiles.h"
#include "SimLogs.h"
#include "SimState.h"

using namespace swsim;

namespace {

#define NEED_SIMULATED_TIME()                                                        \
    do {                                                                             \
        std::string lib_, why_;                                                      \
        if (!SimulatedTimeAvailable(&lib_, &why_)) GTEST_SKIP() << "no simulated time: " << why_; \
    } while (0)

// One instrument with the sample's medium, run once.
struct SampleRun {
    ScratchDir scratch;
    std::string state = scratch.path() + "/inst";
    std::string output;
    int rc = -1;

    SampleRun(const std::string& faults, const std::vector<std::string>& options)
    {
        if (Swsim({"create", state}, &output) != 0 || Swsim({"medium", state, "--sample"}, &output) != 0) return;
        std::vector<std::string> args = {"run", state, "--quiet", "--timeout", "600"};
        if (!faults.empty()) {
            const std::string file = scratch.path() + "/faults";
            WriteText(file, faults);
            args.insert(args.end(), {"--faults", file});
        }
        args.insert(args.end(), options.begin(), options.end());
        rc = Swsim(args, &output);
    }
    StatePaths paths() const { return StatePaths(state); }
    std::vector<uint8_t> Bytes(const std::string& path) const
    {
        std::vector<uint8_t> b;
        ReadBytes(path, &b);
        return b;
    }
    // The log's records without their time of writing (the first 4 bytes of
    // every entry's info), which follows the clock.
    std::vector<std::vector<uint8_t>> LogWithoutTimes(const std::string& name) const
    {
        const auto bytes = Bytes(paths().instrumentData() + "/" + name);
        const DecodedLog log = DecodeLog(bytes, !bytes.empty(), *FindLog(name));
        std::vector<std::vector<uint8_t>> out;
        for (const auto& r : log.records) {
            std::vector<uint8_t> entry = {static_cast<uint8_t>(r.position), static_cast<uint8_t>(r.recordNo)};
            if (!r.empty() && r.info.size() >= 4) entry.insert(entry.end(), r.info.begin() + 4, r.info.end());
            out.push_back(entry);
        }
        return out;
    }
};

struct SpeedCase {
    const char* name;
    const char* faults;
    std::vector<std::string> options;
};
std::ostream& operator<<(std::ostream& os, const SpeedCase& c) { return os << c.name; }

class FastRun : public ::testing::TestWithParam<SpeedCase> {};

// The same run at the default speed and in real time. Both without chip
// timing, which only lengthens the real-time run and is compared below.
TEST_P(FastRun, EndsAsTheSameRunInRealTime)
{
    NEED_SIMULATED_TIME();
    std::vector<std::string> fastOptions = GetParam().options, realOptions = GetParam().options;
    fastOptions.insert(fastOptions.end(), {"--chip-timing", "off"});
    realOptions.insert(realOptions.end(), {"--chip-timing", "off", "--speed", "1"});
    SampleRun fast(GetParam().faults, fastOptions);
    SampleRun real(GetParam().faults, realOptions);
    if (fast.rc == 77 || real.rc == 77) GTEST_SKIP() << "no instrument root: " << fast.output;
    ASSERT_EQ(fast.rc, 0) << fast.output;
    ASSERT_EQ(real.rc, 0) << real.output;

    auto f = Summary(fast.state), r = Summary(real.state);
    EXPECT_EQ(f["speed"], std::to_string(static_cast<int>(kDefaultSpeed)));
    EXPECT_EQ(r["speed"], "1");
    for (const char* key : {"outcome", "screens", "written", "kept", "rejected", "flash-ok", "rest-preserved",
                            "untouched-unchanged", "changed-sectors", "reboot", "installed", "board-tools",
                            "rev-entries", "diag-indexes", "corrupt-copies", "medium-polls", "erases",
                            "programs", "backup", "updater"}) {
        EXPECT_EQ(f[key], r[key]) << key;
    }
    EXPECT_TRUE(fast.Bytes(fast.paths().flash()) == real.Bytes(real.paths().flash())) << "flash content";
    EXPECT_EQ(ReadTextOr(fast.paths().boardTools(), "a"), ReadTextOr(real.paths().boardTools(), "b"));
    for (const auto& log : InstrumentLogs()) {
        EXPECT_EQ(fast.LogWithoutTimes(log.name), real.LogWithoutTimes(log.name)) << log.name;
    }
    // The same instrument time, give or take the host's own work, which
    // counts the speed's times over in the fast run.
    EXPECT_EQ(f["fixed-wait-seconds"], r["fixed-wait-seconds"]);
    EXPECT_GE(std::stod(f["instrument-seconds"]), std::stod(f["fixed-wait-seconds"]));
    EXPECT_GE(std::stod(r["instrument-seconds"]), std::stod(r["fixed-wait-seconds"]));
    // ... and a fast run is fast.
    EXPECT_LT(std::stod(f["wall-seconds"]), std::stod(r["wall-seconds"]));
}

INSTANTIATE_TEST_SUITE_P(Runs, FastRun,
                         ::testing::Values(SpeedCase{"Sample", "", {}},
                                           // fails while writing: the failure screen, the medium
                                           // waited for, the flash left as the fault left it
                                           SpeedCase{"EraseFault", "erase-status 16 0xA0\n", {}},
                                           SpeedCase{"Declined", "", {"--answer", "no"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// With the chip's typical timing, the sample's run takes the chip's time on
// the instrument's clock, and its estimate covers it.
TEST(InstrumentTime, SampleTakesTheChipsTimeWithinItsEstimate)
{
    NEED_SIMULATED_TIME();
#if defined(SWU_SANITIZED)
    GTEST_SKIP() << "a sanitizer build's updater does its own work several times slower, and the simulated "
                    "clock counts that many times over: its instrument time is not the instrument's";
#endif
    // At a fifth of the default speed: the host's own work (the updater's
    // polls and copies) counts the speed's times over on the simulated
    // clock, and on a loaded machine (the suite's other updater runs beside
    // it) the default speed would turn a fraction of a second of it into
    // more than the estimate's margin.
    SampleRun run("", {"--chip-timing", "typical", "--speed", "10"});
    if (run.rc == 77) GTEST_SKIP() << "no instrument root: " << run.output;
    ASSERT_EQ(run.rc, 0) << run.output;
    auto s = Summary(run.state);
    EXPECT_EQ(s["outcome"], "done");
    const double chip = std::stod(s["chip-seconds"]);
    EXPECT_NEAR(chip, 20 * 1.0 + std::stod(s["programs"]) * 12e-6 + 4 * 0.5, 0.1);
    EXPECT_EQ(s["fixed-wait-seconds"], "10.0");  // GUI start, driver restart, one medium check
    EXPECT_GT(std::stod(s["instrument-seconds"]), chip + 10);
    EXPECT_EQ(s["estimate-short"], "no") << "measured " << s["instrument-seconds"] << " s, estimate "
                                         << s["update-estimate"] << " s";
    EXPECT_NE(run.output.find("Instrument time"), std::string::npos);
    EXPECT_EQ(run.output.find("WARNING: the estimate"), std::string::npos) << run.output;
}

// Where there is no simulated time, an explicit fast run is refused before
// anything is changed, the default falls back to real time with a notice.
TEST(SimulatedTime, IsRefusedUnderQemuUser)
{
    setenv("SWU_QEMU_ARM", "/usr/bin/qemu-arm", 1);
    std::string lib, why;
    const bool available = SimulatedTimeAvailable(&lib, &why);
    ScratchDir scratch;
    const std::string state = scratch.path() + "/inst";
    std::string output;
    ASSERT_EQ(Swsim({"create", state}, &output), 0) << output;
    const int rc = Swsim({"run", state, "--speed", "10"}, &output);
    unsetenv("SWU_QEMU_ARM");
    EXPECT_FALSE(available);
    EXPECT_NE(why.find("qemu-user"), std::string::npos) << why;
    EXPECT_EQ(rc, 1) << output;
    EXPECT_NE(output.find("--speed 10 needs simulated time"), std::string::npos) << output;
    EXPECT_FALSE(PathExists(StatePaths(state).runRecord())) << "nothing was run";
}

TEST(SimulatedTime, RunsTheWholeRunOnOneClock)
{
    // A program started later is put ahead by what the clock gained
    // meanwhile; one started at the origin runs with no offset.
    const auto atOrigin = SimClockEnvironment("/lib/ft.so", 50, 0, nullptr);
    const auto later = SimClockEnvironment("/lib/ft.so", 50, 0.1, "/lib/other.so");
    EXPECT_EQ(atOrigin[0], "LD_PRELOAD=/lib/ft.so");
    EXPECT_EQ(atOrigin[1], "FAKETIME=+0.000000 x50");
    EXPECT_EQ(later[0], "LD_PRELOAD=/lib/other.so:/lib/ft.so") << "the caller's preloads are kept";
    EXPECT_EQ(later[1], "FAKETIME=+4.900000 x50");
    // Replaced, added and removed variables.
    const auto env = MergeEnvironment({"A=1", "FAKETIME_DONT_FAKE_MONOTONIC=1", "LD_PRELOAD=x", "B=2"}, later);
    EXPECT_EQ(std::count(env.begin(), env.end(), "A=1"), 1);
    EXPECT_EQ(std::count(env.begin(), env.end(), "B=2"), 1);
    EXPECT_EQ(std::count(env.begin(), env.end(), "LD_PRELOAD=x"), 0);
    EXPECT_EQ(std::count(env.begin(), env.end(), "FAKETIME_DONT_FAKE_MONOTONIC=1"), 0)
        << "the chip's timing needs a simulated monotonic clock";
    EXPECT_EQ(EffectiveSpeed(0, false), kDefaultSpeed);
    EXPECT_EQ(EffectiveSpeed(0, true), 1) << "the user answers in real time";
    EXPECT_EQ(EffectiveSpeed(3, true), 3);
}

// The instrument's time read from a run's records.
struct TimingCase {
    const char* name;
    const char* record;
    const char* trace;
    const char* estimate;
    double seconds;
    double fixed;
    double chip;
    int mediumChecks;
    const char* estimateShort;
};
std::ostream& operator<<(std::ostream& os, const TimingCase& c) { return os << c.name; }

class RunTimingCase : public ::testing::TestWithParam<TimingCase> {};

const char kDoneTrace[] =
    "GUI Initialized!\nSlaying flash driver\nMSD attached fil descriptor is 4\n"
    "MSD attached fil descriptor is 4\nMSD attached fil descriptor is -1\n";

TEST_P(RunTimingCase, CountsWaitsChipAndEstimate)
{
    const auto& c = GetParam();
    // 20 erases, 1,000,000 word programs, 4 lock-bit clearings; the bus
    // accesses are not part of the chip's busy time.
    const RunTiming t = TimingOf(c.record, c.trace, {20, 1e6, 4, 1e9}, c.estimate);
    EXPECT_EQ(t.mediumChecks, c.mediumChecks);
    EXPECT_DOUBLE_EQ(t.seconds, c.seconds);
    EXPECT_DOUBLE_EQ(t.fixedSeconds, c.fixed);
    EXPECT_NEAR(t.chipSeconds, c.chip, 1e-9);
    std::ostringstream out;
    std::map<std::string, std::string> summary;
    ReportTiming(t, &out, &summary);
    EXPECT_EQ(summary["estimate-short"], c.estimateShort) << out.str();
    EXPECT_EQ(out.str().find("WARNING") != std::string::npos, std::string(c.estimateShort) == "yes") << out.str();
}

INSTANTIATE_TEST_SUITE_P(
    Records, RunTimingCase,
    ::testing::Values(
        TimingCase{"Typical", "speed=50\nchip-timing=typical\nupdater-seconds=70.5\nreboot-seconds=70.0\n", kDoneTrace,
                   "78\n", 70.0, 3 + 5 + 2 * 2, 20 + 12 + 2, 3, "no"},
        // measured on the reboot request, not on the updater's end
        TimingCase{"EstimateShort", "speed=1\nchip-timing=typical\nupdater-seconds=70.5\nreboot-seconds=70.0\n",
                   kDoneTrace, "69", 70.0, 12, 34, 3, "yes"},
        TimingCase{"EstimateEqualIsEnough", "speed=1\nchip-timing=off\nupdater-seconds=9\nreboot-seconds=9.0\n",
                   kDoneTrace, "9 s", 9.0, 12, 0, 3, "no"},
        // no reboot: the updater's end; the chip's own timing of the run
        TimingCase{"NoReboot", "speed=25\nchip-timing=2,0,1\nupdater-seconds=40.0\nreboot-seconds=\n",
                   "GUI Initialized!\n", "30", 40.0, 3, 44, 0, "yes"},
        TimingCase{"NoEstimate", "speed=25\nchip-timing=off\nupdater-seconds=4.0\nreboot-seconds=\n", "", "", 4.0,
                   0, 0, 0, "no"},
        // a record from before simulated time: real time, no chip timing
        TimingCase{"OldRecord", "wall-seconds=10\n", kDoneTrace, "60", -1, 12, 0, 3, "no"}),
    [](const auto& info) { return std::string(info.param.name); });

// The sample medium's estimate: every sector's erase and word programs, a
// lock-bit clearing per image, the fixed waits of a run and 30 s of margin.
struct EstimateCase {
    uint64_t sectors;
    int images;
    int seconds;
};
class SampleEstimate : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(SampleEstimate, CountsTheWritingOnATypicalChip)
{
    const auto& c = GetParam();
    EXPECT_EQ(SampleEstimateSeconds(c.sectors, c.images), c.seconds) << c.sectors << " sectors";
}

// 20 sectors: 20 s of erases, 1,310,720 words x 12 us, 4 x 0.5 s, 10 s of
// waits: 47.7 s, rounded up.
INSTANTIATE_TEST_SUITE_P(Media, SampleEstimate,
                         ::testing::Values(EstimateCase{20, 4, 78}, EstimateCase{0, 0, 40},
                                           EstimateCase{1, 1, 43}, EstimateCase{128, 1, 270}));

}  // namespace
