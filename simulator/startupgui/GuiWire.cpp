// The connection wire format, spoken directly on sockets (4-byte
// little-endian type and the record per request, the reply record per
// reply), independently of the updater's connection library; the replies
// and the messages the stand-in sends to the updater.
#include "StartupGui.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace startupgui {

namespace {

void PutLe32(unsigned char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

}  // namespace

socklen_t Address(const std::string& name, sockaddr_un* addr)
{
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof(addr->sun_path)) {
        return 0;
    }
    std::memcpy(addr->sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

std::uint32_t Le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Never waits: a client that does not read its replies must not stop the
// stand-in (a reply of the link is 4 bytes and always fits otherwise).
void Reply(int fd, std::uint32_t status)
{
    unsigned char r[4];
    PutLe32(r, status);
    if (send(fd, r, sizeof(r), MSG_NOSIGNAL | MSG_DONTWAIT) != 4) {
        Line("link", Format("reply could not be sent: %s", std::strerror(errno)));
    }
}

namespace {

// Sends one message to the updater's connector and waits for its reply.
// The connection is made on first use (retried for about 5 s while the
// updater does not serve its name yet) and made again once after a failed send.
// Every wait gives way to a stop signal, after which nothing more is sent.
void SendToUpdater(Gui& g, const char* what, std::uint32_t operation,
                   const std::vector<std::uint32_t>& fields)
{
    unsigned char packet[4 + 4 + 4 * 4];
    std::size_t len = 8 + 4 * fields.size();
    PutLe32(packet, operation);
    PutLe32(packet + 4, operation);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        PutLe32(packet + 8 + 4 * i, fields[i]);
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (g.updaterFd < 0) {
            sockaddr_un addr;
            socklen_t addrLen = Address(g.opt.updaterName, &addr);
            for (int i = 0; i < 50 && g.updaterFd < 0; ++i) {
                // Non-blocking: a full backlog of the updater's connector
                // counts as not served yet instead of blocking the connect.
                int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), addrLen) == 0) {
                    g.updaterFd = fd;
                    break;
                }
                if (fd >= 0) close(fd);
                if (WaitReady(g, -1, 0, 100) < 0) return;
            }
            if (g.updaterFd < 0) {
                Line("sent", Format("%s: the updater's connector is not served", what));
                return;
            }
        }
        ssize_t sent;
        while ((sent = send(g.updaterFd, packet, len, MSG_NOSIGNAL)) < 0 && errno == EAGAIN) {
            if (WaitReady(g, g.updaterFd, POLLOUT, -1) < 0) return;
        }
        if (sent == static_cast<ssize_t>(len)) {
            unsigned char reply[16];
            ssize_t n = -1;
            bool stopped = false;
            while (!stopped && (n = recv(g.updaterFd, reply, sizeof(reply), 0)) < 0 && errno == EAGAIN) {
                // A stop signal may come together with the reply (the
                // updater answered and ended): a reply already there is
                // still recorded, as the message did reach the updater.
                if (WaitReady(g, g.updaterFd, POLLIN, -1) < 0) stopped = true;
            }
            if (stopped) n = recv(g.updaterFd, reply, sizeof(reply), 0);
            if (n == 4) {
                Line("sent", Format("%s, reply status %u", what, Le32(reply)));
            } else if (n > 0) {
                Line("sent", Format("%s, reply of %zd bytes", what, n));
            } else {
                // The whole message went out, then the link closed (or the
                // run ended) without a reply: the updater may well have acted
                // on it (its main thread can end before its loop replies),
                // so it is recorded as sent and not sent a second time.
                Line("sent", Format("%s, no reply: the link closed", what));
                close(g.updaterFd);
                g.updaterFd = -1;
            }
            return;
        }
        close(g.updaterFd);
        g.updaterFd = -1;
        if (operation == SS_MSGTYPE_EXIT) {
            break;  // the updater may have ended before replying; do not ask again
        }
    }
    Line("sent", Format("%s: no reply from the updater", what));
}

}  // namespace

void SendAnswer(Gui& g, Answer a)
{
    std::uint32_t doUpgrade = a == Answer::Yes ? 1 : a == Answer::No ? 0 : 2;
    const char* word = a == Answer::Yes ? "yes" : a == Answer::No ? "no" : "never";
    SendToUpdater(g, Format("answer %s (doUpgrade %u)", word, doUpgrade).c_str(),
                  SS_MSGTYPE_REPLYONSWUPGRADE, {doUpgrade});
}

void SendKind(Gui& g, const std::string& kind)
{
    if (kind == "dim-off") SendToUpdater(g, "dim-off", SS_MSGTYPE_DIMSCREEN, {SSScreenOff});
    else if (kind == "dim-on") SendToUpdater(g, "dim-on", SS_MSGTYPE_DIMSCREEN, {SSScreenOn});
    else if (kind == "turn-off") SendToUpdater(g, "turn-off", SS_MSGTYPE_TURNOFF, {});
    else if (kind == "to-front") SendToUpdater(g, "to-front", SS_MSGTYPE_TOFRONT, {});
    else if (kind == "exit") SendToUpdater(g, "exit", SS_MSGTYPE_EXIT, {});
}

}  // namespace startupgui
