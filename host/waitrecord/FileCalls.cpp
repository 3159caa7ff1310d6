// The C library's calls that change files, each passed on to the next
// library and, when it succeeded on a file inside the instrument's
// directories, recorded (FileRecord.h).
//
// A program built with 64-bit offsets or times (the target's 32-bit ARM
// build) calls open64, pwrite64, __fcntl_time64 ...; one built without calls
// open, pwrite, fcntl. Both names are defined here, so the build's choice is
// undone for this file: with it, the C library's headers would rename open
// to open64 and each pair would be defined twice.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "FileRecord.h"

using namespace filerecord;

extern "C" {

#define OPEN_WRAPPER(name)                                                              \
    int name(const char* path, int flags, ...)                                           \
    {                                                                                    \
        va_list ap;                                                                      \
        va_start(ap, flags);                                                             \
        const mode_t mode = ModeOf(flags, ap);                                           \
        va_end(ap);                                                                      \
        NEXT(name, int(const char*, int, ...));                                          \
        if (real == nullptr) {                                                           \
            errno = ENOSYS;                                                              \
            return -1;                                                                   \
        }                                                                                \
        return OpenCommon(AT_FDCWD, path, flags, mode, [&] { return real(path, flags, mode); }); \
    }
#define OPENAT_WRAPPER(name)                                                             \
    int name(int dirfd, const char* path, int flags, ...)                                \
    {                                                                                    \
        va_list ap;                                                                      \
        va_start(ap, flags);                                                             \
        const mode_t mode = ModeOf(flags, ap);                                           \
        va_end(ap);                                                                      \
        NEXT(name, int(int, const char*, int, ...));                                     \
        if (real == nullptr) {                                                           \
            errno = ENOSYS;                                                              \
            return -1;                                                                   \
        }                                                                                \
        return OpenCommon(dirfd, path, flags, mode, [&] { return real(dirfd, path, flags, mode); }); \
    }

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)

// The checked variants a fortified program calls (no mode: no O_CREAT).
int __open_2(const char* path, int flags)  // NOLINT(bugprone-reserved-identifier)
{
    NEXT(__open_2, int(const char*, int));
    return OpenCommon(AT_FDCWD, path, flags, 0, [&] { return real(path, flags); });
}
int __open64_2(const char* path, int flags)  // NOLINT(bugprone-reserved-identifier)
{
    NEXT(__open64_2, int(const char*, int));
    return OpenCommon(AT_FDCWD, path, flags, 0, [&] { return real(path, flags); });
}
int __openat_2(int dirfd, const char* path, int flags)  // NOLINT(bugprone-reserved-identifier)
{
    NEXT(__openat_2, int(int, const char*, int));
    return OpenCommon(dirfd, path, flags, 0, [&] { return real(dirfd, path, flags); });
}
int __openat64_2(int dirfd, const char* path, int flags)  // NOLINT(bugprone-reserved-identifier)
{
    NEXT(__openat64_2, int(int, const char*, int));
    return OpenCommon(dirfd, path, flags, 0, [&] { return real(dirfd, path, flags); });
}

#define CREAT_WRAPPER(name, opener)                                                          \
    int name(const char* file, mode_t mode)                                                  \
    {                                                                                        \
        const char* path = file;                                                             \
        NEXT(opener, int(const char*, int, ...));                                            \
        const int flags = O_CREAT | O_WRONLY | O_TRUNC;                                      \
        return OpenCommon(AT_FDCWD, path, flags, mode, [&] { return real(path, flags, mode); }); \
    }
CREAT_WRAPPER(creat, open)
CREAT_WRAPPER(creat64, open64)

int close(int fd)
{
    NEXT(close, int(int));
    Forget(fd);
    return real(fd);
}

int dup(int fd)
{
    NEXT(dup, int(int));
    const int to = real(fd);
    if (to >= 0) Copy(fd, to);
    return to;
}

int dup2(int fd, int fd2)
{
    NEXT(dup2, int(int, int));
    const int rc = real(fd, fd2);
    if (rc >= 0) Copy(fd, rc);
    return rc;
}

int dup3(int fd, int fd2, int flags)
{
    NEXT(dup3, int(int, int, int));
    const int rc = real(fd, fd2, flags);
    if (rc >= 0) Copy(fd, rc);
    return rc;
}

#define FCNTL_WRAPPER(name)                                        \
    int name(int fd, int cmd, ...)                                 \
    {                                                              \
        va_list ap;                                                \
        va_start(ap, cmd);                                         \
        void* arg = va_arg(ap, void*);                             \
        va_end(ap);                                                \
        NEXT(name, int(int, int, ...));                            \
        const int rc = real(fd, cmd, arg);                         \
        if (rc >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)) \
            Copy(fd, rc);                                          \
        return rc;                                                 \
    }
FCNTL_WRAPPER(fcntl)
FCNTL_WRAPPER(fcntl64)
#if __TIMESIZE == 32
FCNTL_WRAPPER(__fcntl_time64)  // NOLINT(bugprone-reserved-identifier)
#endif

ssize_t write(int fd, const void* buf, size_t n)
{
    NEXT(write, ssize_t(int, const void*, size_t));
    return WriteCommon(fd, buf, n, 0, false, real, nullptr);
}

// The narrow-offset calls go through the wide ones' next definitions: the
// same call with the same offset.
ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t offset)
{
    NEXT(pwrite64, ssize_t(int, const void*, size_t, off64_t));
    return WriteCommon(fd, buf, n, offset, true, nullptr, real);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset)
{
    return pwrite64(fd, buf, n, offset);
}

ssize_t writev(int fd, const struct iovec* iovec, int count)
{
    NEXT(writev, ssize_t(int, const struct iovec*, int));
    if (!Active() || FileSlot(fd) == nullptr) return real(fd, iovec, count);
    ssize_t total = 0;
    for (int i = 0; i < count; ++i) {
        const ssize_t done = write(fd, iovec[i].iov_base, iovec[i].iov_len);
        if (done < 0) return total > 0 ? total : done;
        total += done;
        if (static_cast<size_t>(done) < iovec[i].iov_len) break;
    }
    return total;
}

ssize_t copy_file_range(int infd, off64_t* pinoff, int outfd, off64_t* poutoff, size_t length, unsigned flags)
{
    NEXT(copy_file_range, ssize_t(int, off64_t*, int, off64_t*, size_t, unsigned));
    return CopyCommon(infd, pinoff, outfd, poutoff, length,
                      [&](size_t n) { return real(infd, pinoff, outfd, poutoff, n, flags); });
}

ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count)
{
    NEXT(sendfile, ssize_t(int, int, off_t*, size_t));
    return CopyCommon(in_fd, offset, out_fd, static_cast<decltype(offset)>(nullptr), count,
                      [&](size_t n) { return real(out_fd, in_fd, offset, n); });
}

ssize_t sendfile64(int out_fd, int in_fd, off64_t* offset, size_t count)
{
    NEXT(sendfile64, ssize_t(int, int, off64_t*, size_t));
    return CopyCommon(in_fd, offset, out_fd, static_cast<decltype(offset)>(nullptr), count,
                      [&](size_t n) { return real(out_fd, in_fd, offset, n); });
}

int ftruncate64(int fd, off64_t length)
{
    NEXT(ftruncate64, int(int, off64_t));
    const Slot* s = Active() ? FileSlot(fd) : nullptr;
    if (s == nullptr) return real(fd, length);
    Lock();
    const int rc = real(fd, length);
    if (rc == 0) Truncated(s->path, length);
    Unlock();
    return rc;
}

int ftruncate(int fd, off_t length)
{
    return ftruncate64(fd, length);
}

int truncate64(const char* file, off64_t length)
{
    const char* path = file;
    NEXT(truncate64, int(const char*, off64_t));
    char size[32];
    snprintf(size, sizeof size, " %llu", static_cast<unsigned long long>(length));
    return PathOp("truncate", AT_FDCWD, path, AT_FDCWD, nullptr, size, [&] { return real(path, length); });
}

int truncate(const char* file, off_t length)
{
    return truncate64(file, length);
}

// The C library names the parameters of the rename calls old and new, which
// C++ cannot.
int rename(const char* from, const char* to)  // NOLINT(readability-inconsistent-declaration-parameter-name)
{
    NEXT(rename, int(const char*, const char*));
    return PathOp("rename", AT_FDCWD, from, AT_FDCWD, to, nullptr, [&] { return real(from, to); });
}

int renameat(int fromDir, const char* from, int toDir,  // NOLINT(readability-inconsistent-declaration-parameter-name)
             const char* to)
{
    NEXT(renameat, int(int, const char*, int, const char*));
    return PathOp("rename", fromDir, from, toDir, to, nullptr, [&] { return real(fromDir, from, toDir, to); });
}

int renameat2(int fromDir, const char* from, int toDir,  // NOLINT(readability-inconsistent-declaration-parameter-name)
              const char* to, unsigned flags)
{
    NEXT(renameat2, int(int, const char*, int, const char*, unsigned));
    return PathOp("rename", fromDir, from, toDir, to, nullptr,
                  [&] { return real(fromDir, from, toDir, to, flags); });
}

int unlink(const char* name)
{
    NEXT(unlink, int(const char*));
    return PathOp("unlink", AT_FDCWD, name, AT_FDCWD, nullptr, nullptr, [&] { return real(name); });
}

int unlinkat(int fd, const char* name, int flag)
{
    NEXT(unlinkat, int(int, const char*, int));
    return PathOp((flag & AT_REMOVEDIR) != 0 ? "rmdir" : "unlink", fd, name, AT_FDCWD, nullptr, nullptr,
                  [&] { return real(fd, name, flag); });
}

int rmdir(const char* path)
{
    NEXT(rmdir, int(const char*));
    return PathOp("rmdir", AT_FDCWD, path, AT_FDCWD, nullptr, nullptr, [&] { return real(path); });
}

int remove(const char* filename)
{
    struct stat64 st;
    if (lstat64(filename, &st) == 0 && S_ISDIR(st.st_mode)) return rmdir(filename);
    return unlink(filename);
}

int mkdir(const char* path, mode_t mode)
{
    NEXT(mkdir, int(const char*, mode_t));
    char m[16];
    snprintf(m, sizeof m, " %o", static_cast<unsigned>(mode & 07777));
    return PathOp("mkdir", AT_FDCWD, path, AT_FDCWD, nullptr, m, [&] { return real(path, mode); });
}

int mkdirat(int fd, const char* path, mode_t mode)
{
    NEXT(mkdirat, int(int, const char*, mode_t));
    char m[16];
    snprintf(m, sizeof m, " %o", static_cast<unsigned>(mode & 07777));
    return PathOp("mkdir", fd, path, AT_FDCWD, nullptr, m, [&] { return real(fd, path, mode); });
}

int symlinkat(const char* from, int tofd, const char* to)
{
    NEXT(symlinkat, int(const char*, int, const char*));
    char a[kPathMax];
    const bool inside = Active() && Resolve(tofd, to, a) && Inside(a);
    if (inside) Lock();
    // cppcheck-suppress AssignmentAddressToInteger ; real is the next symlinkat, an int function
    const int rc = real(from, tofd, to);
    if (inside && rc == 0) {
        Line line;
        Begin(&line, "symlink");
        line.Path(from);
        line.Path(a);
        End(&line);
    }
    if (inside) Unlock();
    return rc;
}

int symlink(const char* from, const char* to)
{
    return symlinkat(from, AT_FDCWD, to);
}

// The updater starts its commands here: they learn its bus writes so far.
int system(const char* command)
{
    NEXT(system, int(const char*));
    if (shared != nullptr && busWrites != nullptr) __atomic_store_n(&shared->bus, busWrites(), __ATOMIC_RELEASE);
    // cppcheck-suppress CastAddressToIntegerAtReturn ; real is the next system, an int function
    return real(command);
}

}  // extern "C"

