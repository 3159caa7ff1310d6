// Where swsim finds the programs a run needs: the updater's host build, the
// start-up GUI stand-in and the board-tool stand-ins. An installed swsim
// finds them in its private directory beside its own (PREFIX/bin/swsim and
// PREFIX/libexec/swsim/), a swsim in a build tree finds them in that tree.
// Every caller asks here; no other file builds these paths.
#ifndef SWSIM_LOCATIONS_H
#define SWSIM_LOCATIONS_H

#include <string>
#include <vector>

namespace swsim {

struct Locations {
    bool installed = false;  // the installed layout, not a build tree
    std::string updater;     // SwUpdate
    std::string gui;         // startup-gui
    std::string boardTools;  // directory of slay, waitfor, ... for the instrument root
    std::string waitRecorder;  // the preload library that records the updater's pauses
    // Host directories an instrument root binds read-only so that these
    // programs run there (the build and source trees of a build tree).
    std::vector<std::string> rootDirs;
};

// The locations for the swsim executable at `selfExe` (absolute).
Locations LocationsOf(const std::string& selfExe);

// A fresh private directory for scratch work, "NAME-XXXXXX" under $TMPDIR;
// without TMPDIR under the memory file system /dev/shm when it has room
// (ScratchBase), else /tmp: never inside a build tree. Returns its path, or
// "" with the reason in *why.
std::string NewScratchDir(const std::string& name, std::string* why);

// Where NewScratchDir makes its directories (`shm` the memory file system
// to try, `room` the free bytes it must have): $TMPDIR when it names an
// absolute directory, else `shm` when it is a writable memory file system
// with that room, else /tmp. A sweep rewrites its instruments' files
// thousands of times; on a disk file system that churn of creations and
// removals costs more than the runs' own work there.
std::string ScratchBase(const std::string& shm = "/dev/shm", unsigned long long room = 1ULL << 30);

}  // namespace swsim

#endif
