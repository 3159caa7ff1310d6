// The updater's own server, driven by raw-socket clients: dispatch on the
// record's operation, the callbacks and their values, the replies, the exit
// request and the take-over of the name by a newer updater.
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

#include "LinkTestSupport.h"
#include "SSConnectionMsg.h"
#include "UpgrfromStartUpHandler.h"

namespace {

const std::string kUpdater = SS_CONNECTOR_SOFTWAREUPGRADE;

int userData;
std::mutex eventsLock;
std::vector<std::string> events;

void Record(const std::string& e)
{
    std::lock_guard<std::mutex> g(eventsLock);
    events.push_back(e);
}

// cppcheck-suppress constParameter ; the callbacks' signatures
void OnAnswer(shUpgradeResponse_t reply, void* data)
{
    Record(std::string(reply == ContinueUpgrade ? "continue" : "terminate") +
           (data == &userData ? "" : " (wrong data)"));
}
// cppcheck-suppress constParameter
void OnDim(shBackLigth_t set, void* data)
{
    Record("dim " + std::to_string(set) + (data == &userData ? "" : " (wrong data)"));
}
// cppcheck-suppress constParameter
void OnTurnOff(void* data)
{
    Record(std::string("turn-off") + (data == &userData ? "" : " (wrong data)"));
}

// Waits until the server answers on its name.
bool ServerAnswers()
{
    return Eventually([] { return RawSend(kUpdater, 100, Le32Bytes(100), nullptr) == 4; }, 10);
}

Bytes Record2(std::uint32_t a, std::uint32_t b)
{
    Bytes r = Le32Bytes(a);
    Bytes t = Le32Bytes(b);
    r.insert(r.end(), t.begin(), t.end());
    return r;
}

struct DispatchCase {
    const char* name;
    std::uint32_t type;  // message type of the send
    Bytes record;
    std::uint32_t status;
    const char* event;  // "" when no callback may run
};

void PrintTo(const DispatchCase& c, std::ostream* os)
{
    *os << c.name;
}


class ServerDispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(ServerDispatch, AnswersAndRunsTheCallback)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    // A start-up GUI that is merely listening lets the server start at once.
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    ASSERT_EQ(shCreateInputMsgLoop(OnAnswer, OnDim, OnTurnOff, &userData), 0);
    ASSERT_TRUE(ServerAnswers());

    const DispatchCase& c = GetParam();
    Bytes reply;
    ASSERT_EQ(RawSend(kUpdater, c.type, c.record, &reply), 4);
    EXPECT_EQ(Hex(reply), Hex(Le32Bytes(c.status)));
    // The callback has run before the reply was sent.
    std::lock_guard<std::mutex> g(eventsLock);
    if (*c.event == '\0') {
        EXPECT_TRUE(events.empty()) << events[0];
    } else {
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0], c.event);
    }
    // The connection and the server stay usable.
    EXPECT_EQ(RawSend(kUpdater, 100, Le32Bytes(100), &reply), 4);
    EXPECT_EQ(Hex(reply), "00000000");
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ServerDispatch,
    ::testing::Values(
        DispatchCase{"AnswerYes", 89, Record2(89, 1), 0, "continue"},
        DispatchCase{"AnswerNo", 89, Record2(89, 0), 0, "terminate"},
        DispatchCase{"AnswerNever", 89, Record2(89, 2), 0, "terminate"},
        DispatchCase{"DimOff", 22, Record2(22, 0), 0, "dim 0"},
        DispatchCase{"DimOn", 22, Record2(22, 1), 0, "dim 1"},
        DispatchCase{"TurnOff", 899, Le32Bytes(899), 0, "turn-off"},
        DispatchCase{"ToFrontHasNoEffect", 100, Le32Bytes(100), 0, ""},
        DispatchCase{"InstrumentReadyIsNotHandled", 23, Le32Bytes(23), 199, ""},
        DispatchCase{"UnknownOperation", 4242, Le32Bytes(4242), 199, ""},
        DispatchCase{"DispatchFollowsRecordNotType", 22, Record2(89, 1), 0, "continue"},
        DispatchCase{"ShortAnswerRecord", 89, Le32Bytes(89), 199, ""},
        DispatchCase{"ShortDimRecord", 22, Le32Bytes(22), 199, ""},
        DispatchCase{"EmptyRecord", 89, Bytes{}, 199, ""},
        DispatchCase{"LongerRecordIsAccepted", 89, Bytes{89, 0, 0, 0, 1, 0, 0, 0, 9, 9}, 0, "continue"}),
    [](const ::testing::TestParamInfo<DispatchCase>& i) { return std::string(i.param.name); });

// An updater's server in a child process (no threads exist yet when it
// forks), with a listening start-up GUI so that it serves at once.
int RunUpdaterServer()
{
    shCreateInputMsgLoop(OnAnswer, OnDim, OnTurnOff, &userData);
    for (;;) {
        pause();
    }
}

TEST(ServerExit, ExitRequestIsAnsweredAndEndsTheProcessWithZero)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    Child updater(RunUpdaterServer);
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    ASSERT_TRUE(ServerAnswers());
    Bytes reply;
    ASSERT_EQ(RawSend(kUpdater, 999, Le32Bytes(999), &reply), 4);
    EXPECT_EQ(Hex(reply), "00000000");
    int status = updater.Wait(10);
    ASSERT_NE(status, -1) << "the updater did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ServerExit, SecondUpdaterMakesTheFirstExitAndServesTheName)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    // Both children are forked before this process starts any thread; the
    // second starts its server when told to through a pipe.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    Child first(RunUpdaterServer);
    Child second([&] {
        char c;
        close(go[1]);
        if (read(go[0], &c, 1) != 1) return 1;
        return RunUpdaterServer();
    });
    close(go[0]);
    RawPeer gui(SS_CONNECTOR_SYSTEMSTARTUP);
    ASSERT_TRUE(ServerAnswers());
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    int status = first.Wait(10);
    ASSERT_NE(status, -1) << "the first updater did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    ASSERT_TRUE(ServerAnswers()) << "nobody serves the name after the take-over";
    EXPECT_EQ(second.Wait(0.2), -1) << "the second updater must keep running";
    Bytes reply;
    EXPECT_EQ(RawSend(kUpdater, 89, Record2(89, 1), &reply), 4);
    EXPECT_EQ(Hex(reply), "00000000");
}

// A foreign program holding the updater's name that refuses every exit
// request: the server asks it again only after a pause, never in a busy loop.
TEST(ServerExit, ForeignHolderThatRefusesToExitIsAskedOnlyAfterPauses)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    Child updater([&] {
        char c;
        close(go[1]);
        if (read(go[0], &c, 1) != 1) return 1;
        return RunUpdaterServer();
    });
    close(go[0]);
    RawPeer holder(kUpdater, [](const RawRequest&) { return RawPeer::Answer{Le32Bytes(199), false}; });
    ASSERT_TRUE(holder.Serving());
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    ASSERT_TRUE(holder.WaitForRequests(1, 10)) << "the updater never asked the holder to exit";
    // Watch for at least a second of the clock.
    ASSERT_FALSE(holder.WaitForRequests(1000, 1.0)) << "exit requests in a busy loop";
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
    const std::vector<RawRequest> requests = holder.Requests();
    // One request at the start and one per 200 ms pause after it.
    EXPECT_LE(static_cast<double>(requests.size()), elapsed / 0.2 + 2) << "after " << elapsed << " s";
    for (const RawRequest& r : requests) {
        EXPECT_EQ(r.type, 999u);
        EXPECT_EQ(Hex(r.record), Hex(Le32Bytes(999)));
    }
    EXPECT_EQ(updater.Wait(0), -1) << "the updater keeps trying";
}

}  // namespace
