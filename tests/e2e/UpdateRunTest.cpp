// End-to-end runs: the real updater with the start-up GUI stand-in, each in
// an instrument root of its own over a fresh simulated instrument (swsim).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>

#include "E2eSupport.h"
#include "HangLimit.h"
#include "RunCounts.h"
#include "SimClock.h"
#include "SimFiles.h"
#include "SimFlash.h"
#include "SimLogs.h"
#include "SimState.h"

using namespace swsim;

namespace {

// One simulated instrument with a medium built from the sample update,
// optionally altered, and the last run's records.
struct Instrument {
    ScratchDir scratch;
    std::string state = scratch.path() + "/inst";
    std::string sample = scratch.path() + "/sample";
    std::string output;
    StatePaths paths{state};
    std::vector<std::string> runExtra;  // options an alteration adds to the run

    void Create(const std::vector<std::string>& options)
    {
        std::vector<std::string> args = {"create", state};
        args.insert(args.end(), options.begin(), options.end());
        ASSERT_EQ(Swsim(args, &output), 0) << output;
    }
    void Sample(const std::string& version)
    {
        ASSERT_EQ(Swsim({"sample", sample, "--version", version}, &output), 0) << output;
    }
    void Medium() { ASSERT_EQ(Swsim({"medium", state, "--from", sample}, &output), 0) << output; }
    // Returns false when no instrument root can be made here (test skipped).
    bool Run(const std::vector<std::string>& options)
    {
        // Simulated time, the chip instantly ready: these runs check what the
        // update did, not how long it took (SimTimeTest.cpp does).
        std::vector<std::string> args = {"run", state, "--quiet", "--pull-after", "0", "--timeout", HangLimit(120),
                                         "--chip-timing", "off"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), runExtra.begin(), runExtra.end());
        const int rc = Swsim(args, &output);
        if (rc == 77) return false;
        EXPECT_EQ(rc, 0) << output;
        return true;
    }
    std::string Trace() const { return ReadTextOr(paths.trace(), ""); }
    std::vector<uint8_t> Flash() const
    {
        std::vector<uint8_t> f;
        ReadBytes(paths.flash(), &f);
        return f;
    }
    std::vector<uint8_t> FlashBefore() const
    {
        std::vector<uint8_t> f;
        ReadBytes(paths.flashBefore(), &f);
        return f;
    }
    std::vector<uint8_t> SampleImage(const std::string& name) const
    {
        std::vector<uint8_t> f;
        ReadBytes(sample + "/" + name, &f);
        return f;
    }
    DecodedLog Log(const std::string& name) const
    {
        std::vector<uint8_t> bytes;
        const bool present = ReadBytes(paths.instrumentData() + "/" + name, &bytes);
        return DecodeLog(bytes, present, *FindLog(name));
    }
};

#define RUN_OR_SKIP(inst, ...)                                                         \
    do {                                                                               \
        if (!(inst).Run(__VA_ARGS__)) GTEST_SKIP() << "no instrument root: " << (inst).output; \
    } while (0)

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

bool SameBytes(const std::vector<uint8_t>& flash, uint32_t at, const std::vector<uint8_t>& data)
{
    return at + data.size() <= flash.size() && std::memcmp(flash.data() + at, data.data(), data.size()) == 0;
}

// The update sequence's own trace lines (those of sources/SwUpdate.cpp), in
// order, each without its prefix and up to its line feed: trailing spaces
// are part of the message.
std::vector<std::string> SequenceTrace(const std::string& trace)
{
    std::vector<std::string> lines;
    const std::regex prefix("<sources/SwUpdate\\.cpp:[0-9]+>");
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), prefix); it != std::sregex_iterator(); ++it) {
        const size_t start = static_cast<size_t>(it->position() + it->length());
        const size_t end = trace.find('\n', start);
        lines.push_back(trace.substr(start, end == std::string::npos ? std::string::npos : end - start));
    }
    return lines;
}

// What the update sequence traces, per way it ends.
const std::vector<std::string> kStart = {"Entering SW update ", "GUI Initialized!",
                                         "Performing swupdate independent actions"};
const std::vector<std::string> kUpdating = {"Performing update!", "Performing pre-swupdate actions"};
const std::vector<std::string> kUnpacking = {"Validate diagnostic logs!", "Backing up files!", "Backup complete!"};

std::vector<std::string> Lines(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

const std::map<std::string, std::vector<std::string>> kSequenceTraces = {
    {"not-allowed", Lines({kStart, {"Only updates to newer version is permitted! Status =2"}})},
    {"declined", kStart},
    {"pre-update-failed", Lines({kStart, kUpdating, {"Performing pre-swupdate actions failed"}})},
    {"unpacking-failed",
     Lines({kStart, kUpdating, kUnpacking, {"Corrupted update files found on MSD during unpacking! "}})},
    {"flash-failed",
     Lines({kStart, kUpdating, kUnpacking, {"Writing the partitions into the flash failed, update not installed!"}})},
    {"done", Lines({kStart, kUpdating, kUnpacking,
                    {"Installing files and writing revision log", "Performing post-swupdate actions"}})},
    // Done, but the installed version reads as missing: no revision entry.
    {"done-no-version", Lines({kStart, kUpdating, kUnpacking,
                               {"Installing files and writing revision log", "Revision log not updated: RevHistory.log",
                                "Performing post-swupdate actions"}})},
};

// ---------------------------------------------------------------------------
// The outcomes, one run each.

struct Scenario {
    const char* name;
    std::vector<std::string> create;
    const char* version;                       // of the delivered update
    void (*alter)(Instrument&);                // after the sample, before/after the medium
    std::vector<std::string> run;
    const char* outcome;
    const char* screens;
    bool reboot;
    bool flashChanged;
    const char* installed;                     // installed version afterwards
    const char* revEntries;                    // revision entries added
    std::vector<const char*> traceHas;
    std::vector<const char*> traceLacks;
    const char* sequence = nullptr;            // row of kSequenceTraces; null: the outcome's
};

void FailingRepartition(Instrument& i)
{
    WriteText(i.sample + "/FlashRepartition.sh", "#!/bin/sh\necho repartition failed\nexit 3\n", 0755);
    i.Medium();
}
void MissingRepartition(Instrument& i)
{
    swsim::RemoveTree(i.sample + "/FlashRepartition.sh");
    i.Medium();
}
void MissingSecondPackage(Instrument& i)
{
    i.Medium();
    swsim::RemoveTree(i.paths.medium() + "/file2");
    swsim::RemoveTree(i.paths.usbdongle() + "/file2");
}
void PlainMedium(Instrument& i)
{
    i.Medium();
}
void NoFlashMap(Instrument& i)
{
    swsim::RemoveTree(i.sample + "/flashMap");
    i.Medium();
}
// The first erase of the boot image's last sector reports success but leaves
// the block as it was.
void EraseThatDoesNothing(Instrument& i)
{
    i.Medium();
    const std::string faults = i.scratch.path() + "/faults";
    ASSERT_TRUE(WriteText(faults, "erase-status 5 0x80\n"));
    i.runExtra = {"--faults", faults};
}
// Neither a delivered nor an installed version file: the copy installs
// nothing and the installed version reads as missing.
void NoVersionFiles(Instrument& i)
{
    swsim::RemoveTree(i.sample + "/swVersion");
    i.Medium();
    swsim::RemoveTree(i.paths.instrumentData() + "/swVersion/swVersion");
}

std::ostream& operator<<(std::ostream& os, const Scenario& s)
{
    return os << s.name;
}

class UpdateOutcome : public ::testing::TestWithParam<Scenario> {};

const char kDone[] = "ready,timers,question,in-progress,message 2000";
const char kFailed[] = "ready,timers,question,in-progress,message 2006";

const Scenario kScenarios[] = {
    {"InternalInstrumentTakesOlderVersion", {"--version", "2.3"}, "2.0", PlainMedium, {},
     "done", kDone, true, true, "2.0", "0200", {"No market.ini exists!"}, {"Only updates"}},
    {"MarketInstrumentTakesEqualVersion", {"--version", "2.4", "--market", "Export"}, "2.4", PlainMedium, {},
     "done", kDone, true, true, "2.4", "0204", {}, {"Only updates"}},
    {"MarketInstrumentRefuses2_10Over2_9", {"--version", "2.9", "--market", "Export"}, "2.10", PlainMedium, {},
     "not-allowed", "ready,timers,message 2008", false, false, "2.9", "",
     {"Only updates to newer version is permitted! Status =2\n"}, {"Performing update!", "MSD attached"}},
    {"UserDeclines", {}, "2.4", PlainMedium, {"--answer", "no"},
     "declined", "ready,timers,question", false, false, "2.3", "", {},
     {"Performing update!", "Flash repartition", "MSD attached"}},
    {"AnswerOtherThanYesDeclines", {}, "2.4", PlainMedium, {"--answer", "never"},
     "declined", "ready,timers,question", false, false, "2.3", "", {}, {"Performing update!"}},
    {"FailingRepartitionScript", {}, "2.4", FailingRepartition, {},
     "pre-update-failed", kFailed, true, false, "2.3", "",
     {"Flash repartition done(768)!", "Performing pre-swupdate actions failed"},
     {"Validate diagnostic logs!", "Backing up files!", "cp /usbdongle/file1"}},
    {"MissingRepartitionScript", {}, "2.4", MissingRepartition, {},
     "pre-update-failed", kFailed, true, false, "2.3", "",
     {"Flash repartition done(", "Performing pre-swupdate actions failed"},
     {"Flash repartition done(0)", "Validate diagnostic logs!", "cp /usbdongle/file1"}},
    {"MissingSecondPackage", {}, "2.4", MissingSecondPackage, {},
     "unpacking-failed", kFailed, true, false, "2.3", "",
     {"Validate diagnostic logs!", "Backup complete!", "cp /usbdongle/file3 .",
      "Corrupted update files found on MSD during unpacking!"},
     {"Flashing file", "Installing files", "Performing post-swupdate actions"}},
    {"ZeroVersionUnpacksFile1Only", {}, "0.7", PlainMedium, {},
     "done", kDone, true, true, "0.7", "0007", {"cp /usbdongle/file1 ."}, {"file2", "file3"}},
    // The updater moves to /tmp itself, where the flash map names its images.
    {"StartedOutsideTmp", {}, "2.4", PlainMedium, {"--updater-cwd", "/"},
     "done", kDone, true, true, "2.4", "0204", {"Flashing file ifsPart.bin"}, {"Could not open file"}},
    {"VersionWithoutPointGivesMinorZero", {}, "3", PlainMedium, {},
     "done", kDone, true, true, "3", "0300", {}, {"Could not write revision log"}},
    // Every part of the update is needed: without a flash map, or with a
    // partition that does not read back as written, nothing is installed.
    {"MediumWithoutFlashMap", {}, "2.4", NoFlashMap, {},
     "flash-failed", kFailed, true, false, "2.3", "",
     {"Flash map /tmp/flashMap is missing or empty: no partition is written\n", "Slaying flash driver"},
     {"Flashing file", "Installing files", "Corrupted update files"}},
    {"EraseReportingSuccessWithoutErasing", {}, "2.4", EraseThatDoesNothing, {},
     "flash-failed", kFailed, true, true, "2.3", "",
     {"Flash fault: verify of sector 5 failed at 0x"}, {"Installing files", "Flashing file appPart.bin"}},
    {"InstalledVersionMissingGivesNoRevisionEntry", {}, "2.4", NoVersionFiles, {},
     "done", kDone, true, true, nullptr, "", {"new application version file could not be found"},
     {"Could not write revision log"}, "done-no-version"},
};

TEST_P(UpdateOutcome, EndsAsExpected)
{
    const Scenario& s = GetParam();
    Instrument inst;
    inst.Create(s.create);
    inst.Sample(s.version);
    s.alter(inst);
    RUN_OR_SKIP(inst, s.run);

    auto sum = Summary(inst.state);
    const std::string trace = inst.Trace();
    EXPECT_EQ(sum["outcome"], s.outcome) << inst.output;
    EXPECT_EQ(sum["updater"], "exit 0");
    EXPECT_EQ(sum["gui"], "exit 0") << "the start-up GUI stand-in ends cleanly when stopped";
    EXPECT_EQ(sum["screens"], s.screens);
    EXPECT_EQ(sum["reboot"], s.reboot ? "yes" : "no");
    // Only the outcomes that reboot wait for the medium first.
    EXPECT_EQ(std::stoi(sum["medium-polls"]) > 0, s.reboot);
    EXPECT_EQ(inst.Flash() != inst.FlashBefore(), s.flashChanged);
    EXPECT_EQ(ReadTextOr(inst.paths.instrumentData() + "/swVersion/swVersion", ""),
              s.installed ? std::string(s.installed) + "\n" : std::string());
    EXPECT_EQ(sum["rev-entries"], s.revEntries);
    // extlog.dat goes only with a finished update.
    EXPECT_EQ(PathExists(inst.paths.instrumentData() + "/extlog.dat"), std::string(s.outcome) != "done");
    // The logs are validated and backed up (to the medium) before anything
    // is unpacked.
    const std::string o = s.outcome;
    const bool backedUp = o == "done" || o == "unpacking-failed" || o == "flash-failed";
    EXPECT_EQ(Contains(sum["backup"], "instrumentData"), backedUp) << sum["backup"];
    for (const char* t : s.traceHas) EXPECT_TRUE(Contains(trace, t)) << "missing in the trace: " << t;
    for (const char* t : s.traceLacks) EXPECT_FALSE(Contains(trace, t)) << "unexpected in the trace: " << t;
    EXPECT_EQ(SequenceTrace(trace), kSequenceTraces.at(s.sequence ? s.sequence : s.outcome)) << trace;
    // The pauses the run counted: the GUI start once, the driver restart
    // when the flash driver was stopped, 2 s after each look that still
    // found the medium, nothing else.
    swsim::RunCounts counts;
    std::string why;
    ASSERT_TRUE(swsim::ReadRunCounts(inst.state, &counts, &why)) << why;
    EXPECT_TRUE(counts.cpuMeasured);
    if (swsim::PreloadAvailable(&why)) {
        ASSERT_TRUE(counts.waitsCounted) << counts.waitsWhy;
        std::map<std::string, int> kinds;
        for (const auto& w : counts.waits) ++kinds[w.kind];
        const int restarts = Contains(trace, "Slaying flash driver") ? 1 : 0;
        const int looks = s.reboot ? std::stoi(sum["medium-polls"]) - 1 : 0;
        EXPECT_EQ(kinds["gui-start"], 1);
        EXPECT_EQ(kinds["driver-restart"], restarts);
        EXPECT_EQ(kinds["medium-check"], looks);
        EXPECT_EQ(counts.waits.size(), static_cast<size_t>(1 + restarts + looks)) << "no other pauses";
        EXPECT_DOUBLE_EQ(counts.waitSeconds, 3 + 5 * restarts + 2 * looks);
    }
    if (std::string(s.outcome) == "done") {
        EXPECT_EQ(sum["flash-ok"], "yes");
        EXPECT_EQ(sum["rest-preserved"], "yes");
        EXPECT_EQ(sum["untouched-unchanged"], "yes");
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, UpdateOutcome, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A successful update in detail, checked on the raw state, not the report.

TEST(SuccessfulUpdate, WritesFlashInstallsFilesAndReboots)
{
    Instrument inst;
    inst.Create({"--version", "2.3"});
    inst.Sample("2.4");
    inst.Medium();
    RUN_OR_SKIP(inst, {});

    const auto before = inst.FlashBefore();
    const auto flash = inst.Flash();
    ASSERT_EQ(flash.size(), kFlashSize);
    ASSERT_EQ(before.size(), kFlashSize);
    struct Placed {
        const char* image;
        uint32_t start;
    };
    // Every image at its start.
    for (const Placed& p : {Placed{"ifsPart.bin", 0}, Placed{"appPart.bin", 2048 * 1024},
                            Placed{"configPart.bin", 12288 * 1024}, Placed{"fontsPart.bin", 14337 * 1024}}) {
        const auto image = inst.SampleImage(p.image);
        ASSERT_FALSE(image.empty()) << p.image;
        EXPECT_TRUE(SameBytes(flash, p.start, image)) << p.image;
    }
    // The old bytes of touched sectors beyond or before the images: the end
    // of the boot image's last sector, the end of the application's last
    // sector, the first KiB of the fonts' sector.
    const auto ifsEnd = inst.SampleImage("ifsPart.bin").size();
    EXPECT_TRUE(std::equal(flash.begin() + ifsEnd, flash.begin() + 6 * kSectorSize, before.begin() + ifsEnd));
    const size_t appEnd = 2048 * 1024 + inst.SampleImage("appPart.bin").size();
    const size_t appSectorEnd = (appEnd + kSectorSize - 1) / kSectorSize * kSectorSize;
    EXPECT_TRUE(std::equal(flash.begin() + appEnd, flash.begin() + appSectorEnd, before.begin() + appEnd));
    EXPECT_TRUE(std::equal(flash.begin() + 14336 * 1024, flash.begin() + 14337 * 1024, before.begin() + 14336 * 1024));
    // The data partition is kept; it differs from erased flash.
    EXPECT_TRUE(std::equal(flash.begin() + 8192 * 1024, flash.begin() + 12288 * 1024, before.begin() + 8192 * 1024));

    // Installed files: version, the delivered CRC files in place of the old.
    const std::string data = inst.paths.instrumentData();
    EXPECT_EQ(ReadTextOr(data + "/swVersion/swVersion", ""), "2.4\n");
    for (const char* crc : {"ifsPart.crc", "appPart.crc", "configPart.crc", "fontsPart.crc"}) {
        EXPECT_EQ(ReadTextOr(data + "/" + crc, "missing"), ReadTextOr(inst.sample + "/" + crc, "")) << crc;
    }
    EXPECT_FALSE(PathExists(data + "/instrumentDataPart.crc")) << "old CRC files are removed";
    EXPECT_FALSE(PathExists(data + "/extlog.dat"));

    // The revision entry: the factory's three entries and the new one.
    const DecodedLog rev = inst.Log("RevHistory.log");
    ASSERT_TRUE(rev.lengthOk);
    EXPECT_EQ(rev.badCrcs, 0);
    ASSERT_GE(rev.records.size(), 4u);
    EXPECT_EQ(rev.records[3].recordNo, 4u);
    EXPECT_EQ(std::string(rev.records[3].info.begin() + 4, rev.records[3].info.begin() + 9),
              std::string("0204") + '\0');
    EXPECT_TRUE(rev.records[4].empty());

    // Board tools: driver stopped, started, waited for, then the reboot.
    const auto tools = SplitLines(ReadTextOr(inst.paths.boardTools(), ""));
    ASSERT_EQ(tools.size(), 4u) << ReadTextOr(inst.paths.boardTools(), "");
    EXPECT_EQ(tools[0].substr(0, tools[0].find(':')), "slay -f devf-s3c2400-p3");
    EXPECT_EQ(tools[1].substr(0, tools[1].find(':')), "devf-s3c2400-p3 -r -u2 -b5 -i 1,0");
    EXPECT_EQ(tools[2].substr(0, tools[2].find(':')), "waitfor /dev/fs1");
    EXPECT_EQ(tools[3].substr(0, tools[3].find(':')), "nonblock-realtest_arm o");

    // The order of the screens and what they showed.
    const auto gui = ReadTextOr(inst.paths.guiRecord(), "");
    std::vector<std::string> shown;
    for (const auto& line : SplitLines(gui)) {
        for (const char* screen : {" ready ", " timers ", " question ", " in-progress ", " message "}) {
            if (Contains(line, screen)) shown.push_back(line.substr(13));
        }
    }
    ASSERT_EQ(shown.size(), 5u) << gui;
    EXPECT_TRUE(Contains(shown[0], "\"2.3\\n\"")) << shown[0];
    std::string estimate = ReadTextOr(inst.sample + "/estUpdateTime", "");
    const size_t lineEnd = estimate.find('\n');
    if (lineEnd != std::string::npos) estimate.resize(lineEnd);
    EXPECT_TRUE(Contains(shown[1], "estimated duration " + estimate + " s")) << shown[1];
    EXPECT_TRUE(Contains(shown[2], "\"2.4\\n\"")) << shown[2];
    EXPECT_TRUE(Contains(shown[3], "update in progress")) << shown[3];
    EXPECT_TRUE(Contains(shown[4], "2000")) << shown[4];

    // The backup script ran over the data and the (empty) corrupt-log list.
    EXPECT_TRUE(IsDirectory(inst.paths.usbdongle() + "/backup/instrumentData"));
    // The medium was taken out, and the report's statistics and the replay
    // agree with the flash.
    EXPECT_FALSE(PathExists(inst.paths.usbdongle() + "/file0"));
    auto sum = Summary(inst.state);
    EXPECT_EQ(sum["replay-matches"], "yes");
    EXPECT_EQ(sum["erases"], sum["touched-sectors"]);
    EXPECT_EQ(std::stoul(sum["programs"]), std::stoul(sum["erases"]) * (kSectorSize / 2));
    EXPECT_EQ(sum["written"], "ifsPart.bin,appPart.bin,configPart.bin,fontsPart.bin");
    EXPECT_EQ(sum["kept"], "instrumentDataPart.bin");
}

// ---------------------------------------------------------------------------
// A corrupt log: copied aside before the backup, recreated, recorded.

TEST(CorruptLog, IsCopiedAsideRecreatedAndRecorded)
{
    Instrument inst;
    inst.Create({"--corrupt-log", "DisplayedError.log"});
    std::vector<uint8_t> corrupt;
    ASSERT_TRUE(ReadBytes(inst.paths.instrumentData() + "/DisplayedError.log", &corrupt));
    inst.Sample("2.4");
    inst.Medium();
    RUN_OR_SKIP(inst, {});

    EXPECT_EQ(Summary(inst.state)["outcome"], "done");
    std::vector<uint8_t> copy;
    ASSERT_TRUE(ReadBytes(inst.paths.tmp() + "/CorruptDiagnosticLogs/CorruptedDisplayedError.log", &copy));
    EXPECT_EQ(copy, corrupt);
    // The backup took the copy along.
    EXPECT_TRUE(PathExists(inst.paths.usbdongle() + "/backup/CorruptDiagnosticLogs/CorruptedDisplayedError.log"));

    const DecodedLog displayed = inst.Log("DisplayedError.log");
    EXPECT_TRUE(displayed.lengthOk);
    EXPECT_EQ(displayed.badCrcs, 0);
    for (const auto& r : displayed.records) EXPECT_TRUE(r.empty());

    // Diag.log: its two factory entries and the recreation of log index 2.
    const DecodedLog diag = inst.Log("Diag.log");
    ASSERT_GE(diag.records.size(), 3u);
    const auto& entry = diag.records[2];
    EXPECT_EQ(entry.recordNo, 3u);
    int32_t fields[3];
    std::memcpy(fields, entry.info.data() + 4, sizeof fields);
    EXPECT_EQ(fields[0], kSelfTestLogCrcErr);
    EXPECT_EQ(fields[1], 2);  // DisplayedError.log
    EXPECT_EQ(fields[2], 1);  // recreated
    const DecodedLog critical = inst.Log("CriticalDiag.log");
    ASSERT_FALSE(critical.records.empty());
    int32_t error = 0;
    std::memcpy(&error, critical.records[0].info.data() + 4, 4);
    EXPECT_EQ(critical.records[0].recordNo, 1u);
    EXPECT_EQ(error, kSelfTestLogCrcErr);
    auto sum = Summary(inst.state);
    EXPECT_EQ(sum["corrupt-copies"], "CorruptedDisplayedError.log");
    EXPECT_EQ(sum["diag-indexes"], "2");
    EXPECT_EQ(sum["added-CriticalDiag"], "1");
}

// ---------------------------------------------------------------------------
// A fatal flash fault: the erase of the application's first sector fails.

TEST(FlashFault, StopsWritingAndInstallsNothing)
{
    Instrument inst;
    inst.Create({});
    inst.Sample("2.4");
    inst.Medium();
    const std::string faults = inst.scratch.path() + "/faults";
    ASSERT_TRUE(WriteText(faults, "# the application's first sector cannot be erased\nerase-status 16 0xA0\n"));
    RUN_OR_SKIP(inst, {"--faults", faults});

    auto sum = Summary(inst.state);
    EXPECT_EQ(sum["outcome"], "flash-failed");
    EXPECT_EQ(sum["flash-failure"], "flash-write");
    EXPECT_EQ(sum["flash-map"], "present");
    EXPECT_EQ(sum["screens"], kFailed);
    EXPECT_EQ(sum["reboot"], "yes");
    EXPECT_GT(std::stoi(sum["medium-polls"]), 0);
    const std::string trace = inst.Trace();
    EXPECT_FALSE(Contains(trace, "Corrupted update files found")) << "a flash fault is no unpacking fault";
    EXPECT_EQ(SequenceTrace(trace), kSequenceTraces.at("flash-failed")) << trace;
    EXPECT_FALSE(Contains(trace, "Installing files"));
    EXPECT_FALSE(Contains(trace, "Performing post-swupdate actions"));

    const auto before = inst.FlashBefore();
    const auto flash = inst.Flash();
    // The boot image before the fault is written; from the faulty sector on
    // nothing changed, later partitions included.
    EXPECT_TRUE(SameBytes(flash, 0, inst.SampleImage("ifsPart.bin")));
    EXPECT_TRUE(std::equal(flash.begin() + 16 * kSectorSize, flash.end(), before.begin() + 16 * kSectorSize));
    EXPECT_EQ(ReadTextOr(inst.paths.instrumentData() + "/swVersion/swVersion", ""), "2.3\n");
    EXPECT_EQ(sum["added-RevHistory"], "0");
    EXPECT_TRUE(PathExists(inst.paths.instrumentData() + "/extlog.dat"));
    EXPECT_TRUE(PathExists(inst.paths.instrumentData() + "/ifsPart.crc"));
    EXPECT_EQ(ReadTextOr(inst.paths.instrumentData() + "/ifsPart.crc", ""),
              ReadTextOr(inst.paths.sim() + "/instrumentData.before/ifsPart.crc", "x"));
    EXPECT_EQ(sum["replay-matches"], "yes");
}

}  // namespace

// ---------------------------------------------------------------------------
// A medium that is never taken out: the updater waits until the simulator's
// time limit stops it; the run is reported as unfinished, without a reboot.

TEST(TimeLimit, StopsAnUpdaterWaitingForTheMedium)
{
    Instrument inst;
    inst.Create({});
    inst.Sample("2.4");
    inst.Medium();
    // On the simulated clock the limit gives the run room under load (the
    // clock passes the work's wall time over many times); in real time, as
    // under qemu-user or the thread sanitizer, the update reaches the medium
    // polls after 12 to 21 s.
    std::string library, why;
    const char* limit = SimulatedTimeAvailable(&library, &why) ? "240" : "60";
    RUN_OR_SKIP(inst, {"--pull-after", "never", "--timeout", limit});

    auto sum = Summary(inst.state);
    EXPECT_EQ(sum["outcome"], "unfinished");
    EXPECT_EQ(sum["updater"], "killed by signal 9");
    EXPECT_EQ(sum["reboot"], "no");
    EXPECT_GT(std::stoi(sum["medium-polls"]), 0);
    EXPECT_TRUE(PathExists(inst.paths.usbdongle() + "/file0"));
    EXPECT_EQ(sum["installed"], "2.4");
}

// ---------------------------------------------------------------------------
// The start-up GUI stand-in behind a script of the test's: one that writes
// to standard error and serves late, one that never serves. The updater is
// started once the GUI serves, not at its first output, so it finds the GUI
// at its first look-up; where it cannot, each look-up it retries is counted
// as the 200 ms it asked for, whatever the run's speed.

namespace {

struct GuiStartCase {
    const char* name;
    const char* script;   // %s: the GUI stand-in of this build
    int serverRetries;    // look-ups the updater's server thread retried
};
std::ostream& operator<<(std::ostream& os, const GuiStartCase& c) { return os << c.name; }

class GuiStart : public ::testing::TestWithParam<GuiStartCase> {};

TEST_P(GuiStart, CountsTheUpdatersLookUps)
{
    const auto& c = GetParam();
    std::string library, why;
    if (!PreloadAvailable(&why) || !SimulatedTimeAvailable(&library, &why)) GTEST_SKIP() << why;
    Instrument inst;
    inst.Create({});
    inst.Sample("2.4");
    inst.Medium();
    const std::string exe = SWSIM_EXE;
    const std::string realGui = exe.substr(0, exe.rfind('/', exe.rfind('/') - 1)) + "/startupgui/startup-gui";
    ASSERT_TRUE(PathExists(realGui)) << realGui;
    char script[512];
    std::snprintf(script, sizeof script, c.script, realGui.c_str());
    const std::string gui = inst.scratch.path() + "/gui";
    ASSERT_TRUE(WriteText(gui, script, 0755, &why)) << why;
    RUN_OR_SKIP(inst, {"--speed", "50", "--gui", gui, "--answer", "no"});

    RunCounts counts;
    ASSERT_TRUE(ReadRunCounts(inst.state, &counts, &why)) << why;
    ASSERT_TRUE(counts.waitsCounted) << counts.waitsWhy;
    int guiStarts = 0, serverRetries = 0;
    for (const auto& w : counts.waits) {
        if (w.kind == "gui-start") {
            ++guiStarts;
            continue;
        }
        EXPECT_EQ(w.kind, "connection-retry") << w.process << " " << w.call << " " << w.seconds;
        EXPECT_DOUBLE_EQ(w.seconds, 0.2);
        if (w.updater && !w.mainThread) ++serverRetries;
    }
    EXPECT_EQ(guiStarts, 1);
    EXPECT_EQ(serverRetries, c.serverRetries);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, GuiStart,
    ::testing::Values(GuiStartCase{"WarnsBeforeServing",
                                   "#!/bin/sh\necho '==1==WARNING: not serving yet' >&2\nsleep 25\nexec %s \"$@\"\n", 0},
                      // 102 look-ups, 101 pauses between them
                      GuiStartCase{"NeverServes", "#!/bin/sh\nexit 0\n", 101}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
