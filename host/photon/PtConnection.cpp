// Host implementation of the named request-and-reply connections: abstract
// SOCK_SEQPACKET Unix sockets, one packet per request (4-byte little-endian
// message type, then the record) and one packet per reply.
#include "PtConnection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// Largest record a request may carry. The link's records are far smaller;
// a larger packet is refused by the sender and drops the connection on the
// server side.
constexpr std::size_t kMaxRecord = 65536;
constexpr std::size_t kTypeBytes = 4;

// How long a connector is left alone after an accept failed for want of
// descriptors or memory. The pending client stays queued and is accepted
// once the pause is over; polling the connector meanwhile would only report
// it readable again at once.
constexpr std::chrono::milliseconds kAcceptPause{100};

// Builds the abstract address of `name`. Returns its length, or 0 when the
// name does not fit.
socklen_t AbstractAddress(const char* name, sockaddr_un* addr)
{
    std::size_t n = std::strlen(name);
    if (n == 0 || n + 1 > sizeof(addr->sun_path)) {
        return 0;
    }
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    addr->sun_path[0] = '\0';
    std::memcpy(addr->sun_path + 1, name, n);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

void PutLe32(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

std::uint32_t GetLe32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

struct PtConnector {
    int fd;
    PtConnectorCallbackFunc_t* cb;
    void* data;
    // Not polled before this time (loop thread only); see kAcceptPause.
    std::chrono::steady_clock::time_point pausedUntil;
};

struct PtConnectionServer {
    int fd;
    void* data;
    std::vector<PtConnectionMsgHandler_t> handlers;
    // Atomic because a deferred reply or a destroy may come from another
    // thread than the loop's.
    std::atomic<bool> awaitingReply;  // a request was received and not yet answered
    std::atomic<bool> closed;         // destroyed; released by the loop after the event
};

struct PtConnectionClient {
    int fd;
    bool tellsEnd;        // packets carry credentials (SO_PASSCRED)
    std::mutex sendLock;  // one request and its reply at a time
};

namespace {

// The library's process-wide state. Connectors may be created from any
// thread; server connections are created, served and released on the loop
// thread only. Never destroyed, so that a loop thread still running while the
// process ends finds it intact.
struct LoopState {
    std::mutex lock;
    bool initialised = false;
    int wake[2] = {-1, -1};  // written to make the loop rebuild its poll set
    std::vector<PtConnector*> connectors;
    std::vector<PtConnectionServer*> connections;
    std::atomic<bool> quit{false};
};

LoopState& State()
{
    static LoopState* state = new LoopState;
    return *state;
}

void Wake(LoopState& s)
{
    if (s.wake[1] >= 0) {
        char c = 0;
        ssize_t r = write(s.wake[1], &c, 1);
        (void)r;  // a full pipe already wakes the loop
    }
}

void AcceptClient(LoopState& s, PtConnector* connector)
{
    int fd = accept4(connector->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            connector->pausedUntil = std::chrono::steady_clock::now() + kAcceptPause;
        }
        return;
    }
    auto* conn = new PtConnectionServer;
    conn->fd = fd;
    conn->data = connector->data;
    conn->awaitingReply = false;
    conn->closed = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.connections.push_back(conn);
    }
    if (connector->cb != nullptr) {
        connector->cb(connector, conn, connector->data);
    }
}

PtConnectionMsgFunc_t* FindHandler(const PtConnectionServer* conn, unsigned long type)
{
    PtConnectionMsgFunc_t* any = nullptr;
    for (const PtConnectionMsgHandler_t& h : conn->handlers) {
        if (h.type == type && type != 0) {
            return h.fun;
        }
        if (h.type == 0 && any == nullptr) {
            any = h.fun;
        }
    }
    return any;
}

// Receives one request on `conn` and runs its handler. A closed peer, a
// packet without a message type, an oversized packet or a type without a
// handler drops the connection: the client sees a failed send.
void ServeRequest(PtConnectionServer* conn)
{
    // The packet's length first (a peek that reports the whole length), then
    // the packet into a block of that size.
    // cppcheck-suppress nullPointer ; a peek of no bytes takes no buffer
    ssize_t n = recv(conn->fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n < static_cast<ssize_t>(kTypeBytes) || static_cast<std::size_t>(n) > kTypeBytes + kMaxRecord) {
        PtConnectionServerDestroy(conn);
        return;
    }
    std::vector<unsigned char> packet(static_cast<std::size_t>(n));
    if (recv(conn->fd, packet.data(), packet.size(), MSG_DONTWAIT) != n) {
        PtConnectionServerDestroy(conn);
        return;
    }
    unsigned long type = GetLe32(packet.data());
    PtConnectionMsgFunc_t* fun = FindHandler(conn, type);
    if (fun == nullptr) {
        PtConnectionServerDestroy(conn);
        return;
    }
    // The record gets a block of exactly its own size, so that a handler
    // reading past the record's length is caught by memory checkers.
    std::size_t len = static_cast<std::size_t>(n) - kTypeBytes;
    std::vector<unsigned char> record(packet.begin() + kTypeBytes, packet.begin() + n);
    conn->awaitingReply = true;
    unsigned replyLen = 0;
    const void* reply = fun(conn, conn->data, type, len != 0 ? record.data() : nullptr,
                            static_cast<unsigned>(len), &replyLen);
    if (conn->awaitingReply && !conn->closed && reply != nullptr) {
        PtConnectionReply(conn, replyLen, reply);
    }
}

void ReleaseClosed(LoopState& s)
{
    std::lock_guard<std::mutex> guard(s.lock);
    auto keep = std::remove_if(s.connections.begin(), s.connections.end(),
                               [](PtConnectionServer* c) {
                                   if (!c->closed) {
                                       return false;
                                   }
                                   close(c->fd);
                                   delete c;
                                   return true;
                               });
    s.connections.erase(keep, s.connections.end());
}

// Receives the reply to the request just sent. Returns its length (cut to
// `replylen`), 0 for an empty reply, or -1 with errno set when the server
// closed, shut down or broke the connection without replying.
int ReceiveReply(PtConnectionClient* connection, void* reply, std::size_t replylen)
{
    iovec io = {reply, replylen};
    // Room for the credentials only: descriptors a peer might send along do
    // not fit and are never installed (any that were are closed below).
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    // MSG_TRUNC: the result is the reply's whole length even when only
    // `replylen` bytes of it fit.
    ssize_t got;
    do {
        got = recvmsg(connection->fd, &msg, MSG_TRUNC | MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    bool packet = false;
    if (got >= 0) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                packet = true;
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                std::size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t i = 0; i < n; ++i) {
                    int fd;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                    close(fd);
                }
            }
        }
    }
    if (got < 0) {
        return -1;
    }
    if (got == 0) {
        // An empty packet brings credentials; the end of the connection (the
        // server closed it or shut its writing side) brings none. Without
        // credentials, a hang-up or a shut-down peer tells them apart.
        bool ended = !packet;
        if (!connection->tellsEnd) {
            pollfd p = {connection->fd, POLLIN | POLLRDHUP, 0};
            ended = poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0;
        }
        if (ended) {
            errno = ECONNRESET;
            return -1;
        }
        return 0;
    }
    return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(got), replylen));
}

}  // namespace

int PtInit(const char* /*display*/)
{
    LoopState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.initialised) {
        return 0;
    }
    if (pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    s.initialised = true;
    return 0;
}

void PtMainLoop(void)
{
    LoopState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.initialised) {
            return;
        }
    }
    while (!s.quit.load()) {
        // Connections awaiting a deferred reply are not read from: requests
        // over one connection are answered in order, one at a time.
        // Connectors pausing after a failed accept are left out until their
        // pause is over, which bounds the wait.
        std::vector<pollfd> fds;
        std::vector<PtConnector*> connectors;
        std::vector<PtConnectionServer*> connections;
        int timeoutMs = -1;
        {
            std::lock_guard<std::mutex> guard(s.lock);
            fds.push_back({s.wake[0], POLLIN, 0});
            const auto now = std::chrono::steady_clock::now();
            for (PtConnector* c : s.connectors) {
                if (c->pausedUntil > now) {
                    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c->pausedUntil - now);
                    int ms = static_cast<int>(left.count()) + 1;
                    timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
                    continue;
                }
                fds.push_back({c->fd, POLLIN, 0});
                connectors.push_back(c);
            }
            for (PtConnectionServer* c : s.connections) {
                if (!c->closed && !c->awaitingReply) {
                    fds.push_back({c->fd, POLLIN, 0});
                    connections.push_back(c);
                }
            }
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            char buf[64];
            while (read(s.wake[0], buf, sizeof(buf)) > 0) {
            }
        }
        std::size_t i = 1;
        for (PtConnector* c : connectors) {
            if (fds[i++].revents != 0 && !s.quit.load()) {
                AcceptClient(s, c);
            }
        }
        for (PtConnectionServer* c : connections) {
            if (fds[i++].revents != 0 && !c->closed && !s.quit.load()) {
                ServeRequest(c);
            }
        }
        ReleaseClosed(s);
    }
    s.quit.store(false);
}

void PtQuitMainLoop(void)
{
    LoopState& s = State();
    s.quit.store(true);
    std::lock_guard<std::mutex> guard(s.lock);
    Wake(s);
}

void PtExit(int status)
{
    std::fflush(nullptr);
    _exit(status);
}

PtConnector_t* PtConnectorCreate(const char* name, PtConnectorCallbackFunc_t* cb, void* data)
{
    LoopState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.initialised) {
            errno = EPERM;
            return nullptr;
        }
    }
    sockaddr_un addr;
    socklen_t addrLen = name != nullptr ? AbstractAddress(name, &addr) : 0;
    if (addrLen == 0) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), addrLen) != 0 || listen(fd, 16) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    auto* connector = new PtConnector{fd, cb, data, {}};
    std::lock_guard<std::mutex> guard(s.lock);
    s.connectors.push_back(connector);
    Wake(s);
    // cppcheck-suppress resourceLeak ; the connector owns the descriptor now
    return connector;
}

int PtConnectionAddMsgHandlers(PtConnectionServer_t* connection,
                               const PtConnectionMsgHandler_t* handlers, unsigned count)
{
    if (connection == nullptr || handlers == nullptr || connection->closed) {
        errno = EINVAL;
        return -1;
    }
    connection->handlers.insert(connection->handlers.end(), handlers, handlers + count);
    return 0;
}

int PtConnectionReply(PtConnectionServer_t* connection, std::size_t len, const void* reply)
{
    if (connection == nullptr || connection->closed || (reply == nullptr && len != 0) ||
        !connection->awaitingReply.exchange(false)) {
        errno = EINVAL;
        return -1;
    }
    // Never blocks: a client whose replies pile up unread (it sends without
    // waiting for its answers) would otherwise stop the whole event loop once
    // they fill the socket's buffer. Such a client, or one that has gone,
    // loses its connection.
    ssize_t sent;
    do {
        sent = send(connection->fd, reply, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(len)) {
        int err = sent < 0 ? errno : EMSGSIZE;
        PtConnectionServerDestroy(connection);
        errno = err;
        return -1;
    }
    LoopState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    Wake(s);  // a deferred reply makes the connection readable again
    return 0;
}

int PtConnectionServerDestroy(PtConnectionServer_t* connection)
{
    if (connection == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Shut down at once so that a blocked client learns it now; the
    // descriptor and the record are released by the loop.
    shutdown(connection->fd, SHUT_RDWR);
    connection->closed = true;
    LoopState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    Wake(s);
    return 0;
}

PtConnectionClient_t* PtConnectionFindName(const char* name, int flags, int timeout)
{
    sockaddr_un addr;
    socklen_t addrLen = name != nullptr ? AbstractAddress(name, &addr) : 0;
    if (addrLen == 0 || flags != 0 || timeout != 0) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    // Every packet received then carries the sender's credentials, which is
    // how a send tells an empty reply from the end of the connection (both
    // read as 0 bytes); see ReceiveReply.
    int on = 1;
    bool tellsEnd = setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) == 0;
    int r;
    do {
        r = connect(fd, reinterpret_cast<sockaddr*>(&addr), addrLen);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    auto* client = new PtConnectionClient;
    client->fd = fd;
    client->tellsEnd = tellsEnd;
    return client;
}

int PtConnectionSend(PtConnectionClient_t* connection, unsigned long type, const void* msg,
                     void* reply, std::size_t msglen, std::size_t replylen)
{
    if (connection == nullptr || (msg == nullptr && msglen != 0) ||
        (reply == nullptr && replylen != 0) || type > 0xFFFFFFFFul) {
        errno = EINVAL;
        return -1;
    }
    if (msglen > kMaxRecord) {
        errno = EMSGSIZE;
        return -1;
    }
    std::vector<unsigned char> packet(kTypeBytes + msglen);
    PutLe32(packet.data(), static_cast<std::uint32_t>(type));
    if (msglen != 0) {
        std::memcpy(packet.data() + kTypeBytes, msg, msglen);
    }
    std::lock_guard<std::mutex> guard(connection->sendLock);
    ssize_t sent;
    do {
        sent = send(connection->fd, packet.data(), packet.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(packet.size())) {
        return -1;
    }
    return ReceiveReply(connection, reply, replylen);
}

int PtConnectionClientDestroy(PtConnectionClient_t* connection)
{
    if (connection == nullptr) {
        errno = EINVAL;
        return -1;
    }
    close(connection->fd);
    delete connection;
    return 0;
}
