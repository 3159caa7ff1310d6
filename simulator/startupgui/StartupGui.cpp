// startup-gui: a stand-in for the instrument's start-up GUI, for the
// simulator and the tests.
//
// It serves the start-up GUI's connector, prints one readable line for every
// request the updater makes, answers the update question (automatically or
// from standard input), can take the update medium away on the remove-medium
// and failure screens, and can send back-light, turn-off, to-front and exit
// messages to the updater. It speaks the connection wire format directly on
// sockets (4-byte little-endian type and the record per request, the reply
// record per reply), independently of the updater's connection library.
//
// See README.md for the options.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "ErrorDefinition.h"
#include "MessageId.h"
#include "SSConnectionMsg.h"
#include "WebScreen.h"

namespace {

// ---------------------------------------------------------------------------
// Options

enum class Answer { Yes, No, Never, Ask };

struct PlannedSend {
    std::string kind;  // dim-off, dim-on, turn-off, to-front, exit
    double afterSeconds;
};

struct Options {
    Answer answer = Answer::Yes;
    double answerDelay = 0;
    bool answerBeforeReply = false;
    bool interactive = false;
    double pullMedium = -1;  // < 0: never
    std::string medium = "/usbdongle/file0";
    std::uint32_t replyStatus = SS_RPLTYPE_SUCCESS;
    std::vector<PlannedSend> sends;
    std::string serveName = SS_CONNECTOR_SYSTEMSTARTUP;
    std::string updaterName = SS_CONNECTOR_SOFTWAREUPGRADE;
    std::string web;   // --web [ADDR:]PORT
    int webFd = -1;    // --web-fd N: a listening socket made by the caller
};

void Usage(FILE* out)
{
    std::fprintf(out,
                 "usage: startup-gui [options]\n"
                 "  --answer yes|no|never|ask   answer to the update question (default yes)\n"
                 "  --answer-delay SECONDS      wait before answering (default 0)\n"
                 "  --answer-before-reply       answer before replying to the question\n"
                 "  --interactive               read answers and commands from standard input\n"
                 "  --pull-medium SECONDS       take the medium away SECONDS after a\n"
                 "                              remove-medium or failure screen\n"
                 "  --medium PATH               the medium's file (default /usbdongle/file0)\n"
                 "  --reply-status N            status replied to every request (default 0)\n"
                 "  --send KIND[@SECONDS]       send dim-off, dim-on, turn-off, to-front or exit\n"
                 "                              to the updater SECONDS after the first request\n"
                 "  --web [ADDR:]PORT           show the screen as a web page (address\n"
                 "                              default 127.0.0.1); its answer and pull count\n"
                 "  --web-fd N                  the same on a listening socket made by the caller\n"
                 "  --help\n");
}

bool ParseSeconds(const char* text, double* out)
{
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 86400) {
        return false;
    }
    *out = v;
    return true;
}

bool KnownSendKind(const std::string& kind)
{
    return kind == "dim-off" || kind == "dim-on" || kind == "turn-off" || kind == "to-front" ||
           kind == "exit";
}

// Returns 0, 1 for --help, or 2 for a usage error (reported on stderr).
int ParseOptions(int argc, char** argv, Options* o)
{
    bool answerGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char** v) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "startup-gui: %s needs a value\n", a.c_str());
                return false;
            }
            *v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (a == "--help" || a == "-h") {
            return 1;
        } else if (a == "--answer") {
            if (!value(&v)) return 2;
            std::string s = v;
            if (s == "yes") o->answer = Answer::Yes;
            else if (s == "no") o->answer = Answer::No;
            else if (s == "never") o->answer = Answer::Never;
            else if (s == "ask") o->answer = Answer::Ask;
            else {
                std::fprintf(stderr, "startup-gui: unknown answer '%s'\n", v);
                return 2;
            }
            answerGiven = true;
        } else if (a == "--answer-delay") {
            if (!value(&v)) return 2;
            if (!ParseSeconds(v, &o->answerDelay)) {
                std::fprintf(stderr, "startup-gui: bad delay '%s'\n", v);
                return 2;
            }
        } else if (a == "--answer-before-reply") {
            o->answerBeforeReply = true;
        } else if (a == "--interactive") {
            o->interactive = true;
        } else if (a == "--pull-medium") {
            if (!value(&v)) return 2;
            if (!ParseSeconds(v, &o->pullMedium)) {
                std::fprintf(stderr, "startup-gui: bad delay '%s'\n", v);
                return 2;
            }
        } else if (a == "--medium") {
            if (!value(&v)) return 2;
            o->medium = v;
        } else if (a == "--reply-status") {
            if (!value(&v)) return 2;
            char* end = nullptr;
            unsigned long s = std::strtoul(v, &end, 0);
            if (end == v || *end != '\0' || s > 0xFFFFFFFFul) {
                std::fprintf(stderr, "startup-gui: bad status '%s'\n", v);
                return 2;
            }
            o->replyStatus = static_cast<std::uint32_t>(s);
        } else if (a == "--send") {
            if (!value(&v)) return 2;
            std::string s = v;
            PlannedSend p{s, 0};
            std::size_t at = s.find('@');
            if (at != std::string::npos) {
                p.kind = s.substr(0, at);
                if (!ParseSeconds(s.c_str() + at + 1, &p.afterSeconds)) {
                    std::fprintf(stderr, "startup-gui: bad delay in '%s'\n", v);
                    return 2;
                }
            }
            if (!KnownSendKind(p.kind)) {
                std::fprintf(stderr, "startup-gui: unknown message '%s'\n", p.kind.c_str());
                return 2;
            }
            o->sends.push_back(p);
        } else if (a == "--web") {
            if (!value(&v)) return 2;
            o->web = v;
        } else if (a == "--web-fd") {
            if (!value(&v)) return 2;
            char* end = nullptr;
            long fd = std::strtol(v, &end, 10);
            if (end == v || *end != '\0' || fd < 3 || fd > 65535) {
                std::fprintf(stderr, "startup-gui: bad descriptor '%s'\n", v);
                return 2;
            }
            o->webFd = static_cast<int>(fd);
        } else {
            std::fprintf(stderr, "startup-gui: unknown option '%s'\n", a.c_str());
            return 2;
        }
    }
    if (o->interactive && !answerGiven) {
        o->answer = Answer::Ask;
    }
    if (o->answer == Answer::Ask && !o->interactive) {
        o->interactive = true;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Output: one line per event, "HH:MM:SS.mmm screen content".

void Line(const char* screen, const std::string& content)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    std::printf("%02d:%02d:%02d.%03ld %-12s %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                now.tv_nsec / 1000000L, screen, content.c_str());
    std::fflush(stdout);
    startupgui::WebScreenShow(screen, content);
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

// A 17-byte text field as a quoted, escaped text (up to its terminator).
std::string Quoted(const char* field, std::size_t size)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < size && field[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '"' || c == '\\') { out += '\\'; out += static_cast<char>(c); }
        else if (c < 0x20 || c >= 0x7F) out += Format("\\x%02x", c);
        else out += static_cast<char>(c);
    }
    return out + "\"";
}

const char* Named(const char* name)
{
    return name != nullptr ? name : "unknown code";
}

// ---------------------------------------------------------------------------
// Wire format

constexpr std::size_t kMaxPacket = 4 + 65536;

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

void PutLe32(unsigned char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
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

// ---------------------------------------------------------------------------
// The stand-in's state

struct Timer {
    struct timespec due;
    std::function<void()> action;
};

// The updater's looks at the medium while it waits for its removal (each
// opens the medium file; the looks are counted from inotify's open events)
// and a lease on the file that holds the look the medium is taken out at
// until it is out. See PlanPull.
struct MediumWatch {
    int file = -1;       // the medium, open for the lease (opened before the watch is set)
    int notify = -1;     // inotify: the file's opens and closes
    int leaseSignal = -1;  // signalfd of SIGIO: a look is held by the lease
    int looks = 0;       // looks seen so far
    int pullAt = 0;      // the look the medium is taken out at
    bool leased = false;
};

struct Gui {
    Options opt;
    int sigFd = -1;              // SIGTERM and SIGINT, read through a signalfd
    unsigned stopSignal = 0;     // set once one of them has come: end now
    int listenFd = -1;
    std::vector<int> clients;
    int updaterFd = -1;          // client connection to the updater's connector
    int heldQuestionFd = -1;     // client whose question's reply is held back
    bool questionPending = false;  // a question waits for an interactive answer
    bool firstRequestSeen = false;
    bool pullScheduled = false;  // the medium will be taken out (a timer or the updater's looks)
    std::vector<Timer> timers;
    MediumWatch watch;           // the updater's looks at the medium
};

struct timespec Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

struct timespec After(double seconds)
{
    struct timespec t = Now();
    long long ns = static_cast<long long>(seconds * 1e9);
    t.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    t.tv_nsec += static_cast<long>(ns % 1000000000LL);
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

bool Before(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void Schedule(Gui& g, double seconds, std::function<void()> action)
{
    g.timers.push_back({After(seconds), std::move(action)});
}

// Takes a pending SIGTERM or SIGINT. True when one has come (now or before).
bool StopRequested(Gui& g)
{
    if (g.stopSignal == 0) {
        signalfd_siginfo info;
        if (read(g.sigFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
            g.stopSignal = info.ssi_signo;
        }
    }
    return g.stopSignal != 0;
}

// Waits until `fd` is ready for `events` or `ms` milliseconds have passed
// (-1: no limit; fd -1: just the pause), while watching for a stop signal, so
// that no wait of the stand-in outlasts SIGTERM or SIGINT. Returns 1 ready,
// 0 time is up, -1 a stop signal came.
int WaitReady(Gui& g, int fd, short events, int ms)
{
    struct timespec until = After(ms < 0 ? 0 : ms / 1000.0);
    for (;;) {
        if (StopRequested(g)) return -1;
        pollfd fds[2] = {{g.sigFd, POLLIN, 0}, {fd, events, 0}};
        int left = -1;
        if (ms >= 0) {
            struct timespec now = Now();
            long long rest = (until.tv_sec - now.tv_sec) * 1000LL + (until.tv_nsec - now.tv_nsec) / 1000000LL;
            if (rest <= 0) return 0;
            left = static_cast<int>(rest);
        }
        int n = poll(fds, fd >= 0 ? 2 : 1, left);
        if (n < 0 && errno != EINTR) return 0;
        if (n > 0 && fd >= 0 && fds[1].revents != 0) {
            return StopRequested(g) ? -1 : 1;
        }
    }
}

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

void ReleaseHeldQuestion(Gui& g)
{
    if (g.heldQuestionFd >= 0) {
        Reply(g.heldQuestionFd, g.opt.replyStatus);
        g.heldQuestionFd = -1;
    }
}

void AnswerQuestion(Gui& g, Answer a)
{
    g.questionPending = false;
    SendAnswer(g, a);
    ReleaseHeldQuestion(g);
}

// Ends the watch on the updater's looks; a look held by the lease goes on.
void EndWatch(MediumWatch& w)
{
    for (int* fd : {&w.file, &w.notify}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    w.leased = false;
    w.pullAt = 0;
}

void PullMedium(Gui& g)
{
    g.pullScheduled = false;
    if (access(g.opt.medium.c_str(), F_OK) != 0) {
        Line("medium", Format("%s is already out", g.opt.medium.c_str()));
        EndWatch(g.watch);
        return;
    }
    std::string pulled = g.opt.medium + ".pulled";
    if (rename(g.opt.medium.c_str(), pulled.c_str()) == 0 || unlink(g.opt.medium.c_str()) == 0) {
        Line("medium", Format("%s taken out", g.opt.medium.c_str()));
    } else {
        Line("medium", Format("%s could not be taken out: %s", g.opt.medium.c_str(),
                              std::strerror(errno)));
    }
    // Only now is a look held by the lease let go: it had found the medium
    // before it was taken out, the next one will not.
    EndWatch(g.watch);
}

// How often the updater looks for the medium while it waits for its removal.
constexpr double kMediumLookSeconds = 2;

// Takes a write lease on the medium file: the next open of it (a look) is
// held until the lease is given up, and SIGIO says so. False when the file
// is open elsewhere just now or the file system has no leases.
bool Lease(MediumWatch& w)
{
    w.leased = fcntl(w.file, F_SETLEASE, F_WRLCK) == 0;
    return w.leased;
}

// Takes the medium out `seconds` after the remove-medium or failure screen,
// tied to the updater's looks instead of a clock that races them: the
// updater looks right after the screen and then every 2 s, so the looks
// before `seconds` are ceil(seconds / 2). Those find the medium; it is taken
// out during the last of them, which the lease holds until it is out, so
// the next look finds it gone however late this process runs. With 0 s it
// is taken out before the screen's reply, so the first look finds it gone.
// Called before the screen is replied to. Where the file cannot be watched
// the medium is taken out by a timer, as before.
void PlanPull(Gui& g)
{
    g.pullScheduled = true;
    MediumWatch& w = g.watch;
    const double seconds = g.opt.pullMedium;
    w.pullAt = static_cast<int>(std::ceil(seconds / kMediumLookSeconds - 1e-9));
    w.looks = 0;
    if (w.pullAt <= 0) {
        PullMedium(g);
        return;
    }
    w.file = open(g.opt.medium.c_str(), O_RDONLY | O_CLOEXEC);
    // The watch is set after this process's own open, which it must not count.
    if (w.file >= 0) w.notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const bool watched = w.notify >= 0 && w.leaseSignal >= 0 &&
                         inotify_add_watch(w.notify, g.opt.medium.c_str(), IN_OPEN | IN_CLOSE_NOWRITE) >= 0;
    if (!watched || (w.pullAt == 1 && !Lease(w))) {
        EndWatch(w);
        Schedule(g, seconds, [&g] { PullMedium(g); });
    }
}

// Counts the looks inotify reports; leases the file as soon as the look
// before the last one has closed it; takes the medium out at the last look
// when the lease came too late to hold it.
void WatchLooks(Gui& g)
{
    MediumWatch& w = g.watch;
    alignas(inotify_event) char events[4096];
    ssize_t n;
    while (w.notify >= 0 && (n = read(w.notify, events, sizeof events)) > 0) {
        for (char* at = events; at < events + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + e->len;
            if ((e->mask & IN_OPEN) != 0) ++w.looks;
        }
        if (w.looks >= w.pullAt) {
            PullMedium(g);
            return;
        }
        if (w.looks == w.pullAt - 1 && !w.leased) Lease(w);
    }
}

// A look is held by the lease: the last one, as the lease is taken only
// for it.
void LookHeld(Gui& g)
{
    signalfd_siginfo info;
    while (read(g.watch.leaseSignal, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    if (g.watch.leased) PullMedium(g);
}

// The question's prompt, a line of its own like every other event.
void Prompt()
{
    Line("prompt", "answer with yes, no or never");
}

// The sends planned on the command line, timed from the first request.
void PlanSends(Gui& g)
{
    for (const PlannedSend& p : g.opt.sends) {
        std::string kind = p.kind;
        Schedule(g, p.afterSeconds, [&g, kind] { SendKind(g, kind); });
    }
}

// Shows the update question and answers it as the options say. Returns true
// when the question is replied to like any other request, false when the
// reply is held back (the question answered before its reply) or was
// already sent.
bool ShowQuestion(Gui& g, int fd, const unsigned char* rec, const std::string& note)
{
    Line("question",
         "update to version " + Quoted(reinterpret_cast<const char*>(rec + 4), 17) + "?" + note);
    if (g.opt.answer == Answer::Ask) {
        g.questionPending = true;
        Prompt();
        if (g.opt.answerBeforeReply) {
            g.heldQuestionFd = fd;
            return false;
        }
        return true;
    }
    Answer a = g.opt.answer;
    if (g.opt.answerBeforeReply) {
        g.heldQuestionFd = fd;
        if (g.opt.answerDelay <= 0) {
            AnswerQuestion(g, a);
            return false;
        }
        Schedule(g, g.opt.answerDelay, [&g, a] { AnswerQuestion(g, a); });
        return false;
    }
    Reply(fd, g.opt.replyStatus);
    Schedule(g, g.opt.answerDelay, [&g, a] { SendAnswer(g, a); });
    return false;  // already replied
}

void ShowInProgress(const unsigned char* rec, const std::string& note)
{
    std::uint32_t state = Le32(rec + 24);
    const char* name = state == SSSWNone ? "SSSWNone" : state == SSUpgrade ? "SSUpgrade"
                     : state == SSRevert ? "SSRevert" : "unknown state";
    std::string revert = state == SSRevert
                             ? " to version " + Quoted(reinterpret_cast<const char*>(rec + 4), 17)
                             : "";
    Line("in-progress",
         Format("update in progress (state %u %s)", state, name) + revert + note);
}

// Shows a message screen; the medium is taken out after the remove-medium
// and failure screens when the options say so.
void ShowMessage(Gui& g, const unsigned char* rec, const std::string& note)
{
    std::uint32_t code = Le32(rec + 4);
    std::uint32_t isSet = Le32(rec + 12);
    std::string timeout = isSet == 1 ? Format("time-out %u s", Le32(rec + 8)) : "no time-out";
    Line("message", Format("%u %s (%s)%s", code, Named(MessageIdName(static_cast<int>(code))),
                           timeout.c_str(), note.c_str()));
    if (g.opt.pullMedium >= 0 && !g.pullScheduled &&
        (code == cSWUpdateRemoveMSD || code == cSWUpdateFailedGiveUp)) {
        PlanPull(g);
    }
}

// Shows one request and answers it. Returns false when the reply is held
// back (the question answered before its reply).
bool ShowRequest(Gui& g, int fd, std::uint32_t type, const unsigned char* rec, std::size_t len)
{
    std::uint32_t op = len >= 4 ? Le32(rec) : 0;
    std::string note = op != type ? Format(" [message type %u]", type) : "";
    auto need = [&](std::size_t size, const char* name) {
        if (len >= size) return true;
        Line("bad-record", Format("%s (operation %u) of %zu bytes, %zu expected%s", name, op, len,
                                  size, note.c_str()));
        Reply(fd, SS_RPLTYPE_BADMESSAGE);
        return false;
    };
    if (!g.firstRequestSeen) {
        g.firstRequestSeen = true;
        PlanSends(g);
    }
    switch (op) {
    case SS_MSGTYPE_INSTRUMENTREADY: {
        if (!need(sizeof(SSConnectionInstrumentReadyMessage_t), "instrument-ready")) return true;
        Line("ready", "running version " + Quoted(reinterpret_cast<const char*>(rec + 4), 17) + note);
        break;
    }
    case SS_MSGTYPE_SETTIMERS: {
        if (!need(sizeof(SSConnectionSetTimersMessage_t), "set-timers")) return true;
        std::string values;
        for (std::size_t i = 0; i < 11; ++i) {
            values += Format("%s%u", i != 0 ? " " : "", Le32(rec + 4 + 4 * i));
        }
        Line("timers", Format("estimated duration %u s (values %s)%s", Le32(rec + 12),
                              values.c_str(), note.c_str()));
        break;
    }
    case SS_MSGTYPE_REQUESTSWUPGRADE: {
        if (!need(sizeof(SSConnectionRequestUpgradeMessage_t), "question")) return true;
        if (!ShowQuestion(g, fd, rec, note)) return false;
        break;
    }
    case SS_MSGTYPE_CONTINUEUPGRADE: {
        if (!need(sizeof(SSConnectionContinueUpgradeMessage_t), "in-progress")) return true;
        ShowInProgress(rec, note);
        break;
    }
    case SS_MSGTYPE_MESSAGECODE: {
        if (!need(sizeof(SSConnectionMessageTextMessage_t), "message")) return true;
        ShowMessage(g, rec, note);
        break;
    }
    case SS_MSGTYPE_ERRORCODE: {
        if (!need(sizeof(SSConnectionErrorMessage_t), "error")) return true;
        std::uint32_t code = Le32(rec + 4);
        Line("error", Format("%u %s%s", code, Named(ErrorIdName(static_cast<int>(code))), note.c_str()));
        break;
    }
    case SS_MSGTYPE_EXIT:
        Line("exit", "the updater asks the start-up GUI to exit" + note);
        break;
    default:
        Line("unknown", Format("operation %u of %zu bytes, answered %u%s", op, len,
                               static_cast<unsigned>(SS_RPLTYPE_BADMESSAGE), note.c_str()));
        Reply(fd, SS_RPLTYPE_BADMESSAGE);
        return true;
    }
    Reply(fd, g.opt.replyStatus);
    return true;
}

// Reads one request from a client. Returns false when the client has gone.
bool ServeClient(Gui& g, int fd)
{
    std::vector<unsigned char> packet(kMaxPacket + 1);
    ssize_t n = recv(fd, packet.data(), packet.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    if (n <= 0) {
        return false;
    }
    if (n < 4 || static_cast<std::size_t>(n) > kMaxPacket) {
        Line("bad-record", Format("packet of %zd bytes dropped", n));
        return false;
    }
    std::uint32_t type = Le32(packet.data());
    std::vector<unsigned char> rec(packet.begin() + 4, packet.begin() + n);
    ShowRequest(g, fd, type, rec.data(), rec.size());
    return true;
}

void Command(Gui& g, std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    if (line.empty()) {
        return;
    }
    if (line == "y" || line == "yes" || line == "n" || line == "no" || line == "never") {
        if (!g.questionPending) {
            Line("input", "no question is open");
            return;
        }
        Answer a = line[0] == 'y' ? Answer::Yes : line == "never" ? Answer::Never : Answer::No;
        AnswerQuestion(g, a);
    } else if (KnownSendKind(line)) {
        SendKind(g, line);
    } else if (line == "pull") {
        PullMedium(g);
    } else {
        Line("input", "commands: yes, no, never, dim-off, dim-on, turn-off, to-front, exit, pull");
        if (g.questionPending) Prompt();
    }
}

// Blocks SIGTERM and SIGINT into a signal descriptor, serves the connector
// and opens the web screen when asked. Returns false (the reason on standard
// error) when any of it fails.
bool SetUp(Gui& g)
{
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    g.sigFd = signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK);
    if (g.sigFd < 0) {
        std::perror("startup-gui: signalfd");
        return false;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // A lease on the medium reports a held look with SIGIO (PlanPull).
    sigset_t lease;
    sigemptyset(&lease);
    sigaddset(&lease, SIGIO);
    sigprocmask(SIG_BLOCK, &lease, nullptr);
    g.watch.leaseSignal = signalfd(-1, &lease, SFD_CLOEXEC | SFD_NONBLOCK);

    sockaddr_un addr;
    socklen_t addrLen = Address(g.opt.serveName, &addr);
    g.listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (g.listenFd < 0 || bind(g.listenFd, reinterpret_cast<sockaddr*>(&addr), addrLen) != 0 ||
        listen(g.listenFd, 8) != 0) {
        std::fprintf(stderr, "startup-gui: cannot serve %s: %s\n", g.opt.serveName.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::string webWhy;
    if ((!g.opt.web.empty() || g.opt.webFd >= 0) &&
        !startupgui::WebScreenOpen(g.opt.web, g.opt.webFd, &webWhy)) {
        std::fprintf(stderr, "startup-gui: %s\n", webWhy.c_str());
        return false;
    }
    return true;
}

// Milliseconds until the next timer is due; -1 without timers.
int PollTimeout(const Gui& g)
{
    if (g.timers.empty()) return -1;
    auto next = std::min_element(g.timers.begin(), g.timers.end(),
                                 [](const Timer& a, const Timer& b) { return Before(a.due, b.due); });
    struct timespec now = Now();
    long long ms = (next->due.tv_sec - now.tv_sec) * 1000LL +
                   (next->due.tv_nsec - now.tv_nsec) / 1000000LL + 1;
    return static_cast<int>(std::max(0LL, ms));
}

// Runs the timers that are due, in the order they were set, until a stop is
// requested.
void RunDueTimers(Gui& g)
{
    struct timespec now = Now();
    std::vector<Timer> due;
    for (auto it = g.timers.begin(); it != g.timers.end();) {
        if (!Before(now, it->due)) {
            due.push_back(std::move(*it));
            it = g.timers.erase(it);
        } else {
            ++it;
        }
    }
    for (Timer& t : due) {
        if (StopRequested(g)) break;
        t.action();
    }
}

// Reads what standard input has and runs its complete lines as commands.
// Returns false at the end of the input.
bool ReadInput(Gui& g, std::string* input)
{
    char buf[256];
    ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
    if (n <= 0) {
        if (g.questionPending) {
            Line("input", "end of input with the update question open: it stays unanswered");
        } else {
            Line("input", "end of input: no more commands are read");
        }
        return false;
    }
    input->append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = input->find('\n')) != std::string::npos && !StopRequested(g)) {
        std::string line = input->substr(0, nl + 1);
        input->erase(0, nl + 1);
        Command(g, line);
    }
    return true;
}

// Serves the clients that poll found ready (fds from `firstClient` on) and
// closes those that have gone. A client whose question is held back is only
// watched for its end.
void ServeClients(Gui& g, const std::vector<pollfd>& fds, std::size_t firstClient)
{
    std::vector<int> gone;
    for (std::size_t i = firstClient; i < fds.size(); ++i) {
        int c = fds[i].fd;
        if (fds[i].revents == 0) continue;
        if (c == g.heldQuestionFd) {
            if (fds[i].revents & (POLLHUP | POLLERR)) gone.push_back(c);
            continue;
        }
        if (!ServeClient(g, c)) gone.push_back(c);
    }
    for (int c : gone) {
        if (c == g.heldQuestionFd) {
            g.heldQuestionFd = -1;
        }
        close(c);
        g.clients.erase(std::remove(g.clients.begin(), g.clients.end(), c), g.clients.end());
    }
}

void ShutDown(Gui& g)
{
    if (g.stopSignal != 0) {
        Line("stop", Format("signal %u, ending", g.stopSignal));
    }
    startupgui::WebScreenStop();
    for (int c : g.clients) close(c);
    EndWatch(g.watch);
    if (g.watch.leaseSignal >= 0) close(g.watch.leaseSignal);
    if (g.updaterFd >= 0) close(g.updaterFd);
    close(g.listenFd);
    close(g.sigFd);
}

int Run(Gui& g)
{
    if (!SetUp(g)) return 1;
    Line("start", "serving " + g.opt.serveName);

    std::string input;
    bool stdinOpen = g.opt.interactive;
    while (!StopRequested(g)) {
        std::vector<pollfd> fds = {{g.sigFd, POLLIN, 0}, {g.listenFd, POLLIN, 0}};
        if (stdinOpen) {
            fds.push_back({STDIN_FILENO, POLLIN, 0});
        }
        const std::size_t webAt = fds.size();
        if (startupgui::WebScreenWakeFd() >= 0) {
            fds.push_back({startupgui::WebScreenWakeFd(), POLLIN, 0});
        }
        const std::size_t watchAt = fds.size();
        fds.push_back({g.watch.leaseSignal, POLLIN, 0});
        fds.push_back({g.watch.notify, POLLIN, 0});  // -1 while nothing is watched: ignored
        std::size_t firstClient = fds.size();
        for (int c : g.clients) {
            fds.push_back({c, c == g.heldQuestionFd ? short(0) : short(POLLIN), 0});
        }
        if (poll(fds.data(), fds.size(), PollTimeout(g)) < 0 && errno != EINTR) {
            std::perror("startup-gui: poll");
            return 1;
        }
        if (fds[0].revents != 0 && StopRequested(g)) {
            break;
        }
        // Timers first: a held question may be released by one.
        RunDueTimers(g);
        if (fds[1].revents & POLLIN) {
            int c = accept4(g.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                g.clients.push_back(c);
            }
        }
        if (stdinOpen && fds[2].revents != 0) {
            stdinOpen = ReadInput(g, &input);
        }
        if (webAt < watchAt && fds[webAt].revents != 0) {
            for (const std::string& c : startupgui::WebScreenTakeCommands()) Command(g, c);
        }
        if (fds[watchAt].revents != 0) LookHeld(g);
        if (fds[watchAt + 1].revents != 0) WatchLooks(g);
        ServeClients(g, fds, firstClient);
    }
    ShutDown(g);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Gui g;
    int r = ParseOptions(argc, argv, &g.opt);
    if (r == 1) {
        Usage(stdout);
        return 0;
    }
    if (r != 0) {
        Usage(stderr);
        return 2;
    }
    return Run(g);
}
