#include "SimReplay.h"

#include <mutex>

#include "SimFiles.h"
#include "SwUpdateFlash.h"

namespace swsim {

namespace {

std::mutex& ChipMutex()
{
    static std::mutex m;
    return m;
}

// The chip model and the flash module held by one replay: powered up on a
// content file with counters and fault flags cleared and the recorder
// attached; on leaving, the recorder detached and the chip powered down,
// whatever happened in between.
class ChipSession {
public:
    ChipSession(const norsim::NorChipConfig& config, std::vector<norsim::BusAccess>* bus, std::string* why)
        : lock_(ChipMutex())
    {
        up_ = norsim::NorChipPowerUp(config, why) == 0;
        if (!up_) return;
        norsim::NorChipResetStats();
        FlashResetFaultState();
        norsim::NorChipSetRecorder(bus);
    }
    ~ChipSession()
    {
        norsim::NorChipSetRecorder(nullptr);
        if (up_) norsim::NorChipPowerDown();
        FlashResetFaultState();
    }
    ChipSession(const ChipSession&) = delete;
    ChipSession& operator=(const ChipSession&) = delete;
    bool up() const { return up_; }

private:
    std::lock_guard<std::mutex> lock_;
    bool up_ = false;
};

}  // namespace

ReplayResult ReplayImages(const std::string& flashBefore, const std::string& faultsFile,
                          const std::vector<ReplayImage>& images, const std::string& compareWith,
                          std::vector<norsim::BusAccess>* bus)
{
    ReplayResult r;
    const std::string copy = compareWith + ".replay";
    if (!CopyFileTo(flashBefore, copy, &r.why)) return r;
    norsim::NorChipConfig config;
    config.flashPath = copy;
    config.faultPath = faultsFile;
    {
        ChipSession chip(config, bus, &r.why);
        if (!chip.up()) {
            RemoveTree(copy);
            return r;
        }
        {
            const StdoutTo quiet("/dev/null");
            for (const auto& image : images) {
                FlashInit(image.path.empty() ? "/nonexistent" : image.path.c_str(), image.startKiB);
            }
        }
        r.stats = norsim::NorChipGetStats();
    }
    std::vector<uint8_t> replayed, actual;
    r.matchesFlash = ReadBytes(copy, &replayed) && ReadBytes(compareWith, &actual) && replayed == actual;
    RemoveTree(copy);
    r.done = true;
    return r;
}

BusPlan PlanFromBus(const std::vector<norsim::BusAccess>& bus)
{
    BusPlan plan;
    bool programmed[kSectorCount] = {};
    for (const auto& op : norsim::NorOperationsOf(bus, &plan.writes)) {
        const uint64_t n = op.write;
        const int sector = static_cast<int>(op.address / kSectorSize);
        if (op.kind == norsim::NorWrite::ProgramData && !programmed[sector]) {
            plan.favoured.push_back(n);  // the sector's first word program
            programmed[sector] = true;
        }
        if (op.kind == norsim::NorWrite::UnlockConfirm) {
            plan.favoured.push_back(n);
            continue;
        }
        if (op.kind == norsim::NorWrite::EraseConfirm) plan.favoured.push_back(n);
        if (plan.first[sector] == 0) plan.first[sector] = n;
        plan.last[sector] = n;
    }
    for (int s = 0; s < kSectorCount; ++s) {
        if (plan.last[s] != 0) plan.favoured.push_back(plan.last[s]);
    }
    return plan;
}

}  // namespace swsim
