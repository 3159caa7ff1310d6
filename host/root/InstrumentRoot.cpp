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
#include "Process.h"
#include "RootParts.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef SWU_BOARDTOOLS_DIR
#define SWU_BOARDTOOLS_DIR ""
#endif
#ifndef SWU_ROOT_SOURCE_DIR
#define SWU_ROOT_SOURCE_DIR ""
#endif
#ifndef SWU_ROOT_BUILD_DIR
#define SWU_ROOT_BUILD_DIR ""
#endif

using namespace instroot;

namespace {

// What a fresh root is made of, found before any namespace is touched.
struct RootPlan {
    std::string mksh;
    std::vector<std::string> tools;   // the board-tool stand-ins' contents, as kBoardTools
    std::vector<ExtraDir> extraDirs;  // parents before children, each once
    std::string markerText;
    std::vector<std::string> mountDirs;  // empty directories made in the root
};

// Finds mksh and reads the board-tool stand-ins: from the configured (or
// this build's) directory, or inside a root from the current root's.
bool FindShellAndTools(const InstrumentRootConfig& config, bool inRoot, RootPlan* plan, std::string* why) {
    for (const char* path : kMkshPaths) {
        if (access(path, X_OK) == 0) {
            plan->mksh = path;
            break;
        }
    }
    if (plan->mksh.empty()) {
        return Fail(why, "mksh is not installed (run scripts/install-deps.sh); /bin/sh of an "
                         "instrument root must be a Korn shell");
    }
    std::string toolDir = inRoot                           ? std::string("/proc/boot")
                          : !config.boardToolsDir.empty() ? config.boardToolsDir
                                                          : std::string(SWU_BOARDTOOLS_DIR);
    for (const char* tool : kBoardTools) {
        std::string content;
        if (toolDir.empty() || !ReadFile(toolDir + "/" + tool, &content, why)) {
            return Fail(why, "board-tool stand-in " + std::string(tool) + " not found in '" +
                                 toolDir + "' (build the project first)");
        }
        plan->tools.push_back(content);
    }
    return true;
}

// The directories bound at their own path: the project's trees, the
// caller's, and inside a root also those of the current root (listed in its
// marker file); and the marker text that lists them for a root made inside.
bool PlanExtraDirs(const InstrumentRootConfig& config, bool inRoot, RootPlan* plan, std::string* why) {
    std::vector<ExtraDir>& extraDirs = plan->extraDirs;
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
    plan->markerText = "instrument root; directories bound from outside:\n";
    for (const ExtraDir& dir : extraDirs) {
        plan->markerText += (dir.writable ? "rw " : "ro ") + dir.path + "\n";
    }
    return true;
}

// A host source of a root and its place: a clone, or a symbolic link.
struct Piece {
    std::string target;
    std::string link;  // non-empty: a symbolic link to this
    Fd tree;
};

// Clones of every source of a root, taken while the host's paths are still
// visible.
struct RootSources {
    std::vector<Piece> hostDirs;
    std::vector<BoundDir> extraPieces;
    std::vector<BoundDir> insideWritable;  // bound after the writable directories
    std::vector<Piece> devices;
    Fd shell;
    Changeables changeables;
};

// The host's system directories, read-only (a symbolic link stays a link).
bool CloneHostDirs(std::vector<Piece>* hostDirs, std::string* why) {
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
        hostDirs->push_back(std::move(piece));
    }
    return true;
}

bool CloneSources(const InstrumentRootConfig& config, bool inRoot, const RootPlan& plan, RootSources* s,
                  std::string* why) {
    if (!CloneHostDirs(&s->hostDirs, why)) {
        return false;
    }
    // Directories inside a writable directory are bound after it.
    for (const ExtraDir& dir : plan.extraDirs) {
        BoundDir piece{dir.path, Fd()};
        Access access = !dir.writable ? Access::kReadOnly : inRoot ? Access::kWritable
                                                                    : Access::kKeep;
        if (!CloneTree(dir.path, access, &piece.tree, why)) {
            return false;
        }
        (InsideWritableDir(dir.path) ? s->insideWritable : s->extraPieces).push_back(std::move(piece));
    }
    for (const char* node : kDevNodes) {
        // A container may lack /dev/tty; /dev/null is needed by every shell.
        if (!Exists(node) && std::strcmp(node, "/dev/null") != 0) {
            continue;
        }
        Piece piece{node, "", Fd()};
        if (!CloneTree(node, Access::kKeep, &piece.tree, why)) {
            return false;
        }
        s->devices.push_back(std::move(piece));
    }
    return CloneTree(plan.mksh, Access::kReadOnly, &s->shell, why) &&
           CloneChangeables(config, inRoot, &s->changeables, why);
}

// Attaches a fresh tmpfs over "/" and enters it.
bool EnterNewRootFs(std::string* why) {
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
    return true;
}

// Puts the sources at their places in the entered root's tmpfs, writes the
// board tools and the marker, and makes the tmpfs read-only.
bool Assemble(const RootPlan& plan, RootSources* s, std::string* why) {
    for (Piece& piece : s->hostDirs) {
        if (!piece.link.empty()) {
            if (symlink(piece.link.c_str(), piece.target.c_str()) != 0) {
                return FailErrno(why, "cannot create link " + piece.target);
            }
        } else if (!MakeDirs(piece.target, why) || !Attach(piece.tree, piece.target, why)) {
            return false;
        }
    }
    if (!AttachBound(&s->extraPieces, why) || !MakeDirs("/dev", why)) {
        return false;
    }
    for (Piece& piece : s->devices) {
        if (!CreateFile(piece.target, "", 0644, why) || !Attach(piece.tree, piece.target, why)) {
            return false;
        }
    }
    // "/bin/sh" resolves through the host's links (to dash on Debian); mksh
    // is bound over whatever file it names.
    if (access("/bin/sh", F_OK) != 0) {
        return Fail(why, "the host has no /bin/sh to replace with mksh");
    }
    if (!Attach(s->shell, "/bin/sh", why) || !MakeDirs("/proc/boot", why)) {
        return false;
    }
    for (size_t i = 0; i < plan.tools.size(); ++i) {
        if (!CreateFile(std::string("/proc/boot/") + kBoardTools[i], plan.tools[i], 0755, why)) {
            return false;
        }
    }
    if (!CreateFile(kMarkerPath, plan.markerText, 0444, why) || !AttachChangeables(&s->changeables, why) ||
        !AttachBound(&s->insideWritable, why)) {
        return false;
    }
    for (const std::string& dir : plan.mountDirs) {
        if (dir.empty() || dir[0] != '/' || !MakeDirs(dir, why)) {
            return Fail(why, "cannot make the mount directory \"" + dir + "\"");
        }
    }
    return SetReadOnly("/", true, why);
}

// Makes and enters a new root. Outside a root its sources are the host's;
// inside one (inRoot) they are the current root's: its system directories,
// devices, board tools and bound directories (listed in the marker
// file), so that a root made from inside a root shares no file with it.
bool EnterFresh(const InstrumentRootConfig& config, bool inRoot, std::string* why) {
    // Everything that can be checked before touching namespaces.
    RootPlan plan;
    plan.mountDirs = config.mountDirs;
    if (!FindShellAndTools(config, inRoot, &plan, why) || !PlanExtraDirs(config, inRoot, &plan, why)) {
        return false;
    }
    if (!MakeNamespaces(why)) {
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return FailErrno(why, "cannot make mounts private");
    }
    RootSources sources;
    if (!CloneSources(config, inRoot, plan, &sources, why)) {
        return false;
    }
    Fd hostRoot(inRoot ? -1 : open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!EnterNewRootFs(why) || !Assemble(plan, &sources, why)) {
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
                        std::string* why, int output) {
    if (argv.empty()) {
        Fail(why, "no command given");
        return -1;
    }
    host::ProcessStart start;
    start.argv = argv;
    start.output = output;
    start.prepare = [&config]() {
        std::string reason;
        return EnterFresh(config, InInstrumentRoot(), &reason) ? std::string() : reason;
    };
    pid_t child = -1;
    std::string reason;
    const int started = host::StartProcess(start, &child, &reason);
    if (started == host::kProgramNotStarted) {
        if (why != nullptr) {
            *why = reason;
        }
        return W_EXITCODE(127, 0);
    }
    if (started != 0) {
        Fail(why, reason);
        return -1;
    }
    return host::WaitProcess(child, why);
}

bool InInstrumentRoot() {
    return access(kMarkerPath, F_OK) == 0;
}
