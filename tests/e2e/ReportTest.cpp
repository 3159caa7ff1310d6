// The report tells the ways a run can end without its partitions written
// apart: packages never unpacked, unpacking failed, no flash map among the
// unpacked packages, a failed write. A run's facts survive their JSON, and
// the page renders the durations the text gives.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "E2eSupport.h"
#include "HangLimit.h"
#include "HtmlReport.h"
#include "MapState.h"
#include "SimFiles.h"
#include "SimReport.h"
#include "SimState.h"
#include "TraceTexts.h"

using namespace swsim;

namespace {

struct MapCase {
    const char* name;
    std::string trace;
    bool haveMap;
    const char* mapText;
    MapState state;
};

void PrintTo(const MapCase& c, std::ostream* os) { *os << c.name; }

class MapStateTest : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapStateTest, IsReadFromTheTraceAndTmp)
{
    const MapCase& c = GetParam();
    EXPECT_EQ(MapStateOf(c.trace, c.haveMap, c.mapText), c.state);
}

const std::string kUnpackingFailedLine = swsim::tracetext::kUnpackingFailed + std::string(" ");
const std::string kUnpacked = TraceOf({std::string("Running command: ") + swsim::tracetext::kUnpackFile1});

INSTANTIATE_TEST_SUITE_P(
    Runs, MapStateTest,
    ::testing::Values(
        MapCase{"declinedNothingUnpacked", TraceOf({swsim::tracetext::kGuiInitialized}), false, "",
                MapState::NotUnpacked},
        MapCase{"unpackingFailedWithoutMap",
                TraceOf({"Running command: cp /usbdongle/file1 .", kUnpackingFailedLine}), false, "",
                MapState::UnpackingFailed},
        MapCase{"unpackingFailedAfterTheMapCame", kUnpacked + TraceOf({kUnpackingFailedLine}), true,
                "ifsPart.bin 0 x YES\n", MapState::Present},
        MapCase{"unpackedWithoutMap", kUnpacked, false, "", MapState::Missing},
        MapCase{"unpackedWithEmptyMap", kUnpacked, true, "", MapState::Missing},
        MapCase{"updaterSaysTheMapIsMissing",
                TraceOf({swsim::tracetext::kMapMissing + std::string(": no partition is written")}), false, "",
                MapState::Missing},
        MapCase{"mapPresent", kUnpacked, true, "ifsPart.bin 0 x YES\n", MapState::Present}),
    [](const auto& info) { return std::string(info.param.name); });

// A medium whose packages bring no flash map: the report says so, and never
// that the flash holds the update.
TEST(ReportOfARun, MediumWithoutFlashMapIsNamedAsSuch)
{
    ScratchDir scratch;
    const std::string state = scratch.path() + "/inst";
    const std::string sample = scratch.path() + "/sample";
    std::string output;
    ASSERT_EQ(Swsim({"create", state}, &output), 0) << output;
    ASSERT_EQ(Swsim({"sample", sample, "--version", "2.4"}, &output), 0) << output;
    swsim::RemoveTree(sample + "/flashMap");
    ASSERT_EQ(Swsim({"medium", state, "--from", sample}, &output), 0) << output;
    const int rc = Swsim({"run", state, "--pull-after", "0", "--timeout", HangLimit(150)}, &output);
    if (rc == 77) GTEST_SKIP() << "no instrument root: " << output;

    auto sum = Summary(state);
    EXPECT_EQ(sum["flash-map"], "missing");
    EXPECT_EQ(sum["flash-ok"], "no");
    EXPECT_EQ(sum["written"], "");
    EXPECT_NE(output.find("Partitions: no flash map among the unpacked packages (/tmp/flashMap missing or empty): "
                          "no partition written"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("the packages were not unpacked"), std::string::npos) << output;
    // The page to standard output: the text report still comes (on standard
    // error), and no file is named.
    std::string both;
    ASSERT_EQ(Swsim({"report", state, "--html", "-"}, &both), 0) << both;
    EXPECT_NE(both.find("<!DOCTYPE html>"), std::string::npos);
    EXPECT_NE(both.find("Partitions: no flash map among the unpacked packages"), std::string::npos) << both;
    EXPECT_EQ(both.find("HTML report:"), std::string::npos) << both;
    // The page's headline is the text's: no good news, and the cause said.
    const size_t outcome = both.find("id=\"outcome\"");
    ASSERT_NE(outcome, std::string::npos) << both;
    const size_t from = both.rfind("<p", outcome);
    const std::string headline = both.substr(from, both.find("</p>", outcome) - from);
    EXPECT_NE(headline.find("outcome bad"), std::string::npos) << headline;
    EXPECT_NE(headline.find("no flash map among the unpacked packages"), std::string::npos) << headline;
    // The updater takes a missing map as a failed update, or (an older one)
    // as done: the report names the cause in either case.
    if (sum["outcome"] == "flash-failed") {
        EXPECT_EQ(sum["flash-failure"], "no-flash-map");
        EXPECT_NE(output.find("update not installed (failure screen): no flash map among the unpacked packages"),
                  std::string::npos)
            << output;
    } else {
        EXPECT_EQ(sum["outcome"], "done");
        EXPECT_NE(output.find("update done (remove-medium screen), but no partition was written"), std::string::npos)
            << output;
    }
}


// ---------------------------------------------------------------------------
// A run's facts travel between processes as JSON: every member must come
// back, or the parent renders a different run than its child read.

// A record with every member away from its default.
RunFacts FullFacts()
{
    RunFacts f;
    f.root = "/state";
    f.started = "2026-01-02 03:04:05 UTC";
    f.answer = "yes";
    f.pullAfter = "0.5";
    f.faults = "/faults";
    f.updaterResult = "exit 0";
    f.guiResult = "exit 0";
    f.wallSeconds = "1.25";
    f.timedOut = true;
    f.outcome = Outcome::FlashFailed;
    f.mapState = MapState::Present;
    f.guiLines = {"00:00:01.000 ready        running version \"2.3\\n\""};
    f.screens = {"ready", "message 2006"};
    f.traceLines = 118;
    PartitionFact p;
    p.lineNo = 5;
    p.name = "appPart.bin";
    p.startKiB = 2048;
    p.overwrite = "YES";
    p.mountDir = "/app";
    p.valid = true;
    p.decision = PartitionFact::NotAfterFault;
    f.partitions = {p};
    f.flashFaults = {"Flash fault: erase of sector 16 failed"};
    f.causeLines = {"Flash fault: erase of sector 16 failed", "Writing the partitions into the flash failed"};
    f.flash.present = true;
    f.flash.images = {{"ifsPart.bin", 0, 700 * 1024, false, 0x1234, 0xCAFEF00D}};
    f.flash.missingImages = {"gone.bin"};
    f.flash.touchedSectors = {0, 1, 2, 16};
    f.flash.changedSectors = {0, 1};
    f.flash.restPreserved = false;
    f.flash.firstRestDifference = 0xAF000;
    f.flash.untouchedUnchanged = false;
    f.flash.firstUntouchedDifference = 0x400000;
    f.flash.hasPicture = true;
    f.flash.picture.sectors.assign(kSectorCount, SectorState::Partial);
    f.flash.picture.coveredBytes.assign(kSectorCount, 7);
    f.flash.picture.imageOf.assign(kSectorCount, "ifsPart.bin");
    f.flash.picture.partitions = {{"appPart.bin", 0x200000, 4096, "kept", true, true}};
    f.flash.picture.overwrites = {{"ifsPart.bin", "appPart.bin", {23, 24}}};
    f.replay = {true, "", 6, 393216, 1245193, 1572912, 3, true, 2, 12.04};
    f.haveVersionBefore = true;
    f.haveVersion = true;
    f.versionBefore = "2.3\n";
    f.version = "2.4\n";
    f.crcFiles = {{"appPart.crc", "0123abcd\n"}};
    f.extlogBefore = true;
    f.extlogAfter = true;
    LogFacts log;
    log.name = "RevHistory.log";
    log.present = true;
    log.lengthOk = false;
    log.size = 12;
    log.badCrcs = 2;
    log.corruptBefore = true;
    log.added = {"record 4: version 0204"};
    log.entries = {"0204"};
    f.logs = {log};
    f.corruptCopies = {"CorruptedDiag.log"};
    f.backup = {"instrumentData"};
    f.boardTools = {"nonblock-realtest_arm o: reboot requested"};
    f.reboot = true;
    f.mediumChecks = {3, 1};
    f.timing.speed = 50;
    f.timing.rebooted = true;
    f.timing.seconds = 32.54;
    f.timing.guiStarts = 1;
    f.timing.driverRestarts = 1;
    f.timing.mediumWaits = 2;
    f.timing.fixedSeconds = 12;
    f.timing.chipSeconds = 11.7;
    f.timing.estimate = 30;
    return f;
}

TEST(RunFactsJson, EveryMemberComesBack)
{
    const RunFacts f = FullFacts();
    const nlohmann::json j = f;
    const RunFacts back = nlohmann::json::parse(j.dump()).get<RunFacts>();
    EXPECT_EQ(nlohmann::json(back), j);
    EXPECT_EQ(RunReportText(back), RunReportText(f));
    EXPECT_EQ(SummaryOf(back), SummaryOf(f));
    EXPECT_EQ(HtmlReportText(back), HtmlReportText(f));
    // A record from an older writer lacks members: they keep their defaults.
    const RunFacts partial = nlohmann::json{{"outcome", "done"}}.get<RunFacts>();
    EXPECT_EQ(partial.outcome, Outcome::Done);
    EXPECT_EQ(partial.timing.seconds, RunTiming().seconds);
}

class OutcomeKeys : public ::testing::TestWithParam<Outcome> {};

// The key the summary and the check's JSON give is the one JSON carries and
// the one read back.
TEST_P(OutcomeKeys, TravelAsTheirKey)
{
    RunFacts f;
    f.outcome = GetParam();
    const nlohmann::json j = f;
    EXPECT_EQ(j.at("outcome"), OutcomeKey(GetParam()));
    EXPECT_EQ(j.get<RunFacts>().outcome, GetParam());
    EXPECT_EQ(OutcomeOfKey(OutcomeKey(GetParam())), GetParam());
}

INSTANTIATE_TEST_SUITE_P(All, OutcomeKeys,
                         ::testing::Values(Outcome::NotAllowed, Outcome::Declined, Outcome::PreUpdateFailed,
                                           Outcome::UnpackingFailed, Outcome::FlashFailed, Outcome::Done,
                                           Outcome::Unfinished),
                         [](const auto& info) {
                             std::string name = OutcomeKey(info.param);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// The page gives the durations the text gives: the update's counted
// duration, not the wall time or the real chip's estimate, nor a fast
// run's clock; in real time the clock beside it.
TEST(HtmlReportOfFacts, ShowsTheInstrumentsTimeAsTheTextDoes)
{
    RunFacts f = FullFacts();
    f.timing.speed = 50;
    f.timing.seconds = 21.04;
    f.timing.duration.known = true;
    f.timing.duration.seconds = 65.54;
    f.timing.duration.cpuSeconds = 0.44;
    f.wallSeconds = "1.64";
    std::string page = HtmlReportText(f), text = RunReportText(f);
    EXPECT_NE(text.find("the update on the instrument: 65.5 s"), std::string::npos) << text;
    EXPECT_NE(page.find(">65.5 s</text>"), std::string::npos) << page;
    EXPECT_NE(page.find(">0.4 s</text>"), std::string::npos) << "the updater's own work";
    EXPECT_NE(page.find(">30.0 s</text>"), std::string::npos) << "the medium's estimate";
    EXPECT_EQ(page.find(">1.6 s</text>"), std::string::npos) << "the wall time is no bar";
    EXPECT_EQ(page.find(">21.0 s</text>"), std::string::npos) << "a fast run's clock is no bar";
    EXPECT_NE(page.find("id=\"estimate-short\""), std::string::npos);
    f.timing.speed = 1;
    page = HtmlReportText(f);
    text = RunReportText(f);
    EXPECT_NE(page.find(">21.0 s</text>"), std::string::npos) << "the real-time clock as a cross-check";
    EXPECT_NE(text.find("as a cross-check): 21.0 s"), std::string::npos) << text;
    // Without a count, no figure but the reason.
    f.timing.duration = UpdateDuration();
    f.timing.duration.why = "the run's pauses were not counted: qemu-user";
    page = HtmlReportText(f);
    EXPECT_EQ(page.find(">65.5 s</text>"), std::string::npos) << page;
    EXPECT_NE(page.find("not counted: qemu-user"), std::string::npos) << page;
}

}  // namespace
