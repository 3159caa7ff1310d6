// Package unpacking and the flash map walk, in a fresh instrument root with
// a simulated flash: which partitions are written where, which are left
// alone, the trace lines of each decision, and the unpacking commands run on
// real gzip tar packages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "FlashTestSupport.h"
#include "RootTest.h"
#include "SwUpdateUtils.h"

namespace {

using namespace flashtest;

// The trace messages of the updater's utilities module, without their
// "<file:line>" prefixes: each runs to its line feed or to the next prefix.
// The flash module's unprefixed lines are left out, and so are the text
// reader's own lines.
std::vector<std::string> UtilsMessages(std::string out) {
    // The text reader traces the whole map it has read: skip up to its end.
    size_t read = out.find(" (bytes = ");
    if (read != std::string::npos) out.erase(0, out.find('\n', read) + 1);
    std::vector<std::string> messages;
    const std::regex prefix("<sources/SwUpdateUtils\\.cpp:[0-9]+>");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), prefix); it != std::sregex_iterator(); ++it) {
        size_t start = static_cast<size_t>(it->position() + it->length());
        size_t lf = out.find('\n', start);
        size_t next = out.find('<', start);
        size_t end = std::min(lf == std::string::npos ? out.size() : lf + 1, next == std::string::npos ? out.size() : next);
        // A message without line feed may be followed by the flash module's lines.
        for (const char* raw : {"Flashing file ", "Could not open file ", "Flash fault"}) end = std::min(end, out.find(raw, start));
        std::string m = out.substr(start, end - start);
        if (m != "\n" && m.rfind("reading from file", 0) != 0 && m.rfind("filesize is", 0) != 0) messages.push_back(m);
    }
    return messages;
}

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& m : v) s += "[" + m + "]\n";
    return s;
}

// A root whose /dev/norflash is a zero-filled chip content file of the
// build tree, removed again through a directory descriptor kept from before
// the root was entered.
class RootFlashTest : public InstrumentRootTest {
protected:
    InstrumentRootConfig RootConfig() override {
        // A later test of the same process is inside the root of an earlier
        // one, where the build tree is read-only: its file goes to the
        // current root's /tmp, which vanishes with it.
        std::string base = InInstrumentRoot() ? "/tmp" : std::string(SWU_BUILD_DIR) + "/test-tmp";
        mkdir(base.c_str(), 0755);
        std::string templ = base + "/root.XXXXXX";
        InstrumentRootConfig config;
        if (mkdtemp(templ.data()) == nullptr) return config;
        dirName_ = templ.substr(templ.rfind('/') + 1);
        baseFd_ = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        dirFd_ = open(templ.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        int fd = open((templ + "/norflash").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0 || ftruncate(fd, norsim::kChipSize) != 0) return config;
        close(fd);
        config.flashFile = templ + "/norflash";
        return config;
    }
    void SetUp() override {
        InstrumentRootTest::SetUp();
        if (IsSkipped()) return;
        FlashResetFaultState();
        norsim::NorChipResetStats();
    }
    void TearDown() override {
        norsim::NorChipPowerDown();
        if (dirFd_ >= 0) unlinkat(dirFd_, "norflash", 0), close(dirFd_);
        if (baseFd_ >= 0) unlinkat(baseFd_, dirName_.c_str(), AT_REMOVEDIR), close(baseFd_);
    }

    // The bytes of the flash from `offset` on.
    std::vector<uint8_t> FlashBytes(size_t offset, size_t length) {
        std::vector<uint8_t> all = ReadBytes("/dev/norflash");
        if (all.size() < offset + length) return {};
        return std::vector<uint8_t>(all.begin() + static_cast<long>(offset),
                                    all.begin() + static_cast<long>(offset + length));
    }

    std::string dirName_;
    int baseFd_ = -1;
    int dirFd_ = -1;
};

// ---------------------------------------------------------------------------
// The walk. The images: "aPart.img" (mount directory /a, absent),
// "tmpPart.img" (/tmp, present) and "Part0.img" (/, present), 3000 bytes
// each, in the working directory /tmp.

const char* const kImages[] = {"aPart.img", "tmpPart.img", "Part0.img"};
constexpr size_t kImageLength = 3000;

struct Written {
    const char* image;
    int startKiB;
};

struct WalkCase {
    const char* name;
    const char* map;
    std::vector<std::string> messages;
    std::vector<Written> written;
    int result = 1;  // of FlashPartitions
};

std::ostream& operator<<(std::ostream& os, const WalkCase& c) { return os << c.name; }

const std::string kKeptTmp[] = {"Directory /tmp exists\n", "Partion tmpPart.img already exists and shall not be overwritten.",
                                "Continuing... \n"};
const std::string kNewA[] = {"Directory /a does not exist\n", "Partion aPart.img does not exist and is to be written."};

std::string Invalid(const std::string& part, int start) {
    return "This is not a valid flash instruction: " + part + " " + std::to_string(start) + " \n";
}
std::string Flashing(const std::string& part, int start) { return "Flashing: " + part + " @ " + std::to_string(start) + " \n"; }

const WalkCase kWalks[] = {
    {"YesWritesWithoutExistenceTest", "tmpPart.img 100 0 YES\n", {Flashing("tmpPart.img", 100)}, {{"tmpPart.img", 100}}},
    {"ExistingPartitionKept", "tmpPart.img 100 0 NO\n", {kKeptTmp[0], kKeptTmp[1], kKeptTmp[2]}, {}},
    {"AbsentPartitionWritten", "aPart.img 200 0 NO\n", {kNewA[0], kNewA[1]}, {{"aPart.img", 200}}},
    {"SkippedLines", "# aPart.img 0 0 YES\n\nRELEASE_NAME=1.2\n#\naPart.img 16 0 YES\n", {Flashing("aPart.img", 16)},
     {{"aPart.img", 16}}},
    {"ReleaseNameInsideAPartitionName", "aPartRELEASE_NAME.img 0 0 YES\ntmpPart.img 64 0 YES\n", {Flashing("tmpPart.img", 64)},
     {{"tmpPart.img", 64}}},
    {"CrLfLineEnds", "# map\r\n\r\ntmpPart.img 100 0 YES\r\naPart.img 300 0 YES\r\n",
     {kKeptTmp[0], kKeptTmp[1], kKeptTmp[2], kNewA[0], kNewA[1]}, {{"aPart.img", 300}}},
    {"LeadingBlanks", " \t aPart.img 16 0 YES\n", {Flashing("aPart.img", 16)}, {{"aPart.img", 16}}},
    {"HashNotFirstIsNoComment", " # aPart.img 0 YES\n", {Invalid("#", 0)}, {}},
    {"Start16000Accepted", "aPart.img 16000 0 YES\n", {Flashing("aPart.img", 16000)}, {{"aPart.img", 16000}}},
    {"Start16001Rejected", "aPart.img 16001 0 YES\n", {Invalid("aPart.img", 16001)}, {}},
    {"StartMinus1Rejected", "aPart.img -1 0 YES\n", {Invalid("aPart.img", -1)}, {}},
    {"StartWithTrailingLetters", "aPart.img 12abc 0 YES\n", {Flashing("aPart.img", 12)}, {{"aPart.img", 12}}},
    {"StartOfLettersOnly", "aPart.img abc 0 YES\n", {Flashing("aPart.img", 0)}, {{"aPart.img", 0}}},
    // A start that does not fit an int is out of range, never wrapped round
    // into a valid one (2^32 + 16 must not land at 16 KiB).
    {"StartBeyondIntRejected", "aPart.img 4294967312 0 YES\n", {Invalid("aPart.img", 2147483647)}, {}},
    {"StartFarBeyondIntRejected", "aPart.img 99999999999999999999 0 YES\n", {Invalid("aPart.img", 2147483647)}, {}},
    {"StartBelowIntRejected", "aPart.img -4294967280 0 YES\n", {Invalid("aPart.img", -2147483647 - 1)}, {}},
    {"LowerCaseMarkerRejected", "apart.img 0 0 YES\n", {Invalid("apart.img", 0)}, {}},
    {"LowerCaseYesDoesNotOverwrite", "tmpPart.img 100 0 yes\n", {kKeptTmp[0], kKeptTmp[1], kKeptTmp[2]}, {}},
    {"NameBeginningWithPartHasRootDirectory", "Part0.img 32 0 NO\n",
     {"Directory / exists\n", "Partion Part0.img already exists and shall not be overwritten.", "Continuing... \n"}, {}},
    {"NameBeginningWithPartWrittenWithYes", "Part0.img 32 0 YES\n", {Flashing("Part0.img", 32)}, {{"Part0.img", 32}}},
    {"LastLineWithoutLineFeed", "aPart.img 16 0 YES\ntmpPart.img 48 0 YES",
     {Flashing("aPart.img", 16), Flashing("tmpPart.img", 48)}, {{"aPart.img", 16}, {"tmpPart.img", 48}}},
    {"ShortLinesRejected", "aPart.img 16 0\naPart.img\n   \t\ntmpPart.img 48 0 YES\n",
     {Invalid("aPart.img", 16), Invalid("aPart.img", 0), Invalid("", 0), Flashing("tmpPart.img", 48)}, {{"tmpPart.img", 48}}},
    {"InvalidLineDoesNotStopTheWalk", "xx 0 0 YES\naPart.img 16 0 YES\n", {Invalid("xx", 0), Flashing("aPart.img", 16)},
     {{"aPart.img", 16}}},
    {"TokensAfterTheFourthIgnored", "aPart.img 16 0 YES and more\n", {Flashing("aPart.img", 16)}, {{"aPart.img", 16}}},
    {"MissingImageDoesNotStopTheWalk", "nonePart.img 16 0 YES\naPart.img 48 0 YES\n",
     {Flashing("nonePart.img", 16), Flashing("aPart.img", 48)}, {{"aPart.img", 48}}},
};

class WalkTest : public RootFlashTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(WalkTest, DecidesPerLineAndWritesWhereTheMapSays) {
    const WalkCase& c = GetParam();
    std::vector<std::vector<uint8_t>> images;
    for (unsigned i = 0; i < 3; ++i) {
        images.push_back(RandomBytes(kImageLength, i + 1));
        WriteBytes(std::string("/tmp/") + kImages[i], images.back());
    }
    WriteTextFile("/tmp/flashMap", c.map);
    norsim::NorChipResetStats();

    int result = -1;
    Output o = Capture([&] { result = FlashPartitions(); });

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Join(UtilsMessages(o.out)), Join(c.messages)) << o.out;
    for (const Written& w : c.written) {
        size_t i = 0;
        while (std::string(kImages[i]) != w.image) ++i;
        EXPECT_EQ(FlashBytes(static_cast<size_t>(w.startKiB) * 1024, kImageLength), images[i])
            << w.image << " not at " << w.startKiB << " KiB\n" << o.out << o.err;
    }
    EXPECT_EQ(norsim::NorChipGetStats().erases, c.written.size());
    EXPECT_EQ(FlashFaultOccurred(), 0);
}

INSTANTIATE_TEST_SUITE_P(FlashMaps, WalkTest, ::testing::ValuesIn(kWalks),
                         [](const auto& info) { return std::string(info.param.name); });

struct NoMapCase {
    const char* name;
    bool present;
};

std::ostream& operator<<(std::ostream& os, const NoMapCase& c) { return os << c.name; }

class NoMapTest : public RootFlashTest, public ::testing::WithParamInterface<NoMapCase> {};

TEST_P(NoMapTest, WritesNothingAndSaysWhy) {
    if (GetParam().present) WriteTextFile("/tmp/flashMap", "");
    int result = -1;
    Output o = Capture([&] { result = FlashPartitions(); });
    EXPECT_EQ(result, 0) << "no flash map is a failed walk";
    EXPECT_EQ(Join(UtilsMessages(o.out)), Join({"Flash map /tmp/flashMap is missing or empty: no partition is written\n"}));
    EXPECT_EQ(norsim::NorChipGetStats().writes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Maps, NoMapTest, ::testing::Values(NoMapCase{"Missing", false}, NoMapCase{"Empty", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RootFlashTest, FlashFaultStopsTheLaterPartitionsToo) {
    norsim::NorFaults faults;
    faults.eraseStatus[1] = 0xA0;
    WriteBytes("/tmp/aPart.img", RandomBytes(kImageLength, 1));
    WriteBytes("/tmp/tmpPart.img", RandomBytes(kImageLength, 2));
    WriteTextFile("/tmp/flashMap", "tmpPart.img 128 0 YES\naPart.img 0 0 YES\n");
    Output o = Capture([&] {
        norsim::NorChipConfig config;  // the root's flash, with an injected erase fault
        ASSERT_EQ(norsim::NorChipPowerUp(config, nullptr), 0);
        norsim::NorChipSetFaults(faults);
        EXPECT_EQ(FlashPartitions(), 0);
    });
    EXPECT_EQ(FlashFaultOccurred(), 1);
    EXPECT_NE(o.out.find("Flash fault: erase of sector 1"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Flash fault earlier in this run: \"aPart.img\" is not written\n"), std::string::npos) << o.out;
    EXPECT_EQ(norsim::NorChipGetStats().erases, 0u);
}

// An image cut short by a window that cannot be mapped, and one that cannot
// be read, fail the walk; the walk still writes the partitions after them.
TEST_F(RootFlashTest, PartlyWrittenImagesFailTheWalkWhichGoesOn) {
    norsim::NorFaults faults;
    faults.mapFail[1] = true;
    const std::vector<uint8_t> big = RandomBytes(2 * norsim::kBlockSize, 5);
    const std::vector<uint8_t> small = RandomBytes(kImageLength, 6);
    WriteBytes("/tmp/bigPart.img", big);
    ASSERT_EQ(mkdir("/tmp/dirPart.img", 0755), 0);  // opens, but every read fails
    WriteBytes("/tmp/aPart.img", small);
    WriteTextFile("/tmp/flashMap", "bigPart.img 0 0 YES\ndirPart.img 512 0 YES\naPart.img 1024 0 YES\n");
    int result = -1;
    Output o = Capture([&] {
        norsim::NorChipConfig config;
        ASSERT_EQ(norsim::NorChipPowerUp(config, nullptr), 0);
        norsim::NorChipSetFaults(faults);
        result = FlashPartitions();
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(FlashFaultOccurred(), 0);
    EXPECT_EQ(FlashBytes(0, norsim::kBlockSize),
              std::vector<uint8_t>(big.begin(), big.begin() + norsim::kBlockSize));
    EXPECT_NE(o.out.find("Read error in image file before sector 4"), std::string::npos) << o.out;
    EXPECT_EQ(FlashBytes(1024 * 1024, kImageLength), small) << o.out;
    EXPECT_EQ(norsim::NorChipGetStats().erases, 2u);
}

// ---------------------------------------------------------------------------
// Mount directories.

struct ExistsCase {
    const char* partition;
    int exists;
    const char* message;
};

std::ostream& operator<<(std::ostream& os, const ExistsCase& c) { return os << c.partition; }

class PartitionExistsTest : public InstrumentRootTest, public ::testing::WithParamInterface<ExistsCase> {};

TEST_P(PartitionExistsTest, LooksForTheTextBeforeTheFirstMarker) {
    std::string name = GetParam().partition;
    Output o = Capture([&] { EXPECT_EQ(CheckPartitionExists(name.c_str()), GetParam().exists); });
    EXPECT_EQ(Join(UtilsMessages(o.out)), Join({GetParam().message}));
    EXPECT_EQ(name, GetParam().partition);
}

INSTANTIATE_TEST_SUITE_P(Names, PartitionExistsTest,
                         ::testing::Values(ExistsCase{"tmpPart.img", 1, "Directory /tmp exists\n"},
                                           ExistsCase{"logPartPart.img", 1, "Directory /log exists\n"},
                                           ExistsCase{"Part1", 1, "Directory / exists\n"},
                                           ExistsCase{"appPart.img", 0, "Directory /app does not exist\n"},
                                           ExistsCase{"tmp/nowherePart", 0, "Directory /tmp/nowhere does not exist\n"},
                                           ExistsCase{"nomarker.img", 0, "No mount directory for partition nomarker.img\n"}));

// ---------------------------------------------------------------------------
// Number of packages.

struct CountCase {
    const char* version;
    int packages;
};

std::ostream& operator<<(std::ostream& os, const CountCase& c) { return os << '"' << (c.version ? c.version : "null") << '"'; }

class PackageCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(PackageCountTest, OneForVersionsBeginningWithZeroPoint) {
    EXPECT_EQ(GetExpectedNoOfPartFiles(GetParam().version), GetParam().packages);
}

INSTANTIATE_TEST_SUITE_P(Versions, PackageCountTest,
                         ::testing::Values(CountCase{"0.9.1", 1}, CountCase{"0.1", 1}, CountCase{"0.1\n", 1},
                                           CountCase{"1.0", 3}, CountCase{"10.2", 3}, CountCase{"0", 3},
                                           CountCase{"00.1", 3}, CountCase{"", 3}, CountCase{"No version found", 3},
                                           CountCase{nullptr, 3}));

TEST(PackageCount, NoVersionFoundConstant) { EXPECT_EQ(GetExpectedNoOfPartFiles(NoVersionFound), 3); }

// ---------------------------------------------------------------------------
// Unpacking real packages from the medium.

struct UnpackCase {
    const char* name;
    int expected;             // packages asked for
    std::vector<int> onMedium;
    int corrupt;              // package that is not a gzip tar, 0: none
    std::vector<std::string> commands;
    int result;
};

std::ostream& operator<<(std::ostream& os, const UnpackCase& c) { return os << c.name; }

class UnpackTest : public InstrumentRootTest, public ::testing::WithParamInterface<UnpackCase> {};

TEST_P(UnpackTest, CopiesUnpacksAndRemovesEachPackage) {
    const UnpackCase& c = GetParam();
    for (int i : c.onMedium) {
        std::string member = "member" + std::to_string(i) + ".txt";
        ASSERT_EQ(mkdir("/tmp/stage", 0755), 0);
        WriteTextFile("/tmp/stage/" + member, "content " + std::to_string(i) + "\n");
        std::string pack = i == c.corrupt ? "echo not a package > /usbdongle/file" + std::to_string(i)
                                          : "tar -czf /usbdongle/file" + std::to_string(i) + " -C /tmp/stage " + member;
        ASSERT_EQ(std::system((pack + " && rm -rf /tmp/stage").c_str()), 0) << pack;
    }

    int result = -1;
    Output o = Capture([&] { result = UnpackPartitionFiles(c.expected); });

    std::vector<std::string> commands;
    for (const std::string& m : UtilsMessages(o.out)) {
        if (m.rfind("Running command: ", 0) == 0) commands.push_back(m.substr(17, m.size() - 18));
    }
    EXPECT_EQ(commands, c.commands) << o.out;
    EXPECT_EQ(result, c.result);
    for (int i : c.onMedium) {
        if (i > c.expected) continue;
        EXPECT_FALSE(FileExists("/tmp/file" + std::to_string(i))) << "copy of package " << i << " left behind";
        if (i != c.corrupt) {
            EXPECT_EQ(ReadTextFile("/tmp/member" + std::to_string(i) + ".txt"), "content " + std::to_string(i) + "\n");
        }
    }
    EXPECT_TRUE(FileExists("/usbdongle/file1") || std::find(c.onMedium.begin(), c.onMedium.end(), 1) == c.onMedium.end());
}

const UnpackCase kUnpacks[] = {
    {"ThreePackages", 3, {1, 2, 3}, 0,
     {"cd /tmp", "cp /usbdongle/file1 .", "tar --gunzip -xvf file1", "rm -rf file1", "cp /usbdongle/file2 .",
      "tar --gunzip -xvf file2", "rm -rf file2", "cp /usbdongle/file3 .", "tar --gunzip -xvf file3", "rm -rf file3"},
     1},
    {"SecondPackageMissing", 3, {1, 3}, 0,
     {"cd /tmp", "cp /usbdongle/file1 .", "tar --gunzip -xvf file1", "rm -rf file1", "cp /usbdongle/file2 .",
      "cp /usbdongle/file3 .", "tar --gunzip -xvf file3", "rm -rf file3"},
     0},
    {"OnePackageOfThreeOnTheMedium", 1, {1, 2, 3}, 0,
     {"cd /tmp", "cp /usbdongle/file1 .", "tar --gunzip -xvf file1", "rm -rf file1"}, 1},
    {"NoPackages", 0, {}, 0, {"cd /tmp"}, 1},
    {"CorruptPackageIsStillRemoved", 2, {1, 2}, 1,
     {"cd /tmp", "cp /usbdongle/file1 .", "tar --gunzip -xvf file1", "rm -rf file1", "cp /usbdongle/file2 .",
      "tar --gunzip -xvf file2", "rm -rf file2"},
     0},
};

INSTANTIATE_TEST_SUITE_P(Media, UnpackTest, ::testing::ValuesIn(kUnpacks),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
