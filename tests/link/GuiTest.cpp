// The question to the user across both threads, against a raw-socket
// start-up GUI that answers before or after it replies to the question.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "LinkTestSupport.h"
#include "SSConnectionMsg.h"
#include "SwUpdateGui.h"

namespace {

const std::string kUpdater = SS_CONNECTOR_SOFTWAREUPGRADE;

Bytes Record2(std::uint32_t a, std::uint32_t b)
{
    Bytes r = Le32Bytes(a);
    Bytes t = Le32Bytes(b);
    r.insert(r.end(), t.begin(), t.end());
    return r;
}

// Sends the user's answer to the updater from a thread of its own, as the
// start-up GUI would, after `pause`.
std::thread AnswerLater(std::uint32_t doUpgrade, std::chrono::milliseconds pause)
{
    return std::thread([=] {
        std::this_thread::sleep_for(pause);
        RawSend(kUpdater, 89, Record2(89, doUpgrade), nullptr);
    });
}

struct AnswerCase {
    const char* name;
    std::uint32_t doUpgrade;
    bool beforeReply;  // the answer is delivered before the question is replied to
    int expected;
    const char* trace;
    // An answer that reaches the updater's server before the question is
    // asked (-1: none); it must not count as the answer to the question.
    long staleFirst = -1;
};

void PrintTo(const AnswerCase& c, std::ostream* os)
{
    *os << c.name;
}


class InquireUpdate : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(InquireUpdate, ReturnsTheUsersAnswer)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    const AnswerCase& c = GetParam();
    std::thread late;
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP, [&](const RawRequest& r) {
        if (r.type == 88) {
            if (c.beforeReply) {
                // Delivered (and replied to by the updater) while the
                // question itself is still unanswered.
                EXPECT_EQ(RawSend(kUpdater, 89, Record2(89, c.doUpgrade), nullptr), 4);
            } else {
                late = AnswerLater(c.doUpgrade, std::chrono::milliseconds(300));
            }
        }
        return RawPeer::Answer{};
    });
    ASSERT_EQ(GUI_Initialize(), 0);
    if (c.staleFirst >= 0) {
        // Replied to by the server, so delivered before the question is asked.
        ASSERT_EQ(RawSend(kUpdater, 89, Record2(89, static_cast<std::uint32_t>(c.staleFirst)), nullptr), 4);
    }
    testing::internal::CaptureStdout();
    int answer = -1;
    FinishesWithin(20, [&] { answer = GUI_InquireUpdate("1.3"); }, "GUI_InquireUpdate");
    std::string out = testing::internal::GetCapturedStdout();
    if (late.joinable()) late.join();
    EXPECT_EQ(answer, c.expected);
    EXPECT_NE(out.find(c.trace), std::string::npos) << out;
    std::vector<RawRequest> got = gui.Requests();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, 88u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, InquireUpdate,
    ::testing::Values(
        AnswerCase{"YesAfterReply", 1, false, 1, "user chose continue upgrade\n"},
        AnswerCase{"NoAfterReply", 0, false, 0, "user chose terminate upgrade\n"},
        AnswerCase{"NeverAfterReply", 2, false, 0, "user chose terminate upgrade\n"},
        AnswerCase{"YesBeforeReply", 1, true, 1, "user chose continue upgrade\n"},
        AnswerCase{"NoBeforeReply", 0, true, 0, "user chose terminate upgrade\n"},
        AnswerCase{"NoAfterAStaleYes", 0, false, 0, "user chose terminate upgrade\n", 1}),
    [](const ::testing::TestParamInfo<AnswerCase>& i) { return std::string(i.param.name); });

TEST(InquireUpdateWait, OtherMessagesNeitherEndTheWaitNorChangeTheAnswer)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    std::atomic<bool> answerSent{false};
    std::thread late;
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP, [&](const RawRequest& r) {
        if (r.type == 88) {
            late = std::thread([&] {
                const std::pair<std::uint32_t, Bytes> others[] = {
                    {22, Record2(22, 0)}, {899, Le32Bytes(899)}, {100, Le32Bytes(100)},
                    {22, Record2(22, 1)}};
                for (const auto& m : others) {
                    Bytes reply;
                    EXPECT_EQ(RawSend(kUpdater, m.first, m.second, &reply), 4);
                    EXPECT_EQ(Hex(reply), "00000000") << m.first;
                }
                // Longer than one timed wait of the main thread (1 s): a wait
                // that ends at its first time-out, answer or not, is caught.
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                answerSent = true;
                RawSend(kUpdater, 89, Record2(89, 1), nullptr);
            });
        }
        return RawPeer::Answer{};
    });
    ASSERT_EQ(GUI_Initialize(), 0);
    int answer = -1;
    FinishesWithin(20, [&] { answer = GUI_InquireUpdate("1.3"); }, "GUI_InquireUpdate");
    EXPECT_TRUE(answerSent.load()) << "the wait ended before the answer was sent";
    EXPECT_EQ(answer, 1);
    late.join();
}

TEST(InquireUpdateWait, RefusedQuestionDeclinesAtOnce)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP,
                [](const RawRequest&) { return RawPeer::Answer{Le32Bytes(196), false}; });
    ASSERT_EQ(GUI_Initialize(), 0);
    int answer = -1;
    FinishesWithin(5, [&] { answer = GUI_InquireUpdate("1.3"); }, "GUI_InquireUpdate");
    EXPECT_EQ(answer, 0);
}

TEST(InquireUpdateWait, DeclinesAtOnceWhenTheServerEndedWithoutServing)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    // Another process holds the updater's name and answers the exit request
    // with an empty reply: the server thread gives up and ends.
    RawPeer holder(kUpdater, [](const RawRequest&) { return RawPeer::Answer{Bytes{}, false}; });
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    testing::internal::CaptureStdout();
    ASSERT_EQ(GUI_Initialize(), 0);
    int answer = -1;
    FinishesWithin(5, [&] { answer = GUI_InquireUpdate("1.3"); }, "GUI_InquireUpdate");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(answer, 0);
    EXPECT_NE(out.find("result != 0"), std::string::npos) << out;
    EXPECT_TRUE(gui.Requests().empty()) << "no question without a server for the answer";
}

TEST(InquireUpdateWait, DeclinesWithoutAServerThread)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    int answer = -1;
    FinishesWithin(5, [&] { answer = GUI_InquireUpdate("1.3"); }, "GUI_InquireUpdate");
    EXPECT_EQ(answer, 0);
}

}  // namespace
