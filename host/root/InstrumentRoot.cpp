// The instrument root: builds the private file-system view described in
// InstrumentRoot.h with the mount API that works on descriptors (open_tree,
// fsopen/fsmount, move_mount, mount_setattr).
//
// How a fresh root is made, in this order:
//  1. new mount and network namespaces (plus a user namespace that maps the
//     caller to root when not started as root), all mounts made private so
//     nothing propagates back to the host;
//  2. every host source (directories, device nodes, mksh, flash, state
//     directories) is cloned into a detached mount while the host's paths
//     are still visible;
//  3. a fresh tmpfs is attached over "/" and entered with chroot; the clones
//     are attached at their places in it;
//  4. the tmpfs itself is made read-only, so only the writable directories
//     and the board tools' record can be changed from inside.
// Read-only clones keep whatever flags the host mount had (nosuid, nodev,
// noexec): mount_setattr only adds the read-only flag, which is why no
// remount is needed and why this also works inside a user namespace.
#include "InstrumentRoot.h"
#include "Sanitizers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef SWU_BOARDTOOLS_DIR
#define SWU_BOARDTOOLS_DIR ""
#endif
#ifndef SWU_ROOT_SOURCE_DIR
#define SWU_ROOT_SOURCE_DIR ""
#endif
#ifndef SWU_ROOT_BUILD_DIR
#define SWU_ROOT_BUILD_DIR ""
#endif

namespace {

// A file descriptor that is closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

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

bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr) {
        *why = text;
    }
    return false;
}

bool FailErrno(std::string* why, const std::string& what) {
    return Fail(why, what + ": " + std::strerror(errno));
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// True for a path inside one of the root's writable directories (a checkout
// under /tmp, say). Such a directory is bound after the writable directory,
// on a mount point made in it, since the writable directory would hide it.
bool InsideWritableDir(const std::string& path) {
    for (const char* dir : kWritableDirs) {
        const size_t n = std::strlen(dir);
        if (path.size() > n + 1 && path.compare(0, n, dir) == 0 && path[n] == '/') {
            return true;
        }
    }
    return false;
}

// What a clone's read-only flag becomes. kKeep: as on the source. kWritable
// is for sources inside a root, which may lie in a read-only bind there.
enum class Access { kKeep, kReadOnly, kWritable };

// Clones the mount tree at a path into a detached mount. The source's other
// flags (nosuid, nodev, noexec) are kept.
bool CloneTree(const std::string& path, Access access, Fd* out, std::string* why) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return FailErrno(why, "cannot find " + path);
    }
    unsigned flags = OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC;
    if (S_ISDIR(st.st_mode)) {
        flags |= AT_RECURSIVE;
    }
    Fd tree(open_tree(AT_FDCWD, path.c_str(), flags));
    if (!tree.valid()) {
        return FailErrno(why, "cannot clone mount of " + path);
    }
    if (access != Access::kKeep) {
        struct mount_attr attr;
        std::memset(&attr, 0, sizeof attr);
        if (access == Access::kReadOnly) {
            attr.attr_set = MOUNT_ATTR_RDONLY;
        } else {
            attr.attr_clr = MOUNT_ATTR_RDONLY;
        }
        if (mount_setattr(tree.get(), "", AT_EMPTY_PATH | AT_RECURSIVE, &attr, sizeof attr) !=
            0) {
            return FailErrno(why, std::string("cannot make ") +
                                      (access == Access::kReadOnly ? "read-only" : "writable") +
                                      " mount of " + path);
        }
    }
    *out = std::move(tree);
    return true;
}

// A fresh, detached tmpfs with the given mode for its top directory.
bool NewTmpfs(const char* mode, Fd* out, std::string* why) {
    Fd context(fsopen("tmpfs", FSOPEN_CLOEXEC));
    if (!context.valid()) {
        return FailErrno(why, "cannot create tmpfs");
    }
    if (fsconfig(context.get(), FSCONFIG_SET_STRING, "mode", mode, 0) != 0 ||
        fsconfig(context.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
        return FailErrno(why, "cannot configure tmpfs");
    }
    Fd mount(fsmount(context.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV));
    if (!mount.valid()) {
        return FailErrno(why, "cannot mount tmpfs");
    }
    *out = std::move(mount);
    return true;
}

bool Attach(Fd& tree, const std::string& target, std::string* why) {
    if (move_mount(tree.get(), "", AT_FDCWD, target.c_str(), MOVE_MOUNT_F_EMPTY_PATH) != 0) {
        return FailErrno(why, "cannot mount at " + target);
    }
    tree.reset();
    return true;
}

// Removes every mount stacked on a path (none is fine).
void DetachAll(const std::string& path) {
    for (int i = 0; i < 64 && umount2(path.c_str(), MNT_DETACH) == 0; ++i) {
    }
}

bool SetReadOnly(const char* path, bool readOnly, std::string* why) {
    struct mount_attr attr;
    std::memset(&attr, 0, sizeof attr);
    if (readOnly) {
        attr.attr_set = MOUNT_ATTR_RDONLY;
    } else {
        attr.attr_clr = MOUNT_ATTR_RDONLY;
    }
    if (mount_setattr(AT_FDCWD, path, 0, &attr, sizeof attr) != 0) {
        return FailErrno(why, std::string("cannot change read-only flag of ") + path);
    }
    return true;
}

bool MakeDirs(const std::string& path, std::string* why) {
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string partial = path.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            return FailErrno(why, "cannot create " + partial);
        }
    }
    return true;
}

bool CreateFile(const std::string& path, const std::string& content, mode_t mode,
                std::string* why) {
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.valid()) {
        return FailErrno(why, "cannot create " + path);
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return FailErrno(why, "cannot write " + path);
        }
        done += static_cast<size_t>(n);
    }
    if (fchmod(fd.get(), mode) != 0) {
        return FailErrno(why, "cannot set mode of " + path);
    }
    return true;
}

bool ReadFile(const std::string& path, std::string* content, std::string* why) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return FailErrno(why, "cannot open " + path);
    }
    content->clear();
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return FailErrno(why, "cannot read " + path);
        }
        if (n == 0) {
            return true;
        }
        content->append(buffer, static_cast<size_t>(n));
    }
}

// Makes a directory of the state directory on the host when it is missing.
bool EnsureHostDir(const std::string& path, std::string* why) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        return FailErrno(why, "cannot create state directory " + path);
    }
    return true;
}

bool EnsureHostFile(const std::string& path, std::string* why) {
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return FailErrno(why, "cannot create " + path);
    }
    return true;
}

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

// A directory bound into a root at its own path.
struct ExtraDir {
    std::string path;
    bool writable;
};

// Appends the directories bound from outside that the current root's marker
// file lists.
bool MarkerDirs(std::vector<ExtraDir>* dirs, std::string* why) {
    std::string marker;
    if (!ReadFile(kMarkerPath, &marker, why)) {
        return false;
    }
    for (size_t start = 0, end; start < marker.size(); start = end + 1) {
        end = marker.find('\n', start);
        if (end == std::string::npos) {
            end = marker.size();
        }
        std::string line = marker.substr(start, end - start);
        if (line.rfind("ro /", 0) == 0 || line.rfind("rw /", 0) == 0) {
            dirs->push_back({line.substr(3), line[1] == 'w'});
        }
    }
    return true;
}

// A clone of a directory bound from outside, and where it goes.
struct BoundDir {
    std::string target;
    Fd tree;
};

// Attaches directories at their paths, creating mount points as needed (a
// directory visible through its parent's bind is bound over it).
bool AttachBound(std::vector<BoundDir>* dirs, std::string* why) {
    for (BoundDir& dir : *dirs) {
        if ((!Exists(dir.target) && !MakeDirs(dir.target, why)) || !Attach(dir.tree, dir.target, why)) {
            return false;
        }
    }
    return true;
}

// Host sources of the parts of a root that a refresh replaces too.
struct Changeables {
    Fd writable[4];
    Fd flash;
    Fd faults;
    Fd record;  // state directory's record file; none: a fresh one in the root
};

bool CloneChangeables(const InstrumentRootConfig& config, bool inRoot, Changeables* c,
                      std::string* why) {
    Access writable = inRoot ? Access::kWritable : Access::kKeep;
    const std::string& state = config.stateDir;
    if (!state.empty()) {
        if (!Exists(state) && !EnsureHostDir(state, why)) {
            return false;
        }
    }
    for (size_t i = 0; i < 4; ++i) {
        if (state.empty()) {
            if (!NewTmpfs(i == 0 ? "1777" : "0755", &c->writable[i], why)) {
                return false;
            }
        } else {
            std::string dir = state + kWritableDirs[i];
            if (!EnsureHostDir(dir, why) || !CloneTree(dir, writable, &c->writable[i], why)) {
                return false;
            }
        }
    }
    std::string flash = config.flashFile;
    if (flash.empty() && !state.empty() && Exists(state + "/norflash")) {
        flash = state + "/norflash";
    }
    if (!flash.empty() && !CloneTree(flash, writable, &c->flash, why)) {
        return false;
    }
    std::string faults = config.faultsFile;
    if (faults.empty() && !state.empty() && Exists(state + "/norflash.faults")) {
        faults = state + "/norflash.faults";
    }
    if (!faults.empty() && !CloneTree(faults, Access::kReadOnly, &c->faults, why)) {
        return false;
    }
    if (!state.empty()) {
        std::string record = state + "/boardtools.log";
        if (!EnsureHostFile(record, why) || !CloneTree(record, writable, &c->record, why)) {
            return false;
        }
    }
    return true;
}

// Attaches the changeable parts; the root's tmpfs must be writable and the
// old mounts at these places gone.
bool AttachChangeables(Changeables* c, std::string* why) {
    for (size_t i = 0; i < 4; ++i) {
        if (!MakeDirs(kWritableDirs[i], why) || !Attach(c->writable[i], kWritableDirs[i], why)) {
            return false;
        }
    }
    unlink(kFlashPath);
    unlink(kFaultsPath);
    if (c->flash.valid()) {
        if (!CreateFile(kFlashPath, "", 0644, why) || !Attach(c->flash, kFlashPath, why)) {
            return false;
        }
    }
    if (c->faults.valid()) {
        if (!CreateFile(kFaultsPath, "", 0644, why) || !Attach(c->faults, kFaultsPath, why)) {
            return false;
        }
    }
    if (!CreateFile(kBoardToolRecord, "", 0644, why)) {
        return false;
    }
    if (!c->record.valid()) {
        // A bind of the record onto itself is a mount of its own, which stays
        // writable when the root's tmpfs is made read-only.
        if (!CloneTree(kBoardToolRecord, Access::kWritable, &c->record, why)) {
            return false;
        }
    }
    return Attach(c->record, kBoardToolRecord, why);
}

// Makes and enters a new root. Outside a root its sources are the host's;
// inside one (inRoot) they are the current root's: its system directories,
// devices, board tools and bound directories (listed in the marker
// file), so that a root made from inside a root shares no file with it.
bool EnterFresh(const InstrumentRootConfig& config, bool inRoot, std::string* why) {
    // Everything that can be checked before touching namespaces.
    std::string mksh;
    for (const char* path : kMkshPaths) {
        if (access(path, X_OK) == 0) {
            mksh = path;
            break;
        }
    }
    if (mksh.empty()) {
        return Fail(why, "mksh is not installed (run scripts/install-deps.sh); /bin/sh of an "
                         "instrument root must be a Korn shell");
    }
    std::string toolDir = inRoot                           ? std::string("/proc/boot")
                          : !config.boardToolsDir.empty() ? config.boardToolsDir
                                                          : std::string(SWU_BOARDTOOLS_DIR);
    std::vector<std::string> tools;
    for (const char* tool : kBoardTools) {
        std::string content;
        if (toolDir.empty() || !ReadFile(toolDir + "/" + tool, &content, why)) {
            return Fail(why, "board-tool stand-in " + std::string(tool) + " not found in '" +
                                 toolDir + "' (build the project first)");
        }
        tools.push_back(content);
    }
    // Further directories bound at their own path: the caller's, and inside
    // a root also those of the current root (listed in its marker file).
    std::vector<ExtraDir> extraDirs;
    // The project's own trees, so that its programs and test data are
    // reachable whatever the caller passes.
    for (const char* dir : {SWU_ROOT_SOURCE_DIR, SWU_ROOT_BUILD_DIR}) {
        if (!inRoot && *dir == '/' && Exists(dir)) {
            extraDirs.push_back({dir, false});
        }
    }
    for (const std::string& dir : config.readOnlyDirs) {
        extraDirs.push_back({dir, false});
    }
    for (const std::string& dir : config.writableDirs) {
        extraDirs.push_back({dir, true});
    }
    if (inRoot && !MarkerDirs(&extraDirs, why)) {
        return false;
    }
    for (const ExtraDir& dir : extraDirs) {
        if (dir.path.empty() || dir.path[0] != '/') {
            return Fail(why, "directory to bind must be an absolute path: '" + dir.path + "'");
        }
    }
    // Parents before children, so that a child's bind is not hidden.
    std::sort(extraDirs.begin(), extraDirs.end(), [](const ExtraDir& a, const ExtraDir& b) {
        if (a.path.size() != b.path.size()) {
            return a.path.size() < b.path.size();
        }
        return a.path != b.path ? a.path < b.path : a.writable < b.writable;
    });
    extraDirs.erase(std::unique(extraDirs.begin(), extraDirs.end(),
                                [](const ExtraDir& a, const ExtraDir& b) {
                                    return a.path == b.path && a.writable == b.writable;
                                }),
                    extraDirs.end());
    std::string markerText = "instrument root; directories bound from outside:\n";
    for (const ExtraDir& dir : extraDirs) {
        markerText += (dir.writable ? "rw " : "ro ") + dir.path + "\n";
    }

    if (!MakeNamespaces(why)) {
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return FailErrno(why, "cannot make mounts private");
    }

    // Clone every host source while host paths are still visible.
    struct Piece {
        std::string target;
        std::string link;  // non-empty: a symbolic link to this
        Fd tree;
    };
    std::vector<Piece> hostDirs;
    for (const char* dir : kHostDirs) {
        struct stat st;
        if (lstat(dir, &st) != 0) {
            continue;
        }
        Piece piece{dir, "", Fd()};
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(dir, target, sizeof target - 1);
            if (n <= 0) {
                return FailErrno(why, std::string("cannot read link ") + dir);
            }
            piece.link.assign(target, static_cast<size_t>(n));
        } else if (!S_ISDIR(st.st_mode) || !CloneTree(dir, Access::kReadOnly, &piece.tree, why)) {
            if (!S_ISDIR(st.st_mode)) {
                continue;
            }
            return false;
        }
        hostDirs.push_back(std::move(piece));
    }
    // Directories inside a writable directory are bound after it.
    std::vector<BoundDir> extraPieces, insideWritable;
    for (const ExtraDir& dir : extraDirs) {
        BoundDir piece{dir.path, Fd()};
        Access access = !dir.writable ? Access::kReadOnly : inRoot ? Access::kWritable
                                                                    : Access::kKeep;
        if (!CloneTree(dir.path, access, &piece.tree, why)) {
            return false;
        }
        (InsideWritableDir(dir.path) ? insideWritable : extraPieces).push_back(std::move(piece));
    }
    std::vector<Piece> devices;
    for (const char* node : kDevNodes) {
        // A container may lack /dev/tty; /dev/null is needed by every shell.
        if (!Exists(node) && std::strcmp(node, "/dev/null") != 0) {
            continue;
        }
        Piece piece{node, "", Fd()};
        if (!CloneTree(node, Access::kKeep, &piece.tree, why)) {
            return false;
        }
        devices.push_back(std::move(piece));
    }
    Fd shell;
    if (!CloneTree(mksh, Access::kReadOnly, &shell, why)) {
        return false;
    }
    Changeables changeables;
    if (!CloneChangeables(config, inRoot, &changeables, why)) {
        return false;
    }

    Fd hostRoot(inRoot ? -1 : open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));

    // The root's own tmpfs, attached over "/" and entered.
    Fd root;
    if (!NewTmpfs("0755", &root, why)) {
        return false;
    }
    if (move_mount(root.get(), "", AT_FDCWD, "/", MOVE_MOUNT_F_EMPTY_PATH) != 0) {
        return FailErrno(why, "cannot attach the root file system");
    }
    if (fchdir(root.get()) != 0 || chroot(".") != 0 || chdir("/") != 0) {
        return FailErrno(why, "cannot enter the root file system");
    }

    for (Piece& piece : hostDirs) {
        if (!piece.link.empty()) {
            if (symlink(piece.link.c_str(), piece.target.c_str()) != 0) {
                return FailErrno(why, "cannot create link " + piece.target);
            }
        } else if (!MakeDirs(piece.target, why) || !Attach(piece.tree, piece.target, why)) {
            return false;
        }
    }
    if (!AttachBound(&extraPieces, why)) {
        return false;
    }
    if (!MakeDirs("/dev", why)) {
        return false;
    }
    for (Piece& piece : devices) {
        if (!CreateFile(piece.target, "", 0644, why) || !Attach(piece.tree, piece.target, why)) {
            return false;
        }
    }
    // "/bin/sh" resolves through the host's links (to dash on Debian); mksh
    // is bound over whatever file it names.
    if (access("/bin/sh", F_OK) != 0) {
        return Fail(why, "the host has no /bin/sh to replace with mksh");
    }
    if (!Attach(shell, "/bin/sh", why)) {
        return false;
    }
    if (!MakeDirs("/proc/boot", why)) {
        return false;
    }
    for (size_t i = 0; i < tools.size(); ++i) {
        if (!CreateFile(std::string("/proc/boot/") + kBoardTools[i], tools[i], 0755, why)) {
            return false;
        }
    }
    if (!CreateFile(kMarkerPath, markerText, 0444, why)) {
        return false;
    }
    if (!AttachChangeables(&changeables, why) || !AttachBound(&insideWritable, why)) {
        return false;
    }
    for (const std::string& dir : config.mountDirs) {
        if (dir.empty() || dir[0] != '/' || !MakeDirs(dir, why)) {
            return Fail(why, "cannot make the mount directory \"" + dir + "\"");
        }
    }
    if (!SetReadOnly("/", true, why)) {
        return false;
    }
    if (chdir("/tmp") != 0) {
        return FailErrno(why, "cannot change to /tmp");
    }
    SetEnvironment();
    KeepHostRootForExit(&hostRoot);
    return true;
}

// Inside a root: fresh writable directories, flash and record.
bool Refresh(const InstrumentRootConfig& config, std::string* why) {
    Changeables changeables;
    if (!CloneChangeables(config, true, &changeables, why)) {
        return false;
    }
    // Directories bound inside the writable directories go with them; their
    // clones are bound again over the fresh ones.
    std::vector<ExtraDir> bound;
    if (!MarkerDirs(&bound, why)) {
        return false;
    }
    std::vector<BoundDir> insideWritable;
    for (const ExtraDir& dir : bound) {
        if (InsideWritableDir(dir.path)) {
            BoundDir piece{dir.path, Fd()};
            if (!CloneTree(dir.path, Access::kKeep, &piece.tree, why)) {
                return false;
            }
            insideWritable.push_back(std::move(piece));
        }
    }
    if (chdir("/") != 0) {
        return FailErrno(why, "cannot change to /");
    }
    if (!SetReadOnly("/", false, why)) {
        return false;
    }
    for (const char* dir : kWritableDirs) {
        DetachAll(dir);
    }
    DetachAll(kFlashPath);
    DetachAll(kFaultsPath);
    DetachAll(kBoardToolRecord);
    bool done = AttachChangeables(&changeables, why) && AttachBound(&insideWritable, why);
    std::string roWhy;
    bool readOnly = SetReadOnly("/", true, &roWhy);
    if (done && !readOnly) {
        return Fail(why, roWhy);
    }
    if (done && chdir("/tmp") != 0) {
        return FailErrno(why, "cannot change to /tmp");
    }
    SetEnvironment();
    return done;
}

// Process that made the root this process is in (0: none). A process that
// merely inherited a root (a test started inside one by ctest, say) shares
// its namespaces with others and must not change it for them.
pid_t gRootMaker = 0;

}  // namespace

int EnterInstrumentRoot(const InstrumentRootConfig& config, std::string* why) {
    bool done;
    if (!InInstrumentRoot()) {
        done = EnterFresh(config, false, why);
    } else if (gRootMaker == getpid()) {
        done = Refresh(config, why);
    } else {
        done = EnterFresh(config, true, why);
    }
    if (done) {
        gRootMaker = getpid();
    }
    return done ? 0 : -1;
}

int RunInInstrumentRoot(const InstrumentRootConfig& config, const std::vector<std::string>& argv,
                        std::string* why) {
    if (argv.empty()) {
        Fail(why, "no command given");
        return -1;
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        FailErrno(why, "cannot create pipe");
        return -1;
    }
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        FailErrno(why, "cannot fork");
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (child == 0) {
        close(report[0]);
        std::string reason;
        bool entered = EnterFresh(config, InInstrumentRoot(), &reason);
        if (entered) {
            std::vector<char*> args;
            args.reserve(argv.size() + 1);
            for (const std::string& arg : argv) {
                args.push_back(const_cast<char*>(arg.c_str()));
            }
            args.push_back(nullptr);
            execvp(args[0], args.data());
            reason = std::string("cannot run ") + argv[0] + ": " + std::strerror(errno);
            ssize_t ignored = write(report[1], "x", 1);  // marks: root was made
            (void)ignored;
        }
        ssize_t ignored = write(report[1], reason.data(), reason.size());
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    std::string reason;
    char buffer[512];
    ssize_t n;
    while ((n = read(report[0], buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        reason.append(buffer, static_cast<size_t>(n));
    }
    close(report[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            FailErrno(why, "waitpid");
            return -1;
        }
    }
    if (!reason.empty() && reason[0] != 'x') {
        Fail(why, reason);
        return -1;
    }
    if (!reason.empty() && why != nullptr) {
        *why = reason.substr(1);  // the command could not be started: status 127
    }
    return status;
}

bool InInstrumentRoot() {
    return access(kMarkerPath, F_OK) == 0;
}
