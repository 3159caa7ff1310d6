/*
 * libwaitrecord: a record of every pause a program asks for.
 *
 * Preloaded into the updater of a simulated run (and so into everything it
 * starts: the shell, the board-tool stand-ins, `sleep`), it stands in front
 * of the system's sleep, usleep, nanosleep and clock_nanosleep: each call
 * goes on to the next library (libfaketime on the simulated clock, else the
 * C library) and, when it returns, one line is written to the run's record:
 *
 *     PID TID NAME CALL SECONDS
 *
 * SECONDS is the length the program asked for, less what an interrupted
 * pause left over. It is taken before libfaketime divides it by the run's
 * speed, so the record holds the instrument's own lengths at every speed.
 * Every program that loads the library also writes one line
 * "PID TID NAME start 0" as it starts, so that a missing record can be told
 * from a run without pauses.
 *
 * Waits for an event with a bound (poll, select, a condition variable's
 * timed wait) are not recorded: how long they take depends on the event,
 * not on the program.
 *
 * The record is a file the simulator opens and hands down: the environment
 * variable SWSIM_WAIT_RECORD holds "FD:DEVICE:INODE". The library writes
 * only when that descriptor is still that file (a program may have closed it
 * or reused the number for a file of its own); otherwise it records nothing.
 * Each line goes out with one write() on a descriptor opened for appending,
 * so the lines of several processes do not mix.
 *
 * Written in C and built without sanitizers: it is loaded into programs that
 * are not sanitizer builds (the shell, the tools), and into those that are,
 * where it only passes each call on to the sanitizer's own wrapper.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int recordFd = -1;

static void Record(const char* call, double seconds)
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
    const int n = snprintf(line, sizeof line, "%ld %ld %s %s %.9f\n", (long)getpid(), (long)syscall(SYS_gettid),
                           name, call, seconds < 0 ? 0.0 : seconds);
    if (n > 0 && (size_t)n < sizeof line) {
        ssize_t written = write(recordFd, line, (size_t)n);
        (void)written; /* a lost line cannot be reported anywhere */
    }
    errno = savedErrno;
}

__attribute__((constructor)) static void OpenRecord(void)
{
    const char* spec = getenv("SWSIM_WAIT_RECORD");
    if (spec == NULL) return;
    int fd = -1;
    unsigned long long device = 0, inode = 0;
    if (sscanf(spec, "%d:%llu:%llu", &fd, &device, &inode) != 3 || fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || (unsigned long long)st.st_dev != device || (unsigned long long)st.st_ino != inode) {
        return;
    }
    recordFd = fd;
    Record("start", 0);
}

/* The next definition of `name` after this library: libfaketime's or the C
 * library's. Looked up on every call: a pause costs far more. */
static void* Next(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static double SecondsOf(const struct timespec* t)
{
    return t == NULL ? 0 : (double)t->tv_sec + (double)t->tv_nsec / 1e9;
}

unsigned int sleep(unsigned int seconds)
{
    unsigned int (*next)(unsigned int) = (unsigned int (*)(unsigned int))Next("sleep");
    if (next == NULL) return seconds;
    const unsigned int left = next(seconds);
    Record("sleep", (double)seconds - (left <= seconds ? left : 0));
    return left;
}

int usleep(useconds_t microseconds)
{
    int (*next)(useconds_t) = (int (*)(useconds_t))Next("usleep");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int rc = next(microseconds);
    Record("usleep", (double)microseconds / 1e6);
    return rc;
}

int nanosleep(const struct timespec* request, struct timespec* remain)
{
    int (*next)(const struct timespec*, struct timespec*) =
        (int (*)(const struct timespec*, struct timespec*))Next("nanosleep");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int rc = next(request, remain);
    double slept = SecondsOf(request);
    if (rc != 0 && errno == EINTR && remain != NULL) slept -= SecondsOf(remain);
    Record("nanosleep", slept);
    return rc;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request, struct timespec* remain)
{
    int (*next)(clockid_t, int, const struct timespec*, struct timespec*) =
        (int (*)(clockid_t, int, const struct timespec*, struct timespec*))Next("clock_nanosleep");
    if (next == NULL) return ENOSYS;
    /* An absolute end is turned into a length on the same clock (the
     * simulated one when libfaketime is loaded). */
    double length = SecondsOf(request);
    if ((flags & TIMER_ABSTIME) != 0) {
        struct timespec now;
        if (clock_gettime(clock, &now) == 0) length -= SecondsOf(&now);
    }
    const int rc = next(clock, flags, request, remain);
    if (rc == EINTR && (flags & TIMER_ABSTIME) == 0 && remain != NULL) length -= SecondsOf(remain);
    Record("clock_nanosleep", length);
    return rc;
}
