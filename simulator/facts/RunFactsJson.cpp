// RunFacts as JSON: how a run's facts pass from the process that read them
// (a fleet instrument's, a power-cut point's) to the one that renders them.
// Every member is written; a member missing on reading keeps its default.
#include <nlohmann/json.hpp>

#include "RunFacts.h"

namespace swsim {

NLOHMANN_JSON_SERIALIZE_ENUM(Outcome, {{Outcome::Unfinished, "unfinished"},
                                       {Outcome::NotAllowed, "not-allowed"},
                                       {Outcome::Declined, "declined"},
                                       {Outcome::PreUpdateFailed, "pre-update-failed"},
                                       {Outcome::UnpackingFailed, "unpacking-failed"},
                                       {Outcome::FlashFailed, "flash-failed"},
                                       {Outcome::Done, "done"}})
NLOHMANN_JSON_SERIALIZE_ENUM(MapState, {{MapState::NotUnpacked, "not-unpacked"},
                                        {MapState::UnpackingFailed, "unpacking-failed"},
                                        {MapState::Missing, "missing"},
                                        {MapState::Present, "present"}})
NLOHMANN_JSON_SERIALIZE_ENUM(SectorState, {{SectorState::Unexpected, "unexpected"},
                                           {SectorState::Written, "written"},
                                           {SectorState::Partial, "partial"},
                                           {SectorState::Kept, "kept"},
                                           {SectorState::Untouched, "untouched"},
                                           {SectorState::Torn, "torn"},
                                           {SectorState::Overwritten, "overwritten"},
                                           {SectorState::NotWritten, "not-written"}})
NLOHMANN_JSON_SERIALIZE_ENUM(PartitionFact::Decision, {{PartitionFact::NotReached, "not-reached"},
                                                       {PartitionFact::Rejected, "rejected"},
                                                       {PartitionFact::Kept, "kept"},
                                                       {PartitionFact::Written, "written"},
                                                       {PartitionFact::NotAfterFault, "not-after-fault"},
                                                       {PartitionFact::CannotOpen, "cannot-open"}})

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
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(RunTiming, speed, rebooted, seconds, guiStarts, driverRestarts,
                                                mediumWaits, fixedSeconds, chipSeconds, estimate)

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
