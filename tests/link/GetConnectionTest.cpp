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
    std::chrono::steady_clock::time_point up;
    std::thread appear([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        gui = std::make_unique<RawPeer>(kName);
        up = std::chrono::steady_clock::now();
    });
    PtConnectionClient_t* client = nullptr;
    int r = getConnection(kName, &client);
    auto found = std::chrono::steady_clock::now();
    appear.join();
    ASSERT_TRUE(gui->Serving());
    EXPECT_EQ(r, 0);
    ASSERT_NE(client, nullptr);
    // Found by the first look-up after the server came up: within one pause.
    EXPECT_GE(DelayCalls(), 3);
    EXPECT_LT(std::chrono::duration<double>(found - up).count(), 0.2 + 0.15);
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
