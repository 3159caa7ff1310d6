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

// A fresh private directory for scratch work, "NAME-XXXXXX" under $TMPDIR
// (or /tmp): never inside a build tree. Returns its path, or "" with the
// reason in *why.
std::string NewScratchDir(const std::string& name, std::string* why);

}  // namespace swsim

#endif
