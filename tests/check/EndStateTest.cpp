// The end-state invariants on one real installation of the sample medium:
// the instrument as the update left it breaks none; each change to what it
// holds (a byte of the flash, a file, a copy on the medium, a log) breaks
// the invariants that compare it, and only those.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>

#include "EndState.h"
#include "MediumCheck.h"
#include "RootTest.h"
#include "RunFacts.h"
#include "SimClock.h"
#include "SimFiles.h"
#include "SimMedium.h"
#include "SimRun.h"
#include "SimState.h"

using namespace swsim;

namespace {

// One installation, shared by every case: the medium's facts, the
// instrument before and after, how the update ended.
struct Installed {
    ScratchDir scratch;
    MediumFacts facts;
    InstrumentKind kind;
    Holding before, after;
    Outcome outcome = Outcome::Unfinished;
    std::string skip, why;
};

Installed* MakeInstalled()
{
    auto* in = new Installed;
    const std::string dir = in->scratch.path();
    std::vector<std::string> lines;
    std::vector<Finding> findings;
    std::vector<FleetInstrument> fleet;
    SampleOptions sample;
    sample.version = "2.4";
    std::string& why = in->why;
    if (WriteSampleUpdate(dir + "/src", sample, &why) != 0 || BuildMedium(dir + "/src", dir + "/medium", &lines, &why) != 0 ||
        CheckMediumStatic(dir + "/medium", dir + "/unpacked", &in->facts, &findings, &why) != 0 ||
        !ParseFleet("lab running=2.3\n", &fleet, &why)) {
        return in;
    }
    FleetOptions fo;
    fo.selfExe = SWSIM_EXE;
    std::string failed;
    const std::string state = dir + "/lab";
    in->kind.layout = FactoryLayout();
    if (CreateFleetInstrument(in->facts, fleet[0], state, fo, &in->kind, &failed, &why) != 0 ||
        !ReadHolding(StatePaths(state), false, &in->before, &why)) {
        return in;
    }
    RunOptions ro;
    ro.answer = "yes";
    ro.pullAfter = 0;
    ro.showGui = false;
    ro.timeout = 600 * DefaultRunSpeedHere();
    const int rc = RunUpdate(state, ro, SWSIM_EXE, nullptr, &why);
    if (rc == 2) {
        in->skip = why;
        return in;
    }
    RunFacts run;
    if (rc == 0 && BuildRunFacts(StatePaths(state), &run, &why) == 0 && ReadHolding(StatePaths(state), true, &in->after, &why)) {
        in->outcome = run.outcome;
    }
    return in;
}

const Installed& TheInstallation()
{
    // Made once, removed with its scratch directory at the end.
    static const std::unique_ptr<Installed> in(MakeInstalled());
    return *in;
}

std::string KeysOf(const std::vector<Broken>& broken)
{
    std::set<std::string> keys;
    for (const auto& b : broken) keys.insert(b.invariant);
    std::string text;
    for (const auto& k : keys) text += (text.empty() ? "" : " ") + k;
    return text;
}

struct ChangeCase {
    const char* name;
    std::function<void(const Holding& before, Holding* after, Outcome* outcome)> change;
    const char* broken;  // the invariants broken, in key order
};
std::ostream& operator<<(std::ostream& os, const ChangeCase& c) { return os << c.name; }

class EndStateChange : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(EndStateChange, BreaksTheInvariantsThatCompareIt)
{
    const Installed& in = TheInstallation();
    if (!in.skip.empty()) GTEST_SKIP() << "no instrument root: " << in.skip;
    ASSERT_EQ(in.outcome, Outcome::Done) << in.why;
    Holding after = in.after;
    Outcome outcome = in.outcome;
    GetParam().change(in.before, &after, &outcome);
    const std::vector<Broken> broken = JudgeEndState(in.facts, in.kind, outcome, in.before, after);
    std::string all;
    for (const auto& b : broken) all += b.invariant + ": " + b.what + "\n";
    EXPECT_EQ(KeysOf(broken), GetParam().broken) << all;
}

constexpr size_t kAppStart = 2048 * 1024, kDataStart = 8192 * 1024;

INSTANTIATE_TEST_SUITE_P(
    Sample, EndStateChange,
    ::testing::Values(
        ChangeCase{"AsInstalled", [](const Holding&, Holding*, Outcome*) {}, ""},
        // The written image no longer as delivered: its CRC file no longer
        // matches the flash either.
        ChangeCase{"ImageByte", [](const Holding&, Holding* a, Outcome*) { a->flash[kAppStart + 100] ^= 0x01; },
                   "crc-matches-flash images-written"},
        // A byte of the gap after the last partition.
        ChangeCase{"GapByte", [](const Holding&, Holding* a, Outcome*) { a->flash[kFlashSize - 16] ^= 0x01; },
                   "kept-bytes"},
        // The data partition written over: its files count as lost, the
        // logs' entries with them (the CRC and version files are not judged
        // again: the partition's finding says they are gone).
        ChangeCase{"DataPartitionByte", [](const Holding&, Holding* a, Outcome*) { a->flash[kDataStart + 16] ^= 0x01; },
                   "data-partition logs-kept"},
        ChangeCase{"CrcFile", [](const Holding&, Holding* a, Outcome*) { a->data["appPart.crc"] = {'0', '\n'}; },
                   "crc-matches-flash"},
        ChangeCase{"VersionFile", [](const Holding&, Holding* a, Outcome*) { a->data["swVersion/swVersion"] = {'2', '.', '5', '\n'}; },
                   "version-as-read"},
        // The revision history without the update's entry.
        ChangeCase{"RevisionEntry",
                   [](const Holding& b, Holding* a, Outcome*) { a->data["RevHistory.log"] = b.data.at("RevHistory.log"); },
                   "logs-kept"},
        // A file of /instrumentData missing from the backup on the medium.
        ChangeCase{"BackupCopy",
                   [](const Holding&, Holding* a, Outcome*) {
                       for (auto it = a->medium.begin(); it != a->medium.end(); ++it) {
                           if (it->first.find("instrumentData/Settings") != std::string::npos ||
                               it->first.find("instrumentData/swVersion/") != std::string::npos) {
                               a->medium.erase(it);
                               return;
                           }
                       }
                   },
                   "backup-complete"},
        // A refusal that still changed a file.
        ChangeCase{"RefusedButChanged",
                   [](const Holding& b, Holding* a, Outcome* o) {
                       *o = Outcome::NotAllowed;
                       a->flash = b.flash;
                       a->data = b.data;
                       a->log = b.log;
                       a->data["swVersion/swVersion"] = {'9', '.', '9', '\n'};
                   },
                   "refused-unchanged"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
