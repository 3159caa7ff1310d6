// The named-connection services against a raw-socket peer: the packets on the
// wire, the results a client sees, and where handlers run.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "LinkTestSupport.h"
#include "PtConnection.h"

namespace {

const char* const kName = "/instrument.example/test/Echo";

struct Seen {
    std::mutex lock;
    std::vector<RawRequest> requests;
    std::thread::id handlerThread;
};

Seen seen;
std::uint32_t replyWord = 0x0A0B0C0D;

// cppcheck-suppress constParameter ; the message handler's signature
const void* RecordingHandler(PtConnectionServer_t* connection, void* data, unsigned long type,
                             const void* msg, unsigned len, unsigned* reply_len)
{
    EXPECT_EQ(data, &seen);
    {
        std::lock_guard<std::mutex> g(seen.lock);
        const unsigned char* p = static_cast<const unsigned char*>(msg);
        seen.requests.push_back({static_cast<std::uint32_t>(type), Bytes(p, p + len)});
        seen.handlerThread = std::this_thread::get_id();
    }
    (void)connection;
    *reply_len = sizeof(replyWord);
    return &replyWord;
}

// A handler only for type 7, and the catch-all that replies differently.
std::uint32_t sevenReply = 7, anyReply = 0;
const void* SevenHandler(PtConnectionServer_t*, void*, unsigned long, const void*, unsigned,
                         unsigned* reply_len)
{
    *reply_len = 4;
    return &sevenReply;
}
const void* AnyHandler(PtConnectionServer_t*, void*, unsigned long, const void*, unsigned,
                       unsigned* reply_len)
{
    *reply_len = 4;
    return &anyReply;
}

const PtConnectionMsgHandler_t recordingTable[1] = {{0, RecordingHandler}};
const PtConnectionMsgHandler_t typedTable[2] = {{0, AnyHandler}, {7, SevenHandler}};
const PtConnectionMsgHandler_t* useTable = recordingTable;
unsigned useCount = 1;

void OnConnect(PtConnector_t*, PtConnectionServer_t* connection, void*)
{
    PtConnectionAddMsgHandlers(connection, useTable, useCount);
}

// Serves kName with the services on a loop thread for the test's duration.
class Served : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        ASSERT_EQ(PtInit(nullptr), 0);
        ASSERT_NE(PtConnectorCreate(kName, OnConnect, &seen), nullptr);
        loop_ = std::thread([] { PtMainLoop(); });
    }
    void TearDown() override
    {
        if (loop_.joinable()) {
            PtQuitMainLoop();
            loop_.join();
        }
    }
    std::thread loop_;
};

TEST_F(Served, RequestArrivesAsTypeAndRecordAndIsAnsweredOnTheLoopThread)
{
    Bytes reply;
    Bytes record = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(RawSend(kName, 0x11223344, record, &reply), 4);
    EXPECT_EQ(Hex(reply), "0d0c0b0a");
    std::lock_guard<std::mutex> g(seen.lock);
    ASSERT_EQ(seen.requests.size(), 1u);
    EXPECT_EQ(seen.requests[0].type, 0x11223344u);
    EXPECT_EQ(Hex(seen.requests[0].record), Hex(record));
    EXPECT_EQ(seen.handlerThread, loop_.get_id());
}

TEST_F(Served, NameIsServedByOneConnectorOnly)
{
    EXPECT_EQ(PtConnectorCreate(kName, OnConnect, nullptr), nullptr);
}

TEST_F(Served, PacketWithoutMessageTypeDropsTheConnection)
{
    // Fewer than 4 bytes cannot carry a message type: the sender sees no
    // reply. A type alone is a request with an empty record.
    Bytes reply;
    EXPECT_EQ(RawSendPacket(kName, {1, 0}, &reply), -1);
    EXPECT_EQ(RawSendPacket(kName, {1, 0, 0, 0}, &reply), 4);
}

TEST_F(Served, ExactTypeHandlerIsPreferredOverTheCatchAll)
{
    useTable = typedTable;
    useCount = 2;
    Bytes reply;
    ASSERT_EQ(RawSend(kName, 7, {}, &reply), 4);
    EXPECT_EQ(Hex(reply), "07000000");
    ASSERT_EQ(RawSend(kName, 8, {}, &reply), 4);
    EXPECT_EQ(Hex(reply), "00000000");
}

TEST(PtConnection, LookUpOfAnUnservedNameFindsNothing)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    EXPECT_EQ(PtConnectionFindName("/instrument.example/nobody", 0, 0), nullptr);
}

// What a client's send returns for each way the server can answer.
struct SendCase {
    const char* name;
    RawPeer::Answer answer;
    int expected;  // -1: any negative result
    const char* replyHex;
};

void PrintTo(const SendCase& c, std::ostream* os)
{
    *os << c.name;
}


class SendResult : public ::testing::TestWithParam<SendCase> {};

TEST_P(SendResult, FollowsTheServersAnswer)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    const SendCase& c = GetParam();
    RawPeer peer(kName, [&](const RawRequest&) { return c.answer; });
    ASSERT_TRUE(peer.Serving());
    PtConnectionClient_t* client = PtConnectionFindName(kName, 0, 0);
    ASSERT_NE(client, nullptr);
    std::uint32_t record[3] = {1, 2, 3};
    unsigned char reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    int r = PtConnectionSend(client, 0xCAFE, record, reply, sizeof(record), sizeof(reply));
    if (c.expected < 0) {
        EXPECT_LT(r, 0);
    } else {
        EXPECT_EQ(r, c.expected);
    }
    EXPECT_EQ(Hex(Bytes(reply, reply + 4)), c.replyHex);
    ASSERT_TRUE(peer.WaitForRequests(1, 5));
    RawRequest got = peer.Requests()[0];
    EXPECT_EQ(got.type, 0xCAFEu);
    EXPECT_EQ(Hex(got.record), "01000000 02000000 03000000");
    EXPECT_EQ(PtConnectionClientDestroy(client), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SendResult,
    ::testing::Values(SendCase{"FourByteReply", {Le32Bytes(199), false}, 4, "c7000000"},
                      SendCase{"EmptyReply", {Bytes{}, false}, 0, "eeeeeeee"},
                      SendCase{"LongerReplyIsCut", {Bytes{1, 2, 3, 4, 5, 6}, false}, 4, "01020304"},
                      SendCase{"ClosedWithoutReply", {Bytes{}, true}, -1, "eeeeeeee"}),
    [](const ::testing::TestParamInfo<SendCase>& i) { return std::string(i.param.name); });

}  // namespace
