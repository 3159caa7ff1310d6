// swsim powercut on the sample update: fixed points, one in each class the
// sample can give, classified as expected, and a point replayed from its id
// giving the same result. Also the pieces: point ids, the power-cut variable
// of the record log writes, the chip's time of bus writes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CutStates.h"
#include "InstrumentTime.h"
#include "LogPowerCut.h"
#include "NorChip.h"
#include "Powercut.h"
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

// Ids of a sweep: a cut id, or an erase with the erased bytes chosen.
struct SweepIdCase {
    const char* text;
    bool valid;
    uint64_t write;
    int64_t erased;
};
void PrintTo(const SweepIdCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class SweepIds : public ::testing::TestWithParam<SweepIdCase> {};

TEST_P(SweepIds, ParseAndPrintBack)
{
    const SweepIdCase& c = GetParam();
    swsim::SweepPoint p;
    std::string why;
    ASSERT_EQ(swsim::ParseSweepId(c.text, &p, &why), c.valid) << why;
    if (!c.valid) {
        EXPECT_NE(why.find(c.text), std::string::npos) << why;
        return;
    }
    EXPECT_EQ(p.cut.write, c.write);
    EXPECT_EQ(p.erased, c.erased);
    EXPECT_EQ(swsim::SweepId(p), c.text);
}

INSTANTIATE_TEST_SUITE_P(Ids, SweepIds,
                         ::testing::Values(SweepIdCase{"flash:7", true, 7, -1},
                                           SweepIdCase{"flash:7:0", true, 7, 0},
                                           SweepIdCase{"flash:4456569:1024", true, 4456569, 1024},
                                           SweepIdCase{"flash:7:131072", true, 7, 131072},
                                           SweepIdCase{"log:1:16", true, 1, -1},
                                           SweepIdCase{"file:crc-gap", true, 0, -1},
                                           SweepIdCase{"file:unpack-extract", true, 0, -1},
                                           SweepIdCase{"file:backup", false, 0, 0},
                                           SweepIdCase{"file:crc", false, 0, 0},
                                           SweepIdCase{"flash:7:131074", false, 0, 0},  // past the sector
                                           SweepIdCase{"flash:7:3", false, 0, 0},       // half a word
                                           SweepIdCase{"flash:7:", false, 0, 0},
                                           SweepIdCase{"flash:7:-2", false, 0, 0},
                                           SweepIdCase{"flash:0:2", false, 0, 0},
                                           SweepIdCase{"flash:7:2:2", false, 0, 0}));

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
    EXPECT_EQ(t.counted, c.update != c.modelled);
    EXPECT_NE(t.source.find(t.counted ? "counted" : "modelled"), std::string::npos) << t.source;
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
// from several threads at once each get a chip of their own, and the
// caller's chip stays as it was (powered down here).
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

// Runs swsim powercut on `state` with `args` (the ids to replay when they
// do not start with "--"). Returns swsim's exit status; the output and the
// JSON report (null when there was none).
int RunSweep(const std::string& state, const std::string& json, const std::vector<std::string>& args,
             std::string* output, nlohmann::json* report)
{
    std::vector<std::string> argv = {SWSIM_EXE, "powercut", state, "--jobs", "4", "--json", json,
                                     "--html", json + ".html", "--progress"};
    if (!args.empty() && args[0].compare(0, 2, "--") != 0) argv.push_back("--replay");
    argv.insert(argv.end(), args.begin(), args.end());
    std::string why;
    const int status = swsim::RunProgram(argv, output, &why);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::string text;
    if ((code == 0 || code == 1) && swsim::ReadText(json, &text)) *report = nlohmann::json::parse(text, nullptr, false);
    return code;
}

// The text report's table of points keeps its columns with ids of every
// length (file:unpack-extract, flash:7:131072, log:1:2): every time's
// decimal point under the heading's, in each of its `points` rows.
void ExpectPointsTableAligned(const std::string& output, size_t points)
{
    const size_t heading = output.find("\n  id ");
    ASSERT_NE(heading, std::string::npos) << output;
    const size_t lineStart = heading + 1;
    const size_t point = output.find("time (s)", lineStart) - lineStart + 4;
    size_t rows = 0;
    for (size_t at = output.find('\n', lineStart); at != std::string::npos && at + 3 < output.size();
         at = output.find('\n', at + 1)) {
        const std::string row = output.substr(at + 1, output.find('\n', at + 1) - at - 1);
        if (row.compare(0, 2, "  ") != 0 || row.size() <= point) break;
        EXPECT_EQ(row[point], '.') << "misaligned: " << row;
        ++rows;
    }
    EXPECT_EQ(rows, points);
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
// 16-25, configPart.bin in 96, fontsPart.bin from 1 KiB into sector 112 to
// 114): a sector's erase confirm is its first changing write, then every
// word takes four writes, the second of them its data. The exhaustive sweep
// has the points marked `every`; the others are cuts it represents.
struct SamplePoint {
    Expected e;
    bool every;
};
const SamplePoint kSamplePoints[] = {
    {{"flash:7:131072", "would-not-start", "ifsPart.bin sector 0 (erasing"}, true},  // a boot sector's erase
    {{"flash:644309", "would-not-start", "ifsPart.bin sector 2 (programming inside"}, false},
    {{"flash:786452", "would-not-start", "ifsPart.bin sector 2 (verifying)"}, true},  // sectors 0-2 new, 3-5 old
    // The boot image's last sector: its last word inside the image cut, and
    // the first word of the kept part after it (the image is whole).
    {{"flash:1433637", "would-not-start", "ifsPart.bin sector 5 (programming inside"}, true},
    {{"flash:1433641", "recovered-bytes-lost", "ifsPart.bin sector 5 (programming outside"}, true},
    {{"flash:1572901", "recovered-bytes-lost", "ifsPart.bin sector 5 (programming outside"}, true},
    {{"flash:2621515", "recovered", "appPart.bin sector 20 (programming inside"}, true},
    {{"flash:3932650", "recovered-bytes-lost", "appPart.bin sector 25"}, false},  // its tail after the image erased
    {{"flash:4456569:1024", "recovered-bytes-lost", "fontsPart.bin sector 112 (erasing, 1024"}, true},  // kept first KiB
    {{"log:1:0", "recovered", "RevHistory.log entry"}, true},                    // nothing of the entry written
    {{"log:1:2", "recovered-log-history-lost", "RevHistory.log entry"}, false},  // a CRC half written
    // The entry's bytes all written (the rest of the record was right): the
    // restart does not know and writes a second 2.4 entry.
    {{"log:1:16", "recovered-logs-differ", "RevHistory.log entry"}, true},
    {{"log:1:108", "recovered-logs-differ", "RevHistory.log entry"}, true},
    // Cuts before the writing: the backup on the medium half copied (the
    // restart copies it again over the torn file), the packages half
    // unpacked into the /tmp that the restart empties.
    {{"file:backup-copy", "recovered", "backup onto the medium"}, true},
    {{"file:unpack-extract", "recovered", "unpacking"}, true},
    // The installation's file steps: between the removal of the old CRC
    // files and the copy of the new ones, and after extlog.dat is removed
    // (the revision entry written: the restart writes it again).
    {{"file:crc-gap", "recovered", "installation: crc-gap"}, true},
    {{"file:extlog-removal", "recovered-logs-differ", "installation: extlog-removal"}, true},
};

// What a point's JSON says of its outcome (not of the sweep it was in).
nlohmann::json Outcome(nlohmann::json p)
{
    for (const char* key : {"stateClass", "representative", "sameStateAs", "sequence"}) p.erase(key);
    return p;
}

class PowercutSample : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new ScratchDir;
        state_ = dir_->path() + "/instrument";
        std::string out, why;
        if (swsim::RunProgram({SWSIM_EXE, "create", state_}, &out, &why) != 0 ||
            swsim::RunProgram({SWSIM_EXE, "medium", state_, "--sample"}, &out, &why) != 0) {
            state_.clear();
        }
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    static ScratchDir* dir_;
    static std::string state_;
};
ScratchDir* PowercutSample::dir_ = nullptr;
std::string PowercutSample::state_;

// Every distinct cut state of the sample once, with points drawn inside the
// classes agreeing with their class; the fixed points classified as
// expected; a point replayed from its id alone gives the same result.
TEST_F(PowercutSample, ExhaustiveSweepHasEveryClassAndReplaysTheSame)
{
    ASSERT_FALSE(state_.empty());
    std::string output;
    nlohmann::json report;
    const int status =
        RunSweep(state_, dir_->path() + "/all.json", {"--exhaustive", "--verify-classes", "6"}, &output, &report);
    if (status == kNoRoot) GTEST_SKIP() << output;
    ASSERT_EQ(status, 1) << "the boot image is written in place: unsafe\n" << output;
    ASSERT_TRUE(report.is_object()) << output;
    EXPECT_EQ(report["verdict"], "unsafe");
    EXPECT_EQ(report["safe"], false);
    EXPECT_EQ(report["mode"], "exhaustive");
    EXPECT_EQ(report["critical"], nlohmann::json::array({"ifsPart.bin"}));
    EXPECT_TRUE(report["disagreements"].empty()) << report["disagreements"].dump(1);
    std::set<std::string> classes;
    int drawn = 0;
    for (const auto& p : report["points"]) {
        if (p.contains("representative")) ++drawn;
        else classes.insert(p["stateClass"].get<std::string>());
    }
    EXPECT_GT(drawn, 0);
    EXPECT_LE(drawn, 6);
    EXPECT_EQ(static_cast<int>(classes.size()), report["stateClasses"].get<int>());
    EXPECT_GT(classes.size(), 100u);
    EXPECT_NE(output.find("swsim: point 1 of "), std::string::npos) << "--progress shows each point: " << output;
    ExpectPointsTableAligned(output, report["points"].size());

    std::vector<std::string> others;
    for (const auto& row : kSamplePoints) {
        const Expected& e = row.e;
        if (!row.every) {
            others.push_back(e.id);
            continue;
        }
        SCOPED_TRACE(e.id);
        const nlohmann::json* p = PointOf(report, e.id);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((*p)["class"], e.cls) << p->dump();
        EXPECT_NE((*p)["where"].get<std::string>().find(e.where), std::string::npos) << p->dump();
        if (std::string(e.cls) == "would-not-start") {
            EXPECT_EQ((*p)["restarts"], 0) << "a restart was tried although the boot image was half-written";
        } else {
            EXPECT_EQ((*p)["restarts"], 1);
            EXPECT_EQ((*p)["lastOutcome"], "done");
        }
    }
    const auto& revision = (*PointOf(report, "log:1:16"))["logDifferences"];
    ASSERT_EQ(revision.size(), 1u) << revision.dump();
    EXPECT_NE(revision[0].get<std::string>().find("RevHistory.log: repeated"), std::string::npos);
    EXPECT_NE(revision[0].get<std::string>().find("(2.4)"), std::string::npos);

    // The window: the boot image's writing from its first erase to its last
    // word inside the image; the kept bytes after it are outside.
    const auto& window = report["window"];
    ASSERT_EQ(window["partitions"].size(), 1u);
    const double from = window["partitions"][0]["from"], to = window["partitions"][0]["to"];
    EXPECT_GT(window["seconds"].get<double>(), 6 * 1.0);  // six block erases at least
    EXPECT_NEAR(window["seconds"].get<double>(), to - from, 1e-9);
    EXPECT_NEAR(window["share"].get<double>(), (to - from) / window["updateSeconds"].get<double>(), 1e-9);
    for (const char* id : {"flash:7:131072", "flash:786452", "flash:1433637"}) {
        const double at = (*PointOf(report, id))["seconds"];
        EXPECT_TRUE(from <= at && at <= to) << id << " at " << at << " s, window " << from << "-" << to;
    }
    EXPECT_GT((*PointOf(report, "flash:1433641"))["seconds"].get<double>(), to);

    // The page draws the window and every point on the timeline, and the
    // detail of every point in full.
    const std::string html = swsim::ReadTextOr(dir_->path() + "/all.json.html", "");
    EXPECT_NE(html.find("id=\"window-0\""), std::string::npos);
    EXPECT_EQ(html.find("id=\"window-1\""), std::string::npos);
    size_t circles = 0;
    for (size_t at = html.find("class=\"point\""); at != std::string::npos; at = html.find("class=\"point\"", at + 1))
        ++circles;
    EXPECT_EQ(circles, report["points"].size());
    EXPECT_NE(html.find("RevHistory.log: repeated"), std::string::npos);

    // Points the sweep represents, and one of its own, run from their ids.
    others.push_back("flash:1433641");
    nlohmann::json again;
    ASSERT_EQ(RunSweep(state_, dir_->path() + "/again.json", others, &output, &again), 1) << output;
    EXPECT_EQ(again["mode"], "replay");
    for (const auto& row : kSamplePoints) {
        if (row.every) continue;
        SCOPED_TRACE(row.e.id);
        const nlohmann::json* p = PointOf(again, row.e.id);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((*p)["class"], row.e.cls) << p->dump();
        EXPECT_NE((*p)["where"].get<std::string>().find(row.e.where), std::string::npos) << p->dump();
    }
    EXPECT_EQ(Outcome(*PointOf(report, "flash:1433641")), Outcome(*PointOf(again, "flash:1433641")));

    // The same points in two shards run at once, merged: the report of the
    // one run (but for the wall time and the reference run's measures of the
    // update: the host's own work moves its clock and its medium checks).
    std::vector<std::thread> shards;
    shards.reserve(2);
    std::string shardOutput[2];
    int shardStatus[2] = {-1, -1};
    nlohmann::json shardReport[2];
    for (int k = 0; k < 2; ++k) {
        shards.emplace_back([&, k] {
            std::vector<std::string> args = {"--shard", std::to_string(k + 1) + "/2", "--replay"};
            args.insert(args.end(), others.begin(), others.end());
            shardStatus[k] = RunSweep(state_, dir_->path() + "/part" + std::to_string(k + 1) + ".json", args,
                                      &shardOutput[k], &shardReport[k]);
        });
    }
    for (auto& t : shards) t.join();
    ASSERT_EQ(shardStatus[0], 1) << shardOutput[0];
    ASSERT_EQ(shardStatus[1], 1) << shardOutput[1];
    EXPECT_EQ(shardReport[0]["points"].size() + shardReport[1]["points"].size(), others.size());
    std::string why;
    const int merging = swsim::RunProgram({SWSIM_EXE, "powercut", "--merge", dir_->path() + "/part2.json",
                                           dir_->path() + "/part1.json", "--json", dir_->path() + "/merged.json"},
                                          &output, &why);
    ASSERT_TRUE(WIFEXITED(merging) && WEXITSTATUS(merging) == 1) << output << why;
    nlohmann::json merged = nlohmann::json::parse(swsim::ReadTextOr(dir_->path() + "/merged.json", ""), nullptr, false);
    ASSERT_TRUE(merged.is_object());
    for (auto* r : {&merged, &again}) {
        r->erase("wallSeconds");
        for (const char* key : {"updateSeconds", "modelledSeconds", "share"}) (*r)["window"].erase(key);
        for (auto& p : (*r)["points"]) {
            p.erase("logDifferences");  // entries carry the clock's time
            p.erase("sameStateAs");     // a shard restarts a state another shard has too
        }
    }
    EXPECT_EQ(merged, again);
    const nlohmann::json& bytes = (*PointOf(again, "flash:3932650"))["bytesLost"];
    ASSERT_EQ(bytes.size(), 1u) << bytes.dump();
    EXPECT_EQ(bytes[0]["sector"], 25);
    // The tail of sector 25 after the image: 81,620 bytes of the factory
    // image, hardly any of which were 0xFF before.
    EXPECT_GT(bytes[0]["bytes"].get<int>(), 80000);
    EXPECT_LE(bytes[0]["bytes"].get<int>(), 81620);
    const nlohmann::json& logs = (*PointOf(again, "log:1:2"))["logsRecreated"];
    ASSERT_EQ(logs.size(), 1u) << logs.dump();
    EXPECT_EQ(logs[0]["log"], "RevHistory.log");
    EXPECT_EQ(logs[0]["copyEntries"], 3);  // 1.0, 2.0 and the installed 2.3
    EXPECT_EQ(logs[0]["copyBackedUp"], true);
}

// A partition named critical comes beside the boot image, not instead of it.
TEST_F(PowercutSample, CriticalAddsToTheBootImage)
{
    ASSERT_FALSE(state_.empty());
    std::string output;
    nlohmann::json report;
    const int status = RunSweep(state_, dir_->path() + "/critical.json",
                                {"--critical", "appPart.bin", "--replay", "flash:7", "flash:2621515"}, &output, &report);
    if (status == kNoRoot) GTEST_SKIP() << output;
    ASSERT_EQ(status, 1) << output;
    EXPECT_EQ(report["critical"], nlohmann::json::array({"ifsPart.bin", "appPart.bin"}));
    EXPECT_EQ(report["window"]["partitions"].size(), 2u);
    for (const char* id : {"flash:7", "flash:2621515"}) {
        ASSERT_NE(PointOf(report, id), nullptr) << id;
        EXPECT_EQ((*PointOf(report, id))["class"], "would-not-start") << id;
    }
}

// A run limit the update cannot keep: the sweep could not check (exit 2,
// the reason on standard error), never a verdict on the medium.
TEST_F(PowercutSample, RunLimitReachedCouldNotCheck)
{
    ASSERT_FALSE(state_.empty());
    std::string output;
    nlohmann::json report;
    const int status =
        RunSweep(state_, dir_->path() + "/limit.json", {"--run-limit", "0.01", "--replay", "flash:7"}, &output, &report);
    if (status == kNoRoot) GTEST_SKIP() << output;
    EXPECT_EQ(status, 2) << output;
    EXPECT_NE(output.find("could not check: the update without a power cut did not end within the run limit"),
              std::string::npos)
        << output;
}

// Ids and critical partitions that do not fit the update are usage errors,
// found before the last sweep's work is touched.
struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* reason;
};
std::ostream& operator<<(std::ostream& os, const UsageCase& c) { return os << c.name; }

class PowercutUsage : public PowercutSample, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(PowercutUsage, IsAUsageErrorAndKeepsTheLastWork)
{
    ASSERT_FALSE(state_.empty());
    const UsageCase& c = GetParam();
    const std::string keep = state_ + "/sim/powercut/kept-by-the-test";
    ASSERT_TRUE(swsim::MakeDirs(state_ + "/sim/powercut"));
    ASSERT_TRUE(swsim::WriteText(keep, "x"));
    std::string output;
    nlohmann::json report;
    const int status = RunSweep(state_, dir_->path() + "/usage.json", c.args, &output, &report);
    if (status == kNoRoot) GTEST_SKIP() << output;
    EXPECT_EQ(status, 64) << output;
    EXPECT_NE(output.find(c.reason), std::string::npos) << output;
    EXPECT_TRUE(swsim::PathExists(keep)) << "the last sweep's work was removed";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PowercutUsage,
    ::testing::Values(UsageCase{"FlashPastTheRun", {"flash:99999999"}, "5243016 flash bus writes"},
                      UsageCase{"LogPastTheRun", {"log:2:0"}, "1 log writes"},
                      UsageCase{"LogBytesPastTheWrite", {"log:1:109"}, "has 108 bytes"},
                      UsageCase{"ErasedLengthNotAtAnErase", {"flash:8:1024"}, "erase confirm only"},
                      UsageCase{"OddErasedLength", {"flash:7:3"}, "even number of bytes"},
                      UsageCase{"KeptPartition", {"--critical", "instrumentDataPart.bin", "flash:7"}, "keeps this"},
                      UsageCase{"UnknownPartition", {"--critical", "nosuch.bin", "flash:7"}, "names no such"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A sweep that is safe as far as its points go, but whose point drawn to
// check a class ended in another class: every rendering gives the one
// verdict, unclear (the text said RECOVERS while the exit status said 2,
// and the page had no such state).
TEST(PowercutVerdict, DisagreementIsUnclearEverywhere)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    swsim::PowercutResult part;
    part.state = "/state";
    part.mode = "exhaustive";
    for (const char* id : {"flash:10", "flash:12"}) {
        swsim::PointResult p;
        std::string why;
        ASSERT_TRUE(swsim::ParseSweepId(id, &p.point, &why)) << why;
        p.point.cls = "ifsPart.bin sector 0: erased";
        p.cls = swsim::PointClass::Recovered;
        part.points.push_back(p);
    }
    part.points[1].representative = "flash:10";
    part.points[1].cls = swsim::PointClass::BytesLost;
    const std::string file = dir.path() + "/part.json";
    ASSERT_TRUE(swsim::WriteText(file, swsim::PowercutJson(part)));
    swsim::PowercutResult merged;
    std::string why;
    ASSERT_EQ(swsim::MergePowercut({file}, &merged, &why), 0) << why;
    ASSERT_EQ(merged.disagreements.size(), 1u);
    EXPECT_EQ(merged.verdict, swsim::Verdict::Unclear);
    EXPECT_EQ(swsim::PowercutExitStatus(merged), 2);
    EXPECT_EQ(swsim::PowercutText(merged).rfind("UNCLEAR: ", 0), 0u) << swsim::PowercutText(merged);
    EXPECT_EQ(nlohmann::json::parse(swsim::PowercutJson(merged))["verdict"], "unclear");
    EXPECT_NE(swsim::PowercutHtml(merged).find("class=\"verdict unclear\" data-verdict=\"unclear\""),
              std::string::npos);
}

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
    ASSERT_EQ(status, 1) << "the boot image is written in place\n" << out;
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
