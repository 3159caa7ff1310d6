// swsim powercut on the sample update: fixed points, one in each class the
// sample can give, classified as expected, and a point replayed from its id
// giving the same result. Also the pieces: point ids, the power-cut variable
// of the record log writes, the chip's time of bus writes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "InstrumentTime.h"
#include "LogPowerCut.h"
#include "NorChip.h"
#include "RootTest.h"
#include "SimCuts.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimReplay.h"

namespace {

constexpr int kNoRoot = 77;

// ---------------------------------------------------------------------------
// Point ids.

struct IdCase {
    const char* text;
    bool valid;
    swsim::CutPoint::Kind kind;
    uint64_t write, keep;
};

void PrintTo(const IdCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class CutIds : public ::testing::TestWithParam<IdCase> {};

TEST_P(CutIds, ParseAndPrintBack)
{
    const IdCase& c = GetParam();
    swsim::CutPoint p;
    std::string why;
    ASSERT_EQ(swsim::ParseCutId(c.text, &p, &why), c.valid) << why;
    if (!c.valid) {
        EXPECT_NE(why.find(c.text), std::string::npos) << why;
        return;
    }
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.write, c.write);
    EXPECT_EQ(p.keep, c.keep);
    EXPECT_EQ(swsim::CutId(p), c.text);
}

using K = swsim::CutPoint::Kind;
INSTANTIATE_TEST_SUITE_P(Ids, CutIds,
                         ::testing::Values(IdCase{"flash:1", true, K::Flash, 1, 0},
                                           IdCase{"flash:5242996", true, K::Flash, 5242996, 0},
                                           IdCase{"log:1:0", true, K::Log, 1, 0},
                                           IdCase{"log:2005:107", true, K::Log, 2005, 107},
                                           IdCase{"flash:0", false, K::Flash, 0, 0},
                                           IdCase{"flash:", false, K::Flash, 0, 0},
                                           IdCase{"flash:-3", false, K::Flash, 0, 0},
                                           IdCase{"flash:12x", false, K::Flash, 0, 0},
                                           IdCase{"flash:9999999999999999999", false, K::Flash, 0, 0},
                                           IdCase{"log:0:4", false, K::Log, 0, 0},
                                           IdCase{"log:4", false, K::Log, 0, 0},
                                           IdCase{"log:4:", false, K::Log, 0, 0},
                                           IdCase{"log:1:2:3", false, K::Log, 0, 0},
                                           IdCase{"disk:4", false, K::Flash, 0, 0}));

// The record log library's cut as the updater reads it from its
// environment: the same rules, so an id the simulator prints is a cut the
// updater takes.
class RecordLogCutValue : public ::testing::TestWithParam<IdCase> {};

TEST_P(RecordLogCutValue, SameRulesAsTheIds)
{
    const IdCase& c = GetParam();
    const std::string text = c.text;
    if (text.compare(0, 4, "log:") != 0) GTEST_SKIP() << "not a log id";
    logcut::CutSpec spec;
    ASSERT_EQ(logcut::ParseCut(text.substr(4), &spec), c.valid);
    if (c.valid) {
        EXPECT_EQ(spec.write, c.write);
        EXPECT_EQ(spec.keep, c.keep);
    }
}

INSTANTIATE_TEST_SUITE_P(Ids, RecordLogCutValue,
                         ::testing::Values(IdCase{"log:1:0", true, K::Log, 1, 0},
                                           IdCase{"log:2005:107", true, K::Log, 2005, 107},
                                           IdCase{"log:0:4", false, K::Log, 0, 0},
                                           IdCase{"log:4", false, K::Log, 0, 0},
                                           IdCase{"log:4:", false, K::Log, 0, 0},
                                           IdCase{"log:-1:2", false, K::Log, 0, 0},
                                           IdCase{"log:1:2:3", false, K::Log, 0, 0}));

// ---------------------------------------------------------------------------
// The chip's time of bus writes: the busy time of an operation follows the
// write that starts it; every access takes the bus access time.

struct BusTimeCase {
    const char* name;
    double busAccessSeconds;
};
std::ostream& operator<<(std::ostream& os, const BusTimeCase& c) { return os << c.name; }

class WriteTimes : public ::testing::TestWithParam<BusTimeCase> {};

TEST_P(WriteTimes, BusyTimeFollowsTheWriteThatStartsIt)
{
    using norsim::BusAccess;
    const std::vector<BusAccess> bus = {
        {true, 0, 0x60},     {true, 0, 0xD0},     // 1, 2: lock-bit clearing
        {false, 0, 0x80},                          // status read
        {true, 0, 0x20},     {true, 0, 0xD0},     // 3, 4: erase of block 0
        {false, 0, 0x80},                          // status read
        {true, 2, 0x40},     {true, 2, 0x1234},   // 5, 6: word program
        {false, 2, 0x80},    {true, 0, 0xFF},     // status read, 7: read array
    };
    const double bus1 = GetParam().busAccessSeconds;
    const norsim::NorTiming t;
    const auto times = swsim::WriteTimes(bus, t, {1, 2, 3, 4, 5, 6, 7, 8}, bus1);
    const double unlock = t.unlockSeconds, erase = t.eraseSeconds, program = t.programSeconds;
    // Accesses before each write: 0, 1, 3, 4, 6, 7, 9, and 10 in all.
    const std::vector<double> expected = {0,
                                          bus1,
                                          unlock + 3 * bus1,
                                          unlock + 4 * bus1,
                                          unlock + erase + 6 * bus1,
                                          unlock + erase + 7 * bus1,
                                          unlock + erase + program + 9 * bus1,
                                          unlock + erase + program + 10 * bus1};
    ASSERT_EQ(times.size(), expected.size());
    for (size_t i = 0; i < times.size(); ++i) EXPECT_DOUBLE_EQ(times[i], expected[i]) << "write " << i + 1;

    const swsim::BusPlan plan = swsim::PlanFromBus(bus);
    EXPECT_EQ(plan.writes, 7u);
    EXPECT_EQ(plan.first[0], 4u);  // the erase confirm
    EXPECT_EQ(plan.last[0], 6u);   // the program's data write
}

INSTANTIATE_TEST_SUITE_P(Bus, WriteTimes,
                         ::testing::Values(BusTimeCase{"Instant", 0}, BusTimeCase{"Typical", swsim::kBusAccessSeconds},
                                           BusTimeCase{"Slow", 1e-3}),
                         [](const auto& info) { return std::string(info.param.name); });

// The update's timeline: the writing after the GUI link's start, then the
// driver restart and a pause before every medium check but the first; a
// measured duration counts only when it ends after the writing.
struct TimelineCase {
    const char* name;
    double flash, measured;
    int checks;
    double to, modelled, update;
    uint64_t logBefore;   // a log write after this many of 100 bus writes
    double logMoment;     // its moment, the chip's time of the next write being 1 s
};
std::ostream& operator<<(std::ostream& os, const TimelineCase& c) { return os << c.name; }

class Timeline : public ::testing::TestWithParam<TimelineCase> {};

TEST_P(Timeline, PlacesTheWritingBetweenTheFixedWaits)
{
    const auto& c = GetParam();
    const swsim::UpdateTimeline t = swsim::TimelineOf(c.flash, c.measured, c.checks);
    EXPECT_DOUBLE_EQ(t.flashFrom, swsim::kGuiStartWait);
    EXPECT_DOUBLE_EQ(t.flashTo, c.to);
    EXPECT_DOUBLE_EQ(t.modelledSeconds, c.modelled);
    EXPECT_DOUBLE_EQ(t.updateSeconds, c.update);
    EXPECT_EQ(t.measured, c.update != c.modelled);
    EXPECT_NE(t.source.find(t.measured ? "measured" : "modelled"), std::string::npos) << t.source;
    EXPECT_DOUBLE_EQ(swsim::LogWriteMoment(t, c.logBefore, 100, 1), c.logMoment);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Timeline,
    ::testing::Values(TimelineCase{"Modelled", 10, -1, 3, 13, 22, 22, 0, 3},
                      TimelineCase{"Measured", 10, 30, 1, 13, 18, 30, 50, 4},
                      TimelineCase{"MeasuredBeforeWritingEnds", 10, 12, 1, 13, 18, 18, 100, 18},
                      TimelineCase{"NoMediumCheck", 0, -1, 0, 3, 8, 8, 120, 8}),
    [](const auto& info) { return std::string(info.param.name); });

// The chip model and the flash module are process-wide: replays asked for
// from several threads at once each get the chip to themselves.
TEST(ReplayImages, ConcurrentReplaysEachHaveTheChip)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::vector<uint8_t> erased(swsim::kFlashSize, 0xFF);
    swsim::WrittenImage image;
    image.name = "bootPart.bin";
    image.startKiB = 128;
    image.bytes = swsim::PartitionImage(image.name, "UPDATE 1", 200 * 1024);
    const auto expected = swsim::ExpectedFlash(erased, {image});
    const std::string before = dir.path() + "/before", imagePath = dir.path() + "/" + image.name;
    ASSERT_TRUE(swsim::WriteBytes(before, erased.data(), erased.size()));
    ASSERT_TRUE(swsim::WriteBytes(imagePath, image.bytes.data(), image.bytes.size()));
    constexpr int kThreads = 3;
    for (int i = 0; i < kThreads; ++i) {
        const std::string after = dir.path() + "/after" + std::to_string(i);
        ASSERT_TRUE(swsim::WriteBytes(after, expected.data(), expected.size()));
    }
    std::vector<swsim::ReplayResult> results(kThreads * 2);
    std::vector<std::vector<norsim::BusAccess>> buses(kThreads * 2);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::string after = dir.path() + "/after" + std::to_string(i);
            for (int k = 0; k < 2; ++k) {
                results[2 * i + k] = swsim::ReplayImages(before, "", {{imagePath, 128}}, after, &buses[2 * i + k]);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < results.size(); ++i) {
        ASSERT_TRUE(results[i].done) << results[i].why;
        EXPECT_TRUE(results[i].matchesFlash) << "replay " << i;
        EXPECT_EQ(results[i].stats.erases, 2u) << "replay " << i;
        EXPECT_EQ(results[i].stats.writes, results[0].stats.writes) << "replay " << i;
        EXPECT_EQ(buses[i].size(), buses[0].size()) << "replay " << i;
    }
    EXPECT_FALSE(norsim::NorChipPresent()) << "a replay leaves the chip powered down";
}

// ---------------------------------------------------------------------------
// The sample update cut at fixed points.

// Runs the sweep of `ids` on `state`. Returns swsim's exit status; the
// output and the JSON report (null when there was none).
int RunSweep(const std::string& state, const std::string& json, const std::vector<std::string>& ids,
             std::string* output, nlohmann::json* report)
{
    std::vector<std::string> argv = {SWSIM_EXE, "powercut", state, "--jobs", "4", "--json", json,
                                     "--html", json + ".html", "--progress", "--replay"};
    argv.insert(argv.end(), ids.begin(), ids.end());
    std::string why;
    const int status = swsim::RunProgram(argv, output, &why);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string text;
    if (code == 0 && swsim::ReadText(json, &text)) *report = nlohmann::json::parse(text, nullptr, false);
    return code;
}

const nlohmann::json* PointOf(const nlohmann::json& report, const std::string& id)
{
    for (const auto& p : report["points"]) {
        if (p["id"] == id) return &p;
    }
    return nullptr;
}

struct Expected {
    const char* id;
    const char* cls;
    const char* where;   // part of the description of what was being written
};

// Bus writes of the sample (ifsPart.bin in sectors 0-5, appPart.bin in
// 16-25): a sector's erase confirm is its first changing write, then every
// word takes four writes, the second of them its data.
const Expected kSamplePoints[] = {
    {"flash:644309", "would-not-start", "ifsPart.bin sector 2"},        // word 30000 of sector 2
    {"flash:786452", "would-not-start", "before ifsPart.bin sector 3"}, // sectors 0-2 new, 3-5 old
    {"flash:2625505", "recovered", "appPart.bin sector 20"},
    {"flash:3932650", "recovered-bytes-lost", "appPart.bin sector 25"}, // its tail after the image erased
    {"log:1:0", "recovered", "RevHistory.log entry"},                   // nothing of the entry written
    {"log:1:2", "recovered-log-history-lost", "RevHistory.log entry"},  // a CRC half written
    {"flash:99999999", "other", "beyond the"},                          // a cut that never came
};

TEST(PowercutSample, FixedPointsAreClassifiedAndReplayTheSame)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string state = dir.path() + "/instrument";
    std::string out, why;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "create", state}, &out, &why), 0) << out << why;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--sample"}, &out, &why), 0) << out << why;

    std::vector<std::string> ids;
    for (const auto& e : kSamplePoints) ids.push_back(e.id);
    std::string output;
    nlohmann::json report;
    const int status = RunSweep(state, dir.path() + "/all.json", ids, &output, &report);
    if (status == kNoRoot) GTEST_SKIP() << output;
    ASSERT_EQ(status, 0) << output;
    ASSERT_TRUE(report.is_object()) << output;
    EXPECT_EQ(report["points"].size(), ids.size());
    EXPECT_EQ(report["critical"], nlohmann::json::array({"ifsPart.bin"}));
    EXPECT_NE(output.find("swsim: point 7 of 7: "), std::string::npos) << "--progress shows each point: " << output;

    for (const auto& e : kSamplePoints) {
        SCOPED_TRACE(e.id);
        const nlohmann::json* p = PointOf(report, e.id);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((*p)["class"], e.cls) << p->dump();
        EXPECT_NE((*p)["where"].get<std::string>().find(e.where), std::string::npos) << p->dump();
        if (std::string(e.cls) == "would-not-start") {
            EXPECT_EQ((*p)["restarts"], 0) << "a restart was tried although the boot image was half-written";
        } else if (std::string(e.cls) == "other") {
            EXPECT_FALSE((*p)["evidence"].empty());
        } else {
            EXPECT_EQ((*p)["restarts"], 1);
            EXPECT_EQ((*p)["lastOutcome"], "done");
        }
    }
    // What was lost, where something was.
    const nlohmann::json& bytes = (*PointOf(report, "flash:3932650"))["bytesLost"];
    ASSERT_EQ(bytes.size(), 1u) << bytes.dump();
    EXPECT_EQ(bytes[0]["sector"], 25);
    // The tail of sector 25 after the image: 81,620 bytes of the factory
    // image, hardly any of which were 0xFF before.
    EXPECT_GT(bytes[0]["bytes"].get<int>(), 80000);
    EXPECT_LE(bytes[0]["bytes"].get<int>(), 81620);
    const nlohmann::json& logs = (*PointOf(report, "log:1:2"))["logsRecreated"];
    ASSERT_EQ(logs.size(), 1u) << logs.dump();
    EXPECT_EQ(logs[0]["log"], "RevHistory.log");
    EXPECT_EQ(logs[0]["copyEntries"], 3);  // 1.0, 2.0 and the installed 2.3
    EXPECT_EQ(logs[0]["copyBackedUp"], true);
    EXPECT_TRUE((*PointOf(report, "log:1:0"))["logsRecreated"].empty());

    // The window: the boot image's writing, from its first erase to its last
    // word, inside the update; both cut points in it lie in it.
    const auto& window = report["window"];
    ASSERT_EQ(window["partitions"].size(), 1u);
    const double from = window["partitions"][0]["from"], to = window["partitions"][0]["to"];
    EXPECT_GT(window["seconds"].get<double>(), 6 * 1.0);  // six block erases at least
    EXPECT_NEAR(window["seconds"].get<double>(), to - from, 1e-9);
    EXPECT_NEAR(window["share"].get<double>(), (to - from) / window["updateSeconds"].get<double>(), 1e-9);
    for (const char* id : {"flash:644309", "flash:786452"}) {
        const double at = (*PointOf(report, id))["seconds"];
        EXPECT_TRUE(from <= at && at <= to) << id << " at " << at << " s, window " << from << "-" << to;
    }
    const double app = (*PointOf(report, "flash:2625505"))["seconds"];
    EXPECT_GT(app, to);
    EXPECT_GT((*PointOf(report, "log:1:0"))["seconds"].get<double>(), app);

    // The page draws the window and every point on the timeline.
    const std::string html = swsim::ReadTextOr(dir.path() + "/all.json.html", "");
    EXPECT_NE(html.find("id=\"window-0\""), std::string::npos);
    EXPECT_EQ(html.find("id=\"window-1\""), std::string::npos);
    size_t circles = 0;
    for (size_t at = html.find("class=\"point\""); at != std::string::npos; at = html.find("class=\"point\"", at + 1))
        ++circles;
    EXPECT_EQ(circles, ids.size());

    // A point run again from its id alone gives the same result.
    nlohmann::json again;
    ASSERT_EQ(RunSweep(state, dir.path() + "/again.json", {"flash:3932650"}, &output, &again), 0) << output;
    ASSERT_EQ(again["points"].size(), 1u);
    const nlohmann::json& first = *PointOf(report, "flash:3932650");
    const nlohmann::json& second = again["points"][0];
    EXPECT_EQ(first, second);
}

}  // namespace

namespace {

// An instrument whose Diag.log is corrupt: the update recreates it before it
// writes the flash. A cut in the middle of that recreation leaves a short
// log, and the copy of the corrupt original only in the /tmp the restart
// empties: the restart recreates Diag.log again, and that counts as history
// lost although the update recreates the log anyway.
TEST(PowercutCorruptLog, CutRecreationCountsAsHistoryLost)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string state = dir.path() + "/instrument";
    std::string out, why;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "create", state, "--corrupt-log", "Diag.log"}, &out, &why), 0) << out;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--sample"}, &out, &why), 0) << out << why;
    nlohmann::json report;
    const int status = RunSweep(state, dir.path() + "/diag.json", {"log:500:3"}, &out, &report);
    if (status == kNoRoot) GTEST_SKIP() << out;
    ASSERT_EQ(status, 0) << out;
    ASSERT_EQ(report["points"].size(), 1u);
    const auto& p = report["points"][0];
    EXPECT_EQ(p["class"], "recovered-log-history-lost") << p.dump();
    EXPECT_NE(p["where"].get<std::string>().find("Diag.log empty record"), std::string::npos) << p.dump();
    ASSERT_FALSE(p["logsRecreated"].empty()) << p.dump();
    EXPECT_EQ(p["logsRecreated"][0]["log"], "Diag.log");
    EXPECT_EQ(p["logsRecreated"][0]["copyShort"], true);  // the copy is of the half-recreated log
    EXPECT_GT(report["logWrites"].get<int>(), 1000);       // the recreation writes every record
}

}  // namespace
