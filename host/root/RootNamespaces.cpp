// The namespaces of a fresh root, the environment inside it, and the way
// back to the host's root at exit in sanitizer builds.
#include "RootParts.h"
#include "Sanitizers.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace instroot {

namespace {

// False with errno set when the file cannot be opened or written whole (a
// short write counts as EIO: callers tell a missing file by ENOENT).
bool WriteProcFile(const char* path, const std::string& text) {
    ssize_t n;
    int err;
    {
        Fd fd(open(path, O_WRONLY | O_CLOEXEC));
        if (!fd.valid()) return false;
        n = write(fd.get(), text.data(), text.size());
        err = n < 0 ? errno : EIO;
    }  // closed before errno is set for the caller
    if (n == static_cast<ssize_t>(text.size())) return true;
    errno = err;
    return false;
}

}  // namespace

// New namespaces for a fresh root. As root, mount and network namespaces
// suffice; otherwise (or when root may not make them) a user namespace maps
// the caller's uid and gid to root inside.
bool MakeNamespaces(std::string* why) {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0 && unshare(CLONE_NEWNS | CLONE_NEWNET) == 0) {
        return true;
    }
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0) {
        if (errno == EINVAL) {
            return Fail(why, "cannot make namespaces: the process is not single-threaded");
        }
        return FailErrno(why, "user namespaces not permitted (unshare)");
    }
    if (!WriteProcFile("/proc/self/setgroups", "deny") && errno != ENOENT) {
        return FailErrno(why, "cannot write /proc/self/setgroups");
    }
    if (!WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n")) {
        return FailErrno(why, "cannot write /proc/self/uid_map");
    }
    if (!WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
        return FailErrno(why, "cannot write /proc/self/gid_map");
    }
    return true;
}

void SetEnvironment() {
    setenv("PATH", kRootPathVariable, 1);
    setenv("PWD", "/tmp", 1);
    setenv("TMPDIR", "/tmp", 1);
    // A process on a simulated clock (libfaketime) names its shared clock
    // state, kept in the host's /dev/shm, for its children to join. The
    // root has no such directory: a program started inside would fail to
    // join it and end. Programs inside keep the clock's settings and count
    // from their own start instead.
    unsetenv("FAKETIME_SHARED");
}

#if defined(SWU_SANITIZED)
// In a sanitizer build the process that made a root goes back to the host's
// root file system when it exits, so that the sanitizer's exit checks find
// /proc; nothing of the test runs after that.
int gHostRootAtExit = -1;

void LeaveRootAtExit() {
    if (gHostRootAtExit >= 0 && fchdir(gHostRootAtExit) == 0) {
        int ignored = chroot(".");
        (void)ignored;
    }
}

void KeepHostRootForExit(Fd* hostRoot) {
    if (gHostRootAtExit < 0 && hostRoot->valid()) {
        gHostRootAtExit = hostRoot->release();
        atexit(LeaveRootAtExit);
    }
}
#else
void KeepHostRootForExit(Fd*) {}
#endif

}  // namespace instroot
