// swsim powercut on the sample update: fixed points, one in each class the
// sample can give, classified as expected, and a point replayed from its id
// giving the same result. Also the pieces: point ids, the power-cut variable
// of the record log writes, the chip's time of bus writes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <map>
#include <set>
#include <sstream>
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
#include "SimMedium.h"
#include "SimReplay.h"
#include "Sweep.h"

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
                                           IdCase{"file:318", true, K::File, 318, 0},
                                           IdCase{"file:0", false, K::File, 0, 0},
                                           IdCase{"file:crc-gap", false, K::File, 0, 0},
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
                                           SweepIdCase{"file:26", true, 26, -1},
                                           SweepIdCase{"file:backup-copy", false, 0, 0},
                                           SweepIdCase{"file:3:1", false, 0, 0},
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
// Runs of like empty records: five writes of a log written anew, record by
// record, are one run unless something sets one of them apart; a run of
// three or more is one class per place of the cut, its first and last
// write its points.

struct LogRunCase {
    const char* name;
    int apart;           // the write (0-4) set apart; -1: none
    const char* how;     // "entry", "offset", "bytes", "between", "flash", "file", "wider"
    std::vector<int> run;  // each write's run as "first last" in write numbers (0: none)
    size_t extra = 0;    // points beyond those of the writes that stand for the run
};
std::ostream& operator<<(std::ostream& os, const LogRunCase& c) { return os << c.name; }

class LogRuns : public ::testing::TestWithParam<LogRunCase> {};

TEST_P(LogRuns, GroupOnlyLikeEmptyRecordsInARow)
{
    namespace sw = swsim::sweep;
    const LogRunCase& c = GetParam();
    std::vector<sw::FileOp> ops;
    std::vector<sw::LogWrite> writes;
    for (int i = 0; i < 5; ++i) {
        sw::LogWrite w;
        w.number = static_cast<uint64_t>(i) + 1;
        w.file = "RevHistory.log";
        w.offset = static_cast<uint64_t>(i) * 72;
        w.size = 72;
        w.busWritesBefore = 9;
        w.firstDiff = 0;
        // "wider": only the write set apart changes the record's entry.
        w.lastDiff = std::string(c.how) == "wider" && i != c.apart ? 5 : 71;
        sw::FileOp op;
        op.op = "write";
        op.data = std::string(72, '\xff');
        if (i == c.apart) {
            const std::string how = c.how;
            if (how == "entry") w.entry = true;
            if (how == "offset") w.offset += 72;
            if (how == "bytes") op.data[5] = '\0';
            if (how == "flash") w.busWritesBefore = 10;
            if (how == "file") w.file = "Diag.log";
            if (how == "between") ops.push_back(sw::FileOp{});
        }
        ops.push_back(op);
        w.fileOp = ops.size();
        writes.push_back(w);
    }
    sw::MarkLogRuns(ops, &writes);
    for (size_t i = 0; i < writes.size(); ++i) {
        SCOPED_TRACE("write " + std::to_string(i + 1));
        EXPECT_EQ(writes[i].runFirst, static_cast<uint64_t>(c.run[2 * i]));
        EXPECT_EQ(writes[i].runLast, static_cast<uint64_t>(c.run[2 * i + 1]));
    }
    // A cut at the same place of two writes of a run is one class; outside
    // a run each write has its own.
    const bool same = sw::LogClassOf(writes[0], 6) == sw::LogClassOf(writes[1], 6);
    EXPECT_EQ(same, writes[0].runFirst != 0 && writes[0].runFirst == writes[1].runFirst);
    size_t points = sw::ExhaustiveLogPoints(writes).size(), each = sw::ExhaustiveLogPoints({writes[4]}).size();
    size_t standing = 0;
    for (const auto& w : writes) standing += w.runFirst == 0 || w.number == w.runFirst || w.number == w.runLast;
    EXPECT_EQ(points, standing * each + c.extra);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogRuns,
    ::testing::Values(LogRunCase{"AllAlike", -1, "", {1, 5, 1, 5, 1, 5, 1, 5, 1, 5}},
                      LogRunCase{"EntryInTheMiddle", 2, "entry", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                      LogRunCase{"GapBeforeTheLast", 4, "offset", {1, 4, 1, 4, 1, 4, 1, 4, 0, 0}},
                      LogRunCase{"OtherBytes", 1, "bytes", {0, 0, 0, 0, 3, 5, 3, 5, 3, 5}},
                      LogRunCase{"OperationBetween", 3, "between", {1, 3, 1, 3, 1, 3, 0, 0, 0, 0}},
                      LogRunCase{"FlashWrittenBetween", 3, "flash", {1, 3, 1, 3, 1, 3, 0, 0, 0, 0}},
                      LogRunCase{"OtherLog", 0, "file", {0, 0, 2, 5, 2, 5, 2, 5, 2, 5}},
                      // Its old bytes set a write inside the run apart: its
                      // cuts inside the record number and the entry are
                      // classes the ends do not reach.
                      LogRunCase{"OnlyOneChangesTheEntry", 2, "wider", {1, 5, 1, 5, 1, 5, 1, 5, 1, 5}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

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

// ---------------------------------------------------------------------------
// One restart standing for other flash cut states: an image over all of
// sector 1 and the first half of sector 2; the restart's first touches of
// sectors 1 and 2 as the case gives them. Only a state differing in image
// bytes the restart erased, and did not program first, takes the restart.

struct StandCase {
    const char* name;
    uint32_t differAt;   // the byte where the other state differs (in sector 1 or 2)
    uint8_t touch;       // the restart's first touch of sectors 1 and 2 (0: no map)
    bool stands;
    bool sameKey;        // the same bytes outside the images
    int64_t opens = 1;   // the opens of the flash file during the restart (one chip took the map)
};
std::ostream& operator<<(std::ostream& os, const StandCase& c) { return os << c.name; }

using norsim::NorTouch;
constexpr uint8_t kReadErased = static_cast<uint8_t>(NorTouch::Read) | norsim::kTouchErased;

const StandCase kStands[] = {
    {"ImageByteReadThenErased", 0x20010, kReadErased, true, true},
    {"ImageByteErasedFirst", 0x20010, static_cast<uint8_t>(NorTouch::Erase) | norsim::kTouchErased, true, true},
    {"ImageHalfOfASharedSector", 0x4FFFE, kReadErased, true, true},
    {"ImageByteOnlyRead", 0x20010, static_cast<uint8_t>(NorTouch::Read), false, true},
    {"ImageByteProgrammedBeforeItsErase", 0x20010, static_cast<uint8_t>(NorTouch::Program) | norsim::kTouchErased,
     false, true},
    {"KeptByteAfterTheImage", 0x50000, kReadErased, false, false},
    {"NoMap", 0x20010, 0, false, true},
    // Something but the chip opened the flash file: it may have read it.
    {"FlashFileOpenedBesideTheChip", 0x20010, kReadErased, false, true, 2},
    {"FlashFileOpensUncounted", 0x20010, kReadErased, false, true, -1},
};

class RestartStands : public ::testing::TestWithParam<StandCase> {};

TEST_P(RestartStands, OnlyForImageBytesTheRestartErased)
{
    const StandCase& c = GetParam();
    constexpr uint32_t kSector = swsim::kSectorSize;
    swsim::sweep::Reference ref;
    ref.before.assign(swsim::kFlashSize, 0x11);
    ref.images.push_back({"app.bin", 128, std::vector<uint8_t>(0x30000, 0x22)});
    ref.done = ref.before;
    std::fill(ref.done.begin() + 0x20000, ref.done.begin() + 0x50000, 0x22);
    // The restarted state: sector 1 done, sector 2 torn; the other differs in one byte.
    swsim::CutFlashState took, other;
    took.doneSectors = {1};
    took.ownSectors[2].assign(ref.done.begin() + 2 * kSector, ref.done.begin() + 3 * kSector);
    took.ownSectors[2][0x100] = 0x02;
    other = took;
    const int sector = static_cast<int>(c.differAt / kSector);
    if (sector == 1) {
        other.doneSectors.clear();
        other.ownSectors[1].assign(ref.done.begin() + kSector, ref.done.begin() + 2 * kSector);
    }
    other.ownSectors[sector][c.differAt % kSector] ^= 0x40;

    const swsim::sweep::ImageWords iw = swsim::sweep::ImageWordsOf(ref);
    EXPECT_EQ(swsim::sweep::KeptBytesKey(ref, iw, took) == swsim::sweep::KeptBytesKey(ref, iw, other), c.sameKey);
    ScratchDir dir;
    std::vector<uint8_t> map(norsim::kTouchMapSize, 0);
    map[0] = 1;  // one chip took the map
    const auto words = map.begin() + norsim::kTouchHeaderSize;
    std::fill(words + kSector / 2, words + 3 * kSector / 2, c.touch);
    ASSERT_TRUE(swsim::WriteBytes(dir.path() + "/touch", map.data(), map.size(), 0644, nullptr));
    swsim::sweep::RestartTouch t;
    const bool read = c.touch != 0 && swsim::sweep::ReadRestartTouch(iw, dir.path() + "/touch", c.opens, &t);
    EXPECT_EQ(read, c.touch != 0 && c.opens == 1);
    EXPECT_EQ(swsim::sweep::RestartStandsFor(ref, t, took, other), c.stands);
    EXPECT_EQ(swsim::sweep::RestartStandsFor(ref, t, took, took), read) << "a state stands for itself";
}

INSTANTIATE_TEST_SUITE_P(Cases, RestartStands, ::testing::ValuesIn(kStands),
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
// length (file:318, flash:7:131072, log:1:2): every time's
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

// The point of id `id`; for the id "file", the first file point whose
// operation is `where`.
const nlohmann::json* PointOf(const nlohmann::json& report, const std::string& id, const std::string& where)
{
    if (id != "file") return PointOf(report, id);
    for (const auto& p : report["points"]) {
        if (p["id"].get<std::string>().compare(0, 5, "file:") == 0 &&
            p["where"].get<std::string>().find(where) != std::string::npos) {
            return &p;
        }
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
    // File points, found by their operation ("file" ids): before the
    // writing, the backup on the medium copied in part (the restart copies
    // it again), the packages unpacked in part into the /tmp that the
    // restart empties; after it, the old CRC files removed in part, and
    // extlog.dat removed (the revision entry written: the restart writes it
    // again).
    {{"file", "recovered", "cp: create /usbdongle/backup/instrumentData/"}, true},
    {{"file", "recovered", "tar: write"}, true},
    {{"file", "recovered", "rm: unlink /instrumentData/ifsPart.crc"}, true},
    {{"file", "recovered-logs-differ", "rm: unlink /instrumentData/extlog.dat"}, true},
};

// What a point's JSON says of its outcome (not of the sweep it was in).
nlohmann::json Outcome(nlohmann::json p)
{
    for (const char* key : {"stateClass", "representative", "sameStateAs", "sameRestartAs", "sequence"}) p.erase(key);
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

// The sample's fixed points as the exhaustive sweep classed them; those it
// only represents go to *others.
void ExpectFixedPoints(const nlohmann::json& report, std::vector<std::string>* others)
{
    for (const auto& row : kSamplePoints) {
        const Expected& e = row.e;
        if (!row.every) {
            others->push_back(e.id);
            continue;
        }
        SCOPED_TRACE(std::string(e.id) + " " + e.where);
        const nlohmann::json* p = PointOf(report, e.id, e.where);
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

}

// The window: the boot image's writing, on the report and on its page.
void ExpectWindowAndPage(const nlohmann::json& report, const std::string& htmlPath)
{
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
    const std::string html = swsim::ReadTextOr(htmlPath, "");
    EXPECT_NE(html.find("id=\"window-0\""), std::string::npos);
    EXPECT_EQ(html.find("id=\"window-1\""), std::string::npos);
    size_t circles = 0;
    for (size_t at = html.find("class=\"point\""); at != std::string::npos; at = html.find("class=\"point\"", at + 1))
        ++circles;
    EXPECT_EQ(circles, report["points"].size());
    EXPECT_NE(html.find("RevHistory.log: repeated"), std::string::npos);

}

// The points `others` run in two shards at once and merged give the report
// of their one run `again`.
void ExpectShardsMergeToOneRun(const std::string& state, const std::string& dir,
                               const std::vector<std::string>& others, nlohmann::json again)
{
    std::string output;
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
            shardStatus[k] = RunSweep(state, dir + "/part" + std::to_string(k + 1) + ".json", args,
                                      &shardOutput[k], &shardReport[k]);
        });
    }
    for (auto& t : shards) t.join();
    ASSERT_EQ(shardStatus[0], 1) << shardOutput[0];
    ASSERT_EQ(shardStatus[1], 1) << shardOutput[1];
    EXPECT_EQ(shardReport[0]["points"].size() + shardReport[1]["points"].size(), others.size());
    std::string why;
    const int merging = swsim::RunProgram({SWSIM_EXE, "powercut", "--merge", dir + "/part2.json",
                                           dir + "/part1.json", "--json", dir + "/merged.json"},
                                          &output, &why);
    ASSERT_TRUE(WIFEXITED(merging) && WEXITSTATUS(merging) == 1) << output << why;
    nlohmann::json merged = nlohmann::json::parse(swsim::ReadTextOr(dir + "/merged.json", ""), nullptr, false);
    ASSERT_TRUE(merged.is_object());
    for (auto* r : {&merged, &again}) {
        r->erase("wallSeconds");
        for (const char* key : {"updateSeconds", "modelledSeconds", "share"}) (*r)["window"].erase(key);
        for (auto& p : (*r)["points"]) {
            p.erase("logDifferences");  // entries carry the clock's time
            p.erase("sameStateAs");     // a shard restarts a state another shard has too
            p.erase("sameRestartAs");
        }
    }
    EXPECT_EQ(merged, again);
}

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
        if (p.contains("representative")) {
            ++drawn;
            EXPECT_FALSE(p.contains("sameRestartAs")) << "a point drawn to check its class runs its own restart";
        } else {
            classes.insert(p["stateClass"].get<std::string>());
        }
    }
    EXPECT_GT(drawn, 0);
    EXPECT_LE(drawn, 6);
    EXPECT_EQ(static_cast<int>(classes.size()), report["stateClasses"].get<int>());
    EXPECT_GT(classes.size(), 100u);
    EXPECT_NE(output.find("swsim: point 1 of "), std::string::npos) << "--progress shows each point: " << output;
    ExpectPointsTableAligned(output, report["points"].size());

    std::vector<std::string> others;
    ASSERT_NO_FATAL_FAILURE(ExpectFixedPoints(report, &others));
    ASSERT_NO_FATAL_FAILURE(ExpectWindowAndPage(report, dir_->path() + "/all.json.html"));

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

    // Cut states that took another state's restart: the first and the last,
    // each swept alone (a sweep of several would share again), give what
    // their own restart gives.
    std::vector<std::string> took;
    for (const auto& p : report["points"]) {
        if (p.contains("sameRestartAs")) took.push_back(p["id"]);
    }
    ASSERT_GT(took.size(), 10u) << "the flash cuts of one image share their restart";
    for (const std::string& id : {took.front(), took.back()}) {
        SCOPED_TRACE(id);
        nlohmann::json alone;
        const int rc = RunSweep(state_, dir_->path() + "/alone.json", {id}, &output, &alone);
        ASSERT_TRUE(rc == 0 || rc == 1) << output;
        ASSERT_FALSE(PointOf(alone, id)->contains("sameRestartAs"));
        EXPECT_EQ(Outcome(*PointOf(report, id)), Outcome(*PointOf(alone, id)));
    }

    ASSERT_NO_FATAL_FAILURE(ExpectShardsMergeToOneRun(state_, dir_->path(), others, again));
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

// A restart stands for another flash cut state only when nothing but the
// chip read the flash: the same two cuts share the restart on the sample and
// do not on a medium whose script reads the flash file itself.
TEST_F(PowercutSample, RestartsStandForOthersOnlyWhereOnlyTheChipReadTheFlash)
{
    ASSERT_FALSE(state_.empty());
    const std::vector<std::string> ids = {"flash:1", "flash:1572902"};
    std::string output, why;
    nlohmann::json shared, own;
    const int rc = RunSweep(state_, dir_->path() + "/pair.json", ids, &output, &shared);
    if (rc == kNoRoot) GTEST_SKIP() << output;
    ASSERT_EQ(rc, 1) << "the boot image is written in place: unsafe\n" << output;
    EXPECT_EQ(PointOf(shared, ids[1])->value("sameRestartAs", ""), ids[0]) << output;

    const std::string state = dir_->path() + "/reads-flash", src = state + "/sim/sample";
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "create", state}, &output, &why), 0) << output;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--sample"}, &output, &why), 0) << output;
    std::string script = swsim::ReadTextOr(src + "/FlashRepartition.sh", "");
    script.insert(script.find("exit 0"), "cat /dev/norflash > /dev/null\n");
    ASSERT_TRUE(swsim::WriteText(src + "/FlashRepartition.sh", script, 0755));
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--from", src}, &output, &why), 0) << output;
    ASSERT_EQ(RunSweep(state, dir_->path() + "/pair-own.json", ids, &output, &own), 1) << output;
    EXPECT_FALSE(PointOf(own, ids[1])->contains("sameRestartAs")) << PointOf(own, ids[1])->dump();
    EXPECT_EQ((*PointOf(own, ids[1]))["class"], (*PointOf(shared, ids[1]))["class"]);
    EXPECT_EQ((*PointOf(own, ids[1]))["restarts"], 1);
}

// The critical region: the boot image, from address 0 to its end wherever
// its line places it, and the partitions named critical beside it.
struct CriticalCase {
    const char* name;
    int bootKiB;                    // the boot image's start in the map (the sample's: 0)
    std::vector<std::string> args;
    std::vector<std::string> critical;
    std::vector<std::string> wouldNotStart;   // points that must be "would-not-start"
};
std::ostream& operator<<(std::ostream& os, const CriticalCase& c) { return os << c.name; }

class PowercutCritical : public PowercutSample, public ::testing::WithParamInterface<CriticalCase> {};

TEST_P(PowercutCritical, WouldNotStartWhereTheBootRegionOrANamedPartitionIsTorn)
{
    ASSERT_FALSE(state_.empty());
    const CriticalCase& c = GetParam();
    std::string state = state_, output, why;
    if (c.bootKiB != 0) {
        // The sample with its boot image moved up: the update erases sector 0
        // and programs back the bytes before the image.
        state = dir_->path() + "/" + c.name;
        const std::string src = state + "/sim/sample";
        ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "create", state}, &output, &why), 0) << output;
        ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--sample"}, &output, &why), 0) << output;
        std::string map = swsim::ReadTextOr(src + "/flashMap", "");
        const size_t at = map.find("ifsPart.bin              0 ");
        ASSERT_NE(at, std::string::npos) << map;
        map.replace(at, 27, "ifsPart.bin              " + std::to_string(c.bootKiB) + " ");
        ASSERT_TRUE(swsim::WriteText(src + "/flashMap", map));
        ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--from", src}, &output, &why), 0) << output;
    }
    nlohmann::json report;
    const int status = RunSweep(state, dir_->path() + "/" + c.name + ".json", c.args, &output, &report);
    if (status == kNoRoot) GTEST_SKIP() << output;
    ASSERT_EQ(status, 1) << output;
    EXPECT_EQ(report["critical"], nlohmann::json(c.critical));
    EXPECT_EQ(report["window"]["partitions"].size(), c.critical.size());
    for (const auto& id : c.wouldNotStart) {
        ASSERT_NE(PointOf(report, id), nullptr) << id;
        EXPECT_EQ((*PointOf(report, id))["class"], "would-not-start") << PointOf(report, id)->dump();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PowercutCritical,
    ::testing::Values(
        // A partition named critical comes beside the boot image, not instead of it.
        CriticalCase{"NamedBesideTheBootImage",
                     0,
                     {"--critical", "appPart.bin", "--replay", "flash:7", "flash:2621515"},
                     {"ifsPart.bin", "appPart.bin"},
                     {"flash:7", "flash:2621515"}},
        // The boot image at 2 KiB: an erase of sector 0 that reached only the
        // bytes before the image leaves the instrument unable to start (it
        // was "recovered, bytes outside the images lost").
        CriticalCase{"BootImageAt2KiB", 2, {"flash:7:2048"}, {"ifsPart.bin"}, {"flash:7:2048"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The sample's medium on a small fleet: an instrument, its twin (the same
// flash and files: it shares the sweep) and a market instrument that
// refuses it (left out, with a line saying so). Two shards spread the
// (instrument, point) pairs; merged, they give every point of both
// instruments and one verdict. A part of one instrument's sweep does not
// merge with them.
TEST_F(PowercutSample, MediumOverAFleetInShards)
{
    ASSERT_FALSE(state_.empty());
    const std::string fleet = dir_->path() + "/fleet.txt";
    ASSERT_TRUE(swsim::WriteText(fleet, "lab running=2.3\ntwin running=2.3\neu-new running=2.5 market=Export\n"));
    std::string output[2], why;
    int status[2] = {-1, -1};
    for (int k = 0; k < 2; ++k) {
        const std::string n = std::to_string(k + 1);
        const int s = swsim::RunProgram({SWSIM_EXE, "powercut", "--medium", state_ + "/medium", "--fleet", fleet,
                                         "--work", dir_->path() + "/medium-work", "--shard", n + "/2", "--json",
                                         dir_->path() + "/medium" + n + ".json", "--replay", "flash:7", "flash:2621515"},
                                        &output[k], &why);
        status[k] = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    }
    if (status[0] == kNoRoot) GTEST_SKIP() << output[0];
    // Each shard's verdict: the boot image's window makes the update unsafe.
    EXPECT_EQ(status[0], 1) << output[0];
    EXPECT_EQ(status[1], 1) << output[1];
    EXPECT_NE(output[0].find("  eu-new: skipped, it refuses the medium"), std::string::npos) << output[0];
    const nlohmann::json part = nlohmann::json::parse(swsim::ReadTextOr(dir_->path() + "/medium1.json", ""), nullptr, false);
    ASSERT_TRUE(part.is_object()) << output[0];
    ASSERT_EQ(part["kinds"].size(), 2u);
    EXPECT_EQ(part["kinds"][1]["kind"], "twin");
    ASSERT_EQ(part["kinds"][1]["points"].size(), 1u);
    EXPECT_EQ(part["kinds"][1]["points"][0]["sameStateAs"], "flash:7 on lab");
    EXPECT_EQ(part["medium"].get<std::string>().rfind("sha256:", 0), 0u);
    EXPECT_EQ(part["kinds"][0]["medium"], part["medium"]);

    std::string merged;
    int s = swsim::RunProgram({SWSIM_EXE, "powercut", "--merge", dir_->path() + "/medium2.json",
                               dir_->path() + "/medium1.json", "--json", dir_->path() + "/medium.json"},
                              &merged, &why);
    ASSERT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 1) << merged << why;
    EXPECT_EQ(merged.rfind("UNSAFE TO LOSE POWER: on lab, twin", 0), 0u) << merged;
    const nlohmann::json all = nlohmann::json::parse(swsim::ReadTextOr(dir_->path() + "/medium.json", ""));
    for (const auto& kind : all["kinds"]) {
        ASSERT_EQ(kind["points"].size(), 2u) << kind.dump();
        EXPECT_EQ(kind["points"][0]["class"], "would-not-start");
        EXPECT_EQ(kind["points"][1]["class"], "recovered");
    }
    // A sweep of one instrument's state is another sweep, whatever its medium.
    swsim::PowercutResult one;
    one.medium = part["medium"];
    one.shards = 2;
    one.shard = 2;
    ASSERT_TRUE(swsim::WriteText(dir_->path() + "/one.json", swsim::PowercutJson(one)));
    s = swsim::RunProgram({SWSIM_EXE, "powercut", "--merge", dir_->path() + "/medium1.json", dir_->path() + "/one.json"},
                          &merged, &why);
    EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 64) << merged;
    EXPECT_NE(merged.find("not parts of the same sweep"), std::string::npos) << merged;
}

// The medium swept on instruments as an upgrade path left them: a
// previous release installed first, named in the report and its JSON; a
// previous medium that does not install gives no answer, naming it.
TEST_F(PowercutSample, MediumAfterAnUpgradePath)
{
    ASSERT_FALSE(state_.empty());
    const std::string src = dir_->path() + "/previous-src", previous = dir_->path() + "/previous";
    swsim::SampleOptions so;
    so.version = "2.3";
    std::vector<std::string> lines;
    std::string out, why;
    ASSERT_EQ(swsim::WriteSampleUpdate(src, so, &why), 0) << why;
    ASSERT_EQ(swsim::BuildMedium(src, previous, &lines, &why), 0) << why;
    const std::string fleet = dir_->path() + "/path-fleet.txt", json = dir_->path() + "/path.json";
    ASSERT_TRUE(swsim::WriteText(fleet, "lab running=2.3\n"));
    int s = swsim::RunProgram({SWSIM_EXE, "powercut", "--medium", state_ + "/medium", "--fleet", fleet, "--previous",
                               previous, "--json", json, "--replay", "flash:7"},
                              &out, &why);
    if (WIFEXITED(s) && WEXITSTATUS(s) == kNoRoot) GTEST_SKIP() << out;
    EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 1) << out;
    EXPECT_NE(out.find("on the fleet " + fleet + " after the upgrade path 2.3: 1 instrument swept"), std::string::npos)
        << out;
    const nlohmann::json report = nlohmann::json::parse(swsim::ReadTextOr(json, ""), nullptr, false);
    ASSERT_TRUE(report.is_object()) << out;
    EXPECT_EQ(report["previousVersions"], nlohmann::json::array({"2.3"}));
    ASSERT_EQ(report["previous"].size(), 1u);
    EXPECT_NE(report["previous"][0], report["medium"]);
    // Its first package alone: the previous update cannot unpack the rest.
    const std::string broken = dir_->path() + "/previous-broken";
    ASSERT_TRUE(swsim::MakeDirs(broken, &why) && swsim::CopyFileTo(previous + "/file0", broken + "/file0", &why)) << why;
    s = swsim::RunProgram({SWSIM_EXE, "powercut", "--medium", state_ + "/medium", "--fleet", fleet, "--previous", broken,
                           "--replay", "flash:7"},
                          &out, &why);
    EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 2) << out;
    EXPECT_NE(out.find("lab: the previous medium " + broken + " (2.3) did not install"), std::string::npos) << out;
}

// Parts that are not shares of one sweep do not merge: a usage error that
// names the difference.
struct MergeCase {
    const char* name;
    void (*change)(swsim::PowercutResult* second);
    const char* reason;
};
std::ostream& operator<<(std::ostream& os, const MergeCase& c) { return os << c.name; }

class PowercutMergeRefused : public ::testing::TestWithParam<MergeCase> {};

TEST_P(PowercutMergeRefused, IsAUsageErrorNamingTheDifference)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    swsim::PowercutResult part;
    part.state = "/state";
    part.medium = "sha256:aa";
    part.mode = "sample";
    part.seed = 1;
    part.pointsAsked = 50;
    part.shards = 2;
    std::string why;
    swsim::PointResult p;
    ASSERT_TRUE(swsim::ParseSweepId("flash:10", &p.point, &why)) << why;
    part.points.push_back(p);
    swsim::PowercutResult second = part;
    second.shard = 2;
    GetParam().change(&second);
    ASSERT_TRUE(swsim::WriteText(dir.path() + "/1.json", swsim::PowercutJson(part)));
    ASSERT_TRUE(swsim::WriteText(dir.path() + "/2.json", swsim::PowercutJson(second)));
    swsim::PowercutResult merged;
    EXPECT_EQ(swsim::MergePowercut({dir.path() + "/1.json", dir.path() + "/2.json"}, &merged, &why), 64);
    EXPECT_NE(why.find(GetParam().reason), std::string::npos) << why;
    // The same parts as those of a medium's sweep (one instrument each).
    swsim::MediumPowercutResult m1, m2;
    m1.mediumDigest = part.medium;
    m1.fleet = {"lab running=2.3 mounted=no"};
    m1.shards = 2;
    m1.kinds = {part};
    m2 = m1;
    m2.shard = 2;
    m2.mediumDigest = second.medium;
    m2.kinds = {second};
    ASSERT_TRUE(swsim::WriteText(dir.path() + "/m1.json", swsim::MediumPowercutJson(m1)));
    ASSERT_TRUE(swsim::WriteText(dir.path() + "/m2.json", swsim::MediumPowercutJson(m2)));
    swsim::MediumPowercutResult mergedMedium;
    why.clear();
    EXPECT_EQ(swsim::MergeMediumPowercut({dir.path() + "/m1.json", dir.path() + "/m2.json"}, &mergedMedium, &why), 64);
    EXPECT_NE(why.find(GetParam().reason), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PowercutMergeRefused,
    ::testing::Values(
        MergeCase{"OtherMedium", [](swsim::PowercutResult* r) { r->medium = "sha256:bb"; }, "medium sha256:bb against sha256:aa"},
        MergeCase{"OtherInstrument", [](swsim::PowercutResult* r) { r->kind = "field"; }, "instrument field against"},
        MergeCase{"OtherSeed", [](swsim::PowercutResult* r) { r->seed = 2; }, "--seed 2 against 1"},
        MergeCase{"OtherPoints", [](swsim::PowercutResult* r) { r->pointsAsked = 20; }, "--points 20 against 50"},
        MergeCase{"OtherMode", [](swsim::PowercutResult* r) { r->mode = "exhaustive"; }, "mode exhaustive against sample"},
        MergeCase{"OtherCritical", [](swsim::PowercutResult* r) { r->critical = {"appPart.bin"}; },
                  "critical partitions appPart.bin against none"}),
    [](const auto& info) { return std::string(info.param.name); });

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

// A seeded sweep draws a tenth of its points after recorded file
// operations, built from the recording like the exhaustive sweep's; the log
// write's own operation is left to the log point.
TEST_F(PowercutSample, SeededSweepCutsAfterFileOperationsToo)
{
    ASSERT_FALSE(state_.empty());
    std::string output;
    nlohmann::json report;
    const int status = RunSweep(state_, dir_->path() + "/seeded.json", {"--points", "20", "--seed", "3"}, &output, &report);
    if (status == kNoRoot) GTEST_SKIP() << output;
    ASSERT_TRUE(status == 0 || status == 1) << output;
    ASSERT_EQ(report["points"].size(), 20u) << output;
    size_t files = 0;
    for (const auto& p : report["points"]) files += p["id"].get<std::string>().rfind("file:", 0) == 0;
    EXPECT_EQ(files, 2u) << output;
    EXPECT_EQ(report["counts"]["could-not-check"], 0) << output;
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
                      UsageCase{"FilePastTheRun", {"file:99999"}, " file operations"},
                      UsageCase{"ErasedLengthNotAtAnErase", {"flash:8:1024"}, "erase confirm only"},
                      UsageCase{"OddErasedLength", {"flash:7:3"}, "even number of bytes"},
                      UsageCase{"KeptPartition", {"--critical", "instrumentDataPart.bin", "flash:7"}, "keeps this"},
                      UsageCase{"UnknownPartition", {"--critical", "nosuch.bin", "flash:7"}, "names no such"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// The one verdict of a sweep, rendered by the text, the JSON, the page and
// the exit status alike: a point drawn to check a class that ends in
// another class makes a safe sweep unclear (the text said RECOVERS while the
// exit status said 2, and the page had no such state); a point that could
// not be checked makes it unclear whatever else was found (an unsafe sweep
// hid it behind exit status 1); a point that ended otherwise leaves an
// unsafe sweep unsafe.
struct VerdictCase {
    const char* name;
    swsim::PointClass second;   // the class of the second of two points (the first recovered)
    bool drawn;                 // the second drawn to check the first's class
    const char* verdict;
    int exitStatus;
    const char* text;           // the text's first line begins so
    const char* look;           // the page's verdict class
};
std::ostream& operator<<(std::ostream& os, const VerdictCase& c) { return os << c.name; }

class PowercutVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(PowercutVerdict, OneVerdictEverywhere)
{
    const VerdictCase& c = GetParam();
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    swsim::PowercutResult part;
    part.state = "/state";
    part.mode = "exhaustive";
    for (const char* id : {"flash:10", "file:12"}) {
        swsim::PointResult p;
        std::string why;
        ASSERT_TRUE(swsim::ParseSweepId(id, &p.point, &why)) << why;
        p.point.cls = "ifsPart.bin sector 0: erased";
        p.cls = swsim::PointClass::Recovered;
        part.points.push_back(p);
    }
    if (c.drawn) part.points[1].representative = "flash:10";
    part.points[1].cls = c.second;
    if (c.second == swsim::PointClass::NotChecked) part.points[1].evidence = {"the file state could not be built"};
    if (std::string(c.verdict) != "safe") part.points[0].cls = swsim::PointClass::WouldNotStart;
    if (c.drawn) part.points[0].cls = swsim::PointClass::Recovered;
    const std::string file = dir.path() + "/part.json";
    ASSERT_TRUE(swsim::WriteText(file, swsim::PowercutJson(part)));
    swsim::PowercutResult merged;
    std::string why;
    ASSERT_EQ(swsim::MergePowercut({file}, &merged, &why), 0) << why;
    EXPECT_EQ(merged.disagreements.size(), c.drawn ? 1u : 0u);
    EXPECT_EQ(swsim::VerdictKey(merged.verdict), std::string(c.verdict));
    EXPECT_EQ(swsim::PowercutExitStatus(merged), c.exitStatus);
    const std::string text = swsim::PowercutText(merged);
    EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
    if (c.second == swsim::PointClass::NotChecked) {
        EXPECT_NE(text.substr(0, text.find('\n')).find("could not be checked (the file state could not be built)"),
                  std::string::npos)
            << text;
    }
    EXPECT_EQ(nlohmann::json::parse(swsim::PowercutJson(merged))["verdict"], c.verdict);
    EXPECT_NE(swsim::PowercutHtml(merged).find(std::string("class=\"verdict") + c.look + "\" data-verdict=\"" +
                                               c.verdict + "\""),
              std::string::npos);
}

using PC = swsim::PointClass;
INSTANTIATE_TEST_SUITE_P(
    Cases, PowercutVerdict,
    ::testing::Values(VerdictCase{"Disagreement", PC::BytesLost, true, "unclear", 2, "UNCLEAR: ", " unclear"},
                      VerdictCase{"NotCheckedBesideUnsafe", PC::NotChecked, false, "unclear", 2, "UNCLEAR: 1 of 2",
                                  " unclear"},
                      VerdictCase{"OtherBesideUnsafe", PC::Other, false, "unsafe", 1, "UNSAFE TO LOSE POWER", ""}),
    [](const auto& info) { return std::string(info.param.name); });

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

// The file operations of a sweep's reference run on `state` (the
// recording it left in its work directory): number, program, operation and
// first path of each.
struct RecordedOp {
    uint64_t number;
    std::string program, op, path;
};
std::vector<RecordedOp> RecordedOps(const std::string& state)
{
    std::vector<RecordedOp> ops;
    std::istringstream in(swsim::ReadTextOr(state + "/sim/powercut/reference-file-ops.txt", ""));
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        RecordedOp op;
        std::string pid, seconds, bus;
        if (l >> op.number >> pid >> op.program >> seconds >> bus >> op.op >> op.path) ops.push_back(op);
    }
    return ops;
}

// The record log library's writes to `log` in a sweep's reference run on
// `state`: their numbers, in order.
std::vector<uint64_t> LogWritesTo(const std::string& state, const std::string& log)
{
    std::vector<uint64_t> numbers;
    std::istringstream in(swsim::ReadTextOr(state + "/sim/powercut/reference-log-writes.txt", ""));
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        std::string word, file;
        uint64_t n = 0;
        if (l >> word >> n >> file && word == "log-write" && file == log) numbers.push_back(n);
    }
    return numbers;
}

// An instrument whose RevHistory.log is corrupt: the updater sets the old
// log aside in /tmp and recreates it, and the copy reaches the medium only
// with the backup. Every file point is built (none could not be checked);
// those from the removal of the old log until the backup has copied it
// lose its history for good (the restart empties /tmp), the others keep
// it; the installation's points stand after the writing; and cuts made
// for real by the recorder and the log library at a sample of file and log
// points (inside the recreation's run of empty records among them) end as
// the states built from the recording do.
TEST(PowercutCorruptLog, HistoryOnlyInTmpIsLostUntilBackedUp)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string state = dir.path() + "/instrument";
    std::string out, why;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "create", state, "--corrupt-log", "RevHistory.log"}, &out, &why), 0) << out;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--sample"}, &out, &why), 0) << out << why;
    nlohmann::json first;
    const int status = RunSweep(state, dir.path() + "/first.json", {"file:1"}, &out, &first);
    if (status == kNoRoot) GTEST_SKIP() << out;
    const std::vector<RecordedOp> ops = RecordedOps(state);
    ASSERT_GT(ops.size(), 100u) << out;
    uint64_t removed = 0, backedUp = 0;
    std::vector<std::string> ids;
    for (const auto& op : ops) {
        if (op.program == "SwUpdate" && op.op == "write") continue;  // the log points' writes
        if (op.op == "unlink" && op.path == "/instrumentData/RevHistory.log") removed = op.number;
        if (op.op == "copy" && op.path.find("/usbdongle/") == 0 && op.path.find("CorruptedRevHistory.log") != std::string::npos) {
            backedUp = op.number;
        }
        ids.push_back("file:" + std::to_string(op.number));
    }
    ASSERT_TRUE(removed > 0 && backedUp > removed) << removed << " " << backedUp;
    const std::vector<uint64_t> logs = LogWritesTo(state, "RevHistory.log");
    ASSERT_GT(logs.size(), 10u);
    const std::vector<std::string> logIds = {
        "log:" + std::to_string(logs[0]) + ":0", "log:" + std::to_string(logs[logs.size() / 2]) + ":6",
        "log:" + std::to_string(logs[logs.size() / 2]) + ":9", "log:" + std::to_string(logs.back()) + ":2"};
    ids.insert(ids.end(), logIds.begin(), logIds.end());
    nlohmann::json report;
    ASSERT_EQ(RunSweep(state, dir.path() + "/files.json", ids, &out, &report), 1) << out;
    ASSERT_EQ(report["points"].size(), ids.size());
    EXPECT_EQ(report["counts"]["could-not-check"], 0) << out;
    EXPECT_EQ(report["counts"]["other"], 0) << out;
    for (const auto& p : report["points"]) {
        if (p["id"].get<std::string>().compare(0, 5, "file:") != 0) continue;
        const uint64_t n = std::stoull(p["id"].get<std::string>().substr(5));
        bool lost = false;
        for (const auto& h : p["historyLost"]) {
            lost = lost || (h.get<std::string>().find("RevHistory.log: ") == 0 &&
                            h.get<std::string>().find("gone for good") != std::string::npos);
        }
        EXPECT_EQ(lost, n >= removed && n < backedUp) << p.dump();
        if (n >= removed && n < backedUp) {
            EXPECT_EQ(p["class"], "recovered-log-history-lost") << p.dump();
        }
        if (p["where"].get<std::string>().find("cp: create /instrumentData/appPart.crc") != std::string::npos) {
            EXPECT_GT(p["seconds"].get<double>(), report["window"]["flashTo"].get<double>()) << p.dump();
        }
    }

    // Cut for real: before the removal, at it, inside the backup, at the
    // backup's copy of the old log, while unpacking, and the last.
    const std::vector<uint64_t> sample = {removed - 1, removed, backedUp - 3, backedUp - 1, backedUp, backedUp + 40,
                                          ops.back().number};
    std::vector<std::string> real = {"--real-file-cuts", "--replay"};
    std::vector<std::string> sampleIds = logIds;
    for (uint64_t n : sample) sampleIds.push_back("file:" + std::to_string(n));
    real.insert(real.end(), sampleIds.begin(), sampleIds.end());
    nlohmann::json cut;
    ASSERT_EQ(RunSweep(state, dir.path() + "/real.json", real, &out, &cut), 1) << out;
    for (const auto& id : sampleIds) {
        SCOPED_TRACE(id);
        const nlohmann::json* built = PointOf(report, id);
        const nlohmann::json* made = PointOf(cut, id);
        ASSERT_TRUE(built != nullptr && made != nullptr) << out;
        EXPECT_EQ((*made)["class"], (*built)["class"]) << made->dump() << "\n" << built->dump();
        EXPECT_EQ((*made)["historyLost"].size(), (*built)["historyLost"].size()) << made->dump();
    }
}

// A backup script that empties the backup before it copies: once the
// update has removed extlog.dat (backed up, then deleted), the medium holds
// its only copy, and a restart's backup replaces it. A cut before the
// removal loses nothing; a cut after it loses the file for good, and the
// sweep names it (with the sample's script, which copies over the backup,
// nothing is lost: the sample's sweeps).
TEST(PowercutRemovedData, GoneWhenARestartReplacesItsOnlyCopy)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string state = dir.path() + "/instrument", src = dir.path() + "/src";
    std::string out, why;
    ASSERT_EQ(swsim::WriteSampleUpdate(src, swsim::SampleOptions(), &why), 0) << why;
    ASSERT_TRUE(swsim::WriteText(src + "/SwUpdate_backup.sh",
                                 "backup=/usbdongle/backup\nrm -rf \"$backup\"\nmkdir -p \"$backup\"\n"
                                 "for dir in $1; do cp -R \"$dir\" \"$backup/\"; done\n"));
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "create", state}, &out, &why), 0) << out;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--from", src}, &out, &why), 0) << out << why;
    nlohmann::json first;
    if (RunSweep(state, dir.path() + "/first.json", {"file:1"}, &out, &first) == kNoRoot) GTEST_SKIP() << out;
    uint64_t removed = 0;
    for (const auto& op : RecordedOps(state)) {
        if (op.op == "unlink" && op.path == "/instrumentData/extlog.dat") removed = op.number;
    }
    ASSERT_GT(removed, 1u) << out;
    const std::string before = "file:" + std::to_string(removed - 1), after = "file:" + std::to_string(removed);
    nlohmann::json report;
    RunSweep(state, dir.path() + "/points.json", {before, after}, &out, &report);
    const nlohmann::json* kept = PointOf(report, before);
    const nlohmann::json* gone = PointOf(report, after);
    ASSERT_TRUE(kept != nullptr && gone != nullptr) << out;
    for (const auto& h : (*kept)["historyLost"]) EXPECT_EQ(h.get<std::string>().find("extlog.dat"), std::string::npos) << h;
    EXPECT_EQ((*gone)["class"], "recovered-log-history-lost") << gone->dump();
    bool named = false;
    for (const auto& h : (*gone)["historyLost"]) {
        named = named || h.get<std::string>().rfind("/instrumentData/extlog.dat: gone for good", 0) == 0;
    }
    EXPECT_TRUE(named) << gone->dump();
}

}  // namespace
