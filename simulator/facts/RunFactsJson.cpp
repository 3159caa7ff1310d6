// RunFacts as JSON: how a run's facts pass from the process that read them
// (a fleet instrument's, a power-cut point's) to the one that renders them.
// Every member is written; a member missing on reading keeps its default.
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "RunFacts.h"

namespace swsim {

namespace {

// Each enumeration travels as its key; a key not in the table reads as the
// table's first value (the enumeration's "unknown" or most cautious one).
template <typename E, size_t N>
void EnumToJson(nlohmann::json& j, E value, const std::pair<E, const char*> (&names)[N])
{
    for (const auto& n : names) {
        if (n.first == value) {
            j = n.second;
            return;
        }
    }
    j = names[0].second;
}

template <typename E, size_t N>
void EnumFromJson(const nlohmann::json& j, E* value, const std::pair<E, const char*> (&names)[N])
{
    *value = names[0].first;
    if (!j.is_string()) return;
    for (const auto& n : names) {
        if (j.get<std::string>() == n.second) *value = n.first;
    }
}

}  // namespace

// The JSON library finds these by argument-dependent look-up, so they stay in
// this namespace with external linkage (an unnamed namespace is not searched).
// NOLINTBEGIN(misc-use-internal-linkage)
// An outcome travels as its key, the one the summary and the check use.
void to_json(nlohmann::json& j, const Outcome& v) { j = OutcomeKey(v); }
void from_json(const nlohmann::json& j, Outcome& v) { v = OutcomeOfKey(j.is_string() ? j.get<std::string>() : ""); }

const std::pair<MapState, const char*> kMapStateKeys[] = {
    {MapState::NotUnpacked, "not-unpacked"},
    {MapState::UnpackingFailed, "unpacking-failed"},
    {MapState::Missing, "missing"},
    {MapState::Present, "present"},
};
void to_json(nlohmann::json& j, const MapState& v) { EnumToJson(j, v, kMapStateKeys); }
void from_json(const nlohmann::json& j, MapState& v) { EnumFromJson(j, &v, kMapStateKeys); }

// A sector's state travels as the key the pages use for it.
void to_json(nlohmann::json& j, const SectorState& v) { j = SectorStateKey(v); }
void from_json(const nlohmann::json& j, SectorState& v)
{
    v = SectorState::Unexpected;
    for (const SectorState s : {SectorState::Written, SectorState::Partial, SectorState::Kept,
                                SectorState::Untouched, SectorState::Torn, SectorState::Overwritten,
                                SectorState::NotWritten}) {
        if (j.is_string() && j.get<std::string>() == SectorStateKey(s)) v = s;
    }
}

const std::pair<PartitionFact::Decision, const char*> kDecisionKeys[] = {
    {PartitionFact::NotReached, "not-reached"},
    {PartitionFact::Rejected, "rejected"},
    {PartitionFact::Kept, "kept"},
    {PartitionFact::Written, "written"},
    {PartitionFact::NotAfterFault, "not-after-fault"},
    {PartitionFact::CannotOpen, "cannot-open"},
};
void to_json(nlohmann::json& j, const PartitionFact::Decision& v) { EnumToJson(j, v, kDecisionKeys); }
void from_json(const nlohmann::json& j, PartitionFact::Decision& v) { EnumFromJson(j, &v, kDecisionKeys); }

// NOLINTEND(misc-use-internal-linkage)

// The records below travel member by member under their own names. cppcheck
// cannot expand the library's variadic macro; what it generates is the
// library's, so nothing of this file's own is left unchecked by that.
// cppcheck-suppress unknownMacro
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(PartitionBox, name, start, length, decision, kept, notWritten)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Overwrite, image, by, sectors)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(FlashPicture, sectors, coveredBytes, imageOf, partitions, overwrites)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(PartitionFact, lineNo, name, startKiB, overwrite, mountDir, valid,
                                                decision)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ImageFact, name, start, length, holds, firstDifference, crc)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(FlashFacts, present, images, missingImages, touchedSectors,
                                                changedSectors, restPreserved, firstRestDifference,
                                                untouchedUnchanged, firstUntouchedDifference, hasPicture, picture)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ReplayFacts, done, why, erases, programs, reads, writes, violations,
                                                matchesFlash, unlocks, estimateSeconds)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(LogFacts, name, present, lengthOk, size, badCrcs, corruptBefore,
                                                added, entries)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(CrcFileFacts, name, text)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(MediumChecks, all, gone)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(UpdateDuration, known, why, guiStarts, driverRestarts, mediumWaits,
                                                otherWaits, otherWaitSeconds, fixedSeconds, chipSeconds, cpuSeconds,
                                                seconds)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(RunTiming, speed, rebooted, seconds, answerDelay, guiStarts,
                                                driverRestarts, mediumWaits, mediumChecks, fixedSeconds, chipSeconds,
                                                chipTiming, duration, estimate)

// RunFacts' members, one list for both directions.
#define SWSIM_RUN_FACTS_MEMBERS(X)                                                                               \
    X(root) X(started) X(answer) X(pullAfter) X(faults) X(updaterResult) X(guiResult) X(wallSeconds) X(timedOut) \
    X(outcome) X(mapState) X(guiLines) X(screens) X(traceLines) X(partitions) X(flashFaults) X(flash) X(replay)  \
    X(haveVersionBefore) X(haveVersion) X(versionBefore) X(version) X(crcFiles) X(extlogBefore) X(extlogAfter)   \
    X(logs) X(corruptCopies) X(backup) X(boardTools) X(reboot) X(mediumChecks) X(timing) X(causeLines)

void to_json(nlohmann::json& j, const RunFacts& f)
{
    j = nlohmann::json::object();
#define SWSIM_PUT(m) j[#m] = f.m;
    SWSIM_RUN_FACTS_MEMBERS(SWSIM_PUT)
#undef SWSIM_PUT
}

void from_json(const nlohmann::json& j, RunFacts& f)
{
    const RunFacts d;
#define SWSIM_GET(m) f.m = j.contains(#m) ? j.at(#m).get<decltype(f.m)>() : d.m;
    SWSIM_RUN_FACTS_MEMBERS(SWSIM_GET)
#undef SWSIM_GET
}

#undef SWSIM_RUN_FACTS_MEMBERS

}  // namespace swsim
