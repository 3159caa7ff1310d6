// bench-libs: swu_flash host_flash
//
// Writing a 16 MiB image at start 0 onto the simulated chip (the chip ready
// at once: no busy polls): time per programmed word over the whole path
// (image read, sector read, erase, word programs, verify, windows) and bus
// accesses per word. The writer needs 7 per word: the read of the sector's
// old content, then 0x40, data, 0x70, status read, 0x50, and the read-back
// that verifies the word. The few commands per sector (erase, Read Array)
// add about 0.0001.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "DeviceMemory.h"
#include "NorChip.h"
#include "SwUpdateFlash.h"

namespace {

// A temporary directory with a chip content file and a full-size image.
class Setup {
public:
    Setup() {
        // A fixed seed: the same chip content and image in every run.
        std::string templ = (std::filesystem::temp_directory_path() / "flashbench.XXXXXX").string();
        if (!mkdtemp(templ.data())) std::abort();
        dir_ = templ;
        std::vector<char> bytes(norsim::kChipSize);
        std::mt19937_64 gen(1);  // NOLINT(bugprone-random-generator-seed)
        for (size_t i = 0; i < bytes.size(); i += 8) {
            uint64_t r = gen();
            std::copy_n(reinterpret_cast<const char*>(&r), 8, bytes.begin() + static_cast<long>(i));
        }
        std::ofstream(flash(), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::reverse(bytes.begin(), bytes.end());
        std::ofstream(image(), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    Setup(const Setup&) = delete;
    Setup& operator=(const Setup&) = delete;
    ~Setup() {
        norsim::NorChipPowerDown();
        std::filesystem::remove_all(dir_);
    }
    std::string flash() const { return dir_ + "/norflash"; }
    std::string image() const { return dir_ + "/image"; }

private:
    std::string dir_;
};

// Standard output goes to /dev/null while it lives (the writer's progress lines).
class Quiet {
public:
    Quiet() {
        std::fflush(stdout);
        saved_ = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;
    ~Quiet() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_;
};

void BM_WriteWholeChip(benchmark::State& state) {
    Setup setup;
    norsim::NorChipConfig config;
    config.flashPath = setup.flash();
    config.faultPath = "";
    const double words = norsim::kChipSize / 2.0;
    uint64_t accesses = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (norsim::NorChipPowerUp(config, nullptr) != 0) {
            state.SkipWithError("no chip");
            break;
        }
        norsim::NorChipResetStats();
        state.ResumeTiming();
        {
            Quiet quiet;
            FlashInit(setup.image().c_str(), 0);
        }
        norsim::NorChipStats s = norsim::NorChipGetStats();
        if (static_cast<double>(s.programs) != words || FlashFaultOccurred()) state.SkipWithError("image not written");
        accesses = s.reads + s.writes;
    }
    state.counters["time_per_word"] =
        benchmark::Counter(words, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["bus_accesses_per_word"] = static_cast<double>(accesses) / words;
}
// Wall-clock time: the target is the whole flash in under half a second.
BENCHMARK(BM_WriteWholeChip)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// One bus read through a window, for scale.
void BM_BusRead(benchmark::State& state) {
    Setup setup;
    norsim::NorChipConfig config;
    config.flashPath = setup.flash();
    config.faultPath = "";
    if (norsim::NorChipPowerUp(config, nullptr) != 0) {
        state.SkipWithError("no chip");
        return;
    }
    uintptr_t w = reinterpret_cast<uintptr_t>(MapFlashDevice(0, sectorSize));
    uintptr_t off = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(in16(w + off));
        off = (off + 2) & (static_cast<uintptr_t>(sectorSize) - 1);
    }
}
BENCHMARK(BM_BusRead);

}  // namespace

BENCHMARK_MAIN();
