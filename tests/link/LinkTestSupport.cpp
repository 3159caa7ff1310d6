#include "LinkTestSupport.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "HostDelay.h"

// ---------------------------------------------------------------------------
// A private network namespace, entered while the process is single-threaded.

namespace {

bool WriteProcFile(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string EnterPrivateNetwork()
{
    if (getuid() == 0) {
        if (unshare(CLONE_NEWNET) == 0) {
            return "";
        }
        return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    }
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        return std::string("unshare(CLONE_NEWUSER|CLONE_NEWNET): ") + std::strerror(errno);
    }
    // Map the caller to itself so that files keep being created as the caller.
    WriteProcFile("/proc/self/setgroups", "deny");
    if (!WriteProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !WriteProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
        return std::string("user namespace id maps: ") + std::strerror(errno);
    }
    return "";
}

const std::string& NetworkProblemAtStart()
{
    static const std::string problem = EnterPrivateNetwork();
    return problem;
}

// Runs during static initialisation, before gtest starts any thread.
const bool enteredAtStart = (NetworkProblemAtStart(), true);

std::atomic<int> delayCalls{0};
std::atomic<double> delayScale{1.0};

}  // namespace

const std::string& PrivateNetworkProblem()
{
    (void)enteredAtStart;
    return NetworkProblemAtStart();
}

// The link's pause, counted.
unsigned int delay(unsigned int duration)
{
    ++delayCalls;
    double ms = duration * delayScale.load();
    if (ms > 0) {
        struct timespec t;
        t.tv_sec = static_cast<time_t>(ms / 1000);
        t.tv_nsec = static_cast<long>((ms - t.tv_sec * 1000.0) * 1e6);
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
    }
    return 0;
}

int DelayCalls()
{
    return delayCalls.load();
}

void SetDelayScale(double scale)
{
    delayScale.store(scale);
}

// ---------------------------------------------------------------------------

Bytes Le32Bytes(std::uint32_t v)
{
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

std::string Hex(const Bytes& b)
{
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof(buf), "%s%02x", (i % 4 == 0 && i != 0) ? " " : "", b[i]);
        s += buf;
    }
    return s;
}

namespace {

socklen_t Address(const std::string& name, sockaddr_un* addr)
{
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

std::uint32_t Le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

int RawSend(const std::string& name, std::uint32_t type, const Bytes& record, Bytes* reply)
{
    Bytes packet = Le32Bytes(type);
    packet.insert(packet.end(), record.begin(), record.end());
    return RawSendPacket(name, packet, reply);
}

int RawSendPacket(const std::string& name, const Bytes& packet, Bytes* reply)
{
    sockaddr_un addr;
    socklen_t len = Address(name, &addr);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    int result = -1;
    if (send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size())) {
        unsigned char buf[256];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        pollfd p = {fd, POLLIN, 0};
        bool hungUp = n == 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
        if (n >= 0 && !hungUp) {
            result = static_cast<int>(n);
            if (reply != nullptr) reply->assign(buf, buf + n);
        }
    }
    close(fd);
    return result;
}

RawPeer::RawPeer(const std::string& name, ReplyFn fn) : fn_(std::move(fn))
{
    sockaddr_un addr;
    socklen_t len = Address(name, &addr);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0) {
        if (fd >= 0) close(fd);
        return;
    }
    listenFd_ = fd;
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
        return;
    }
    thread_ = std::thread([this] { Loop(); });
}

RawPeer::~RawPeer()
{
    if (thread_.joinable()) {
        char c = 0;
        ssize_t r = write(stopPipe_[1], &c, 1);
        (void)r;
        thread_.join();
    }
    for (int fd : {listenFd_, stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0) close(fd);
    }
}

void RawPeer::Loop()
{
    std::vector<int> clients;
    for (;;) {
        std::vector<pollfd> fds = {{stopPipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (int c : clients) fds.push_back({c, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) {
            int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                clients.push_back(c);
                ++accepted_;
            }
        }
        std::vector<int> gone;
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            unsigned char buf[70000];
            ssize_t n = recv(fds[i].fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n < 4) {
                gone.push_back(fds[i].fd);
                continue;
            }
            RawRequest req{Le32(buf), Bytes(buf + 4, buf + n)};
            Answer a = fn_ ? fn_(req) : Answer{};
            {
                std::lock_guard<std::mutex> g(lock_);
                requests_.push_back(req);
            }
            arrived_.notify_all();
            if (a.closeInstead) {
                gone.push_back(fds[i].fd);
            } else if (a.silent) {
                // The request stays unanswered; the connection stays open.
            } else if (a.shutWriteInstead) {
                shutdown(fds[i].fd, SHUT_WR);
            } else {
                ssize_t s = send(fds[i].fd, a.reply.data(), a.reply.size(), MSG_NOSIGNAL);
                (void)s;
                if (a.closeAfterReply) gone.push_back(fds[i].fd);
            }
        }
        for (int c : gone) {
            close(c);
            clients.erase(std::remove(clients.begin(), clients.end(), c), clients.end());
        }
    }
    for (int c : clients) close(c);
}

std::vector<RawRequest> RawPeer::Requests()
{
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

bool RawPeer::WaitForRequests(std::size_t n, double seconds)
{
    std::unique_lock<std::mutex> g(lock_);
    return arrived_.wait_for(g, std::chrono::duration<double>(seconds),
                             [&] { return requests_.size() >= n; });
}

// ---------------------------------------------------------------------------

namespace {

// In a new child: ends it with the thread that forked it (the signal is
// sent when that thread ends; a parent already gone is checked once more).
void DieWithParent(pid_t parent)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(126);
    }
}

}  // namespace

Child::Child(const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        DieWithParent(parent);
        _exit(body());
    }
}

Child::Child(const std::vector<std::string>& argv, const std::string& outFile)
{
    // Everything the child needs is made before the fork: the test process
    // runs threads (a peer's loop), and between fork and exec only system
    // calls are safe (a lock another thread held stays held in the child).
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in[2];
    if (out < 0 || pipe2(in, O_CLOEXEC) != 0) {
        if (out >= 0) close(out);
        return;
    }
    std::fflush(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        DieWithParent(parent);
        // Standard error joins the output, so that a stand-in that cannot
        // start says why in what the test shows.
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        dup2(in[0], STDIN_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out);
    close(in[0]);
    stdinFd_ = in[1];
}

Child::~Child()
{
    if (stdinFd_ >= 0) close(stdinFd_);
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int Child::Wait(double seconds)
{
    if (status_ != -1) return status_;
    bool ended = Eventually(
        [&] {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = st;
                return true;
            }
            return false;
        },
        seconds);
    return ended ? status_ : -1;
}

void Child::Input(const std::string& text) const
{
    if (stdinFd_ >= 0) {
        ssize_t r = write(stdinFd_, text.data(), text.size());
        (void)r;
    }
}

void Child::CloseInput()
{
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
}

bool Eventually(const std::function<bool()>& cond, double seconds)
{
    // The bound is in real seconds: on a test clock that runs N times faster
    // (SWU_TEST_SPEED) it is N times as many clock seconds, so that other
    // processes on a loaded machine get the same room as in real time.
    static const double speed = [] {
        const char* text = std::getenv("SWU_TEST_SPEED");
        const double n = text != nullptr ? std::atof(text) : 1.0;
        return n >= 1.0 ? n : 1.0;
    }();
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds * speed);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string root = base != nullptr && *base != '\0' ? base : std::string(SWU_BUILD_DIR) + "/test-tmp";
    mkdir(root.c_str(), 0755);
    std::string templ = root + "/link-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        return "";
    }
    return buf.data();
}

std::string FileContent(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void FinishesWithin(double seconds, const std::function<void()>& fn, const char* what)
{
    std::atomic<bool> done{false};
    std::thread t([&] {
        fn();
        done = true;
    });
    if (!Eventually([&] { return done.load(); }, seconds)) {
        std::fprintf(stderr, "FAILED: %s did not finish within %.1f s\n", what, seconds);
        std::fflush(nullptr);
        _exit(1);
    }
    t.join();
}
