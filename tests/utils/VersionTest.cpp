// Version, market and estimate files read inside a fresh instrument root.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <sys/mount.h>
#include <vector>
#include <sys/stat.h>

#include "RootTest.h"
#include "SwUpdateUtils.h"
#include "UtilsTestSupport.h"

namespace {

void PutFile(const char* path, const std::optional<std::string>& content)
{
    if (content) {
        MakeParentDirs(path);
        WriteTextFile(path, *content);
    }
}

// ---------------------------------------------------------------------------
struct VersionCase {
    const char* name;
    std::optional<std::string> running;    // nullopt: no file; "": zero bytes
    std::optional<std::string> delivered;
    int expected;
};
void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class IsUpdateTest : public InstrumentRootTest,
                     public ::testing::WithParamInterface<VersionCase> {};

TEST_P(IsUpdateTest, DecidesFromRunningAndDeliveredVersion)
{
    PutFile("/log/swVersion/swVersion", GetParam().running);
    PutFile("/tmp/swVersion", GetParam().delivered);
    EXPECT_EQ(IsUpdate(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, IsUpdateTest,
    ::testing::Values(
        VersionCase{"Equal", "2.3", "2.3", 1},
        VersionCase{"RunningNewer", "2.4", "2.3", 0},
        VersionCase{"DeliveredNewer", "2.3", "2.4\n", 1},
        // The part after the point is a decimal fraction: 2.10 reads as 2.1.
        VersionCase{"TwoTenIsBelowTwoNine", "2.9", "2.10", 0},
        VersionCase{"LineEndPlaysNoPart", "2.3\n", "2.3", 1},
        VersionCase{"BothMissing", std::nullopt, std::nullopt, 1},
        VersionCase{"RunningMissing", std::nullopt, "1.0", 1},
        VersionCase{"DeliveredMissing", "1.0", std::nullopt, 0},
        VersionCase{"RunningZeroBytesLikeMissing", "", "0.5", 1},
        VersionCase{"DeliveredZeroBytesLikeMissing", "0.5", "", 0},
        VersionCase{"TextWithoutNumberIsZero", "beta", "0.0", 1},
        VersionCase{"DeliveredWithoutNumberIsZero", "0.1", "beta", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
struct MarketCase {
    const char* name;
    std::optional<std::string> content;
    int expected;
};
void PrintTo(const MarketCase& c, std::ostream* os) { *os << c.name; }

class MarketTest : public InstrumentRootTest,
                   public ::testing::WithParamInterface<MarketCase> {};

TEST_P(MarketTest, CountsAsInternal)
{
    PutFile("/instrumentData/Inifiles/Market.ini", GetParam().content);
    EXPECT_EQ(IsMarketVersionInternal(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Markets, MarketTest,
    ::testing::Values(
        MarketCase{"NoFile", std::nullopt, 1},
        MarketCase{"ZeroBytes", "", 1},
        MarketCase{"Internal", "Market=Internal\n", 1},
        MarketCase{"InternalInsideLongerLine", "Lang=de;Market=Internal;Unit=1\n", 1},
        MarketCase{"InternalOnLaterLine", "[General]\nLang=de\nMarket=Internal", 1},
        MarketCase{"OtherLetterCase", "market=internal\n", 0},
        MarketCase{"OtherMarket", "Market=Europe\n", 0},
        MarketCase{"Blank", "\n", 0}),
    [](const auto& info) { return std::string(info.param.name); });

class UtilsRootTest : public InstrumentRootTest {};

// A market file on a read-only mount still reads as its content.
TEST_F(UtilsRootTest, MarketFileOnReadOnlyMountIsRead)
{
    MakeParentDirs("/instrumentData/Inifiles/x");
    WriteTextFile("/instrumentData/Inifiles/Market.ini", "Market=Internal\n", 0444);
    ASSERT_EQ(mount("/instrumentData/Inifiles", "/instrumentData/Inifiles", nullptr,
                    MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, "/instrumentData/Inifiles", nullptr,
                    MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    const std::string out = CaptureOutput([] { EXPECT_EQ(IsMarketVersionInternal(), 1); });
    EXPECT_NE(out.find("market ini info is: Market=Internal\n"), std::string::npos) << out;
}

TEST_F(UtilsRootTest, MissingMarketFileTracesAndIsInternal)
{
    const std::string out = CaptureOutput([] { EXPECT_EQ(IsMarketVersionInternal(), 1); });
    EXPECT_NE(out.find(">No market.ini exists!\n"), std::string::npos) << out;
}

TEST_F(UtilsRootTest, VersionTextKeepsLineEndAndIsTracedOnEveryRead)
{
    WriteTextFile("/tmp/swVersion", "2.15\n");
    std::string out = CaptureOutput([] {
        for (int i = 0; i < 2; ++i) {
            char* v = GetNewVer();
            EXPECT_STREQ(v, "2.15\n");
            ReleaseVersion(v);
        }
    });
    size_t first = out.find("new SW version is 2.15\n");
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_NE(out.find("new SW version is 2.15\n", first + 1), std::string::npos) << out;
}

TEST_F(UtilsRootTest, MissingVersionFilesGiveTheConstantText)
{
    std::string out = CaptureOutput([] {
        char* v = GetNewVer();
        EXPECT_STREQ(v, "No version found");
        ReleaseVersion(v);  // never frees the constant
        v = GetCurrVer("/log/swVersion/swVersion");
        EXPECT_STREQ(v, "No version found");
        ReleaseVersion(v);
    });
    EXPECT_NE(out.find(">new application version file could not be found\n"), std::string::npos);
    EXPECT_NE(out.find(">current SWversion file could not be found\n"), std::string::npos);
}

// A file that exists but cannot be read gives an all-zero block: an empty
// text, which is not "No version found" and compares as 0.0.
TEST_F(UtilsRootTest, UnreadableVersionFileIsEmptyText)
{
    ASSERT_EQ(mkdir("/tmp/swVersion", 0755), 0);  // opens, but read fails
    WriteTextFile("/tmp/swVersion/x", "1");
    if (GetFileSize("/tmp/swVersion") == 0) {
        GTEST_SKIP() << "directory size 0 on this file system";
    }
    std::string out = CaptureOutput([] {
        char* v = GetNewVer();
        EXPECT_STREQ(v, "");
        EXPECT_EQ(StringToFloat(v), 0.0f);
        ReleaseVersion(v);
    });
    EXPECT_NE(out.find(">Error Is a directory\n"), std::string::npos) << out;
}

// The reader traces the file it reads, then what it read and how many bytes,
// whether the file opened or not.
struct ReadFileCase {
    const char* name;
    std::optional<std::string> content;  // nullopt: no file
    int result;
    std::vector<std::string> messages;   // after "reading from file /tmp/f"
};
void PrintTo(const ReadFileCase& c, std::ostream* os) { *os << c.name; }

class ReadFileTest : public InstrumentRootTest, public ::testing::WithParamInterface<ReadFileCase> {};

TEST_P(ReadFileTest, TracesWhatWasRead)
{
    const ReadFileCase& c = GetParam();
    PutFile("/tmp/f", c.content);
    char buffer[9];
    std::memset(buffer, 'x', sizeof buffer);
    buffer[8] = '\0';  // the zero byte the reader relies on after its size
    int result = -2;
    const std::string out = CaptureOutput([&] { result = ReadFile("/tmp/f", buffer, 8); });
    EXPECT_EQ(result, c.result);
    std::vector<std::string> expected = {"reading from file /tmp/f"};
    expected.insert(expected.end(), c.messages.begin(), c.messages.end());
    EXPECT_EQ(TraceMessages(out), expected) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReadFileTest,
    ::testing::Values(ReadFileCase{"Text", "2.4", 3, {"Read 2.4 (bytes = 3)"}},
                      ReadFileCase{"LongerThanTheBuffer", "0123456789", 8, {"Read 01234567 (bytes = 8)"}},
                      ReadFileCase{"Empty", "", 0, {"nothing read", "Read  (bytes = 0)"}},
                      ReadFileCase{"Missing", std::nullopt, 0, {"error opening file", "Read  (bytes = 0)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UtilsRootTest, TextBufferEndsInTenZeroBytes)
{
    WriteTextFile("/tmp/f", "abc");
    char* text = ReadTextFileToBuffer("/tmp/f");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::memcmp(text, "abc\0\0\0\0\0\0\0\0\0\0", 13), 0);
    std::free(text);
    EXPECT_EQ(ReadTextFileToBuffer("/tmp/missing"), nullptr);
    WriteTextFile("/tmp/empty", "");
    EXPECT_EQ(ReadTextFileToBuffer("/tmp/empty"), nullptr);
}

// A file of 2 GiB or more has a size that does not fit a positive int: it
// gives no text instead of a failed allocation or a negative read size.
TEST_F(UtilsRootTest, HugeFileGivesNoText)
{
    WriteTextFile("/tmp/huge", "");
    ASSERT_EQ(truncate("/tmp/huge", 0x80000010LL), 0);
    EXPECT_EQ(ReadTextFileToBuffer("/tmp/huge"), nullptr);
}

// ---------------------------------------------------------------------------
struct EstimateCase {
    const char* name;
    std::optional<std::string> content;
    int expected;
};
void PrintTo(const EstimateCase& c, std::ostream* os) { *os << c.name; }

class EstimateTest : public InstrumentRootTest,
                     public ::testing::WithParamInterface<EstimateCase> {};

TEST_P(EstimateTest, ReadsLeadingInteger)
{
    PutFile("/tmp/estUpdateTime", GetParam().content);
    EXPECT_EQ(GetEstUpdateTime(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Estimates, EstimateTest,
    ::testing::Values(EstimateCase{"Digits", "900\n", 900},
                      EstimateCase{"LeadingBlanks", "  42 seconds", 42},
                      EstimateCase{"NegativeGivesZero", "-5", 0},
                      EstimateCase{"Largest", "2147483647", 2147483647},
                      EstimateCase{"OverflowGivesZero", "2147483648", 0},
                      EstimateCase{"FarOverflowGivesZero", "99999999999999999999", 0},
                      EstimateCase{"NegativeOverflowGivesZero", "-2147483649", 0},
                      EstimateCase{"NoDigits", "about 900", 0},
                      EstimateCase{"Empty", "", 0},
                      EstimateCase{"Missing", std::nullopt, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
