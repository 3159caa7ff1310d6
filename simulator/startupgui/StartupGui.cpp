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
// See README.md for the options. The parts are listed in StartupGui.h;
// this file holds the loop.
#include "StartupGui.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "WebScreen.h"

namespace startupgui {

namespace {

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

}  // namespace

void Schedule(Gui& g, double seconds, std::function<void()> action)
{
    g.timers.push_back({After(seconds), std::move(action)});
}

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

namespace {

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
        ServeClients(g, fds, firstClient);
    }
    ShutDown(g);
    return 0;
}

}  // namespace

}  // namespace startupgui

int main(int argc, char** argv)
{
    startupgui::Gui g;
    const int r = startupgui::ParseOptions(argc, argv, &g.opt);
    if (r != 0) return r == 1 ? 0 : 2;
    return startupgui::Run(g);
}
