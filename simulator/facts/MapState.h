// Where the flash map of a run stood, so that the report names the right
// failure: the packages were never unpacked (or unpacking failed), they were
// unpacked but brought no map, or a map was there and its writing failed.
#ifndef SWSIM_MAP_STATE_H
#define SWSIM_MAP_STATE_H

#include <string>

namespace swsim {

enum class MapState {
    NotUnpacked,      // the updater never unpacked the packages
    UnpackingFailed,  // it tried, and unpacking failed
    Missing,          // unpacked, but /tmp/flashMap is missing or empty
    Present,
};

// From the updater's trace and the content of /tmp/flashMap after the run
// (`haveMap`: the file exists; an empty map counts as none, as the updater
// takes it).
MapState MapStateOf(const std::string& trace, bool haveMap, const std::string& mapText);

// "not-unpacked", "unpacking-failed", "missing", "present".
const char* MapStateKey(MapState state);

// The report's sentence for a run without a map ("" when a map was there).
std::string MapStateText(MapState state);

}  // namespace swsim

#endif
