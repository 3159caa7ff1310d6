// The directories bound into a root from outside, and the parts of a root
// that a refresh replaces: its writable directories, flash, fault file and
// the board tools' record.
#include "RootParts.h"

#include <cstring>
#include <string>
#include <unistd.h>

namespace instroot {

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

}  // namespace instroot
