// The flash command layer on the simulated chip, seen through the bus
// recorder: exact command sequences, the order in which status bits are
// tested, and the stop after a fatal flash fault.
#include "FlashTestSupport.h"

namespace {

using namespace flashtest;
using norsim::NorFaults;

// A command-layer case: the faults in force, whether the chip has been
// unlocked first, the bus accesses expected and the fault cause expected
// (null: no fault).
struct SequenceCase {
    const char* name;
    int statusFault;     // injected final status, -1: none
    uint32_t busyPolls;
    bool unlocked;
    std::vector<BusAccess> expected;
    const char* cause;
};

std::ostream& operator<<(std::ostream& os, const SequenceCase& c) { return os << c.name; }

class FlashCommandTest : public ChipTest {
protected:
    // Maps the window of `sector` (the chip unlocked first when asked) and
    // starts recording.
    uintptr_t Prepare(int sector, bool unlocked, const NorFaults& faults) {
        if (unlocked) Capture([] { ChipUnprotect(); });
        EXPECT_EQ(FlashFaultOccurred(), 0);
        norsim::NorChipSetFaults(faults);
        void* w = MapFlashDevice(sector * sectorSize, sectorSize);
        EXPECT_NE(w, MAP_FAILED);
        Record();
        return reinterpret_cast<uintptr_t>(w);
    }

    void ExpectFault(const Output& o, const char* operation, const char* cause, const SequenceCase& c) {
        if (cause == nullptr) {
            EXPECT_EQ(FlashFaultOccurred(), 0);
            EXPECT_EQ(o.out, "");
            return;
        }
        EXPECT_EQ(FlashFaultOccurred(), 1);
        uint16_t last = 0;
        for (const BusAccess& a : bus_) if (!a.write) last = a.value;
        char expected[200];
        std::snprintf(expected, sizeof expected, "Flash fault: %s of sector %i failed at 0x%x: %s, status 0x%04x; nothing more is written\n",
                      operation, c.expected.front().address / sectorSize, c.expected.front().address, cause, last);
        EXPECT_EQ(o.out, expected);
    }
};

// ---------------------------------------------------------------------------
// Block erase of sector 2 (physical 0x40000).

constexpr uint32_t kB = 0x40000;

class EraseSequenceTest : public FlashCommandTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(EraseSequenceTest, WritesTheCommandsAndTestsTheStatusInOrder) {
    const SequenceCase& c = GetParam();
    NorFaults faults;
    faults.eraseStatus[2] = c.statusFault;
    faults.busyPolls = c.busyPolls;
    uintptr_t ba = Prepare(2, c.unlocked, faults);
    Output o = Capture([&] { EraseBlockFA(ba); });
    EXPECT_EQ(bus_, c.expected) << Show(bus_);
    ExpectFault(o, "erase", c.cause, c);

    // After a fault nothing more reaches the chip.
    bus_.clear();
    EraseBlockFA(ba);
    ProgramFA(ba, 0);
    EXPECT_EQ(bus_.empty(), c.cause != nullptr) << Show(bus_);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, EraseSequenceTest,
    ::testing::Values(
        SequenceCase{"ReadyAtOnce", -1, 0, true, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0x80), W(kB, 0x50), W(kB, 0xFF)}, nullptr},
        SequenceCase{"BusyTwice", -1, 2, true,
                     {W(kB, 0x20), W(kB, 0xD0), R(kB, 0), R(kB, 0), R(kB, 0x80), W(kB, 0x50), W(kB, 0xFF)}, nullptr},
        SequenceCase{"UntestedBitTwo", 0x84, 0, true, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0x84), W(kB, 0x50), W(kB, 0xFF)}, nullptr},
        SequenceCase{"VoltageError", 0x88, 0, true, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0x88)}, "voltage error"},
        SequenceCase{"CommandSequenceError", 0xB0, 0, true, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0xB0)}, "command sequence error"},
        SequenceCase{"EraseError", 0xA0, 0, true, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0xA0)}, "erase error"},
        SequenceCase{"LockedBitAlone", 0x82, 0, true, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0x82)}, "block locked"},
        SequenceCase{"LockedBlockReportsEraseErrorFirst", -1, 0, false, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0xA2)}, "erase error"},
        SequenceCase{"VoltageTestedBeforeAllOthers", 0xBA, 0, true, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0xBA)}, "voltage error"},
        SequenceCase{"SequenceTestedBeforeLocked", 0xB2, 0, true, {W(kB, 0x20), W(kB, 0xD0), R(kB, 0xB2)}, "command sequence error"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Word program at physical 0x20010 (sector 1).

constexpr uint32_t kP = 0x20010;

struct ProgramCase {
    SequenceCase c;
    uint16_t data;
};

std::ostream& operator<<(std::ostream& os, const ProgramCase& p) { return os << p.c.name; }

class ProgramSequenceTest : public FlashCommandTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramSequenceTest, WritesSetupDataOneStatusCommandPerPollAndClear) {
    const SequenceCase& c = GetParam().c;
    NorFaults faults;
    faults.programStatus[1] = c.statusFault;
    faults.busyPolls = c.busyPolls;
    uintptr_t window = Prepare(1, c.unlocked, faults);
    Capture([&] { EraseBlockFA(window); });  // the word is erased first
    bus_.clear();
    Output o = Capture([&] { ProgramFA(window + (kP - 0x20000), GetParam().data); });
    EXPECT_EQ(bus_, c.expected) << Show(bus_);
    ExpectFault(o, "word program", c.cause, c);
    // An injected status leaves the (erased) word as it was.
    EXPECT_EQ(norsim::NorChipPeek(kP), c.statusFault < 0 ? GetParam().data : 0xFFFF);

    bus_.clear();
    ProgramFA(window, 0);
    EXPECT_EQ(bus_.empty(), c.cause != nullptr) << Show(bus_);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ProgramSequenceTest,
    ::testing::Values(
        ProgramCase{{"Ready", -1, 0, true, {W(kP, 0x40), W(kP, 0x1234), W(kP, 0x70), R(kP, 0x80), W(kP, 0x50)}, nullptr}, 0x1234},
        ProgramCase{{"AllOnesLikeAnyOther", -1, 0, true, {W(kP, 0x40), W(kP, 0xFFFF), W(kP, 0x70), R(kP, 0x80), W(kP, 0x50)}, nullptr},
                    0xFFFF},
        ProgramCase{{"BusyTwice", -1, 2, true,
                     {W(kP, 0x40), W(kP, 0x00A5), W(kP, 0x70), R(kP, 0), W(kP, 0x70), R(kP, 0), W(kP, 0x70), R(kP, 0x80),
                      W(kP, 0x50)},
                     nullptr},
                    0x00A5},
        ProgramCase{{"ProgramError", 0x90, 0, true, {W(kP, 0x40), W(kP, 0x1234), W(kP, 0x70), R(kP, 0x90), W(kP, 0x50)}, "program error"},
                    0x1234},
        ProgramCase{{"VoltageError", 0x98, 0, true, {W(kP, 0x40), W(kP, 0x1234), W(kP, 0x70), R(kP, 0x98), W(kP, 0x50)}, "voltage error"},
                    0x1234},
        ProgramCase{{"CommandSequenceError", 0xB0, 0, true,
                     {W(kP, 0x40), W(kP, 0x1234), W(kP, 0x70), R(kP, 0xB0), W(kP, 0x50)}, "command sequence error"},
                    0x1234},
        ProgramCase{{"BlockLocked", 0x82, 0, true, {W(kP, 0x40), W(kP, 0x1234), W(kP, 0x70), R(kP, 0x82), W(kP, 0x50)}, "block locked"},
                    0x1234},
        ProgramCase{{"UntestedBitTwo", 0x84, 0, true, {W(kP, 0x40), W(kP, 0x1234), W(kP, 0x70), R(kP, 0x84), W(kP, 0x50)}, nullptr},
                    0x1234}),
    [](const auto& info) { return std::string(info.param.c.name); });

// ---------------------------------------------------------------------------
// Clearing the lock bits: always in the window of sector 0.

class UnlockSequenceTest : public FlashCommandTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(UnlockSequenceTest, WritesTheCommandsAtTheChipStartAndIgnoresBitOne) {
    const SequenceCase& c = GetParam();
    NorFaults faults;
    faults.unlockStatus = c.statusFault;
    faults.busyPolls = c.busyPolls;
    norsim::NorChipSetFaults(faults);
    Record();
    Output o = Capture([] { ChipUnprotect(); });
    EXPECT_EQ(bus_, c.expected) << Show(bus_);
    ExpectFault(o, "lock-bit clearing", c.cause, c);
    EXPECT_EQ(norsim::NorChipBlockLocked(77), c.statusFault >= 0);
    EXPECT_EQ(norsim::NorChipMappedWindows(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, UnlockSequenceTest,
    ::testing::Values(
        SequenceCase{"Ready", -1, 0, false, {W(0, 0x60), W(0, 0xD0), R(0, 0x80), W(0, 0x50), W(0, 0xFF)}, nullptr},
        SequenceCase{"BusyOnce", -1, 1, false, {W(0, 0x60), W(0, 0xD0), R(0, 0), R(0, 0x80), W(0, 0x50), W(0, 0xFF)}, nullptr},
        SequenceCase{"LockedBitIsNoFault", 0x82, 0, false, {W(0, 0x60), W(0, 0xD0), R(0, 0x82), W(0, 0x50), W(0, 0xFF)}, nullptr},
        SequenceCase{"ClearingFailed", 0xA0, 0, false, {W(0, 0x60), W(0, 0xD0), R(0, 0xA0), W(0, 0xFF)}, "clearing failed"},
        SequenceCase{"CommandSequenceError", 0xB2, 0, false, {W(0, 0x60), W(0, 0xD0), R(0, 0xB2), W(0, 0xFF)}, "command sequence error"},
        SequenceCase{"VoltageError", 0xA8, 0, false, {W(0, 0x60), W(0, 0xD0), R(0, 0xA8), W(0, 0xFF)}, "voltage error"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashCommandTest, UnlockWithFailedMappingWritesNothing) {
    ASSERT_EQ(PowerUp("map-fail 0"), 0);
    Record();
    Output o = Capture([] { ChipUnprotect(); });
    EXPECT_TRUE(bus_.empty()) << Show(bus_);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("mmap: ", 0), 0u) << o.err;
    EXPECT_EQ(FlashFaultOccurred(), 0);
    EXPECT_TRUE(norsim::NorChipBlockLocked(0));
}

}  // namespace
