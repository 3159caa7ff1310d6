// The parts an instrument root is built from, shared by the files that build
// it (not part of the library's interface):
//  - RootMounts.cpp: detached clones of mounts, fresh tmpfs, attaching them,
//    and the small file work on the root's own tmpfs;
//  - RootNamespaces.cpp: the namespaces of a fresh root, the environment
//    inside, the way back to the host's root at exit in sanitizer builds;
//  - RootParts.cpp: the directories bound from outside and the parts a
//    refresh replaces (writable directories, flash, fault file, record);
//  - InstrumentRoot.cpp: making, entering and refreshing a root, and running
//    a command in a new one.
#ifndef INSTRUMENT_ROOT_PARTS_H
#define INSTRUMENT_ROOT_PARTS_H

#include "Fd.h"
#include "InstrumentRoot.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace instroot {

using host::Fd;

constexpr const char* kWritableDirs[] = {"/tmp", "/usbdongle", "/instrumentData", "/log"};
constexpr const char* kHostDirs[] = {"/usr", "/bin", "/lib", "/lib64", "/etc", "/sbin"};
constexpr const char* kDevNodes[] = {"/dev/null", "/dev/zero", "/dev/random", "/dev/urandom",
                                     "/dev/tty"};
constexpr const char* kBoardTools[] = {"slay", "waitfor", "devf-s3c2400-p3",
                                       "nonblock-realtest_arm"};
constexpr const char* kMkshPaths[] = {"/usr/bin/mksh", "/bin/mksh"};
constexpr const char* kFlashPath = "/dev/norflash";
constexpr const char* kFaultsPath = "/dev/norflash.faults";
constexpr const char* kMarkerPath = "/proc/.instrument-root";
constexpr const char* kRootPathVariable = "/proc/boot:/usr/bin:/bin:/usr/sbin:/sbin";

// False, with `text` (or what and errno's text) in *why when given.
bool Fail(std::string* why, const std::string& text);
bool FailErrno(std::string* why, const std::string& what);

bool Exists(const std::string& path);

// True for a path inside one of the root's writable directories (a checkout
// under /tmp, say). Such a directory is bound after the writable directory,
// on a mount point made in it, since the writable directory would hide it.
bool InsideWritableDir(const std::string& path);

// What a clone's read-only flag becomes. kKeep: as on the source. kWritable
// is for sources inside a root, which may lie in a read-only bind there.
enum class Access { kKeep, kReadOnly, kWritable };

// Clones the mount tree at a path into a detached mount. The source's other
// flags (nosuid, nodev, noexec) are kept.
bool CloneTree(const std::string& path, Access access, Fd* out, std::string* why);
// A fresh, detached tmpfs with the given mode for its top directory.
bool NewTmpfs(const char* mode, Fd* out, std::string* why);
bool Attach(Fd& tree, const std::string& target, std::string* why);
// Removes every mount stacked on a path (none is fine).
void DetachAll(const std::string& path);
bool SetReadOnly(const char* path, bool readOnly, std::string* why);

bool MakeDirs(const std::string& path, std::string* why);
bool CreateFile(const std::string& path, const std::string& content, mode_t mode, std::string* why);
bool ReadFile(const std::string& path, std::string* content, std::string* why);
// Makes a directory of the state directory on the host when it is missing.
bool EnsureHostDir(const std::string& path, std::string* why);
bool EnsureHostFile(const std::string& path, std::string* why);

// New namespaces for a fresh root. As root, mount and network namespaces
// suffice; otherwise (or when root may not make them) a user namespace maps
// the caller's uid and gid to root inside.
bool MakeNamespaces(std::string* why);
// The environment inside a root (PATH, PWD, TMPDIR).
void SetEnvironment();
// In a sanitizer build the process that made a root goes back to the host's
// root file system (`hostRoot`) when it exits; elsewhere nothing.
void KeepHostRootForExit(Fd* hostRoot);

// A directory bound into a root at its own path.
struct ExtraDir {
    std::string path;
    bool writable;
};

// Appends the directories bound from outside that the current root's marker
// file lists.
bool MarkerDirs(std::vector<ExtraDir>* dirs, std::string* why);

// A clone of a directory bound from outside, and where it goes.
struct BoundDir {
    std::string target;
    Fd tree;
};

// Attaches directories at their paths, creating mount points as needed (a
// directory visible through its parent's bind is bound over it).
bool AttachBound(std::vector<BoundDir>* dirs, std::string* why);

// Host sources of the parts of a root that a refresh replaces too.
struct Changeables {
    Fd writable[4];
    Fd flash;
    Fd faults;
    Fd record;  // state directory's record file; none: a fresh one in the root
};

bool CloneChangeables(const InstrumentRootConfig& config, bool inRoot, Changeables* c, std::string* why);
// Attaches the changeable parts; the root's tmpfs must be writable and the
// old mounts at these places gone.
bool AttachChangeables(Changeables* c, std::string* why);

}  // namespace instroot

#endif
