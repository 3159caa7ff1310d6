// The requests to the start-up GUI, seen by a raw-socket peer serving the
// start-up GUI's connector: the record bytes, the message type, and the
// result for every kind of reply.
#include <gtest/gtest.h>

#include <functional>

#include "LinkTestSupport.h"
#include "SSConnectionMsg.h"
#include "SwUpdateGui.h"
#include "UpgrtoStartUpHandler.h"

namespace {

struct Sent {
    std::uint32_t type;
    const char* hex;  // the record, 4 bytes per group
};

struct RecordCase {
    const char* name;
    std::function<int()> call;
    std::vector<Sent> expected;
};

void PrintTo(const RecordCase& c, std::ostream* os)
{
    *os << c.name;
}


class RequestRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RequestRecord, IsSentWithItsOperationAsMessageType)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    ASSERT_TRUE(gui.Serving());
    const RecordCase& c = GetParam();
    EXPECT_EQ(c.call(), 0);
    std::vector<RawRequest> got = gui.Requests();
    ASSERT_EQ(got.size(), c.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].type, c.expected[i].type) << "request " << i;
        EXPECT_EQ(Hex(got[i].record), c.expected[i].hex) << "request " << i;
    }
}

shprogressValues_t counting = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

const RecordCase kRecords[] = {
    {"InstrumentReady", [] { return shSendInstrumentReady("1.2"); },
     {{23, "17000000 312e3200 00000000 00000000 00000000 00000000"}}},
    {"InstrumentReadyCutsLongVersionTo16",
     [] { return shSendInstrumentReady("12345678901234567890"); },
     {{23, "17000000 31323334 35363738 39303132 33343536 00000000"}}},
    {"RequestUpgradeKeepsLineEnd", [] { return shSendRequesttoUpgrade("2.10\n"); },
     {{88, "58000000 322e3130 0a000000 00000000 00000000 00000000"}}},
    {"ContinueUpgradeLeavesVersionOut", [] { return shSendContinueUpgrade(SWUpgrade, "9.9"); },
     {{90, "5a000000 00000000 00000000 00000000 00000000 00000000 01000000"}}},
    {"ContinueRevertCarriesVersion", [] { return shSendContinueUpgrade(SWRevert, "1.0"); },
     {{90, "5a000000 312e3000 00000000 00000000 00000000 00000000 02000000"}}},
    {"ProgressTimersTenValuesEleventhZero", [] { return shSendProgressTimers(counting); },
     {{51, "33000000 01000000 02000000 03000000 04000000 05000000 06000000 07000000 08000000 "
           "09000000 0a000000 00000000"}}},
    {"TurnOffSendsExit", [] { return shSendTurnOff(); }, {{999, "e7030000"}}},
    {"ErrorCode", [] { return shSendError(19042); }, {{52, "34000000 624a0000"}}},
    {"MessageWithoutTimeOut", [] { return shSendMessage(2000); },
     {{54, "36000000 d0070000 00000000 00000000"}}},
    {"MessageWithTimeOut", [] { return shSendMessageTme(2008, 30); },
     {{54, "36000000 d8070000 1e000000 01000000"}}},
    {"SetProgressBar", [] { return GUI_SetProgressBar(300); },
     {{51, "33000000 3c000000 00000000 2c010000 ffff0000 00000000 00000000 00000000 00000000 "
           "00000000 00000000 00000000"}}},
    {"RemoveMsd", [] { GUI_RemoveMsd(); return 0; },
     {{54, "36000000 d0070000 00000000 01000000"}}},
    {"ErrorScreen", [] { GUI_DisplayErrorScreen(); return 0; },
     {{54, "36000000 d6070000 00000000 01000000"}}},
    {"NotCompatible", [] { GUI_DisplayNotCompatible(); return 0; },
     {{54, "36000000 d8070000 00000000 01000000"}}},
    {"CrcErrorIsFailureScreenThenErrorCode", [] { GUI_DisplayCrcError(); return 0; },
     {{54, "36000000 d6070000 00000000 01000000"}, {52, "34000000 624a0000"}}},
    {"SetCurrentVersion", [] { GUI_SetCurrentVersion("3.4"); return 0; },
     {{23, "17000000 332e3400 00000000 00000000 00000000 00000000"}}},
    {"SetUpdatingText", [] { GUI_SetUpdatingText("3.5"); return 0; },
     {{90, "5a000000 00000000 00000000 00000000 00000000 00000000 01000000"}}},
};

INSTANTIATE_TEST_SUITE_P(Requests, RequestRecord, ::testing::ValuesIn(kRecords),
                         [](const ::testing::TestParamInfo<RecordCase>& i) {
                             return std::string(i.param.name);
                         });

// The result of a request for each way the start-up GUI can answer.
struct ReplyCase {
    const char* name;
    RawPeer::Answer answer;
    int expected;  // INT_MIN: any negative result other than -1 and -2
};

void PrintTo(const ReplyCase& c, std::ostream* os)
{
    *os << c.name;
}


class RequestResult : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(RequestResult, FollowsTheReply)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    const ReplyCase& c = GetParam();
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP, [&](const RawRequest&) { return c.answer; });
    ASSERT_TRUE(gui.Serving());
    testing::internal::CaptureStdout();
    int r = shSendMessageTme(2000, 0);
    std::string out = testing::internal::GetCapturedStdout();
    if (c.expected == INT32_MIN) {
        EXPECT_LT(r, 0);
        EXPECT_NE(out.find("statusReplyLength > 0"), std::string::npos) << out;
    } else {
        EXPECT_EQ(r, c.expected);
        EXPECT_EQ(out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RequestResult,
    ::testing::Values(ReplyCase{"Success", {Le32Bytes(0), false}, 0},
                      ReplyCase{"BadState", {Le32Bytes(196), false}, -2},
                      ReplyCase{"BadMessage", {Le32Bytes(199), false}, -2},
                      ReplyCase{"EmptyReplyIsNotExamined", {Bytes{}, false}, 0},
                      ReplyCase{"ClosedWithoutReply", {Bytes{}, true}, INT32_MIN}),
    [](const ::testing::TestParamInfo<ReplyCase>& i) { return std::string(i.param.name); });

TEST(RequestConnection, WithoutGuiNothingIsSentAndALaterRequestConnects)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    SetDelayScale(0);  // the look-ups' pauses are counted, not waited for
    testing::internal::CaptureStdout();
    EXPECT_EQ(shSendInstrumentReady("1.0"), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("applicationToGUIconnection != NULL"), std::string::npos) << out;
    EXPECT_EQ(DelayCalls(), 101);

    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    ASSERT_TRUE(gui.Serving());
    EXPECT_EQ(shSendInstrumentReady("1.0"), 0);
    EXPECT_EQ(DelayCalls(), 101) << "found at the first look-up";
    EXPECT_EQ(gui.Requests().size(), 1u);
}

TEST(RequestConnection, ConnectionIsMadeOnceAndKept)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    ASSERT_TRUE(gui.Serving());
    connectUpgradeToStartUp();
    EXPECT_EQ(shSendMessage(2000), 0);
    EXPECT_EQ(shSendMessage(2006), 0);
    EXPECT_EQ(gui.Requests().size(), 2u);
    EXPECT_EQ(gui.Accepted(), 1u) << "each request made a connection of its own";
    EXPECT_EQ(DelayCalls(), 0);
}

}  // namespace
