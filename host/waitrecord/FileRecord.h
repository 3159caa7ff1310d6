// The file operations of a run, recorded as they happen (part of
// libwaitrecord, active only when asked for).
//
// Preloaded into the updater and so into everything it starts (the shell
// running the scripts, cp, tar, rm, mv, mkdir), it stands in front of the C
// library's calls that change files: open, openat and creat with O_CREAT or
// O_TRUNC, write, pwrite, writev, copy_file_range, sendfile, truncate and
// ftruncate, rename, renameat, renameat2, unlink, unlinkat, rmdir, remove,
// mkdir, mkdirat, symlink, symlinkat. Each call that succeeds on a path
// inside the instrument's writable directories (/tmp, /usbdongle,
// /instrumentData, /log) becomes one numbered line of the record:
//
//     N PID NAME SECONDS BUS OP ARGS...
//
//   N        the operation's number, counted over every process of the run
//   SECONDS  the host's monotonic clock (the same in every process; not the
//            run's simulated clock, which each program counts from its own
//            start)
//   BUS      the simulated flash chip's bus writes so far (the updater's own
//            count; a program it started gets the count of the moment the
//            updater started its command)
//   OP       create PATH MODE | truncate PATH SIZE | write PATH OFFSET HEX |
//            copy PATH OFFSET SOURCE SOURCEOFFSET LENGTH | mkdir PATH MODE |
//            rmdir PATH | unlink PATH | rename FROM TO | symlink TARGET PATH
//
// Paths are absolute, resolved against the process's working directory or
// the directory descriptor of an *at call, "." and ".." taken out; bytes
// other than printable ASCII, and "%", are written %XX. A write of more than
// 16 KiB is made, and recorded, in pieces of 16 KiB; a copy in pieces of
// 64 KiB (a copy from a file inside the directories by reference, else with
// its bytes). Writes through the C library's streams (fwrite) reach the
// kernel by the library's internal calls and are not seen.
//
// The record is handed down open: SWSIM_FILE_RECORD holds
// "FD:DEVICE:INODE:COUNTERFD", the record opened for appending and a small
// file opened for reading and writing that holds the count and a lock
// shared by every process (mapped). SWSIM_FILE_CUT=N ends the run as a power
// cut right after the N-th operation: the process group of the update (the
// updater and every program it started) is killed at once.
//
// Each line goes out with one write() while the lock is held, after the
// operation it describes: the lines are in the order of the operations.
//
// This header holds the recording (FileRecord.cpp); FileCalls.cpp the
// calls it stands in front of. FileCalls.cpp is compiled with the C
// library's default offsets and times (it defines open and open64 side by
// side), the rest as the build has them: what this header shares between
// the two names its offsets, inode numbers and file status in 64 bits.
#ifndef HOST_FILE_RECORD_H
#define HOST_FILE_RECORD_H

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace filerecord {

constexpr size_t kWritePiece = size_t{16} * 1024;
constexpr size_t kCopyPiece = size_t{64} * 1024;
constexpr int kSlots = 1024;
constexpr size_t kPathMax = 512;

// The part of the counter file every process maps.
struct Shared {
    unsigned long long count;   // operations recorded so far
    unsigned long long bus;     // the updater's bus writes when it last started a command
    int lock;
};

extern Shared* shared;
// The updater's chip count, where the program has one.
extern unsigned long long (*busWrites)();

// What the process knows of a descriptor: the path it was opened with
// (resolved), and the file's identity to tell a reused number.
enum SlotState : char { kUnknown = 0, kPath, kOutside };
struct Slot {
    SlotState state;
    dev_t dev;
    ino64_t ino;
    char path[kPathMax];
};

template <typename F>
F* Next(F** cache, const char* name)
{
    F* f = __atomic_load_n(cache, __ATOMIC_RELAXED);
    if (f == nullptr) {
        f = reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(cache, f, __ATOMIC_RELAXED);
    }
    return f;
}

// The next definition of a call after this library (libfaketime's or the C
// library's), looked up once; `real` in the calling function.
#define NEXT(name, ...)                    \
    using Type_##name = __VA_ARGS__;         \
    static Type_##name* next_##name = nullptr; \
    Type_##name* real = Next<Type_##name>(&next_##name, #name)

// Whether this process records (the record was handed down to it).
bool Active();
// Whether `path` lies inside the instrument's writable directories.
bool Inside(const char* path);
// `path` made absolute (against `dirfd`'s path or the working directory)
// and normal in `out` (kPathMax bytes). False when it cannot be.
bool Resolve(int dirfd, const char* path, char* out);
// The lock every process of the run shares while it makes and records an
// operation.
void Lock();
void Unlock();

// The line under construction: a fixed buffer on the caller's stack.
struct Line {
    char text[2 * kWritePiece + 4 * kPathMax * 3];
    size_t size = 0;
    void Add(const char* s)
    {
        const size_t n = strlen(s);
        if (size + n < sizeof text) {
            memcpy(text + size, s, n);
            size += n;
        }
    }
    void Number(unsigned long long v)
    {
        char b[32];
        snprintf(b, sizeof b, " %llu", v);
        Add(b);
    }
    // One character, kept only while a line end still fits after it.
    void Put(char c)
    {
        if (size + 2 < sizeof text) text[size++] = c;
    }
    void Path(const char* p)
    {
        static const char hex[] = "0123456789abcdef";
        Put(' ');
        for (; *p != '\0'; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c <= 0x20 || c >= 0x7f || c == '%') {
                Put('%');
                Put(hex[c >> 4]);
                Put(hex[c & 15]);
            } else {
                Put(static_cast<char>(c));
            }
        }
    }
    void Bytes(const void* data, size_t n)
    {
        static const char hex[] = "0123456789abcdef";
        const auto* b = static_cast<const unsigned char*>(data);
        Put(' ');
        if (n == 0) Put('-');
        for (size_t i = 0; i < n; ++i) {
            Put(hex[b[i] >> 4]);
            Put(hex[b[i] & 15]);
        }
    }
};

// Starts the line of the next operation; writes it once the operation is
// done, and at the cut ends the update's process group (the lock is held).
void Begin(Line* line, const char* op);
void End(Line* line);
// The slot of `fd` with its path, or null when the descriptor is no file
// inside the directories.
const Slot* FileSlot(int fd);
// What the process knows of its descriptors: `fd` opened as `path` (null:
// not known), closed, duplicated.
void Remember(int fd, const char* path);
void Forget(int fd);
void Copy(int from, int to);
// The file offset of `fd` after a write of `n` bytes that ended there.
off64_t OffsetBefore(int fd, ssize_t n);
// The mode argument of an open call with `flags`.
mode_t ModeOf(int flags, va_list ap);
// A write of `count` bytes, in pieces, each recorded when `fd` is a file
// inside the directories.
ssize_t WriteCommon(int fd, const void* buf, size_t count, off64_t offset, bool positioned,
                    ssize_t (*real)(int, const void*, size_t), ssize_t (*realAt)(int, const void*, size_t, off64_t));
// Records a truncation of `path` to `length` bytes (the lock is held).
int Truncated(const char* path, off64_t length);

template <typename Call>
int OpenCommon(int dirfd, const char* path, int flags, mode_t mode, Call real)
{
    char abs[kPathMax];
    const bool known = Active() && Resolve(dirfd, path, abs);
    const bool changes = known && Inside(abs) && (flags & (O_CREAT | O_TRUNC)) != 0 && (flags & O_ACCMODE) != O_RDONLY;
    if (!changes) {
        const int fd = real();
        if (fd >= 0 && Active()) Remember(fd, known ? abs : nullptr);
        return fd;
    }
    Lock();
    struct stat64 st;
    const bool existed = fstatat64(AT_FDCWD, abs, &st, AT_SYMLINK_NOFOLLOW) == 0;
    const int fd = real();
    if (fd >= 0) {
        Remember(fd, abs);
        Line line;
        if (!existed) {
            Begin(&line, "create");
            line.Path(abs);
            char m[16];
            snprintf(m, sizeof m, " %o", static_cast<unsigned>(mode & 07777));
            line.Add(m);
            End(&line);
        } else if ((flags & O_TRUNC) != 0 && S_ISREG(st.st_mode)) {
            Begin(&line, "truncate");
            line.Path(abs);
            line.Number(0);
            End(&line);
        }
    }
    Unlock();
    return fd;
}

// A copy from `in` to `out` made by `call(length)` in pieces, each recorded
// as a copy by reference (a source inside the directories) or as a write of
// the bytes read back from the source.
template <typename Off, typename Call>
ssize_t CopyCommon(int in, const Off* inOffset, int out, const Off* outOffset, size_t length, Call call)
{
    const Slot* to = Active() && in >= 0 ? FileSlot(out) : nullptr;
    if (to == nullptr) return call(length);
    const Slot* from = FileSlot(in);
    size_t total = 0;
    while (total < length) {
        const size_t n = length - total < kCopyPiece ? length - total : kCopyPiece;
        const off64_t src = inOffset != nullptr ? static_cast<off64_t>(*inOffset) : lseek64(in, 0, SEEK_CUR);
        const off64_t dst = outOffset != nullptr ? static_cast<off64_t>(*outOffset) : lseek64(out, 0, SEEK_CUR);
        Lock();
        const ssize_t done = call(n);
        if (done > 0) {
            Line line;
            if (from != nullptr) {
                Begin(&line, "copy");
                line.Path(to->path);
                line.Number(static_cast<unsigned long long>(dst));
                line.Path(from->path);
                line.Number(static_cast<unsigned long long>(src));
                line.Number(static_cast<unsigned long long>(done));
                End(&line);
            } else {
                // Read back in write-sized pieces, each a line of its own.
                for (ssize_t at = 0; at < done;) {
                    char buf[kWritePiece];
                    const size_t want = static_cast<size_t>(done - at) < sizeof buf ? static_cast<size_t>(done - at) : sizeof buf;
                    const ssize_t got = pread(in, buf, want, src + at);
                    if (got <= 0) break;
                    Begin(&line, "write");
                    line.Path(to->path);
                    line.Number(static_cast<unsigned long long>(dst) + static_cast<unsigned long long>(at));
                    line.Bytes(buf, static_cast<size_t>(got));
                    End(&line);
                    line.size = 0;
                    at += got;
                }
            }
        }
        Unlock();
        if (done < 0) return total > 0 ? static_cast<ssize_t>(total) : done;
        total += static_cast<size_t>(done);
        if (done == 0 || static_cast<size_t>(done) < n) break;
    }
    return static_cast<ssize_t>(total);
}

// An operation on one or two paths, recorded when it succeeded and every
// path it names is inside the directories.
template <typename Call>
int PathOp(const char* op, int dirfd, const char* path, int dirfd2, const char* path2, const char* extra, Call call)
{
    char a[kPathMax], b[kPathMax];
    const bool known = Active() && Resolve(dirfd, path, a) && Inside(a) &&
                       (path2 == nullptr || (Resolve(dirfd2, path2, b) && Inside(b)));
    if (!known) return call();
    Lock();
    const int rc = call();
    if (rc == 0) {
        Line line;
        Begin(&line, op);
        line.Path(a);
        if (path2 != nullptr) line.Path(b);
        if (extra != nullptr) line.Add(extra);
        End(&line);
    }
    Unlock();
    return rc;
}

}  // namespace filerecord

#endif
