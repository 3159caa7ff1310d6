// Power loss during the partition writing: the real updater runs a whole
// update on a simulated instrument (swsim) and the chip model cuts the power
// at a chosen bus write (NORFLASH_POWER_CUT, NorChip.h), ending the updater
// with SIGKILL. The flash that survived is compared sector by sector with
// the flash before the run and the flash a run without a cut leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <thread>

#include "CutStates.h"
#include "HangLimit.h"
#include "NorChip.h"
#include "PowerLoss.h"
#include "RootTest.h"
#include "SimFiles.h"
#include "SimState.h"
#include "SimReport.h"

using namespace powerloss;

namespace {

constexpr int kNoRoot = 77;  // swsim: no instrument root on this machine

struct PointResult {
    uint64_t cut = 0;
    int runStatus = 0;
    std::string updaterResult;
    SectorCount sectors;
    int cutSector = -1;
    bool builtDiffers = false;   // the flash built from the recorded writes is not the one the cut left
};

}  // namespace

TEST(FlashPowerLoss, CutsLeaveOnlyTheSectorBeingWrittenBetweenOldAndNew)
{
    const Options options = OptionsFromEnvironment();
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string state = dir.path() + "/instrument";
    std::string out, why;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "create", state}, &out, &why), 0) << out << why;
    ASSERT_EQ(swsim::RunProgram({SWSIM_EXE, "medium", state, "--sample"}, &out, &why), 0) << out << why;
    const swsim::StatePaths paths(state);
    const std::string oldFlashFile = dir.path() + "/flash.old";
    const std::string oldData = dir.path() + "/instrumentData.old";
    ASSERT_TRUE(swsim::CopyFileTo(paths.flash(), oldFlashFile, &why)) << why;
    ASSERT_TRUE(swsim::CopyTree(paths.instrumentData(), oldData, &why)) << why;

    // A run without a cut: the new flash, and the images it wrote.
    const std::vector<std::string> run = {SWSIM_EXE, "run", state, "--quiet", "--no-report",
                                          "--pull-after", "0", "--timeout", HangLimit(120),
                                          // bus writes numbered as on the replay's instantly ready chip
                                          "--chip-timing", "off"};
    const int clean = RunWithEnvironment(run, {"NORFLASH_POWER_CUT="}, dir.path() + "/clean.txt");
    if (clean == kNoRoot) GTEST_SKIP() << swsim::ReadTextOr(dir.path() + "/clean.txt", "no instrument root");
    ASSERT_EQ(clean, 0) << swsim::ReadTextOr(dir.path() + "/clean.txt", "");
    ASSERT_NE(swsim::ReadTextOr(paths.runRecord(), "").find("updater-result=exit 0"), std::string::npos);
    std::vector<uint8_t> before, done;
    ASSERT_TRUE(swsim::ReadBytes(oldFlashFile, &before));
    ASSERT_TRUE(swsim::ReadBytes(paths.flash(), &done));
    const std::vector<swsim::FlashAttempt> images = swsim::FlashAttempts(swsim::ReadTextOr(paths.trace(), ""));
    ASSERT_FALSE(images.empty()) << "the run wrote no image";

    // The same writing replayed through the flash module on the chip model,
    // recording the bus: which bus write changes which sector.
    std::vector<norsim::BusAccess> bus;
    std::vector<swsim::ReplayImage> replay;
    replay.reserve(images.size());
    for (const auto& image : images) replay.push_back({swsim::HostPathOf(paths, image.name), static_cast<long>(image.address / 1024)});
    const swsim::ReplayResult replayed = swsim::ReplayImages(oldFlashFile, "", replay, paths.flash(), &bus);
    ASSERT_TRUE(replayed.done) << replayed.why;
    ASSERT_TRUE(replayed.matchesFlash) << "the replay does not end with the flash the run left";

    const SectorPlan plan = swsim::PlanFromBus(bus);
    const uint64_t writes = plan.writes;
    const std::vector<uint64_t>& favoured = plan.favoured;
    ASSERT_GT(writes, 0u);

    std::vector<uint64_t> points;
    for (const auto& id : options.replay) {
        swsim::CutPoint point;
        std::string bad;
        if (id.compare(0, 6, "flash:") != 0) continue;
        if (swsim::ParseCutId(id, &point, &bad)) points.push_back(point.write);
        else ADD_FAILURE() << bad;
    }
    if (options.replay.empty()) points = ChoosePoints(options.seed, options.points, writes, favoured);
    if (points.empty()) GTEST_SKIP() << "no flash point among POWERLOSS_REPLAY";

    // swsim powercut builds the flash of every cut from the recorded writes
    // in one pass over them, in whatever order the cuts come: the flashes of
    // the real cuts.
    std::vector<swsim::FlashCut> cuts;
    cuts.reserve(points.size());
    for (uint64_t p : points) cuts.push_back({p, -1});
    const std::vector<swsim::CutFlashState> built = swsim::CutFlashStates(before, done, bus, cuts);

    // The cut runs, several at once, each worker on its own copy of the
    // instrument (the runs mostly wait for the start-up GUI).
    const int jobs = std::max(1, std::min<int>(options.jobs, static_cast<int>(points.size())));
    std::vector<std::string> workers;
    for (int w = 0; w < jobs; ++w) {
        workers.push_back(dir.path() + "/w" + std::to_string(w));
        ASSERT_TRUE(swsim::CopyTree(state, workers.back(), &why)) << why;
    }
    std::vector<PointResult> results(points.size());
    std::atomic<size_t> next{0};
    std::mutex failures;
    std::vector<std::string> setupFailures;
    auto work = [&](const std::string& ws) {
        const swsim::StatePaths wp(ws);
        for (size_t i; (i = next++) < points.size();) {
            PointResult& r = results[i];
            r.cut = points[i];
            std::string err;
            if (!swsim::CopyFileTo(oldFlashFile, wp.flash(), &err) || !swsim::RemoveTree(wp.instrumentData(), &err) ||
                !swsim::CopyTree(oldData, wp.instrumentData(), &err)) {
                std::lock_guard<std::mutex> lock(failures);
                setupFailures.push_back(err);
                continue;
            }
            std::vector<std::string> argv = run;
            argv[2] = ws;
            r.runStatus = RunWithEnvironment(argv, {"NORFLASH_POWER_CUT=" + std::to_string(r.cut)},
                                             ws + "/swsim.txt");
            r.updaterResult = swsim::RecordValue(swsim::ReadTextOr(wp.runRecord(), ""), "updater-result");
            std::vector<uint8_t> after;
            if (!swsim::ReadBytes(wp.flash(), &after) || after.size() != before.size()) {
                std::lock_guard<std::mutex> lock(failures);
                setupFailures.push_back("cannot read the flash of " + ws);
                continue;
            }
            r.sectors = ClassifySectors(before, done, after, plan, r.cut);
            std::vector<uint8_t> fromState;
            swsim::MaterializeCut(before, done, built[i], &fromState, nullptr);
            r.builtDiffers = swsim::CutFlash(before, bus, r.cut, -1) != after || fromState != after;
            for (int s = 0; s < kSectors; ++s) {
                if (plan.first[s] != 0 && plan.first[s] <= r.cut && r.cut <= plan.last[s]) r.cutSector = s;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(workers.size());
    for (const auto& ws : workers) threads.emplace_back(work, ws);
    for (auto& t : threads) t.join();
    EXPECT_TRUE(setupFailures.empty()) << setupFailures.front();

    int old = 0, fresh = 0, same = 0, torn = 0, tornPoints = 0;
    for (const auto& r : results) {
        const std::string id = swsim::CutId({swsim::CutPoint::Flash, r.cut, 0});
        EXPECT_EQ(r.runStatus, 0) << id << ": swsim run failed";
        EXPECT_EQ(r.updaterResult, "killed by signal 9") << id << ": the updater was not ended by the cut";
        for (const auto& fault : r.sectors.faults) ADD_FAILURE() << id << ": " << fault;
        EXPECT_FALSE(r.builtDiffers) << id << ": the flash built from the recorded writes differs from the cut's";
        old += r.sectors.oldContent;
        fresh += r.sectors.newContent;
        same += r.sectors.same;
        torn += r.sectors.torn;
        tornPoints += r.sectors.torn > 0;
        std::printf("power-loss point %s (sector %d): old %d, new %d, torn %d%s\n", id.c_str(), r.cutSector,
                    r.sectors.oldContent, r.sectors.newContent, r.sectors.torn,
                    r.sectors.faults.empty() ? "" : " FAULT");
    }
    std::printf("flash power loss: seed %" PRIu64 ", %zu points over %" PRIu64
                " bus writes; sectors after the cuts: %d old, %d new, %d torn (%d points), %d unchanged\n",
                options.seed, results.size(), writes, old, fresh, torn, tornPoints, same);
    std::fflush(stdout);
}
