// The named-connection services against a raw-socket peer: the packets on the
// wire, the results a client sees, and where handlers run.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

// A raw connection to `name`, or -1.
int RawConnect(const char* name)
{
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name, std::strlen(name));
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd >= 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&addr),
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(name))) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

TEST_F(Served, ClientThatDoesNotReadItsRepliesIsDroppedAndOthersAreStillServed)
{
    // Requests sent without ever reading a reply: the replies pile up until
    // the socket's buffer for them is full, and the server must not wait for
    // room.
    int greedy = RawConnect(kName);
    ASSERT_GE(greedy, 0);
    const Bytes request = Le32Bytes(1);
    // Far more requests than the server's send buffer holds replies for.
    bool dropped = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int sent = 0; sent < 5000 && !dropped && std::chrono::steady_clock::now() < until;) {
        if (send(greedy, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            ++sent;
        } else if (errno == EAGAIN) {
            pollfd p = {greedy, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            dropped = true;  // EPIPE or ECONNRESET: the server closed it
        }
    }
    FinishesWithin(10, [] {
        Bytes reply;
        EXPECT_EQ(RawSend(kName, 2, {}, &reply), 4);
    }, "a request of another client");
    // The replies already queued can be read, then the connection ends.
    EXPECT_TRUE(dropped || Eventually([&] {
                    unsigned char buf[8];
                    ssize_t n;
                    while ((n = recv(greedy, buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
                    }
                    return n == 0;
                }, 5))
        << "the client that did not read keeps its connection";
    close(greedy);
}

const void* ZeroReply(PtConnectionServer_t*, void*, unsigned long, const void*, unsigned, unsigned* reply_len)
{
    static const std::uint32_t zero = 0;
    *reply_len = 4;
    return &zero;
}

void ZeroOnConnect(PtConnector_t*, PtConnectionServer_t* connection, void*)
{
    static const PtConnectionMsgHandler_t table[1] = {{0, ZeroReply}};
    PtConnectionAddMsgHandlers(connection, table, 1);
}

// The server in a child process whose descriptors are used up while a client
// waits to be accepted. Exit status: 0 as expected, 2 the loop kept a core
// busy, 3 the client was not served once descriptors were free again.
int ServeWithoutFreeDescriptors()
{
    if (PtInit(nullptr) != 0 || PtConnectorCreate(kName, ZeroOnConnect, nullptr) == nullptr) return 4;
    int client = RawConnect(kName);
    const Bytes request = Le32Bytes(1);
    if (client < 0 || send(client, request.data(), request.size(), MSG_NOSIGNAL) != 4) return 4;
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    // The loop's thread is made first (a sanitizer runtime may need a
    // descriptor for that), but runs the loop only once the limit stands at
    // the lowest free descriptor, so that every accept fails with EMFILE and
    // the client cannot be accepted before.
    std::atomic<bool> go{false};
    std::thread loop([&go] {
        while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PtMainLoop();
    });
    int lowest = dup(0);
    close(lowest);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    if (setrlimit(RLIMIT_NOFILE, &tight) != 0) return 4;
    go.store(true);
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    getrusage(RUSAGE_SELF, &after);
    setrlimit(RLIMIT_NOFILE, &saved);
    auto cpu = [](const rusage& r) {
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    int result = cpu(after) - cpu(before) > 0.3 ? 2 : 0;
    pollfd p = {client, POLLIN, 0};
    unsigned char reply[8];
    if (result == 0 && (poll(&p, 1, 5000) != 1 || recv(client, reply, sizeof(reply), 0) != 4)) {
        result = 3;
    }
    loop.detach();  // it never returns
    std::fflush(nullptr);
    _exit(result);
}

TEST(PtConnection, OutOfDescriptorsTheLoopWaitsInsteadOfSpinningAndAcceptsLater)
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    Child server(ServeWithoutFreeDescriptors);
    int status = server.Wait(20);
    ASSERT_NE(status, -1) << "the server did not end";
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_NE(WEXITSTATUS(status), 2) << "the event loop spun while no descriptor was free";
    EXPECT_NE(WEXITSTATUS(status), 3) << "the waiting client was not served once descriptors were free";
    EXPECT_EQ(WEXITSTATUS(status), 0);
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
                      SendCase{"ClosedWithoutReply", {Bytes{}, true}, -1, "eeeeeeee"},
                      // Reads 0 bytes like an empty reply, but no reply will come.
                      SendCase{"WritingSideShutWithoutReply", {Bytes{}, false, true}, -1, "eeeeeeee"},
                      // The reply was sent before the connection went: it counts.
                      SendCase{"EmptyReplyThenClosed", {Bytes{}, false, false, true}, 0, "eeeeeeee"},
                      SendCase{"ReplyThenClosed", {Le32Bytes(5), false, false, true}, 4, "05000000"}),
    [](const ::testing::TestParamInfo<SendCase>& i) { return std::string(i.param.name); });

}  // namespace

namespace {

// A test process that ends early (a failed FinishesWithin ends it with
// _exit, skipping every destructor) must not leave its children running.
TEST(ChildProcess, EndsWhenTheProcessThatMadeItEndsEarly)
{
    int pids[2];
    ASSERT_EQ(pipe(pids), 0);
    Child test([&] {
        Child helper([] {
            for (;;) pause();
            return 0;
        });
        pid_t pid = helper.Pid();
        if (write(pids[1], &pid, sizeof(pid)) != sizeof(pid)) return 1;
        _exit(1);
    });
    close(pids[1]);
    pid_t helper = -1;
    ASSERT_EQ(read(pids[0], &helper, sizeof(helper)), static_cast<ssize_t>(sizeof(helper)));
    close(pids[0]);
    ASSERT_NE(test.Wait(10), -1);
    // Gone, or a zombie waiting for whoever adopted it.
    EXPECT_TRUE(Eventually([&] {
        std::string stat = FileContent("/proc/" + std::to_string(helper) + "/stat");
        std::size_t end = stat.rfind(')');
        return stat.empty() || (end != std::string::npos && stat.compare(end, 4, ") Z ") == 0);
    }, 5)) << "the child of the ended test process still runs";
}

}  // namespace
