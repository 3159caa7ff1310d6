#include "FuzzRoot.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "InstrumentRoot.h"

namespace {

// mkdir -p for an absolute path; true when the directory exists afterwards.
bool MakeDirs(const std::string& path)
{
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The host's root directory, to go back to when the process exits: the leak
// check at exit needs procfs, which a root does not have. (Only a process
// that made the root itself can go back: its root directory is a mount of
// its own namespace.)
int hostRootAtExit = -1;

void LeaveRootAtExit()
{
    if (hostRootAtExit >= 0 && fchdir(hostRootAtExit) == 0 && chroot(".") == 0)
        (void)chdir("/");
}

[[noreturn]] void Die(const std::string& why)
{
    std::fprintf(stderr, "fuzz set-up: %s\n", why.c_str());
    std::_Exit(2);
}

}  // namespace

void EnterFuzzRoot(const char* target, bool withFlash)
{
    const char* env = std::getenv("SWU_FUZZ_WORKDIR");
    const std::string work = env != nullptr && env[0] == '/' ? env : SWU_BUILD_DIR "/fuzz/work";
    if (!MakeDirs(work))
        Die("cannot make the work directory " + work + ": " + std::strerror(errno));

    InstrumentRootConfig config;
    config.readOnlyDirs = {SWU_SOURCE_DIR, SWU_BUILD_DIR};
    config.writableDirs = {work};
    std::string flash;
    if (withFlash) {
        // A sparse file of the chip's size, one per process so that parallel
        // runs do not share a chip. Removed again once the root holds it.
        flash = work + "/norflash." + target + "." + std::to_string(getpid());
        const int fd = open(flash.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ftruncate(fd, off_t{16} * 1024 * 1024) != 0)
            Die("cannot make the flash file " + flash + ": " + std::strerror(errno));
        close(fd);
        config.flashFile = flash;
    }
    if (hostRootAtExit < 0) {
        hostRootAtExit = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        std::atexit(LeaveRootAtExit);
    }
    std::string why;
    if (EnterInstrumentRoot(config, &why) != 0)
        Die("no instrument root: " + why);
    if (!flash.empty())
        unlink(flash.c_str());

    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, 1) < 0)
        Die("cannot silence standard output");
    close(null);
}

void PutFile(const std::string& path, const uint8_t* data, size_t size)
{
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash)))
        Die("cannot make the directory of " + path);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        Die("cannot write " + path + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            Die("cannot write " + path + ": " + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
    close(fd);
}

bool GetFile(const std::string& path, std::string* content)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content->clear();
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        content->append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

void FuzzFail(const char* format, ...)
{
    std::fprintf(stderr, "fuzz expectation failed: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::abort();
}
