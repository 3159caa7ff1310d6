// The update's three hooks, with real scripts inside an instrument root.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "RootTest.h"
#include "SwUpdateIndependentActions.h"
#include "SwUpdatePostActions.h"
#include "SwUpdatePreActions.h"
#include "../utils/UtilsTestSupport.h"

namespace {

class ActionsTest : public InstrumentRootTest {};

struct RepartitionCase {
    const char* name;
    const char* script;  // nullptr: no script delivered
    int mode;
    int status;
};
void PrintTo(const RepartitionCase& c, std::ostream* os) { *os << c.name; }

class RepartitionTest : public InstrumentRootTest,
                        public ::testing::WithParamInterface<RepartitionCase> {};

TEST_P(RepartitionTest, ResultIsTheScriptStatus)
{
    const RepartitionCase& c = GetParam();
    if (c.script != nullptr) {
        WriteTextFile("/tmp/FlashRepartition.sh", c.script, c.mode);
    }
    int result = -1;
    const std::string out = CaptureOutput([&] { result = PerformPreUpdateActions(); });
    EXPECT_EQ(result, c.status);
    EXPECT_NE(out.find("<sources/SwUpdatePreActions.cpp:"), std::string::npos) << out;
    EXPECT_NE(out.find(">Flash repartition started\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Running command: /tmp/FlashRepartition.sh\n"), std::string::npos) << out;
    EXPECT_NE(out.find(">Flash repartition done(" + std::to_string(c.status) + ")!\n"),
              std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RepartitionTest,
    ::testing::Values(
        RepartitionCase{"Succeeds", "#!/bin/sh\nexit 0\n", 0755, 0},
        RepartitionCase{"ExitsThree", "#!/bin/sh\nexit 3\n", 0755, 768},
        RepartitionCase{"Missing", nullptr, 0, 127 * 256},
        RepartitionCase{"NotExecutable", "#!/bin/sh\nexit 0\n", 0644, 126 * 256}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ActionsTest, PostUpdateRemovesExtlogAndAlwaysSucceeds)
{
    WriteTextFile("/instrumentData/extlog.dat", "old");
    WriteTextFile("/instrumentData/keep.dat", "keep");
    EXPECT_EQ(PerformPostUpdateActions(), 0);
    EXPECT_FALSE(FileExists("/instrumentData/extlog.dat"));
    EXPECT_TRUE(FileExists("/instrumentData/keep.dat"));
    EXPECT_EQ(PerformPostUpdateActions(), 0);  // already gone: no error
}

TEST(IndependentActionsTest, DoNothingAndSucceed)
{
    const std::string out = CaptureOutput([] { EXPECT_EQ(PerformUpdateIndependentActions(), 0); });
    EXPECT_EQ(out, "");
}

}  // namespace
