#include "MapState.h"

#include "TraceTexts.h"

namespace swsim {

namespace {

bool Has(const std::string& text, const char* needle)
{
    return text.find(needle) != std::string::npos;
}

}  // namespace

MapState MapStateOf(const std::string& trace, bool haveMap, const std::string& mapText)
{
    // The updater's own word wins; otherwise the map in /tmp, then how far
    // the unpacking came (its first package command).
    if (Has(trace, tracetext::kMapMissing)) return MapState::Missing;
    if (Has(trace, tracetext::kUnpackingFailed)) {
        return haveMap && !mapText.empty() ? MapState::Present : MapState::UnpackingFailed;
    }
    if (haveMap && !mapText.empty()) return MapState::Present;
    if (!Has(trace, tracetext::kUnpackFile1)) return MapState::NotUnpacked;
    return MapState::Missing;
}

const char* MapStateKey(MapState state)
{
    switch (state) {
    case MapState::NotUnpacked: return "not-unpacked";
    case MapState::UnpackingFailed: return "unpacking-failed";
    case MapState::Missing: return "missing";
    case MapState::Present: return "present";
    }
    return "missing";
}

std::string MapStateText(MapState state)
{
    switch (state) {
    case MapState::NotUnpacked: return "no flash map in /tmp (the packages were not unpacked)";
    case MapState::UnpackingFailed: return "no flash map in /tmp (unpacking the packages failed)";
    case MapState::Missing:
        return "no flash map among the unpacked packages (/tmp/flashMap missing or empty): no partition written";
    case MapState::Present: return "";
    }
    return "";
}

}  // namespace swsim
