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
                                           {SectorState::Untouched, "untouched"}})
NLOHMANN_JSON_SERIALIZE_ENUM(PartitionFact::Decision, {{PartitionFact::NotReached, "not-reached"},
                                                       {PartitionFact::Rejected, "rejected"},
                                                       {PartitionFact::Kept, "kept"},
                                                       {PartitionFact::Written, "written"},
                                                       {PartitionFact::NotAfterFault, "not-after-fault"},
                                                       {PartitionFact::CannotOpen, "cannot-open"}})

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(PartitionBox, name, start, length, decision, kept)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(FlashPicture, sectors, coveredBytes, imageOf, partitions)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(PartitionFact, lineNo, name, startKiB, overwrite, mountDir, valid,
                                                decision)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ImageFact, name, start, length, holds, firstDifference)
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

void to_json(nlohmann::json& j, const RunFacts& f)
{
    j = nlohmann::json{{"root", f.root},
                       {"started", f.started},
                       {"answer", f.answer},
                       {"pullAfter", f.pullAfter},
                       {"faults", f.faults},
                       {"updaterResult", f.updaterResult},
                       {"guiResult", f.guiResult},
                       {"wallSeconds", f.wallSeconds},
                       {"timedOut", f.timedOut},
                       {"outcome", f.outcome},
                       {"mapState", f.mapState},
                       {"guiLines", f.guiLines},
                       {"screens", f.screens},
                       {"traceLines", f.traceLines},
                       {"partitions", f.partitions},
                       {"flashFaults", f.flashFaults},
                       {"flash", f.flash},
                       {"replay", f.replay},
                       {"haveVersionBefore", f.haveVersionBefore},
                       {"haveVersion", f.haveVersion},
                       {"versionBefore", f.versionBefore},
                       {"version", f.version},
                       {"crcFiles", f.crcFiles},
                       {"extlogBefore", f.extlogBefore},
                       {"extlogAfter", f.extlogAfter},
                       {"logs", f.logs},
                       {"corruptCopies", f.corruptCopies},
                       {"backup", f.backup},
                       {"boardTools", f.boardTools},
                       {"reboot", f.reboot},
                       {"mediumChecks", f.mediumChecks},
                       {"timing", f.timing}};
}

void from_json(const nlohmann::json& j, RunFacts& f)
{
    const RunFacts d;
    const auto get = [&](const char* key, auto* member, const auto& fallback) {
        *member = j.contains(key) ? j.at(key).get<std::decay_t<decltype(*member)>>() : fallback;
    };
    get("root", &f.root, d.root);
    get("started", &f.started, d.started);
    get("answer", &f.answer, d.answer);
    get("pullAfter", &f.pullAfter, d.pullAfter);
    get("faults", &f.faults, d.faults);
    get("updaterResult", &f.updaterResult, d.updaterResult);
    get("guiResult", &f.guiResult, d.guiResult);
    get("wallSeconds", &f.wallSeconds, d.wallSeconds);
    get("timedOut", &f.timedOut, d.timedOut);
    get("outcome", &f.outcome, d.outcome);
    get("mapState", &f.mapState, d.mapState);
    get("guiLines", &f.guiLines, d.guiLines);
    get("screens", &f.screens, d.screens);
    get("traceLines", &f.traceLines, d.traceLines);
    get("partitions", &f.partitions, d.partitions);
    get("flashFaults", &f.flashFaults, d.flashFaults);
    get("flash", &f.flash, d.flash);
    get("replay", &f.replay, d.replay);
    get("haveVersionBefore", &f.haveVersionBefore, d.haveVersionBefore);
    get("haveVersion", &f.haveVersion, d.haveVersion);
    get("versionBefore", &f.versionBefore, d.versionBefore);
    get("version", &f.version, d.version);
    get("crcFiles", &f.crcFiles, d.crcFiles);
    get("extlogBefore", &f.extlogBefore, d.extlogBefore);
    get("extlogAfter", &f.extlogAfter, d.extlogAfter);
    get("logs", &f.logs, d.logs);
    get("corruptCopies", &f.corruptCopies, d.corruptCopies);
    get("backup", &f.backup, d.backup);
    get("boardTools", &f.boardTools, d.boardTools);
    get("reboot", &f.reboot, d.reboot);
    get("mediumChecks", &f.mediumChecks, d.mediumChecks);
    get("timing", &f.timing, d.timing);
}

}  // namespace swsim
