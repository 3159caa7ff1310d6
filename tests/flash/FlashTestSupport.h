// Shared helpers of the flash tests: a private simulated chip on a content
// file in a fresh temporary directory, bus-access notation and output capture.
#ifndef FLASH_TEST_SUPPORT_H
#define FLASH_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "DeviceMemory.h"
#include "InstrumentRoot.h"
#include "NorChip.h"
#include "SwUpdateFlash.h"

namespace flashtest {

using norsim::BusAccess;

inline BusAccess W(uint32_t address, uint16_t value) { return {true, address, value}; }
inline BusAccess R(uint32_t address, uint16_t value) { return {false, address, value}; }

inline std::string Show(const BusAccess& a) {
    char text[40];
    std::snprintf(text, sizeof text, "%c %06x %04x", a.write ? 'W' : 'R', a.address, a.value);
    return text;
}

inline std::string Show(const std::vector<BusAccess>& log, size_t max = 40) {
    std::string s;
    for (size_t i = 0; i < log.size() && i < max; ++i) s += Show(log[i]) + "\n";
    if (log.size() > max) s += "... (" + std::to_string(log.size()) + " accesses)\n";
    return s;
}

inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::vector<uint8_t> v(n);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t r = gen();
        std::memcpy(&v[i], &r, 8);
    }
    for (; i < n; ++i) v[i] = static_cast<uint8_t>(gen());
    return v;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// What `call` writes to standard output and standard error.
struct Output {
    std::string out;
    std::string err;
};
template <typename F>
Output Capture(F&& call) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    call();
    std::fflush(stdout);
    Output o;
    o.err = ::testing::internal::GetCapturedStderr();
    o.out = ::testing::internal::GetCapturedStdout();
    return o;
}

// A fresh simulated chip whose content file, filled with seeded random
// bytes, lives in a temporary directory (of the build tree).
class ChipTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Inside an instrument root left by an earlier test of the process
        // the build tree is read-only; the root's /tmp is private to it.
        std::string base = InInstrumentRoot() ? "/tmp" : std::string(SWU_BUILD_DIR) + "/test-tmp";
        std::filesystem::create_directories(base);
        std::string templ = base + "/flash.XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        flashPath_ = dir_ + "/norflash";
        initial_ = RandomBytes(norsim::kChipSize, 7);
        WriteBytes(flashPath_, initial_);
        ASSERT_EQ(PowerUp(""), 0);
        FlashResetFaultState();
    }
    void TearDown() override {
        norsim::NorChipSetRecorder(nullptr);
        norsim::NorChipPowerDown();
        std::filesystem::remove_all(dir_);
    }

    // Powers the chip up again, with `faultText` as its fault file.
    int PowerUp(const std::string& faultText, std::string* why = nullptr) {
        norsim::NorChipConfig config;
        config.flashPath = flashPath_;
        config.faultPath = dir_ + "/norflash.faults";
        std::filesystem::remove(config.faultPath);
        if (!faultText.empty()) WriteBytes(config.faultPath, {faultText.begin(), faultText.end()});
        return norsim::NorChipPowerUp(config, why);
    }

    void Record() { norsim::NorChipSetRecorder(&bus_); }

    // The chip's content as stored in its file.
    std::vector<uint8_t> Content() const { return ReadBytes(flashPath_); }

    std::string WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::string path = dir_ + "/" + name;
        WriteBytes(path, bytes);
        return path;
    }

    std::string dir_;
    std::string flashPath_;
    std::vector<uint8_t> initial_;
    std::vector<BusAccess> bus_;
};

}  // namespace flashtest

#endif
