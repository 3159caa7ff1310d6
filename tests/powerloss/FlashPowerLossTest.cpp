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

#include "NorChip.h"
#include "PowerLoss.h"
#include "RootTest.h"
#include "SimFiles.h"
#include "SimState.h"
#include "SwUpdateFlash.h"

using namespace powerloss;

namespace {

constexpr int kNoRoot = 77;  // swsim: no instrument root on this machine

struct Image {
    std::string name;
    unsigned long address = 0;
};

// The images the run wrote, in order, from the flash module's lines.
std::vector<Image> WrittenImages(const std::string& trace)
{
    std::vector<Image> images;
    for (const auto& line : SplitLines(trace)) {
        char name[256];
        unsigned long address = 0;
        const size_t at = line.find("Flashing file ");
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, "Flashing file %255s to address 0x%lx", name, &address) == 2)
            images.push_back({name, address});
    }
    return images;
}

// Which bus writes change which sector, read from the bus conversation of a
// run without faults: an erase confirm (0xD0 after 0x20) and the data write
// after a program setup (0x40 or 0x10) are the only writes that change the
// array. Also collects the moments worth favouring: erase confirms, the
// first and last program of every sector, lock-bit clearings.
void PlanFromBus(const std::vector<norsim::BusAccess>& bus, SectorPlan* plan, uint64_t* writes,
                 std::vector<uint64_t>* favoured)
{
    enum { None, Erase, Program, Unlock } pending = None;
    uint64_t n = 0;
    bool programmed[kSectors] = {};
    for (const auto& a : bus) {
        if (!a.write) continue;
        ++n;
        const int sector = static_cast<int>(a.address / kSectorBytes);
        const int command = a.value & 0xFF;
        bool changes = false;
        if (pending == Program) {
            changes = true;
            if (!programmed[sector]) favoured->push_back(n);  // the sector's first word program
            programmed[sector] = true;
            pending = None;
        } else if (pending == Erase) {
            changes = command == 0xD0;
            if (changes) favoured->push_back(n);
            pending = None;
        } else if (pending == Unlock) {
            favoured->push_back(n);
            pending = None;
        } else if (command == 0x20) {
            pending = Erase;
        } else if (command == 0x40 || command == 0x10) {
            pending = Program;
        } else if (command == 0x60) {
            pending = Unlock;
        }
        if (changes) {
            if (plan->first[sector] == 0) plan->first[sector] = n;
            plan->last[sector] = n;
        }
    }
    for (int s = 0; s < kSectors; ++s) {
        if (plan->last[s] != 0) favoured->push_back(plan->last[s]);
    }
    *writes = n;
}

struct PointResult {
    uint64_t cut = 0;
    int runStatus = 0;
    std::string updaterResult;
    SectorCount sectors;
    int cutSector = -1;
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
    // The chip instantly ready: its busy polls would add status-command
    // writes the replay below does not make, and move every cut.
    const std::vector<std::string> run = {SWSIM_EXE, "run", state, "--quiet", "--no-report",
                                          "--pull-after", "0", "--timeout", "120", "--chip-timing", "off"};
    const int clean = RunWithEnvironment(run, {"NORFLASH_POWER_CUT="}, dir.path() + "/clean.txt");
    if (clean == kNoRoot) GTEST_SKIP() << swsim::ReadTextOr(dir.path() + "/clean.txt", "no instrument root");
    ASSERT_EQ(clean, 0) << swsim::ReadTextOr(dir.path() + "/clean.txt", "");
    ASSERT_NE(swsim::ReadTextOr(paths.runRecord(), "").find("updater-result=exit 0"), std::string::npos);
    std::vector<uint8_t> before, done;
    ASSERT_TRUE(swsim::ReadBytes(oldFlashFile, &before));
    ASSERT_TRUE(swsim::ReadBytes(paths.flash(), &done));
    const std::vector<Image> images = WrittenImages(swsim::ReadTextOr(paths.trace(), ""));
    ASSERT_FALSE(images.empty()) << "the run wrote no image";

    // The same writing replayed through the flash module on the chip model,
    // recording the bus: which bus write changes which sector.
    const std::string replayFlash = dir.path() + "/flash.replay";
    ASSERT_TRUE(swsim::CopyFileTo(oldFlashFile, replayFlash, &why)) << why;
    std::vector<norsim::BusAccess> bus;
    norsim::NorChipConfig chip;
    chip.flashPath = replayFlash;
    chip.faultPath = "";
    ASSERT_EQ(norsim::NorChipPowerUp(chip, &why), 0) << why;
    norsim::NorChipSetRecorder(&bus);
    CaptureStdoutOf([&] {
        for (const auto& image : images)
            FlashInit((paths.tmp() + "/" + image.name).c_str(), static_cast<long>(image.address / 1024));
    });
    norsim::NorChipSetRecorder(nullptr);
    norsim::NorChipPowerDown();
    std::vector<uint8_t> replayed;
    ASSERT_TRUE(swsim::ReadBytes(replayFlash, &replayed));
    ASSERT_TRUE(replayed == done) << "the replay does not end with the flash the run left";
    swsim::RemoveTree(replayFlash);

    SectorPlan plan;
    uint64_t writes = 0;
    std::vector<uint64_t> favoured;
    PlanFromBus(bus, &plan, &writes, &favoured);
    bus = {};
    ASSERT_GT(writes, 0u);

    std::vector<uint64_t> points;
    for (const auto& id : ReplayIds(options, "flash:")) points.push_back(std::strtoull(id.c_str(), nullptr, 10));
    if (options.replay.empty()) points = ChoosePoints(options.seed, options.points, writes, favoured);
    if (points.empty()) GTEST_SKIP() << "no flash point among POWERLOSS_REPLAY";

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
        const std::string id = "flash:" + std::to_string(r.cut);
        EXPECT_EQ(r.runStatus, 0) << id << ": swsim run failed";
        EXPECT_EQ(r.updaterResult, "killed by signal 9") << id << ": the updater was not ended by the cut";
        for (const auto& fault : r.sectors.faults) ADD_FAILURE() << id << ": " << fault;
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
