#include "Locations.h"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SimFiles.h"

// Set by the build: the trees of this build, and the private directory of
// an installation relative to its bin directory.
#ifndef SWSIM_SOURCE_DIR
#define SWSIM_SOURCE_DIR ""
#endif
#ifndef SWSIM_BUILD_DIR
#define SWSIM_BUILD_DIR ""
#endif
#ifndef SWSIM_LIBEXEC_FROM_BIN
#define SWSIM_LIBEXEC_FROM_BIN "../libexec/swsim"
#endif

namespace swsim {

Locations LocationsOf(const std::string& selfExe)
{
    Locations l;
    const std::string libexec = AbsolutePath(DirOf(selfExe) + "/" + SWSIM_LIBEXEC_FROM_BIN);
    // An installed swsim has its private directory beside it; a build-tree
    // swsim never has (the build tree has no libexec).
    if (access((libexec + "/SwUpdate").c_str(), X_OK) == 0) {
        l.installed = true;
        l.updater = libexec + "/SwUpdate";
        l.gui = libexec + "/startup-gui";
        l.boardTools = libexec + "/boardtools";
        l.waitRecorder = libexec + "/libwaitrecord.so";
        l.rootDirs = {libexec};
        return l;
    }
    const std::string build = SWSIM_BUILD_DIR;
    l.updater = build + "/SwUpdate";
    l.gui = build + "/simulator/startupgui/startup-gui";
    l.boardTools = build + "/host/boardtools";
    l.waitRecorder = build + "/host/waitrecord/libwaitrecord.so";
    l.rootDirs = {build, SWSIM_SOURCE_DIR};
    return l;
}

std::string ScratchBase(const std::string& shm, unsigned long long room)
{
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && *tmp == '/') return tmp;
    struct statfs fs {};
    if (statfs(shm.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC && access(shm.c_str(), W_OK | X_OK) == 0 &&
        static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_bsize) >= room) {
        return shm;
    }
    return "/tmp";
}

std::string NewScratchDir(const std::string& name, std::string* why)
{
    std::string base = ScratchBase();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string path = (base == "/" ? "" : base) + "/" + name + "-XXXXXX";
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        *why = "cannot make a scratch directory in " + base + ": " + std::strerror(errno);
        return "";
    }
    return buf.data();
}

}  // namespace swsim
