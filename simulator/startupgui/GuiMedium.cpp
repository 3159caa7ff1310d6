// Taking the update medium out after the remove-medium or failure screen, at
// the updater's looks for it (inotify counts them, a lease holds the last).
#include "StartupGui.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

// The updater's wait between two looks at the medium (a header of
// constants of the simulator's).
#include "../timing/UpdaterWaits.h"

namespace startupgui {

namespace {
// The scheduling priority while the updater's looks are watched.
constexpr int kWatchNice = -10;
}  // namespace

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

namespace {

// Takes a write lease on the medium file: the next open of it (a look) is
// held until the lease is given up, and SIGIO says so. False when the file
// is open elsewhere just now or the file system has no leases.
bool Lease(MediumWatch& w)
{
    w.leased = fcntl(w.file, F_SETLEASE, F_WRLCK) == 0;
    return w.leased;
}

}  // namespace

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
    w.pullAt = static_cast<int>(std::ceil(seconds / swsim::kMediumPollWait - 1e-9));
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
        return;
    }
    // The lease for the last look is taken between two of the updater's
    // looks, which a fast clock brings 2 ms apart: on a busy host this
    // process is put before the busy ones so that it is not starved past
    // them (only a privileged process may; else it goes on as it is).
    if (w.pullAt > 1) setpriority(PRIO_PROCESS, 0, kWatchNice);
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

}  // namespace startupgui
