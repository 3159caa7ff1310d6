// Looking the start-up GUI up: a server that appears while the look-ups go on
// is found, and without one the look-ups end after their bounded number.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "LinkTestSupport.h"
#include "SSConnectionMsg.h"

namespace {

const char* const kName = SS_CONNECTOR_SYSTEMSTARTUP;

TEST(GetConnection, FindsAServerThatAppearsWhileRetrying)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    std::unique_ptr<RawPeer> gui;
    std::thread appear([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        gui.reset(new RawPeer(kName));
    });
    PtConnectionClient_t* client = nullptr;
    int r = getConnection(kName, &client);
    appear.join();
    ASSERT_TRUE(gui->Serving());
    EXPECT_EQ(r, 0);
    ASSERT_NE(client, nullptr);
    // Found by the first look-up after it came up: about 700 ms of 200 ms pauses.
    EXPECT_GE(DelayCalls(), 3);
    EXPECT_LE(DelayCalls(), 5);
    std::uint32_t rec = 100, reply = 1;
    EXPECT_EQ(PtConnectionSend(client, 100, &rec, &reply, 4, 4), 4);
    destroyConnection(client);
}

TEST(GetConnection, GivesUpAfter102LookUpsAnd101Pauses)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    auto start = std::chrono::steady_clock::now();
    PtConnectionClient_t* client = reinterpret_cast<PtConnectionClient_t*>(&start);
    EXPECT_EQ(getConnection(kName, &client), -1);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(DelayCalls(), 101);
    EXPECT_GE(seconds, 20.2);
    EXPECT_LT(seconds, 40.0);
}

}  // namespace
