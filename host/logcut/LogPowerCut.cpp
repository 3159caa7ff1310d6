#include "LogPowerCut.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LogUtilityInternal.h"
#include "NorChip.h"

namespace logcut {

bool ParseCut(const std::string& text, CutSpec* out)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    const std::string n = text.substr(0, colon), k = text.substr(colon + 1);
    if (n.find_first_not_of("0123456789") != std::string::npos ||
        k.find_first_not_of("0123456789") != std::string::npos || n.size() > 18 || k.size() > 18) {
        return false;
    }
    CutSpec spec;
    spec.write = std::strtoull(n.c_str(), nullptr, 10);
    spec.keep = std::strtoull(k.c_str(), nullptr, 10);
    if (spec.write == 0) return false;
    *out = spec;
    return true;
}

namespace {

CutSpec cut;
int recordFd = -1;
uint64_t writes = 0;

// The name of the file in /instrumentData that `fd` refers to, by inode.
std::string NameOf(int fd)
{
    struct stat open {};
    if (fstat(fd, &open) != 0) return "?";
    DIR* dir = opendir("/instrumentData");
    if (dir == nullptr) return "?";
    std::string name = "?";
    while (const dirent* e = readdir(dir)) {
        struct stat st {};
        const std::string path = std::string("/instrumentData/") + e->d_name;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_ino == open.st_ino &&
            st.st_dev == open.st_dev) {
            name = e->d_name;
            break;
        }
    }
    closedir(dir);
    return name;
}

void Describe(int fd, const void* buf, size_t count)
{
    unsigned recordNo = 0;
    if (count >= 8) {
        const auto* b = static_cast<const unsigned char*>(buf);
        recordNo = b[4] | (b[5] << 8) | (b[6] << 16) | (static_cast<unsigned>(b[7]) << 24);
    }
    char line[512];
    const int n = std::snprintf(line, sizeof line, "log-write %llu %s %lld %zu %llu %08x\n",
                                static_cast<unsigned long long>(writes), NameOf(fd).c_str(),
                                static_cast<long long>(::lseek(fd, 0, SEEK_CUR)), count,
                                static_cast<unsigned long long>(norsim::NorChipGetStats().writes), recordNo);
    if (n > 0) (void)!::write(recordFd, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

ssize_t CutWrite(int fd, const void* buf, size_t count)
{
    ++writes;
    if (recordFd >= 0) Describe(fd, buf, count);
    if (writes == cut.write) {
        const size_t keep = cut.keep < count ? static_cast<size_t>(cut.keep) : count;
        if (keep > 0) (void)!::write(fd, buf, keep);
        raise(SIGKILL);
    }
    return ::write(fd, buf, count);
}

const LogFileIo_t cutIo = {::read, CutWrite, ::lseek};

// Installs the file calls at program start when asked to through the
// environment; the library's own calls are constant-initialised, so they are
// in place before this runs.
struct Install {
    Install()
    {
        const char* cutText = std::getenv("RECORDLOG_POWER_CUT");
        const char* fdText = std::getenv("RECORDLOG_WRITES_FD");
        bool use = false;
        if (cutText != nullptr && *cutText != '\0') {
            if (ParseCut(cutText, &cut)) {
                use = true;
            } else {
                std::fprintf(stderr, "RECORDLOG_POWER_CUT=%s is not N:K (N >= 1); ignored\n", cutText);
            }
        }
        if (fdText != nullptr && *fdText != '\0') {
            char* end = nullptr;
            const long fd = std::strtol(fdText, &end, 10);
            if (*end == '\0' && fd >= 0 && fd < 1 << 20) {
                recordFd = static_cast<int>(fd);
                use = true;
            } else {
                std::fprintf(stderr, "RECORDLOG_WRITES_FD=%s is not a descriptor; ignored\n", fdText);
            }
        }
        if (use) logSetFileIo(&cutIo);
    }
};

const Install install;

}  // namespace

}  // namespace logcut

// The simulated chip's bus writes so far, for the file operation recorder
// preloaded into the updater (host/waitrecord/FileRecord.cpp), which looks
// it up by this name: it places each file operation among the flash writing.
extern "C" __attribute__((visibility("default"))) unsigned long long swsim_bus_writes()
{
    return static_cast<unsigned long long>(norsim::NorChipGetStats().writes);
}
