// The report tells the ways a run can end without its partitions written
// apart: packages never unpacked, unpacking failed, no flash map among the
// unpacked packages, a failed write.
#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "SimFiles.h"
#include "MapState.h"
#include "SimState.h"

using namespace swsim;

namespace {

struct MapCase {
    const char* name;
    const char* trace;
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

const char kUnpacked[] = "<a:1>Running command: tar --gunzip -xvf file1\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, MapStateTest,
    ::testing::Values(
        MapCase{"declinedNothingUnpacked", "<a:1>GUI Initialized!\n", false, "", MapState::NotUnpacked},
        MapCase{"unpackingFailedWithoutMap",
                "<a:1>Running command: cp /usbdongle/file1 .\n<a:2>Corrupted update files found on MSD during "
                "unpacking! \n",
                false, "", MapState::UnpackingFailed},
        MapCase{"unpackingFailedAfterTheMapCame",
                "<a:1>Running command: tar --gunzip -xvf file1\n<a:2>Corrupted update files found on MSD during "
                "unpacking! \n",
                true, "ifsPart.bin 0 x YES\n", MapState::Present},
        MapCase{"unpackedWithoutMap", kUnpacked, false, "", MapState::Missing},
        MapCase{"unpackedWithEmptyMap", kUnpacked, true, "", MapState::Missing},
        MapCase{"updaterSaysTheMapIsMissing",
                "<a:1>Flash map /tmp/flashMap is missing or empty: no partition is written\n", false, "",
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
    const int rc = Swsim({"run", state, "--pull-after", "0", "--timeout", "150"}, &output);
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

}  // namespace
