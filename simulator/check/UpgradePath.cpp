// The upgrade path: fleet instruments brought to the field's state by
// installing earlier releases' media on them, in order, with the updater
// itself, before the medium checked runs on them.
#include "UpgradePath.h"

#include "EndState.h"
#include "SimClock.h"
#include "SimFiles.h"
#include "SimMedium.h"
#include "SimRun.h"
#include "SimState.h"

namespace swsim {

namespace {

// Writes the running and the installed version files.
bool SetVersions(const StatePaths& s, const std::string& running, const std::string& installed, std::string* why)
{
    return WriteText(s.log() + "/swVersion/swVersion", running + "\n", 0644, why) &&
           WriteText(s.instrumentData() + "/swVersion/swVersion", installed + "\n", 0644, why);
}

// An empty medium slot: the previous medium and the backup its update
// left on it go with it.
bool EmptySlot(const StatePaths& s, std::string* why)
{
    return RemoveTree(s.usbdongle(), why) && MakeDirs(s.usbdongle(), why);
}

// One previous medium installed on the instrument in `state`. Returns
// 0; kPathNotInstalled with *failed saying why it did not install; 2 when
// no instrument root can be made (*why); 1 for other failures (*why).
int InstallOne(const PreviousMedium& p, const std::string& state, double runLimitSeconds, const std::string& selfExe,
               InstrumentKind* kind, std::string* failed, std::string* why)
{
    const StatePaths s(state);
    if (!EmptySlot(s, why) || InsertMedium(p.dir, s.usbdongle(), why) != 0) return 1;
    RunOptions ro;
    ro.answer = "yes";
    ro.pullAfter = 0;
    ro.showGui = false;
    // The limit is real time: the run's clock goes `speed` times faster.
    ro.timeout = (runLimitSeconds > 0 ? runLimitSeconds : DefaultRunLimitSeconds(p.facts)) * DefaultRunSpeedHere();
    const int run = RunUpdate(state, ro, selfExe, nullptr, why);
    if (run != 0) return run == 2 ? 2 : 1;
    RunFacts facts;
    if (BuildRunFacts(s, &facts, why) != 0) return 1;
    if (facts.timedOut || facts.outcome != Outcome::Done) {
        *failed = facts.timedOut ? "its update did not end within the run limit"
                                 : "its update ended \"" + std::string(OutcomeKey(facts.outcome)) + "\"";
        if (!facts.causeLines.empty()) *failed += " (" + facts.causeLines.front() + ")";
        return kPathNotInstalled;
    }
    // The instrument restarts with the release it installed: it runs the
    // version the update recorded.
    const std::string installed = Trimmed(ReadTextOr(s.instrumentData() + "/swVersion/swVersion", ""));
    if (!installed.empty() && !SetVersions(s, installed, installed, why)) return 1;
    FollowWrittenImages(p.facts, kind);
    return EmptySlot(s, why) ? 0 : 1;
}

}  // namespace

int ReadPreviousMedia(const std::vector<std::string>& dirs, const std::string& work,
                      std::vector<PreviousMedium>* previous, std::string* why)
{
    for (size_t i = 0; i < dirs.size(); ++i) {
        PreviousMedium p;
        p.dir = AbsolutePath(dirs[i]);
        // Its findings are no concern of the medium checked: only what it
        // delivers is kept.
        std::vector<Finding> ignored;
        const std::string scratch = work + "/previous-" + std::to_string(i + 1);
        if (!MakeDirs(scratch, why) || CheckMediumStatic(p.dir, scratch, &p.facts, &ignored, why) != 0) {
            *why = "the previous medium " + p.dir + " could not be read: " + *why;
            return kExitCheckNotRun;
        }
        if (!p.facts.haveVersion) {
            *why = "the previous medium " + p.dir + " has no version (no file0 or no swVersion): no instrument "
                   "installs it";
            return kExitCheckNotRun;
        }
        p.version = VersionAsRead(p.facts);
        previous->push_back(std::move(p));
    }
    return 0;
}

void StartOfPath(const FleetOptions& o, CreateOptions* co)
{
    if (o.previous.empty()) return;
    // Made on the version before the path's first release, so that a market
    // instrument takes that release as the field's did.
    co->version = VersionBelow(o.previous.front().version);
    co->installed.clear();
    // The logs break when the path is done (the previous updates would
    // recreate a corrupt log).
    co->corruptLogs.clear();
    co->truncateLogs.clear();
}

int InstallPath(const FleetInstrument& inst, const std::string& state, const FleetOptions& o, InstrumentKind* kind,
                std::string* failed, std::string* why)
{
    if (o.previous.empty()) return 0;
    for (const auto& p : o.previous) {
        std::string notInstalled;
        const int rc = InstallOne(p, state, o.runLimitSeconds, o.selfExe, kind, &notInstalled, why);
        if (rc == kPathNotInstalled) {
            *failed = "the previous medium " + p.dir + " (" + p.version + ") did not install: " + notInstalled;
        }
        if (rc != 0) return rc;
    }
    // An instrument whose line names another version than the path's last
    // got there later (a newer release the check does not have): its
    // version files say so.
    const std::string installed = inst.installed.empty() ? inst.running : inst.installed;
    const StatePaths s(state);
    if (inst.running != o.previous.back().version || installed != inst.running) {
        if (!SetVersions(s, inst.running, installed, why)) return 1;
    }
    CreateOptions damage;
    damage.corruptLogs = inst.corruptLogs;
    damage.truncateLogs = inst.truncateLogs;
    return DamageLogs(s, damage, why) ? 0 : 1;
}

}  // namespace swsim
