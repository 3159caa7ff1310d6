// Test support for the start-up GUI link: a private network namespace per
// test process, a counting pause, a raw-socket peer that speaks the wire
// format independently of the connection library, and child processes.
#ifndef LINK_TEST_SUPPORT_H
#define LINK_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// Connector names are private to a network namespace; every test process
// enters a fresh one before any thread exists. Empty when that worked, else
// the reason.
const std::string& PrivateNetworkProblem();

#define SKIP_WITHOUT_PRIVATE_NETWORK()                                         \
    do {                                                                       \
        if (!PrivateNetworkProblem().empty()) {                                \
            GTEST_SKIP() << "no private network namespace: " << PrivateNetworkProblem(); \
        }                                                                      \
    } while (0)

// The link's pause is replaced by one that counts its calls and sleeps the
// given time multiplied by the scale (1 by default; 0 makes look-ups fast).
int DelayCalls();
void SetDelayScale(double scale);

using Bytes = std::vector<unsigned char>;
Bytes Le32Bytes(std::uint32_t v);
std::string Hex(const Bytes& b);

// One request as it arrived on the wire.
struct RawRequest {
    std::uint32_t type;
    Bytes record;
};

// Sends one request over a fresh raw connection to `name`. Returns the
// reply's length (>= 0) with its bytes in *reply, or -1 when nobody serves the
// name or the connection closed before a reply.
int RawSend(const std::string& name, std::uint32_t type, const Bytes& record, Bytes* reply);
// The same with the whole packet given (type included).
int RawSendPacket(const std::string& name, const Bytes& packet, Bytes* reply);

// A peer serving `name` on raw sockets in a thread of its own. For every
// request it calls the reply function, which returns the reply packet, or
// says to close the connection unanswered (closeInstead), to shut its
// writing side unanswered and keep it open (shutWriteInstead), to close it
// right after the reply (closeAfterReply), or never to answer and keep the
// connection (silent).
class RawPeer {
public:
    struct Answer {
        Bytes reply = Le32Bytes(0);
        bool closeInstead = false;
        bool shutWriteInstead = false;
        bool closeAfterReply = false;
        bool silent = false;
    };
    using ReplyFn = std::function<Answer(const RawRequest&)>;

    // Binds at once (so a look-up succeeds from now on); serves in a thread.
    explicit RawPeer(const std::string& name, ReplyFn fn = nullptr);
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
    ~RawPeer();
    bool Serving() const { return listenFd_ >= 0; }
    std::vector<RawRequest> Requests();
    // Connections accepted so far (a look-up is one).
    std::size_t Accepted() const { return accepted_.load(); }
    // Waits up to `seconds` for at least n requests.
    bool WaitForRequests(std::size_t n, double seconds);

private:
    void Loop();
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    ReplyFn fn_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<RawRequest> requests_;
    std::atomic<std::size_t> accepted_{0};
    std::thread thread_;
};

// A forked child process, killed and reaped when the object goes. It is also
// killed when the thread that made it ends, so that a test process that fails
// or is ended early (FinishesWithin, a crash, ctest's time limit) leaves no
// child running: make children on the test's own thread.
class Child {
public:
    explicit Child(const std::function<int()>& body);
    // Runs `argv` with standard output and error to `outFile` and standard
    // input from a pipe (see Input).
    Child(const std::vector<std::string>& argv, const std::string& outFile);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();
    pid_t Pid() const { return pid_; }
    // Waits up to `seconds` for the child to end. Returns its wait status, or
    // -1 when it still runs.
    int Wait(double seconds);
    // Writes to the child's standard input (exec'd children only).
    void Input(const std::string& text) const;
    // Closes it: the child reads the end of its input.
    void CloseInput();

private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int status_ = -1;
};

// Polls `cond` every 20 ms (of the test's clock) for up to `seconds` of real
// time, also when the test runs on a faster simulated clock.
bool Eventually(const std::function<bool()>& cond, double seconds);

// A fresh directory under $TMPDIR (or /tmp when unset is not allowed: the
// build directory). Removed with its files at exit is not attempted.
std::string TempDir();
std::string FileContent(const std::string& path);

// Runs `fn` on a thread and waits up to `seconds`; when it does not finish,
// the test process is ended as failed (a hanging wait cannot be recovered).
void FinishesWithin(double seconds, const std::function<void()>& fn, const char* what);

#endif
