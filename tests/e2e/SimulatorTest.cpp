// The simulator's own pieces: the flash map reader, the flash check, the log
// decoding, the outcome and screen readers and the medium builder. They
// decide what the end-to-end runs and the report claim, so they are checked
// against hand-made inputs here.
#include <gtest/gtest.h>

#include <map>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "E2eSupport.h"
#include "Locations.h"
#include <nlohmann/json.hpp>

#include "RunJson.h"
#include "RunResult.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimLogs.h"
#include "SimMedium.h"
#include "SimReport.h"
#include "SimState.h"
#include "TraceTexts.h"

using namespace swsim;

namespace {

// ---------------------------------------------------------------------------
// Flash map lines, classified with the updater's rules.

struct MapCase {
    const char* text;
    MapLine::Kind kind;
    const char* partition;
    int start;
    const char* overwrite;
    bool valid;
};

class FlashMapLine : public ::testing::TestWithParam<MapCase> {};

TEST_P(FlashMapLine, IsReadLikeTheUpdater)
{
    const MapCase& c = GetParam();
    const auto lines = ParseFlashMap(c.text);
    ASSERT_FALSE(lines.empty());
    const MapLine& l = lines[0];
    EXPECT_EQ(l.kind, c.kind);
    if (c.kind != MapLine::Partition) return;
    EXPECT_EQ(l.partition, c.partition);
    EXPECT_EQ(l.startKiB, c.start);
    EXPECT_EQ(l.overwrite, c.overwrite);
    EXPECT_EQ(l.valid, c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FlashMapLine,
    ::testing::Values(
        MapCase{"ifsPart.bin 0 0x1 YES\n", MapLine::Partition, "ifsPart.bin", 0, "YES", true},
        MapCase{" \t appPart.bin\t2048  0x1 NO", MapLine::Partition, "appPart.bin", 2048, "NO", true},
        MapCase{"appPart.bin 2048 0x1 YES\r\n", MapLine::Partition, "appPart.bin", 2048, "YES\r", true},
        MapCase{"# ifsPart.bin 0 0x1 YES\n", MapLine::Comment, "", 0, "", false},
        MapCase{"\r\n", MapLine::Empty, "", 0, "", false},
        MapCase{"\n", MapLine::Empty, "", 0, "", false},
        MapCase{"RELEASE_NAME=x\n", MapLine::ReleaseName, "", 0, "", false},
        MapCase{"myRELEASE_NAMEPart 0 1 YES\n", MapLine::ReleaseName, "", 0, "", false},
        MapCase{" # ifsPart.bin 0 0x1 YES\n", MapLine::Partition, "#", 0, "0x1", false},
        MapCase{"lastPart 16000 1 YES\n", MapLine::Partition, "lastPart", 16000, "YES", true},
        MapCase{"lastPart 16001 1 YES\n", MapLine::Partition, "lastPart", 16001, "YES", false},
        MapCase{"lastPart -1 1 YES\n", MapLine::Partition, "lastPart", -1, "YES", false},
        MapCase{"xPart 12abc 1 YES\n", MapLine::Partition, "xPart", 12, "YES", true},
        MapCase{"xPart abc 1 YES\n", MapLine::Partition, "xPart", 0, "YES", true},
        MapCase{"xPart 4294967296 1 YES\n", MapLine::Partition, "xPart", INT_MAX, "YES", false},
        MapCase{"xPart -4294967296 1 YES\n", MapLine::Partition, "xPart", INT_MIN, "YES", false},
        MapCase{"lowerpart.bin 0 1 YES\n", MapLine::Partition, "lowerpart.bin", 0, "YES", false},
        MapCase{"xPart 0 1\n", MapLine::Partition, "xPart", 0, "", false}));

TEST(FlashMap, WalksEveryLineAndMountDirectories)
{
    const auto lines = ParseFlashMap("# c\nPart0 0 1 YES\nconfigPart.bin 1 2 NO");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].MountDir(), "/");
    EXPECT_EQ(lines[2].MountDir(), "/config");
    EXPECT_EQ(lines[2].lineNo, 3);
}

// The updater's line reader ends a line at a zero byte too and reads on, but
// its walk stops where a zero byte follows a line's end.
TEST(FlashMap, ZeroBytesAsTheUpdatersReader)
{
    size_t end = 0;
    const auto split = ParseFlashMap(std::string("A\0X\nB", 5), &end);
    ASSERT_EQ(split.size(), 3u);
    EXPECT_EQ(split[0].text + split[1].text + split[2].text, "AXB");
    EXPECT_EQ(split[1].lineNo, 1);  // the file's line
    EXPECT_EQ(split[2].lineNo, 2);
    EXPECT_EQ(end, 5u);
    const std::string stopped("aPart 0 1 YES\n\0bPart 0 1 YES\n", 29);
    const auto lines = ParseFlashMap(stopped, &end);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(end, 14u);
}

// ---------------------------------------------------------------------------
// The flash check.

struct TouchCase {
    int startKiB;
    uint32_t size;
    std::set<int> sectors;
};

class Touched : public ::testing::TestWithParam<TouchCase> {};

TEST_P(Touched, AreTheSectorsTheImageReaches)
{
    const TouchCase& c = GetParam();
    WrittenImage w{"x", c.startKiB, std::vector<uint8_t>(c.size, 0)};
    EXPECT_EQ(TouchedSectors({w}), c.sectors);
}

INSTANTIATE_TEST_SUITE_P(Images, Touched,
                         ::testing::Values(TouchCase{0, 1000, {0}}, TouchCase{0, kSectorSize, {0}},
                                           TouchCase{0, kSectorSize + 1, {0, 1}},
                                           TouchCase{1, kSectorSize - 1024, {0}},
                                           TouchCase{1, kSectorSize - 1023, {0, 1}},
                                           TouchCase{128, 10, {1}}, TouchCase{16000, 3 * kSectorSize, {125, 126, 127}},
                                           TouchCase{0, 0, {}}));

enum class Damage { None, ImageByte, TouchedRest, BothRests, Untouched, GapBetweenImages };

struct CheckCase {
    const char* name;
    Damage damage;
    bool holds;
    bool restPreserved;
    bool untouchedUnchanged;
    std::map<int, uint32_t> restChanged;  // lost bytes counted per touched sector
};

class FlashCheckCase : public ::testing::TestWithParam<CheckCase> {};

TEST_P(FlashCheckCase, FindsWhatWasDamaged)
{
    const CheckCase& c = GetParam();
    std::vector<uint8_t> before(kFlashSize);
    FillPattern(7, before.data(), before.size());
    WrittenImage w{"fontsPart.bin", 14337, PartitionImage("fontsPart.bin", "T", 5000)};
    // A second image in the same sector, listed first, 1144 bytes after the
    // first one's end.
    std::vector<WrittenImage> images{w};
    if (c.damage == Damage::GapBetweenImages) {
        images.insert(images.begin(), WrittenImage{"configPart.bin", 14343, PartitionImage("configPart.bin", "C", 1000)});
    }
    auto after = ExpectedFlash(before, images);
    const uint32_t start = 14337 * 1024;
    switch (c.damage) {
    case Damage::None: break;
    case Damage::ImageByte: after[start + 4000] ^= 1; break;
    case Damage::TouchedRest: after[start - 1] ^= 1; break;
    case Damage::BothRests:  // before and after the image, in its only sector
        after[start - 1] ^= 1;
        after[start - 1024] ^= 1;
        after[start + 5000] ^= 1;
        break;
    case Damage::Untouched: after[5] ^= 1; break;
    case Damage::GapBetweenImages:  // between the two images, and after the second
        after[start + 6000] ^= 1;
        after[start + 7144] ^= 1;
        break;
    }
    const FlashCheck check = CheckFlash(before, after, images);
    ASSERT_EQ(check.images.size(), images.size());
    const FlashCheck::Image& checked = check.images.back();
    EXPECT_EQ(checked.holds, c.holds);
    if (!c.holds) {
        EXPECT_EQ(checked.firstDifference, start + 4000);
    }
    if (images.size() > 1) {
        EXPECT_TRUE(check.images[0].holds);
    }
    EXPECT_EQ(check.touchedRestPreserved, c.restPreserved);
    EXPECT_EQ(check.untouchedUnchanged, c.untouchedUnchanged);
    EXPECT_EQ(check.touched, std::set<int>{112});
    EXPECT_EQ(check.restChanged, c.restChanged);
}

INSTANTIATE_TEST_SUITE_P(Damages, FlashCheckCase,
                         ::testing::Values(CheckCase{"Intact", Damage::None, true, true, true, {}},
                                           CheckCase{"ImageByte", Damage::ImageByte, false, true, true, {}},
                                           CheckCase{"TouchedRest", Damage::TouchedRest, true, false, true, {{112, 1}}},
                                           CheckCase{"BothRests", Damage::BothRests, true, false, true, {{112, 3}}},
                                           CheckCase{"Untouched", Damage::Untouched, true, true, false, {}},
                                           CheckCase{"GapBetweenImages", Damage::GapBetweenImages, true, false, true, {{112, 2}}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Record logs.

TEST(RecordLog, CrcIsTheStandardOne)
{
    const char* text = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
    EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

TEST(RecordLog, SizesOfTheInstrumentLogs)
{
    const std::pair<const char*, size_t> sizes[] = {
        {"Diag.log", 60000}, {"CriticalDiag.log", 60000}, {"DisplayedError.log", 16000}, {"RevHistory.log", 10800}};
    for (const auto& s : sizes) EXPECT_EQ(EmptyLog(*FindLog(s.first)).size(), s.second) << s.first;
}

TEST(RecordLog, AddedRecordsAreThoseThatChanged)
{
    const LogSpec& spec = *FindLog("RevHistory.log");
    auto log = EmptyLog(spec);
    PutRecord(&log, spec, 0, 1, RevisionEntry(100, 2, 3));
    const DecodedLog before = DecodeLog(log, true, spec);
    EXPECT_TRUE(AddedRecords(before, before).empty());

    PutRecord(&log, spec, 1, 2, RevisionEntry(200, 2, 4));
    auto added = AddedRecords(before, DecodeLog(log, true, spec));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].recordNo, 2u);
    EXPECT_EQ(DescribeRecord(spec, added[0]).find("version 0204 (2.4)") != std::string::npos, true)
        << DescribeRecord(spec, added[0]);

    // A recreated log: its only entry is new even at a used position.
    auto recreated = EmptyLog(spec);
    PutRecord(&recreated, spec, 0, 1, RevisionEntry(300, 2, 4));
    EXPECT_EQ(AddedRecords(before, DecodeLog(recreated, true, spec)).size(), 1u);
}

TEST(RecordLog, DecodingFindsWrongCrcsAndShortFiles)
{
    const LogSpec& spec = *FindLog("Diag.log");
    auto log = EmptyLog(spec);
    PutRecord(&log, spec, 0, 1, DiagEntry(1, kSelfTestLogCrcErr, {2, 0, 0, 0, 1, 0, 0, 0}));
    DecodedLog d = DecodeLog(log, true, spec);
    EXPECT_TRUE(d.lengthOk);
    EXPECT_EQ(d.badCrcs, 0);
    EXPECT_NE(DescribeRecord(spec, d.records[0]).find("log DisplayedError.log recreated (status 1)"), std::string::npos);
    log[60 * 3 + 20] ^= 0x40;   // padding and info are both covered
    log[59] ^= 1;               // the first record's padding
    d = DecodeLog(log, true, spec);
    EXPECT_EQ(d.badCrcs, 2);
    log.resize(log.size() - 1);
    EXPECT_FALSE(DecodeLog(log, true, spec).lengthOk);
}

// ---------------------------------------------------------------------------
// Reading a run: outcome, flash writes, screens.

struct OutcomeCase {
    const char* name;
    std::string trace;
    bool ended;
    Outcome outcome;
};

class RunOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(RunOutcome, IsReadFromTheTrace)
{
    EXPECT_EQ(OutcomeOf(GetParam().trace, GetParam().ended), GetParam().outcome);
}

using namespace swsim::tracetext;

INSTANTIATE_TEST_SUITE_P(
    Traces, RunOutcome,
    ::testing::Values(
        OutcomeCase{"NotAllowed", TraceOf({kGuiInitialized, kNotAllowed + std::string(" Status =2")}), true,
                    Outcome::NotAllowed},
        OutcomeCase{"Declined", TraceOf({kGuiInitialized, "Performing swupdate independent actions"}), true,
                    Outcome::Declined},
        OutcomeCase{"PreUpdate", TraceOf({kGuiInitialized, kPerformingUpdate, kPreUpdateFailed}), true,
                    Outcome::PreUpdateFailed},
        OutcomeCase{"Unpacking", TraceOf({kGuiInitialized, kPerformingUpdate, kUnpackingFailed + std::string(" ")}),
                    true, Outcome::UnpackingFailed},
        OutcomeCase{"Flash",
                    TraceOf({kGuiInitialized, kPerformingUpdate, kFlashFailed + std::string(", update not installed!")}),
                    true, Outcome::FlashFailed},
        OutcomeCase{"Done", TraceOf({kGuiInitialized, kPerformingUpdate, kPostUpdate}), true, Outcome::Done},
        OutcomeCase{"StartedButNotEnded", TraceOf({kGuiInitialized, kPerformingUpdate}), true, Outcome::Unfinished},
        OutcomeCase{"Killed", TraceOf({kGuiInitialized, kPostUpdate}), false, Outcome::Unfinished}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunRecord, FlashWritesAreFoundAlsoBehindAnUnterminatedLine)
{
    const std::string trace =
        "<sources/SwUpdateUtils.cpp:1>Flashing: ifsPart.bin @ 0 \nFlashing file ifsPart.bin to address 0x0\n"
        "Flashing sector 0\n<sources/SwUpdateUtils.cpp:2>Partion configPart.bin does not exist and is to be "
        "written.Flashing file configPart.bin to address 0xc00000\n";
    const auto attempts = FlashAttempts(trace);
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[0].name, "ifsPart.bin");
    EXPECT_EQ(attempts[0].address, 0u);
    EXPECT_EQ(attempts[1].name, "configPart.bin");
    EXPECT_EQ(attempts[1].address, 0xc00000u);
}

TEST(RunRecord, ScreensAreTheRequestsInOrder)
{
    const std::string gui =
        "21:00:00.000 start        serving /instrument.example/Vestrel/SystemStartUp\n"
        "21:00:03.000 ready        running version \"2.3\\n\"\n"
        "21:00:03.001 timers       estimated duration 68 s (values 60 0 68)\n"
        "21:00:03.002 question     update to version \"2.4\\n\"?\n"
        "21:00:03.010 sent         answer yes (doUpgrade 1), reply status 0\n"
        "21:00:03.020 in-progress  update in progress (state 1 SSUpgrade)\n"
        "21:00:09.000 message      2000 cSWUpdateRemoveMSD (time-out 0 s)\n"
        "21:00:09.001 medium       /usbdongle/file0 taken out\n";
    EXPECT_EQ(ScreensOf(gui),
              (std::vector<std::string>{"ready", "timers", "question", "in-progress", "message 2000"}));
}

// A run's request travels to the part inside the root, and its result back,
// as JSON: every field arrives, and every text keeps its bytes (a path or a
// name on a medium need not be UTF-8).
class InsideJson : public ::testing::TestWithParam<const char*> {};

TEST_P(InsideJson, CarriesEveryFieldUnchanged)
{
    const std::string t = GetParam();
    InsideRequest rq;
    RunOptions& o = rq.run;
    o.answer = "no" + t;
    o.answerDelay = 2.5;
    o.pullAfter = -1;
    o.interactive = true;
    o.faultsFile = "/f" + t;
    o.timeout = 0.125;
    o.showTrace = true;
    o.showGui = false;
    o.updater = "/u" + t;
    o.gui = "/g" + t;
    o.updaterCwd = "/c" + t;
    o.webFd = 9;
    o.powerCut = "log:3:" + t;
    o.logWritesFile = "/l" + t;
    o.speed = 33.3333333333;
    o.chipTiming = "1,12," + t;
    rq.traceFd = 3;
    rq.guiFd = 4;
    rq.resultFd = 5;
    rq.updaterEnv = {"A=" + t, "NORFLASH_POWER_CUT="};
    rq.waitRecordFd = 6;
    rq.waitRecorder = "/w" + t;
    InsideRequest back;
    std::string why;
    ASSERT_TRUE(InsideRequestFromJson(InsideRequestJson(rq), &back, &why)) << why;
    const RunOptions& b = back.run;
    EXPECT_EQ(b.answer, o.answer);
    EXPECT_EQ(b.answerDelay, o.answerDelay);
    EXPECT_EQ(b.pullAfter, o.pullAfter);
    EXPECT_EQ(b.interactive, o.interactive);
    EXPECT_EQ(b.faultsFile, o.faultsFile);
    EXPECT_EQ(b.timeout, o.timeout);
    EXPECT_EQ(b.showTrace, o.showTrace);
    EXPECT_EQ(b.showGui, o.showGui);
    EXPECT_EQ(b.updater, o.updater);
    EXPECT_EQ(b.gui, o.gui);
    EXPECT_EQ(b.updaterCwd, o.updaterCwd);
    EXPECT_EQ(b.webFd, o.webFd);
    EXPECT_EQ(b.powerCut, o.powerCut);
    EXPECT_EQ(b.logWritesFile, o.logWritesFile);
    EXPECT_EQ(b.speed, o.speed) << "the speed is not rounded on its way";
    EXPECT_EQ(b.chipTiming, o.chipTiming);
    EXPECT_EQ(back.traceFd, rq.traceFd);
    EXPECT_EQ(back.guiFd, rq.guiFd);
    EXPECT_EQ(back.resultFd, rq.resultFd);
    EXPECT_EQ(back.updaterEnv, rq.updaterEnv);
    EXPECT_EQ(back.waitRecordFd, rq.waitRecordFd);
    EXPECT_EQ(back.waitRecorder, rq.waitRecorder);
    EXPECT_TRUE(InsideRequestComplete(back));

    InsideResult r;
    r.medium = true;
    r.file0Names = "FlashRepartition.sh " + t;
    r.file0Status = 512;
    r.updaterSeconds = 68.5904;
    r.rebootSeconds = 68.5551;
    r.updaterStatus = 9;
    r.guiStatus = 0;
    r.timedOut = true;
    r.updaterPid = 41;
    r.waitsRecorded = true;
    r.cpuMeasured = true;
    r.cpuUserSeconds = 0.123456;
    r.cpuSystemSeconds = 0.021;
    InsideResult rb;
    ASSERT_TRUE(InsideResultFromJson(InsideResultJson(r), &rb, &why)) << why;
    EXPECT_EQ(rb.medium, r.medium);
    EXPECT_EQ(rb.file0Names, r.file0Names);
    EXPECT_EQ(rb.file0Status, r.file0Status);
    EXPECT_EQ(rb.updaterSeconds, r.updaterSeconds);
    EXPECT_EQ(rb.rebootSeconds, r.rebootSeconds);
    EXPECT_EQ(rb.updaterStatus, r.updaterStatus);
    EXPECT_EQ(rb.guiStatus, r.guiStatus);
    EXPECT_EQ(rb.timedOut, r.timedOut);
    EXPECT_EQ(rb.updaterPid, r.updaterPid);
    EXPECT_EQ(rb.waitsRecorded, r.waitsRecorded);
    EXPECT_EQ(rb.cpuMeasured, r.cpuMeasured);
    EXPECT_EQ(rb.cpuUserSeconds, r.cpuUserSeconds);
    EXPECT_EQ(rb.cpuSystemSeconds, r.cpuSystemSeconds);

    // What a run gave crosses to the power-cut sweep the same way; an
    // updater killed at the time limit is no power cut.
    RunResult run;
    run.rootStatus = 0;
    run.insideReported = true;
    run.inside = r;
    RunResult runBack = nlohmann::json::parse(nlohmann::json(run).dump()).get<RunResult>();
    EXPECT_EQ(runBack.inside.file0Names, r.file0Names);
    EXPECT_EQ(runBack.inside.updaterStatus, r.updaterStatus);
    EXPECT_FALSE(runBack.PowerCutHappened()) << "stopped at the time limit";
    runBack.inside.timedOut = false;
    EXPECT_TRUE(runBack.PowerCutHappened());
    EXPECT_FALSE(runBack.UpdaterEnded());
}

INSTANTIATE_TEST_SUITE_P(Texts, InsideJson,
                         ::testing::Values("", "plain", "quote\" back\\ tab\t", "\xc3\xbc UTF-8",
                                           "\xff\xfe not UTF-8", "cut \xc3"));

// Not a request: refused with the reason, never a half-filled one taken.
TEST(InsideJson, RefusesWhatIsNoRequest)
{
    for (const char* text : {"", "[1]", "{\"run\": 3}", "{\"trace-fd\": \"x\"}", "{"}) {
        InsideRequest r;
        std::string why;
        EXPECT_FALSE(InsideRequestFromJson(text, &r, &why)) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
    InsideRequest partial;
    std::string why;
    ASSERT_TRUE(InsideRequestFromJson("{\"trace-fd\": 3}", &partial, &why)) << why;
    EXPECT_FALSE(InsideRequestComplete(partial)) << "no programs, no records: not a run's request";
}

// ---------------------------------------------------------------------------
// Media and instruments.

std::vector<std::string> Members(const std::string& archive)
{
    std::string out, why;
    const int status = RunProgram({"tar", "-tzf", archive}, &out, &why);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out << why;
    auto lines = SplitLines(out);
    std::sort(lines.begin(), lines.end());
    return lines;
}

struct MediumCase {
    const char* version;
    size_t packages;
};

class MediumLayout : public ::testing::TestWithParam<MediumCase> {};

TEST_P(MediumLayout, HoldsEveryFileOnceInThePackagesTheUpdaterUnpacks)
{
    ScratchDir dir;
    const std::string src = dir.path() + "/src", medium = dir.path() + "/medium";
    SampleOptions o;
    o.version = GetParam().version;
    std::string why;
    ASSERT_EQ(WriteSampleUpdate(src, o, &why), 0) << why;
    std::vector<std::string> lines;
    ASSERT_EQ(BuildMedium(src, medium, &lines, &why), 0) << why;
    EXPECT_EQ(ListDir(medium).size(), GetParam().packages);
    EXPECT_EQ(Members(medium + "/file0"),
              (std::vector<std::string>{"FlashRepartition.sh", "SwUpdate_backup.sh", "estUpdateTime", "swVersion"}));
    std::vector<std::string> all;
    for (size_t i = 1; i < GetParam().packages; ++i) {
        const auto m = Members(medium + "/file" + std::to_string(i));
        EXPECT_FALSE(m.empty()) << "file" << i;
        all.insert(all.end(), m.begin(), m.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<std::string> expected;
    for (const auto& name : ListDir(src)) {
        if (name != "FlashRepartition.sh" && name != "SwUpdate_backup.sh" && name != "estUpdateTime" &&
            name != "swVersion") {
            expected.push_back(name);
        }
    }
    EXPECT_EQ(all, expected);
    // One listing: begin and end of separate listings span no range.
    const auto members = Members(medium + "/file1");
    EXPECT_NE(std::find(members.begin(), members.end(), "flashMap"), members.end());
}

INSTANTIATE_TEST_SUITE_P(Versions, MediumLayout,
                         ::testing::Values(MediumCase{"2.4", 4}, MediumCase{"0.7", 2}, MediumCase{"10.1", 4}),
                         [](const auto& info) {
                             std::string name = std::string("Version") + info.param.version;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

TEST(Instrument, CreationRefusesHostPathsAndForeignDirectories)
{
    std::string why;
    for (const char* dir : {"/", "/tmp", "/tmp/", "/usbdongle", "/instrumentData", "/log", "/usr/../tmp"}) {
        EXPECT_FALSE(SafeStateDir(dir, &why)) << dir;
    }
    ScratchDir scratch;
    const std::string foreign = scratch.path() + "/foreign";
    ASSERT_TRUE(MakeDirs(foreign));
    ASSERT_TRUE(WriteText(foreign + "/keep.txt", "mine"));
    CreateOptions o;
    EXPECT_NE(CreateInstrument(foreign, o, &why), 0);
    o.force = true;
    EXPECT_NE(CreateInstrument(foreign, o, &why), 0) << "never clears a directory it did not make";
    EXPECT_EQ(ReadTextOr(foreign + "/keep.txt", ""), "mine");
}

TEST(Instrument, FactoryStateIsComplete)
{
    ScratchDir scratch;
    const std::string dir = scratch.path() + "/inst";
    CreateOptions o;
    o.version = "2.9";
    o.market = "Export";
    o.truncateLogs = {"RevHistory.log"};
    std::string why;
    ASSERT_EQ(CreateInstrument(dir, o, &why), 0) << why;
    const StatePaths s(dir);
    EXPECT_EQ(FileSizeOf(s.flash()), static_cast<off_t>(kFlashSize));
    EXPECT_EQ(ReadTextOr(s.log() + "/swVersion/swVersion", ""), "2.9\n");
    EXPECT_EQ(ReadTextOr(s.instrumentData() + "/swVersion/swVersion", ""), "2.9\n");
    EXPECT_NE(ReadTextOr(s.instrumentData() + "/Inifiles/Market.ini", "").find("Market=Export"), std::string::npos);
    for (const auto& spec : InstrumentLogs()) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(ReadBytes(s.instrumentData() + "/" + spec.name, &bytes));
        const DecodedLog d = DecodeLog(bytes, true, spec);
        EXPECT_EQ(d.lengthOk, std::string(spec.name) != "RevHistory.log") << spec.name;
        EXPECT_EQ(d.badCrcs, 0) << spec.name;
    }
    EXPECT_TRUE(ListDir(s.tmp()).empty());
    EXPECT_TRUE(ListDir(s.usbdongle()).empty());
    // The factory partitions are where the layout puts them.
    std::vector<uint8_t> flash;
    ASSERT_TRUE(ReadBytes(s.flash(), &flash));
    for (const auto& p : FactoryLayout()) {
        const auto image = PartitionImage(p.name, "FACTORY 2.9", p.size);
        EXPECT_EQ(std::memcmp(flash.data() + p.startKiB * 1024, image.data(), image.size()), 0) << p.name;
    }
    EXPECT_EQ(flash[kFlashSize - 1], 0xFF);
}

// ---------------------------------------------------------------------------
// Scratch space: $TMPDIR when it names a directory, else a memory file system
// with room (a sweep's churn of files is slow on a disk), else /tmp.

TEST(Scratch, TmpdirFirstThenMemoryWithRoomThenTmp)
{
    struct statfs fs {};
    if (statfs("/dev/shm", &fs) != 0 || fs.f_type != TMPFS_MAGIC || access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no writable memory file system at /dev/shm here";
    }
    const char* saved = std::getenv("TMPDIR");
    const std::string kept = saved != nullptr ? saved : "";
    struct Case {
        const char* tmpdir;  // nullptr: unset
        const char* shm;
        unsigned long long room;
        const char* want;
    };
    const Case cases[] = {
        {"/var/scratch", "/dev/shm", 1, "/var/scratch"},   // named: used as it is
        {nullptr, "/dev/shm", 1, "/dev/shm"},              // memory with room
        {"relative", "/dev/shm", 1, "/dev/shm"},           // a relative TMPDIR names no place
        {nullptr, "/dev/shm", ~0ULL, "/tmp"},              // memory without the room
        {nullptr, "/proc", 1, "/tmp"},                     // not a memory file system
        {nullptr, "/nonexistent-shm", 1, "/tmp"},
    };
    for (const auto& c : cases) {
        if (c.tmpdir != nullptr) setenv("TMPDIR", c.tmpdir, 1);
        else unsetenv("TMPDIR");
        EXPECT_EQ(ScratchBase(c.shm, c.room), c.want) << (c.tmpdir ? c.tmpdir : "(unset)") << " " << c.shm;
    }
    if (saved != nullptr) setenv("TMPDIR", kept.c_str(), 1);
    else unsetenv("TMPDIR");
}

// ---------------------------------------------------------------------------
// Standard output sent into a file for a while (a reference run's lines, a
// replay's traces) comes back afterwards; with no descriptor left to keep it
// aside it is not sent away at all, so no later line is lost.

TEST(StdoutTo, SendsTheOutputIntoTheFileAndGivesItBack)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = dir.path() + "/out.txt";
    testing::internal::CaptureStdout();
    std::printf("before\n");
    {
        const StdoutTo to(file);
        std::printf("inside\n");
    }
    std::printf("after\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "before\nafter\n");
    EXPECT_EQ(ReadTextOr(file, ""), "inside\n");
}

TEST(StdoutTo, KeepsTheOutputWhenNoDescriptorIsLeft)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = dir.path() + "/out.txt";
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    testing::internal::CaptureStdout();
    // Every descriptor but one taken: the file opens, keeping the output
    // aside does not.
    std::vector<int> held;
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 64);
    const bool lowered = setrlimit(RLIMIT_NOFILE, &low) == 0;
    for (int fd; lowered && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    const bool full = !held.empty();
    if (full) {
        close(held.back());
        held.pop_back();
        const StdoutTo to(file);
        std::printf("inside\n");
    }
    for (const int fd : held) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    std::printf("after\n");
    const std::string captured = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(lowered && full) << "cannot use up the descriptors";
    EXPECT_EQ(captured, "inside\nafter\n");
    EXPECT_EQ(ReadTextOr(file, "missing"), "");
}

// ---------------------------------------------------------------------------
// The command line: a mistyped command or option is named, with the
// nearest one that exists.

struct MistypedCase {
    std::vector<std::string> args;
    const char* says;
};

class Mistyped : public ::testing::TestWithParam<MistypedCase> {};

TEST_P(Mistyped, IsAUsageErrorThatSuggestsTheNearest)
{
    std::string output;
    EXPECT_EQ(Swsim(GetParam().args, &output), 64) << output;
    EXPECT_NE(output.find(GetParam().says), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Mistyped,
    ::testing::Values(
        MistypedCase{{"bogus"}, "unknown command 'bogus'; the commands are create, sample, medium, run, report"},
        MistypedCase{{"chekc", "medium"}, "unknown command 'chekc'; did you mean 'check'?"},
        MistypedCase{{"power", "state"}, "did you mean 'powercut'?"},
        // The value after an unknown option is not taken for the medium.
        MistypedCase{{"check", "--jsn", "out.json", "/"}, "unknown option '--jsn' for 'check'; did you mean '--json'?"},
        MistypedCase{{"powercut", "state", "--job=2"}, "unknown option '--job' for 'powercut'; did you mean '--jobs'?"},
        MistypedCase{{"run", "state", "--answr", "yes"}, "did you mean '--answer'?"},
        MistypedCase{{"check", "/", "--frobnicate"}, "unknown option '--frobnicate' for 'check'\n"},
        MistypedCase{{"check", "/", "surplus"}, "surplus"}));

}  // namespace
