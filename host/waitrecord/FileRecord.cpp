// The recording of the update's file operations (FileRecord.h): what each
// process knows of its descriptors, the paths resolved, the numbered lines
// written under the lock the processes share, and the cut.
#include "FileRecord.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace filerecord {

namespace {

int recordFd = -1;
unsigned long long cutAt = 0;          // 0: no cut
Slot slots[kSlots];

}  // namespace

Shared* shared = nullptr;
unsigned long long (*busWrites)() = nullptr;

bool Inside(const char* path)
{
    static const char* const dirs[] = {"/tmp", "/usbdongle", "/instrumentData", "/log"};
    for (const char* d : dirs) {
        size_t i = 0;
        while (d[i] != '\0' && path[i] == d[i]) ++i;
        if (d[i] == '\0' && (path[i] == '\0' || path[i] == '/')) return true;
    }
    return false;
}

// `path` made absolute (against `dirfd`'s path or the working directory)
// and normal in `out`. False when it cannot be.
bool Resolve(int dirfd, const char* path, char* out)
{
    if (path == nullptr) return false;
    char whole[2 * kPathMax];
    if (path[0] == '/') {
        if (snprintf(whole, sizeof whole, "%s", path) >= static_cast<int>(sizeof whole)) return false;
    } else {
        char base[kPathMax];
        if (dirfd == AT_FDCWD) {
            if (syscall(SYS_getcwd, base, sizeof base) <= 0) return false;
        } else if (dirfd >= 0 && dirfd < kSlots && slots[dirfd].state == kPath) {
            snprintf(base, sizeof base, "%s", slots[dirfd].path);
        } else {
            return false;
        }
        if (snprintf(whole, sizeof whole, "%s/%s", base, path) >= static_cast<int>(sizeof whole)) return false;
    }
    // Components, with "." dropped and ".." taking the last one off.
    size_t length = 0;
    out[0] = '\0';
    for (const char* p = whole; *p != '\0';) {
        while (*p == '/') ++p;
        const char* end = p;
        while (*end != '\0' && *end != '/') ++end;
        const size_t n = static_cast<size_t>(end - p);
        if (n == 0 || (n == 1 && p[0] == '.')) {
        } else if (n == 2 && p[0] == '.' && p[1] == '.') {
            while (length > 0 && out[length - 1] != '/') --length;
            if (length > 0) --length;
        } else {
            if (length + n + 2 >= kPathMax) return false;
            out[length++] = '/';
            memcpy(out + length, p, n);
            length += n;
        }
        p = end;
    }
    if (length == 0) out[length++] = '/';
    out[length] = '\0';
    return true;
}

void Lock()
{
    if (shared == nullptr) return;
    while (__atomic_exchange_n(&shared->lock, 1, __ATOMIC_ACQUIRE) != 0) sched_yield();
}

void Unlock()
{
    if (shared != nullptr) __atomic_store_n(&shared->lock, 0, __ATOMIC_RELEASE);
}

// Starts the line of the next operation (the lock is held).
void Begin(Line* line, const char* op)
{
    char head[160];
    char name[64];
    snprintf(name, sizeof name, "%s", program_invocation_short_name);
    for (char* c = name; *c != '\0'; ++c) {
        if (*c <= ' ' || *c >= 0x7f) *c = '_';
    }
    timespec now = {};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    const unsigned long long bus = busWrites != nullptr ? busWrites() : shared != nullptr ? shared->bus : 0;
    const unsigned long long n = shared != nullptr ? shared->count + 1 : 0;
    snprintf(head, sizeof head, "%llu %ld %s %.6f %llu %s", n, static_cast<long>(getpid()), name[0] ? name : "?",
             static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9, bus, op);
    line->Add(head);
}

// Writes the line of an operation that was done, then, at the cut, ends
// the update's process group as a power failure would (the lock is held).
void End(Line* line)
{
    const int saved = errno;
    if (line->size < sizeof line->text) line->text[line->size++] = '\n';
    size_t done = 0;
    while (done < line->size) {
        const long n = syscall(SYS_write, recordFd, line->text + done, line->size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (shared != nullptr && ++shared->count == cutAt) {
        kill(0, SIGKILL);
        for (;;) pause();
    }
    errno = saved;
}

bool Active() { return recordFd >= 0; }

// The slot of `fd` with its path, or null when the descriptor is no file
// inside the directories.
const Slot* FileSlot(int fd)
{
    if (fd < 0 || fd >= kSlots) return nullptr;
    Slot& s = slots[fd];
    if (s.state == kOutside) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        s.state = kOutside;
        return nullptr;
    }
    if (s.state == kPath && s.dev == st.st_dev && s.ino == st.st_ino) return Inside(s.path) ? &s : nullptr;
    s.state = kOutside;   // inherited, or reused: not known here
    return nullptr;
}

void Remember(int fd, const char* path)
{
    if (fd < 0 || fd >= kSlots) return;
    Slot& s = slots[fd];
    struct stat st;
    if (path == nullptr || fstat(fd, &st) != 0) {
        s.state = kOutside;
        return;
    }
    s.state = kPath;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    if (snprintf(s.path, sizeof s.path, "%s", path) >= static_cast<int>(sizeof s.path)) s.state = kOutside;
}

void Forget(int fd)
{
    if (fd >= 0 && fd < kSlots) slots[fd].state = kUnknown;
}

void Copy(int from, int to)
{
    if (from < 0 || from >= kSlots || to < 0 || to >= kSlots || from == to) return;
    slots[to] = slots[from];
}

// The file offset of `fd` after a write of `n` bytes that ended there.
off64_t OffsetBefore(int fd, ssize_t n)
{
    const off64_t at = lseek64(fd, 0, SEEK_CUR);
    return at < 0 ? 0 : at - n;
}

namespace {

__attribute__((constructor)) void OpenFileRecord()
{
    const char* spec = getenv("SWSIM_FILE_RECORD");
    if (spec == nullptr) return;
    int fd = -1, counter = -1;
    unsigned long long device = 0, inode = 0;
    if (sscanf(spec, "%d:%llu:%llu:%d", &fd, &device, &inode, &counter) != 4 || fd < 0 || counter < 0) return;
    struct stat st = {};
    if (fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_dev) != device ||
        static_cast<unsigned long long>(st.st_ino) != inode) {
        return;
    }
    void* map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, counter, 0);
    if (map == MAP_FAILED) return;
    shared = static_cast<Shared*>(map);
    recordFd = fd;
    const char* cut = getenv("SWSIM_FILE_CUT");
    if (cut != nullptr) cutAt = strtoull(cut, nullptr, 10);
    busWrites = reinterpret_cast<unsigned long long (*)()>(dlsym(RTLD_DEFAULT, "swsim_bus_writes"));
    // The record's own descriptors are no files of the instrument.
    if (fd < kSlots) slots[fd].state = kOutside;
    if (counter < kSlots) slots[counter].state = kOutside;
}

}  // namespace

mode_t ModeOf(int flags, va_list ap)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

namespace {

// One piece of a write on a file inside the directories.
ssize_t WritePiece(const Slot* s, int fd, const void* buf, size_t n, off64_t offset, bool positioned,
                   ssize_t (*real)(int, const void*, size_t), ssize_t (*realAt)(int, const void*, size_t, off64_t))
{
    Lock();
    const ssize_t done = positioned ? realAt(fd, buf, n, offset) : real(fd, buf, n);
    if (done > 0) {
        Line line;
        Begin(&line, "write");
        line.Path(s->path);
        line.Number(static_cast<unsigned long long>(positioned ? offset : OffsetBefore(fd, done)));
        line.Bytes(buf, static_cast<size_t>(done));
        End(&line);
    }
    Unlock();
    return done;
}

}  // namespace

ssize_t WriteCommon(int fd, const void* buf, size_t count, off64_t offset, bool positioned,
                    ssize_t (*real)(int, const void*, size_t), ssize_t (*realAt)(int, const void*, size_t, off64_t))
{
    const Slot* s = Active() && count > 0 ? FileSlot(fd) : nullptr;
    if (s == nullptr) return positioned ? realAt(fd, buf, count, offset) : real(fd, buf, count);
    size_t total = 0;
    while (total < count) {
        const size_t n = count - total < kWritePiece ? count - total : kWritePiece;
        const ssize_t done = WritePiece(s, fd, static_cast<const char*>(buf) + total, n,
                                        offset + static_cast<off64_t>(total), positioned, real, realAt);
        if (done < 0) return total > 0 ? static_cast<ssize_t>(total) : done;
        total += static_cast<size_t>(done);
        // A short write (a full disk) ends it, as the call would have ended.
        // cppcheck-suppress knownConditionTrueFalse
        if (static_cast<size_t>(done) < n) break;
    }
    return static_cast<ssize_t>(total);
}

int Truncated(const char* path, off64_t length)
{
    Line line;
    Begin(&line, "truncate");
    line.Path(path);
    line.Number(static_cast<unsigned long long>(length));
    End(&line);
    return 0;
}

}  // namespace filerecord
