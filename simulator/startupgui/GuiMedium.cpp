// Taking the update medium out after the remove-medium or failure screen, at
// the updater's looks for it: a lease on the medium file holds each look
// until this process has counted it.
#include "StartupGui.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "Fd.h"

// The updater's wait between two looks at the medium (a header of
// constants of the simulator's).
#include "../timing/UpdaterWaits.h"

namespace startupgui {

// Ends the watch on the updater's looks; a look held by the lease goes on.
void EndWatch(MediumWatch& w)
{
    if (w.file >= 0) close(w.file);
    w.file = -1;
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

// Opens `path` and takes a write lease on it: the next open of it (a look) is
// held until the lease is given up, and SIGIO says so. -1 when the file
// cannot be opened, is open elsewhere just now, or the file system has no
// leases.
int LeasedOpen(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A copy of `from` (an open file) at `to`, with the same bytes. Read
// through the descriptor: opening the leased file again would wait on its
// own lease.
bool CopyOpenFile(int from, const std::string& to)
{
    const host::Fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return false;
    char buffer[65536];
    off_t at = 0;
    for (ssize_t n; (n = pread(from, buffer, sizeof buffer, at)) != 0; at += n) {
        if (n < 0 || write(out.get(), buffer, static_cast<size_t>(n)) != n) return false;
    }
    return true;
}

// The medium file put back as a copy of itself, leased, while the look
// held on the one it replaces waits: that look goes on with the old file
// once its lease is given up, and the next look opens the new one, whose
// lease holds it in turn. Nothing is left to a race with the updater's
// next look, however late this process runs. False (nothing changed) when
// the copy cannot be made or leased.
bool LeaseNextLook(Gui& g)
{
    MediumWatch& w = g.watch;
    const std::string next = g.opt.medium + ".next";
    if (!CopyOpenFile(w.file, next)) {
        unlink(next.c_str());
        return false;
    }
    const int fd = LeasedOpen(next);
    if (fd < 0 || rename(next.c_str(), g.opt.medium.c_str()) != 0) {
        if (fd >= 0) close(fd);
        unlink(next.c_str());
        return false;
    }
    close(w.file);  // the held look goes on
    w.file = fd;
    return true;
}

}  // namespace

// Takes the medium out `seconds` after the remove-medium or failure screen,
// tied to the updater's looks instead of a clock that races them: the
// updater looks right after the screen and then every 2 s, so the looks
// before `seconds` are ceil(seconds / 2). Those find the medium; it is taken
// out during the last of them, so the next look finds it gone. Each look is
// held by a lease on the medium file until this process has counted it
// (LookHeld). With 0 s it is taken out before the screen's reply, so the
// first look finds it gone. Called before the screen is replied to, when the
// updater has not looked yet. Where the file cannot be leased the medium is
// taken out by a timer.
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
    if (w.leaseSignal >= 0) w.file = LeasedOpen(g.opt.medium);
    w.leased = w.file >= 0;
    if (!w.leased) {
        EndWatch(w);
        Schedule(g, seconds, [&g] { PullMedium(g); });
    }
}

// A look is held by the lease: counted; the medium is taken out at the last
// look before `seconds`, and the next look is leased in turn before this
// one goes on. Where the next lease cannot be taken, the medium is taken out
// by a timer at the time left.
void LookHeld(Gui& g)
{
    signalfd_siginfo info;
    while (read(g.watch.leaseSignal, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    MediumWatch& w = g.watch;
    if (!w.leased) return;
    if (++w.looks >= w.pullAt) {
        PullMedium(g);
        return;
    }
    if (!LeaseNextLook(g)) {
        const double left = (w.pullAt - w.looks) * swsim::kMediumPollWait;
        EndWatch(w);
        Schedule(g, left, [&g] { PullMedium(g); });
    }
}

}  // namespace startupgui
