// The chip model's timing: operations keep the chip busy for their time on
// the monotonic clock, together with the busy-polls fault; the timing texts.
#include <gtest/gtest.h>

#include <ctime>

#include "DeviceMemory.h"
#include "FlashTestSupport.h"
#include "NorChip.h"

namespace {

using flashtest::ChipTest;

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

class ChipTiming : public ChipTest {
protected:
    // Powers the chip up with `timing` and maps its first two blocks.
    void Start(const norsim::NorTiming& timing, uint32_t busyPolls = 0) {
        norsim::NorChipConfig config;
        config.flashPath = flashPath_;
        config.faultPath = "";
        config.timing = timing;
        config.faults.busyPolls = busyPolls;
        ASSERT_EQ(norsim::NorChipPowerUp(config, nullptr), 0);
        norsim::NorChipResetStats();
        void* w = mmap_device_memory(nullptr, 2 * norsim::kBlockSize, PROT_READ | PROT_WRITE | PROT_NOCACHE, 0, 0);
        ASSERT_NE(w, MAP_FAILED);
        base_ = reinterpret_cast<uintptr_t>(w);
    }
    // Status reads until bit 7 is set: how many found the chip busy, and
    // how long after `start` (before the operation's first write) it was ready.
    int PollsUntilReady(double* seconds, double start = Now()) const {
        int busy = 0;
        while ((in16(base_) & 0x80) == 0) ++busy;
        *seconds = Now() - start;
        return busy;
    }
    uintptr_t base_ = 0;
};

struct TimedOperation {
    const char* name;
    std::vector<uint16_t> writes;  // at the block's start, after unlocking when `unlockFirst`
    bool unlockFirst;
    norsim::NorTiming timing;
    double atLeast;                // seconds busy
};
std::ostream& operator<<(std::ostream& os, const TimedOperation& t) { return os << t.name; }

class TimedOperationTest : public ChipTiming, public ::testing::WithParamInterface<TimedOperation> {};

// Each kind of operation takes its own duration, not another's, and no
// less; bit 7 stays clear meanwhile.
TEST_P(TimedOperationTest, KeepsTheChipBusyForItsTime) {
    const auto& c = GetParam();
    Start(c.timing);
    if (c.unlockFirst) {
        out16(base_, 0x60);
        out16(base_, 0xD0);
        double s = 0;
        PollsUntilReady(&s);
    }
    const double start = Now();
    for (uint16_t v : c.writes) out16(base_, v);
    double seconds = 0;
    const int busy = PollsUntilReady(&seconds, start);
    EXPECT_GE(seconds, c.atLeast);
    EXPECT_LT(seconds, c.atLeast + 0.5) << "busy for another operation's time";
    EXPECT_GT(busy, 0);
    EXPECT_EQ(in16(base_) & 0x3A, 0) << "ends without an error";
    EXPECT_NEAR(norsim::NorChipGetStats().busySeconds, c.atLeast + (c.unlockFirst ? c.timing.unlockSeconds : 0),
                1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, TimedOperationTest,
    ::testing::Values(TimedOperation{"Erase", {0x20, 0xD0}, true, {0.05, 0.9, 0.001}, 0.05},
                      TimedOperation{"WordProgram", {0x40, 0x1234}, true, {0.9, 0.03, 0.001}, 0.03},
                      TimedOperation{"LockBitClearing", {0x60, 0xD0}, false, {0.9, 0.9, 0.04}, 0.04}),
    [](const auto& info) { return std::string(info.param.name); });

// A refused operation (a locked block) ends at once; while busy, commands
// other than Read Status Register are ignored and counted as violations.
TEST_F(ChipTiming, LockedBlockIsRefusedAtOnceAndBusyChipIgnoresCommands) {
    Start({0.5, 0.5, 0.05});
    out16(base_, 0x20);
    out16(base_, 0xD0);
    double seconds = 0;
    EXPECT_EQ(PollsUntilReady(&seconds), 0);
    EXPECT_EQ(in16(base_) & 0x22, 0x22) << "erase error, block locked";
    out16(base_, 0x50);
    out16(base_, 0x60);
    out16(base_, 0xD0);
    EXPECT_EQ(in16(base_) & 0x80, 0);
    out16(base_, 0xFF);  // ignored: the chip still answers with its status
    EXPECT_EQ(norsim::NorChipGetStats().violations, 1u);
    EXPECT_TRUE(norsim::NorChipInStatusMode());
    out16(base_, 0x70);  // accepted while busy
    EXPECT_EQ(norsim::NorChipGetStats().violations, 1u);
    PollsUntilReady(&seconds);
    EXPECT_FALSE(norsim::NorChipBlockLocked(0));
}

// busy-polls keeps working: without timing exactly N busy reads; with
// timing at least N and at least the time.
TEST_F(ChipTiming, BusyPollsAddToTheTime) {
    Start(norsim::NorTiming::Off(), 3);
    out16(base_, 0x60);
    out16(base_, 0xD0);
    double seconds = 0;
    EXPECT_EQ(PollsUntilReady(&seconds), 3);
    Start({0, 0, 0.02}, 3);
    const double start = Now();
    out16(base_, 0x60);
    out16(base_, 0xD0);
    EXPECT_GT(PollsUntilReady(&seconds, start), 3);
    EXPECT_GE(seconds, 0.02);
}

struct TimingText {
    const char* text;
    bool ok;
    norsim::NorTiming timing;
};

class TimingTextTest : public ::testing::TestWithParam<TimingText> {};

TEST_P(TimingTextTest, IsReadOrRefused) {
    norsim::NorTiming t{9, 9, 9};
    std::string error;
    EXPECT_EQ(norsim::ParseTimingText(GetParam().text, &t, &error), GetParam().ok ? 0 : -1) << GetParam().text;
    if (GetParam().ok) {
        EXPECT_DOUBLE_EQ(t.eraseSeconds, GetParam().timing.eraseSeconds);
        EXPECT_DOUBLE_EQ(t.programSeconds, GetParam().timing.programSeconds);
        EXPECT_DOUBLE_EQ(t.unlockSeconds, GetParam().timing.unlockSeconds);
    } else {
        EXPECT_FALSE(error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, TimingTextTest,
                         ::testing::Values(TimingText{"typical", true, {1.0, 12e-6, 0.5}},
                                           TimingText{"off", true, {0, 0, 0}},
                                           TimingText{"2,30e-6,0.7", true, {2, 30e-6, 0.7}},
                                           TimingText{"0,0,0", true, {0, 0, 0}},
                                           TimingText{"", false, {}}, TimingText{"1,2", false, {}},
                                           TimingText{"1,2,3,", false, {}}, TimingText{"1,-2,3", false, {}},
                                           TimingText{"1,2,3601", false, {}}, TimingText{"1;2;3", false, {}},
                                           TimingText{"nan,1,1", false, {}}, TimingText{"Typical", false, {}}));

}  // namespace
