// Linked into every program of the 32-bit ARM build that runs on the build
// machine under qemu-user. Two things qemu-user (as shipped with Debian 12)
// cannot do, and which the instrument root and the tests need:
//
// 1. The descriptor-based mount calls (open_tree, move_mount, fsopen,
//    fsconfig, fsmount, mount_setattr) are not implemented; they fail with
//    ENOSYS. When they do, they are carried out here with the classic mount
//    call: a "detached" tree is a mount kept in a private staging tmpfs and
//    its descriptor an O_PATH descriptor of it; attaching it moves it
//    (MS_MOVE) out of the staging area. The staging tmpfs itself sits over
//    "/" of the process's current mount namespace, where path look-ups
//    never see it, and is reached only through a descriptor, so it stays
//    usable after the process has entered a root with chroot. Where the
//    calls work (a native ARM machine, a newer qemu) they are passed on.
//
// 2. Without a binfmt_misc entry for ARM (which would be a change to the
//    machine's kernel), a program run under qemu cannot start another ARM
//    program: the kernel does not know the format. When SWU_QEMU_ARM names
//    the emulator (the emulator command of the build sets it), execve,
//    execv, execvp, posix_spawn and posix_spawnp start ARM programs through
//    it instead. ARM programs started by a shell cannot be helped this way.
//
// The programs name the cross toolchain's dynamic loader and libraries by
// absolute path (see cmake/toolchain-armhf.cmake), so qemu needs no -L
// prefix, whose path rewriting would show the instrument root a different
// /bin and /lib than the host's.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Mount calls.

enum class Kind { kTree, kTmpfsContext };

struct Staged {
    Kind kind;
    std::string name;   // entry of the staging tmpfs (kTree)
    std::string mode;   // tmpfs "mode" option (kTmpfsContext)
};

std::mutex gLock;
bool gPrivateMounts = false;       // this process made (or inherited) its own mount namespace
int gStaging = -1;                 // O_PATH descriptor of the staging tmpfs
unsigned gNextName = 0;
std::map<int, Staged> gStaged;     // by descriptor handed out

bool NotImplemented(long number) {
    errno = 0;
    long rc = syscall(number, -1, nullptr, 0, nullptr, 0);
    return rc == -1 && errno == ENOSYS;
}

bool Emulate() {
    static const bool emulate = NotImplemented(SYS_open_tree) ||
                                NotImplemented(SYS_move_mount) ||
                                NotImplemented(SYS_fsopen) ||
                                NotImplemented(SYS_mount_setattr);
    return emulate;
}

// Runs call with the working directory in the staging tmpfs, so that its
// entries can be named relative to it; the working directory is restored.
template <typename Call>
int InStaging(Call call) {
    int saved = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (saved < 0 || fchdir(gStaging) != 0) {
        int e = errno;
        if (saved >= 0) close(saved);
        errno = e;
        return -1;
    }
    int rc = call();
    int e = errno;
    int back = fchdir(saved);
    (void)back;
    close(saved);
    errno = e;
    return rc;
}

// Makes the staging tmpfs of the current mount namespace when there is none:
// mounted first on /dev (any directory would do) to get a descriptor of it,
// then moved over "/".
bool EnsureStaging() {
    if (gStaging >= 0) return true;
    // Never mount over the machine's own /dev: only in a mount namespace
    // that this process (or its parent before fork) made with unshare.
    if (!gPrivateMounts) {
        errno = EPERM;
        return false;
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700") != 0) return false;
    int fd = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        umount2("/dev", MNT_DETACH);
        return false;
    }
    gStaging = fd;
    if (InStaging([] { return mount(".", "/", nullptr, MS_MOVE, nullptr); }) != 0) {
        int e = errno;
        umount2("/dev", MNT_DETACH);
        close(fd);
        gStaging = -1;
        errno = e;
        return false;
    }
    return true;
}

std::string NewName() { return std::to_string(gNextName++); }

// Flags of an existing mount that a remount must keep.
unsigned long KeptFlags(const char* path) {
    struct statvfs st;
    if (statvfs(path, &st) != 0) return 0;
    unsigned long flags = 0;
    if (st.f_flag & ST_NOSUID) flags |= MS_NOSUID;
    if (st.f_flag & ST_NODEV) flags |= MS_NODEV;
    if (st.f_flag & ST_NOEXEC) flags |= MS_NOEXEC;
    if (st.f_flag & ST_NOATIME) flags |= MS_NOATIME;
    if (st.f_flag & ST_NODIRATIME) flags |= MS_NODIRATIME;
    if (st.f_flag & ST_RELATIME) flags |= MS_RELATIME;
    return flags;
}

int SetReadOnly(const char* path, const struct mount_attr* attr) {
    bool readOnly;
    if (attr->attr_set & MOUNT_ATTR_RDONLY) {
        readOnly = true;
    } else if (attr->attr_clr & MOUNT_ATTR_RDONLY) {
        readOnly = false;
    } else {
        return 0;
    }
    unsigned long flags = MS_REMOUNT | MS_BIND | KeptFlags(path) | (readOnly ? MS_RDONLY : 0);
    return mount(nullptr, path, nullptr, flags, nullptr);
}

int Fail(int error) {
    errno = error;
    return -1;
}

std::string Absolute(const char* path) {
    if (path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

}  // namespace

extern "C" {

int open_tree(int dirfd, const char* path, unsigned int flags) noexcept {
    if (!Emulate()) return static_cast<int>(syscall(SYS_open_tree, dirfd, path, flags));
    if (dirfd != AT_FDCWD || !(flags & OPEN_TREE_CLONE)) return Fail(EINVAL);
    std::lock_guard<std::mutex> hold(gLock);
    struct stat st;
    if (stat(path, &st) != 0 || !EnsureStaging()) return -1;
    std::string source = Absolute(path);
    std::string name = NewName();
    int made = S_ISDIR(st.st_mode) ? mkdirat(gStaging, name.c_str(), 0755)
                                   : openat(gStaging, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (made < 0) return -1;
    if (!S_ISDIR(st.st_mode)) close(made);
    unsigned long bind = MS_BIND | ((flags & AT_RECURSIVE) ? MS_REC : 0);
    if (InStaging([&] { return mount(source.c_str(), name.c_str(), nullptr, bind, nullptr); }) != 0) {
        return -1;
    }
    int fd = openat(gStaging, name.c_str(), O_PATH | O_CLOEXEC);
    if (fd >= 0) gStaged[fd] = {Kind::kTree, name, ""};
    return fd;
}

int move_mount(int fromDirfd, const char* fromPath, int toDirfd, const char* toPath,
               unsigned int flags) noexcept {
    if (!Emulate()) {
        return static_cast<int>(syscall(SYS_move_mount, fromDirfd, fromPath, toDirfd, toPath, flags));
    }
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gStaged.find(fromDirfd);
    if (!(flags & MOVE_MOUNT_F_EMPTY_PATH) || fromPath[0] != '\0' || toDirfd != AT_FDCWD ||
        it == gStaged.end() || it->second.kind != Kind::kTree) {
        return Fail(EINVAL);
    }
    std::string target = Absolute(toPath);
    std::string name = it->second.name;
    return InStaging([&] { return mount(name.c_str(), target.c_str(), nullptr, MS_MOVE, nullptr); });
}

int fsopen(const char* fsName, unsigned int flags) noexcept {
    if (!Emulate()) return static_cast<int>(syscall(SYS_fsopen, fsName, flags));
    if (std::strcmp(fsName, "tmpfs") != 0) return Fail(ENODEV);
    std::lock_guard<std::mutex> hold(gLock);
    // Any descriptor will do as the context's handle.
    int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) gStaged[fd] = {Kind::kTmpfsContext, "", ""};
    return fd;
}

int fsconfig(int fd, unsigned int command, const char* key, const void* value, int aux) noexcept {
    if (!Emulate()) return static_cast<int>(syscall(SYS_fsconfig, fd, command, key, value, aux));
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gStaged.find(fd);
    if (it == gStaged.end() || it->second.kind != Kind::kTmpfsContext) return Fail(EINVAL);
    if (command == FSCONFIG_SET_STRING && key != nullptr && std::strcmp(key, "mode") == 0) {
        it->second.mode = static_cast<const char*>(value);
        return 0;
    }
    return command == FSCONFIG_CMD_CREATE ? 0 : Fail(EINVAL);
}

int fsmount(int fd, unsigned int flags, unsigned int attrFlags) noexcept {
    if (!Emulate()) return static_cast<int>(syscall(SYS_fsmount, fd, flags, attrFlags));
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gStaged.find(fd);
    if (it == gStaged.end() || it->second.kind != Kind::kTmpfsContext) return Fail(EINVAL);
    if (!EnsureStaging()) return -1;
    std::string name = NewName();
    if (mkdirat(gStaging, name.c_str(), 0755) != 0) return -1;
    unsigned long mountFlags = 0;
    if (attrFlags & MOUNT_ATTR_RDONLY) mountFlags |= MS_RDONLY;
    if (attrFlags & MOUNT_ATTR_NOSUID) mountFlags |= MS_NOSUID;
    if (attrFlags & MOUNT_ATTR_NODEV) mountFlags |= MS_NODEV;
    if (attrFlags & MOUNT_ATTR_NOEXEC) mountFlags |= MS_NOEXEC;
    std::string options = it->second.mode.empty() ? "" : "mode=" + it->second.mode;
    if (InStaging([&] {
            return mount("tmpfs", name.c_str(), "tmpfs", mountFlags, options.c_str());
        }) != 0) {
        return -1;
    }
    int tree = openat(gStaging, name.c_str(), O_PATH | O_DIRECTORY | ((flags & FSMOUNT_CLOEXEC) ? O_CLOEXEC : 0));
    if (tree >= 0) gStaged[tree] = {Kind::kTree, name, ""};
    return tree;
}

int mount_setattr(int dirfd, const char* path, unsigned int flags, struct mount_attr* attr,
                  size_t size) noexcept {
    if (!Emulate()) return static_cast<int>(syscall(SYS_mount_setattr, dirfd, path, flags, attr, size));
    std::lock_guard<std::mutex> hold(gLock);
    if (dirfd == AT_FDCWD) return SetReadOnly(path, attr);
    auto it = gStaged.find(dirfd);
    if (!(flags & AT_EMPTY_PATH) || it == gStaged.end() || it->second.kind != Kind::kTree) {
        return Fail(EINVAL);
    }
    std::string name = it->second.name;
    return InStaging([&] { return SetReadOnly(name.c_str(), attr); });
}

// A new mount namespace has its own staging tmpfs; the old one's cannot be
// mounted on from it.
int unshare(int flags) noexcept {
    int rc = static_cast<int>(syscall(SYS_unshare, flags));
    if (rc == 0 && (flags & CLONE_NEWNS)) {
        std::lock_guard<std::mutex> hold(gLock);
        if (gStaging >= 0) close(gStaging);
        gStaging = -1;
        gStaged.clear();
        gPrivateMounts = true;
    }
    return rc;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// Starting ARM programs.

namespace {

bool IsArmProgram(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    Elf32_Ehdr header;
    ssize_t n = read(fd, &header, sizeof header);
    close(fd);
    return n == static_cast<ssize_t>(sizeof header) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
           header.e_ident[EI_CLASS] == ELFCLASS32 && header.e_machine == EM_ARM;
}

// The program a p-variant call would start: file itself when it names a
// path, else the first executable match on PATH.
std::string Lookup(const char* file) {
    if (std::strchr(file, '/') != nullptr) return file;
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + file;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return file;
}

// Under qemu-user: the argument vector and environment that start program
// through qemu. False when it is not an ARM program (or not under qemu).
struct Relaunch {
    std::vector<std::string> strings;
    std::vector<char*> argv;
    std::vector<char*> envp;
    std::string emulatorVariable;
};

bool ThroughQemu(const std::string& program, char* const argv[], char* const envp[], Relaunch* out) {
    const char* qemu = std::getenv("SWU_QEMU_ARM");
    if (qemu == nullptr || *qemu == '\0' || !IsArmProgram(program)) return false;
    out->strings = {qemu, "-0", argv[0] != nullptr ? argv[0] : program, program};
    for (size_t i = 1; argv[0] != nullptr && argv[i] != nullptr; ++i) out->strings.push_back(argv[i]);
    for (std::string& s : out->strings) out->argv.push_back(&s[0]);
    out->argv.push_back(nullptr);
    // The started program may start ARM programs itself.
    bool hasVariable = false;
    for (size_t i = 0; envp != nullptr && envp[i] != nullptr; ++i) {
        hasVariable = hasVariable || std::strncmp(envp[i], "SWU_QEMU_ARM=", 13) == 0;
        out->envp.push_back(envp[i]);
    }
    out->emulatorVariable = std::string("SWU_QEMU_ARM=") + qemu;
    if (!hasVariable) out->envp.push_back(&out->emulatorVariable[0]);
    out->envp.push_back(nullptr);
    return true;
}

int RealExecve(const char* path, char* const argv[], char* const envp[]) {
    return static_cast<int>(syscall(SYS_execve, path, argv, envp));
}

using SpawnFunction = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                              const posix_spawnattr_t*, char* const[], char* const[]);

SpawnFunction RealSpawn(const char* name) {
    return reinterpret_cast<SpawnFunction>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
    Relaunch relaunch;
    if (ThroughQemu(path, argv, envp, &relaunch)) {
        return RealExecve(relaunch.argv[0], relaunch.argv.data(), relaunch.envp.data());
    }
    return RealExecve(path, argv, envp);
}

int execv(const char* path, char* const argv[]) noexcept { return execve(path, argv, environ); }

int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept {
    std::string program = Lookup(file);
    if (std::strchr(file, '/') == nullptr && access(program.c_str(), X_OK) != 0) {
        errno = ENOENT;
        return -1;
    }
    return execve(program.c_str(), argv, envp);
}

int execvp(const char* file, char* const argv[]) noexcept { return execvpe(file, argv, environ); }

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
    static SpawnFunction real = RealSpawn("posix_spawn");
    Relaunch relaunch;
    if (ThroughQemu(path, argv, envp, &relaunch)) {
        return real(pid, relaunch.argv[0], actions, attr, relaunch.argv.data(), relaunch.envp.data());
    }
    return real(pid, path, actions, attr, argv, envp);
}

int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
    static SpawnFunction real = RealSpawn("posix_spawnp");
    Relaunch relaunch;
    if (ThroughQemu(Lookup(file), argv, envp, &relaunch)) {
        return real(pid, relaunch.argv[0], actions, attr, relaunch.argv.data(), relaunch.envp.data());
    }
    return real(pid, file, actions, attr, argv, envp);
}

}  // extern "C"
