// libwaitrecord: a record of every pause a program asks for.
//
// Preloaded into the updater of a simulated run (and so into everything it
// starts: the shell, the board-tool stand-ins, `sleep`), it stands in front
// of the system's sleep, usleep, nanosleep and clock_nanosleep: each call
// goes on to the next library (libfaketime on the simulated clock, else the
// C library) and, when it returns, one line is written to the run's record:
//
//     PID TID NAME CALL SECONDS
//
// SECONDS is the length the program asked for, less what an interrupted
// pause left over. It is taken before libfaketime divides it by the run's
// speed, so the record holds the instrument's own lengths at every speed.
// Every program that loads the library also writes one line
// "PID TID NAME start 0" as it starts, so that a missing record can be told
// from a run without pauses.
//
// Waits for an event with a bound (poll, select, a condition variable's
// timed wait) are not recorded: how long they take depends on the event,
// not on the program.
//
// The record is a file the simulator opens and hands down: the environment
// variable SWSIM_WAIT_RECORD holds "FD:DEVICE:INODE". The library writes
// only when that descriptor is still that file (a program may have closed it
// or reused the number for a file of its own); otherwise it records nothing.
// Each line goes out with one write() on a descriptor opened for appending,
// so the lines of several processes do not mix.
//
// Built without sanitizers, exceptions and the C++ library: it is loaded
// into programs that are not sanitizer builds (the shell, the tools) and
// into those that are, where it only passes each call on to the sanitizer's
// own wrapper.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

int recordFd = -1;

void Record(const char* call, double seconds)
{
    if (recordFd < 0) return;
    const int savedErrno = errno;
    char name[64];
    snprintf(name, sizeof name, "%s", program_invocation_short_name);
    for (char* c = name; *c != '\0'; ++c) {
        if (*c == ' ' || *c == '\n' || *c == '\t') *c = '_';
    }
    if (name[0] == '\0') snprintf(name, sizeof name, "?");
    char line[160];
    const int n = snprintf(line, sizeof line, "%ld %ld %s %s %.9f\n", static_cast<long>(getpid()),
                           syscall(SYS_gettid), name, call, seconds < 0 ? 0.0 : seconds);
    if (n > 0 && static_cast<size_t>(n) < sizeof line) {
        const ssize_t written = write(recordFd, line, static_cast<size_t>(n));
        (void)written;  // a lost line cannot be reported anywhere
    }
    errno = savedErrno;
}

__attribute__((constructor)) void OpenRecord()
{
    const char* spec = getenv("SWSIM_WAIT_RECORD");
    if (spec == nullptr) return;
    int fd = -1;
    unsigned long long device = 0, inode = 0;
    if (sscanf(spec, "%d:%llu:%llu", &fd, &device, &inode) != 3 || fd < 0) return;
    struct stat st = {};
    if (fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_dev) != device ||
        static_cast<unsigned long long>(st.st_ino) != inode) {
        return;
    }
    recordFd = fd;
    Record("start", 0);
}

// The next definition of `name` after this library, libfaketime's or the C
// library's, as a function of type F. Looked up on every call: a pause
// costs far more.
template <typename F>
F* Next(const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

double SecondsOf(const timespec* t)
{
    return t == nullptr ? 0 : static_cast<double>(t->tv_sec) + static_cast<double>(t->tv_nsec) / 1e9;
}

}  // namespace

extern "C" {

unsigned int sleep(unsigned int seconds)
{
    auto* next = Next<unsigned int(unsigned int)>("sleep");
    if (next == nullptr) return seconds;
    const unsigned int left = next(seconds);
    Record("sleep", static_cast<double>(seconds - (left <= seconds ? left : 0)));
    return left;
}

int usleep(useconds_t useconds)
{
    auto* next = Next<int(useconds_t)>("usleep");
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int rc = next(useconds);
    Record("usleep", static_cast<double>(useconds) / 1e6);
    return rc;
}

int nanosleep(const timespec* requested_time, timespec* remaining)
{
    auto* next = Next<int(const timespec*, timespec*)>("nanosleep");
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    // The length is taken before the call: a caller may hand the same
    // timespec as request and remainder (to go on after an interruption),
    // and libfaketime writes the remainder, scaled to the simulated clock,
    // even when the pause ran out.
    double slept = SecondsOf(requested_time);
    const int rc = next(requested_time, remaining);
    if (rc != 0 && errno == EINTR && remaining != nullptr) slept -= SecondsOf(remaining);
    Record("nanosleep", slept);
    return rc;
}

int clock_nanosleep(clockid_t clock_id, int flags, const timespec* req, timespec* rem)
{
    auto* next = Next<int(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
    if (next == nullptr) return ENOSYS;
    // An absolute end is turned into a length on the same clock (the
    // simulated one when libfaketime is loaded).
    double length = SecondsOf(req);
    if ((flags & TIMER_ABSTIME) != 0) {
        timespec now = {};
        if (clock_gettime(clock_id, &now) == 0) length -= SecondsOf(&now);
    }
    const int rc = next(clock_id, flags, req, rem);  // req and rem may be one: see nanosleep
    if (rc == EINTR && (flags & TIMER_ABSTIME) == 0 && rem != nullptr) length -= SecondsOf(rem);
    Record("clock_nanosleep", length);
    return rc;
}

}  // extern "C"
