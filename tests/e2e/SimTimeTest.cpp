// Simulated time: a fast run ends as the same run in real time does; the
// report's instrument time; when a fast run is refused; the pauses and CPU
// time a run counts; the order of a run's events on a loaded machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "BusyCores.h"
#include "E2eSupport.h"
#include "InstrumentTime.h"
#include "RunCounts.h"
#include "Sanitizers.h"
#include "TraceTexts.h"
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
    RunCounts Counts() const
    {
        RunCounts c;
        std::string why;
        EXPECT_TRUE(ReadRunCounts(state, &c, &why)) << why;
        return c;
    }
    // The GUI's lines without their time of day. A sanitizer build's
    // warnings ("==PID==WARNING: ...", e.g. that it cannot name the
    // executable inside the root) are no lines of the GUI: they carry the
    // process id, whose width varies from run to run.
    std::vector<std::string> GuiLines() const
    {
        static const std::regex warning("^==[0-9]+==WARNING: .*");
        std::vector<std::string> lines;
        for (const auto& line : SplitLines(ReadTextOr(paths().guiRecord(), ""))) {
            if (std::regex_match(line, warning)) continue;
            lines.push_back(line.size() > 13 ? line.substr(13) : line);
        }
        return lines;
    }
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

// A run's counted pauses, each as "PROCESS CALL SECONDS KIND", in order
// (without the process numbers, which differ from run to run).
std::vector<std::string> WaitsOf(const RunCounts& c)
{
    std::vector<std::string> out;
    for (const auto& w : c.waits) {
        std::ostringstream line;
        line << w.process << (w.mainThread ? "" : " (thread)") << " " << w.call << " " << w.seconds << " " << w.kind;
        out.push_back(line.str());
    }
    return out;
}

struct SpeedCase {
    const char* name;
    const char* faults;
    std::vector<std::string> options;
    std::vector<std::string> waits;  // the kinds of the pauses counted, in order
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
    // The update's duration is counted, not read from the clock: the same
    // in both, give or take the updater's CPU time.
    EXPECT_NEAR(std::stod(f["instrument-seconds"]), std::stod(r["instrument-seconds"]), 1.0);
    // ... and a fast run is fast.
    EXPECT_LT(std::stod(f["wall-seconds"]), std::stod(r["wall-seconds"]));

    // The counted pauses are the lengths the updater asked for, not those
    // of the fast clock: the same in both runs.
    const RunCounts fc = fast.Counts(), rc = real.Counts();
    ASSERT_TRUE(fc.waitsCounted) << fc.waitsWhy;
    ASSERT_TRUE(rc.waitsCounted) << rc.waitsWhy;
    std::vector<std::string> kinds;
    double total = 0;
    for (const auto& w : fc.waits) {
        kinds.push_back(w.kind);
        total += w.seconds;
    }
    EXPECT_EQ(kinds, GetParam().waits);
    EXPECT_EQ(fc.waitCount, static_cast<int>(kinds.size()));
    EXPECT_DOUBLE_EQ(fc.waitSeconds, total);
    EXPECT_EQ(WaitsOf(fc), WaitsOf(rc));
    EXPECT_EQ(fc.speed, kDefaultSpeed);
    EXPECT_EQ(rc.speed, 1);
    EXPECT_TRUE(fc.cpuMeasured && rc.cpuMeasured);
    EXPECT_GT(fc.cpuSeconds, 0);
}

INSTANTIATE_TEST_SUITE_P(Runs, FastRun,
                         ::testing::Values(SpeedCase{"Sample", "", {}, {"gui-start", "driver-restart", "medium-check"}},
                                           // fails while writing: the failure screen, the medium
                                           // waited for, the flash left as the fault left it
                                           SpeedCase{"EraseFault", "erase-status 16 0xA0\n", {},
                                                     {"gui-start", "driver-restart", "medium-check"}},
                                           SpeedCase{"Declined", "", {"--answer", "no"}, {"gui-start"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// The sample's run at the default speed: the chip kept no time (the run is
// fast), yet the update's duration holds the chip's busy time at typical
// timing over the operations the run made, the fixed waits and the
// updater's own work, and the medium's estimate covers it.
TEST(InstrumentTime, SampleCountsTheChipsTimeWithinItsEstimate)
{
    NEED_SIMULATED_TIME();
    SampleRun run("", {});
    if (run.rc == 77) GTEST_SKIP() << "no instrument root: " << run.output;
    ASSERT_EQ(run.rc, 0) << run.output;
    auto s = Summary(run.state);
    EXPECT_EQ(s["outcome"], "done");
    EXPECT_EQ(RecordValue(ReadTextOr(run.paths().runRecord(), ""), "chip-timing-run"), "off");
    const double chip = std::stod(s["chip-seconds"]);
    EXPECT_NEAR(chip, 20 * 1.0 + std::stod(s["programs"]) * 12e-6 + 4 * 0.5 + std::stod(s["bus-accesses"]) * 100e-9,
                0.1);
    EXPECT_EQ(s["fixed-wait-seconds"], "10.0");  // GUI start, driver restart, one medium check
    EXPECT_EQ(s["time-counted"], "yes");
    const double work = std::stod(s["updater-work-seconds"]);
    EXPECT_GT(work, 0);
    EXPECT_NEAR(std::stod(s["instrument-seconds"]), chip + 10 + work, 0.11);
    EXPECT_EQ(s["estimate-short"], "no") << "duration " << s["instrument-seconds"] << " s, estimate "
                                         << s["update-estimate"] << " s";
    EXPECT_NE(run.output.find("Instrument time"), std::string::npos);
    EXPECT_EQ(run.output.find("WARNING: the estimate"), std::string::npos) << run.output;
}

// The sample's duration counted at the default speed agrees with the clock
// of the same run in real time with the chip keeping its typical time.
// Takes the real-time run's ~50 s: one run of each.
TEST(InstrumentTime, SampleDurationAgreesWithTheRealTimeClock)
{
    NEED_SIMULATED_TIME();
#if defined(SWU_SANITIZED)
    GTEST_SKIP() << "a sanitizer build's updater does its own work several times slower than the instrument's";
#endif
    SampleRun fast("", {});
    if (fast.rc == 77) GTEST_SKIP() << "no instrument root: " << fast.output;
    SampleRun real("", {"--speed", "1"});
    ASSERT_EQ(fast.rc, 0) << fast.output;
    ASSERT_EQ(real.rc, 0) << real.output;
    auto f = Summary(fast.state), r = Summary(real.state);
    EXPECT_EQ(RecordValue(ReadTextOr(real.paths().runRecord(), ""), "chip-timing-run"), "typical");
    EXPECT_NE(real.output.find("as a cross-check"), std::string::npos) << real.output;
    const double counted = std::stod(f["instrument-seconds"]), clock = std::stod(r["clock-seconds"]);
    // The real-time run counts the same, its polling of the busy chip not
    // counted twice.
    EXPECT_NEAR(std::stod(r["instrument-seconds"]), counted, 1.0);
    EXPECT_LT(counted, clock + 1.0) << "the clock of a real-time run is never short of the instrument's time";
    // A real-time clock runs on while the updater waits for a processor: on
    // a machine busy with more than its cores' work it is stretched, and
    // only then may it run more than a second ahead.
    if (clock > counted + 1.0) {
        double load = 0;
        std::istringstream(ReadTextOr("/proc/loadavg", "0")) >> load;
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        if (load > cores) {
            GTEST_SKIP() << "the real-time clock ran " << clock - counted << " s ahead of the counted " << counted
                         << " s with the machine's load at " << load << " on " << cores << " cores";
        }
        ADD_FAILURE() << "counted " << counted << " s, the real-time clock " << clock << " s (load " << load << ")";
    }
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

// The instrument's time read from a run's records and what it counted.
struct TimingCase {
    const char* name;
    const char* record;
    std::string trace;
    const char* estimate;
    // What the run counted: nothing (an old run), pauses not counted, or
    // counted with the CPU time `cpu` and the chip timing its model waited for.
    enum Counted { None, NotCounted, Counted } counted;
    double cpu;
    const char* chipTimingRun;
    double speed;
    double clock;        // the run's clock
    double fixed;
    double chip;
    double duration;     // < 0: unknown
    int mediumChecks;
    const char* estimateShort;
};
std::ostream& operator<<(std::ostream& os, const TimingCase& c) { return os << c.name; }

class RunTimingCase : public ::testing::TestWithParam<TimingCase> {};

// The medium still found twice, then gone (descriptor -1).
const std::string kMediumFound = swsim::tracetext::kMediumCheck + std::string(" 4");
const std::string kDoneTrace = TraceOf({swsim::tracetext::kGuiInitialized, swsim::tracetext::kDriverRestart,
                                        kMediumFound, kMediumFound, swsim::tracetext::kMediumGone});

// The pauses of a run that checked for the medium three times: the
// updater's own, the GUI server's look-up retries beside the GUI start (not
// added), and a program the updater started and waited for.
RunCounts CountsOf(const TimingCase& c)
{
    RunCounts counts;
    counts.speed = c.speed;
    counts.chipTiming = c.chipTimingRun;
    counts.cpuMeasured = true;
    counts.cpuSeconds = c.cpu;
    if (c.counted == TimingCase::NotCounted) {
        counts.waitsWhy = "the programs run under qemu-user";
        return counts;
    }
    counts.waitsCounted = true;
    int processes = 0;
    bool loaded = false;
    counts.waits = ParseWaitRecord("40 40 SwUpdate start 0\n40 41 SwUpdate nanosleep 0.2\n"
                                   "40 41 SwUpdate nanosleep 0.2\n40 40 SwUpdate sleep 3\n"
                                   "52 52 sleep nanosleep 1.5\n40 40 SwUpdate sleep 5\n40 40 SwUpdate sleep 2\n"
                                   "40 40 SwUpdate sleep 2\n",
                                   40, &processes, &loaded);
    return counts;
}

TEST_P(RunTimingCase, CountsWaitsChipWorkAndEstimate)
{
    const auto& c = GetParam();
    // 20 erases, 1,000,000 word programs, 4 lock-bit clearings and
    // 10,000,000 bus accesses (1 s).
    const RunCounts counts = CountsOf(c);
    const RunTiming t =
        TimingOf(c.record, c.trace, {20, 1e6, 4, 1e7}, c.estimate, c.counted == TimingCase::None ? nullptr : &counts);
    EXPECT_EQ(t.mediumChecks, c.mediumChecks);
    EXPECT_DOUBLE_EQ(t.seconds, c.clock);
    EXPECT_NEAR(t.fixedSeconds, c.fixed, 1e-9);
    EXPECT_NEAR(t.chipSeconds, c.chip, 1e-9);
    EXPECT_EQ(t.duration.known, c.duration >= 0) << t.duration.why;
    if (c.duration >= 0) {
        EXPECT_NEAR(t.duration.seconds, c.duration, 1e-9);
    }
    std::ostringstream out;
    std::map<std::string, std::string> summary;
    ReportTiming(t, &out, &summary);
    EXPECT_EQ(summary["estimate-short"], c.estimateShort) << out.str();
    EXPECT_EQ(out.str().find("WARNING") != std::string::npos, std::string(c.estimateShort) == "yes") << out.str();
    // An unknown duration is said, never given as a figure.
    EXPECT_EQ(summary["instrument-seconds"].empty(), c.duration < 0) << out.str();
    EXPECT_EQ(summary["time-counted"].rfind(c.duration < 0 ? "no: " : "yes", 0), 0u) << summary["time-counted"];
    if (c.counted == TimingCase::NotCounted) {
        EXPECT_NE(out.str().find("qemu-user"), std::string::npos) << out.str();
    }
    // The clock stands beside the duration as a cross-check in real time only.
    EXPECT_EQ(out.str().find("as a cross-check") != std::string::npos, c.speed == 1 && c.clock >= 0) << out.str();
}

// Typical timing: 20 s of erases, 12 s of programs, 2 s of lock bits, 1 s
// of bus accesses. Counted waits: 3 + 5 + 2 x 2 s and the 1.5 s program.
INSTANTIATE_TEST_SUITE_P(
    Records, RunTimingCase,
    ::testing::Values(
        TimingCase{"Typical", "speed=50\nchip-timing=typical\nupdater-seconds=70.5\nreboot-seconds=70.0\n", kDoneTrace,
                   "78\n", TimingCase::Counted, 0.5, "off", 50, 70.0, 13.5, 35, 49, 3, "no"},
        // the clock (here far longer: a loaded host) does not enter
        TimingCase{"ClockIgnored", "speed=50\nchip-timing=typical\nupdater-seconds=99\nreboot-seconds=98.0\n",
                   kDoneTrace, "50", TimingCase::Counted, 0.5, "off", 50, 98.0, 13.5, 35, 49, 3, "no"},
        TimingCase{"EstimateShort", "speed=50\nchip-timing=typical\nreboot-seconds=70.0\n", kDoneTrace, "48",
                   TimingCase::Counted, 0.5, "off", 50, 70.0, 13.5, 35, 49, 3, "yes"},
        TimingCase{"EstimateEqualIsEnough", "speed=50\nchip-timing=typical\nreboot-seconds=70.0\n", kDoneTrace,
                   "49 s", TimingCase::Counted, 0.5, "off", 50, 70.0, 13.5, 35, 49, 3, "no"},
        // a chip kept busy in real time was polled by the updater: that CPU
        // time is the chip's (34 s at speed 1), counted once
        TimingCase{"PolledInRealTime", "speed=1\nchip-timing=typical\nreboot-seconds=50.0\n", kDoneTrace, "78",
                   TimingCase::Counted, 34.5, "typical", 1, 50.0, 13.5, 35, 49, 3, "no"},
        TimingCase{"PolledAtSpeed", "speed=2\nchip-timing=typical\nreboot-seconds=50.0\n", kDoneTrace, "78",
                   TimingCase::Counted, 17.5, "typical", 2, 50.0, 13.5, 35, 49, 3, "no"},
        // ... less CPU time than the polling took (a loaded host) is no negative work
        TimingCase{"PolledLessThanBusy", "speed=1\nchip-timing=typical\nreboot-seconds=50.0\n", kDoneTrace, "78",
                   TimingCase::Counted, 20, "typical", 1, 50.0, 13.5, 35, 48.5, 3, "no"},
        // no reboot: the updater's end; the chip's own timing of the run
        TimingCase{"NoReboot", "speed=25\nchip-timing=2,0,1\nupdater-seconds=40.0\nreboot-seconds=\n",
                   "GUI Initialized!\n", "30", TimingCase::Counted, 0, "off", 25, 40.0, 13.5, 45, 58.5, 0, "yes"},
        // under qemu-user: the fixed waits the trace tells, no duration; an
        // estimate short of the chip and those waits is still short
        TimingCase{"NotCounted", "speed=1\nchip-timing=typical\nreboot-seconds=70.0\n", kDoneTrace, "40",
                   TimingCase::NotCounted, 0.5, "typical", 1, 70.0, 12, 35, -1, 3, "yes"},
        TimingCase{"NotCountedEstimateCovers", "speed=1\nchip-timing=typical\nreboot-seconds=70.0\n", kDoneTrace,
                   "60", TimingCase::NotCounted, 0.5, "typical", 1, 70.0, 12, 35, -1, 3, "no"},
        TimingCase{"NoEstimate", "speed=25\nchip-timing=off\nupdater-seconds=4.0\nreboot-seconds=\n", "", "",
                   TimingCase::Counted, 0.25, "off", 25, 4.0, 13.5, 1, 14.75, 0, "no"},
        // a record from before simulated time and the counting
        TimingCase{"OldRecord", "wall-seconds=10\n", kDoneTrace, "60", TimingCase::None, 0, "", 1, -1, 12, 1, -1, 3,
                   "no"}),
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

struct OrderCase {
    const char* name;
    std::vector<std::string> options;
    const char* mediumPolls;  // the updater's looks until the medium is out
};
std::ostream& operator<<(std::ostream& os, const OrderCase& c) { return os << c.name; }

class LoadedMachine : public ::testing::TestWithParam<OrderCase> {};

// What a run compares and reports comes out the same with both cores busy
// as on an idle machine: the medium is taken out at the updater's looks, the
// answer follows the question, the updater starts once the GUI serves.
TEST_P(LoadedMachine, KeepsTheOrderOfEvents)
{
    NEED_SIMULATED_TIME();
    SampleRun idle("", GetParam().options);
    if (idle.rc == 77) GTEST_SKIP() << "no instrument root: " << idle.output;
    ASSERT_EQ(idle.rc, 0) << idle.output;
    std::unique_ptr<SampleRun> loaded;
    {
        BusyCores busy;
        loaded = std::make_unique<SampleRun>("", GetParam().options);
    }
    ASSERT_EQ(loaded->rc, 0) << loaded->output;
    auto i = Summary(idle.state), l = Summary(loaded->state);
    EXPECT_EQ(i["medium-polls"], GetParam().mediumPolls);
    for (const char* key : {"outcome", "screens", "medium-polls", "reboot", "board-tools", "written", "flash-ok",
                            "rev-entries", "fixed-wait-seconds", "chip-seconds", "time-counted"}) {
        EXPECT_EQ(i[key], l[key]) << key;
    }
    EXPECT_NEAR(std::stod(i["instrument-seconds"]), std::stod(l["instrument-seconds"]), 1.0);
    EXPECT_EQ(idle.GuiLines(), loaded->GuiLines());
    EXPECT_EQ(WaitsOf(idle.Counts()), WaitsOf(loaded->Counts()));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LoadedMachine,
    ::testing::Values(OrderCase{"Sample", {}, "2"},
                      // taken out before the first look; and during the third
                      OrderCase{"PulledAtOnce", {"--pull-after", "0"}, "1"},
                      OrderCase{"PulledAfterFiveSeconds", {"--pull-after", "5"}, "4"},
                      // the user's answer comes a while after the question
                      OrderCase{"LateAnswer", {"--answer-delay", "30"}, "2"},
                      // a clock twenty times the default: 2 s between looks is 2 ms
                      OrderCase{"FasterClock", {"--speed", "1000", "--timeout", "86400"}, "2"},
                      OrderCase{"FasterClockPulledAfterFiveSeconds",
                                {"--speed", "1000", "--timeout", "86400", "--pull-after", "5"}, "4"}),
    [](const auto& info) { return std::string(info.param.name); });

// Where nothing can be preloaded, the pauses are reported as not counted,
// never as none.
TEST(CountedWaits, AreUnknownWithoutAPreload)
{
    setenv("SWU_QEMU_ARM", "/usr/bin/qemu-arm", 1);
    SampleRun run("", {"--answer", "no", "--chip-timing", "off"});
    unsetenv("SWU_QEMU_ARM");
    if (run.rc == 77) GTEST_SKIP() << "no instrument root: " << run.output;
    ASSERT_EQ(run.rc, 0) << run.output;
    const RunCounts c = run.Counts();
    EXPECT_FALSE(c.waitsCounted);
    EXPECT_NE(c.waitsWhy.find("qemu-user"), std::string::npos) << c.waitsWhy;
    EXPECT_TRUE(c.waits.empty());
    EXPECT_EQ(c.waitCount, 0);
    EXPECT_TRUE(c.cpuMeasured);
    EXPECT_EQ(RecordValue(ReadTextOr(run.paths().runRecord(), ""), "wait-seconds"), "");
    // ... and the update's duration is said to be unknown, not given short.
    auto s = Summary(run.state);
    EXPECT_EQ(s["instrument-seconds"], "");
    EXPECT_NE(s["time-counted"].find("qemu-user"), std::string::npos) << s["time-counted"];
}

// The recorder's lines as pauses.
struct RecordLineCase {
    const char* name;
    const char* line;
    bool counted;      // taken as a pause
    const char* kind;
    bool updater;
    bool mainThread;
};
std::ostream& operator<<(std::ostream& os, const RecordLineCase& c) { return os << c.name; }

class WaitRecordLine : public ::testing::TestWithParam<RecordLineCase> {};

TEST_P(WaitRecordLine, IsReadAsItsPause)
{
    const auto& c = GetParam();
    int processes = -1;
    bool updaterLoaded = true;
    const auto waits = ParseWaitRecord(c.line, 40, &processes, &updaterLoaded);
    ASSERT_EQ(waits.size(), c.counted ? 1u : 0u);
    EXPECT_EQ(processes, 0);
    EXPECT_FALSE(updaterLoaded);
    if (!c.counted) return;
    EXPECT_EQ(waits[0].kind, c.kind);
    EXPECT_EQ(waits[0].updater, c.updater);
    EXPECT_EQ(waits[0].mainThread, c.mainThread);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WaitRecordLine,
    ::testing::Values(RecordLineCase{"GuiStart", "40 40 SwUpdate sleep 3.000000000\n", true, "gui-start", true, true},
                      RecordLineCase{"DriverRestart", "40 40 SwUpdate sleep 5.0\n", true, "driver-restart", true, true},
                      RecordLineCase{"MediumCheck", "40 40 SwUpdate sleep 2.0", true, "medium-check", true, true},
                      // the same length in another thread or another program is not the updater's own
                      RecordLineCase{"OtherThread", "40 41 SwUpdate sleep 2.0\n", true, "other", true, false},
                      RecordLineCase{"OtherProgram", "52 52 sleep nanosleep 2.0\n", true, "other", false, true},
                      RecordLineCase{"ShortenedSleep", "40 40 SwUpdate sleep 1.0\n", true, "other", true, true},
                      RecordLineCase{"LookUpRetry", "40 43 SwUpdate nanosleep 0.200000000\n", true, "connection-retry",
                                     true, false},
                      RecordLineCase{"MissingLength", "40 40 SwUpdate sleep\n", false, "", false, false},
                      RecordLineCase{"ExtraField", "40 40 SwUpdate sleep 2.0 x\n", false, "", false, false},
                      RecordLineCase{"NegativeLength", "40 40 SwUpdate sleep -2\n", false, "", false, false},
                      RecordLineCase{"NotANumber", "40 40 SwUpdate sleep nan\n", false, "", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CountedWaits, TellStartsFromPausesAndReadBack)
{
    int processes = 0;
    bool updaterLoaded = false;
    const auto waits = ParseWaitRecord("40 40 SwUpdate start 0\n41 41 sh start 0\n40 40 SwUpdate sleep 3\n"
                                       "41 41 sh start 0\n",
                                       40, &processes, &updaterLoaded);
    EXPECT_EQ(waits.size(), 1u);
    EXPECT_EQ(processes, 3);
    EXPECT_TRUE(updaterLoaded);
    ParseWaitRecord("41 41 sh start 0\n", 40, &processes, &updaterLoaded);
    EXPECT_FALSE(updaterLoaded) << "only the updater's own start says the recorder was in it";

    // sim/counts.json: written as JSON, read back whole; missing or not
    // such JSON is an error with its reason.
    ScratchDir scratch;
    RunCounts c, back;
    c.waitsCounted = true;
    c.waits = waits;
    c.waitCount = 1;
    c.waitSeconds = 3;
    c.cpuMeasured = true;
    c.cpuSeconds = 0.25;
    c.speed = 50;
    c.chipTiming = "off";
    std::string why;
    EXPECT_FALSE(ReadRunCounts(scratch.path(), &back, &why));
    EXPECT_NE(why.find("counts.json is missing"), std::string::npos) << why;
    ASSERT_TRUE(MakeDirs(scratch.path() + "/sim", &why)) << why;
    ASSERT_TRUE(WriteText(RunCountsPath(scratch.path()), nlohmann::json(c).dump()));
    ASSERT_TRUE(ReadRunCounts(scratch.path(), &back, &why)) << why;
    EXPECT_EQ(nlohmann::json(back), nlohmann::json(c));
    ASSERT_TRUE(WriteText(RunCountsPath(scratch.path()), "{\"waits\": 3}"));
    EXPECT_FALSE(ReadRunCounts(scratch.path(), &back, &why));
    ASSERT_TRUE(WriteText(RunCountsPath(scratch.path()), "[]"));
    EXPECT_FALSE(ReadRunCounts(scratch.path(), &back, &why));
}

}  // namespace
