// Detached clones of mounts, fresh tmpfs and attaching them (the mount API
// that works on descriptors), and the small file work a root needs.
#include "RootParts.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace instroot {

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

namespace {

// The attributes that set (or clear) a mount's read-only flag alone.
struct mount_attr ReadOnlyAttr(bool readOnly) {
    struct mount_attr attr;
    std::memset(&attr, 0, sizeof attr);
    if (readOnly) {
        attr.attr_set = MOUNT_ATTR_RDONLY;
    } else {
        attr.attr_clr = MOUNT_ATTR_RDONLY;
    }
    return attr;
}

}  // namespace

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
        struct mount_attr attr = ReadOnlyAttr(access == Access::kReadOnly);
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
    struct mount_attr attr = ReadOnlyAttr(readOnly);
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

}  // namespace instroot
