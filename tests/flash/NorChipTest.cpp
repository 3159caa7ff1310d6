// The simulated chip and the host's device-memory calls: command set, status
// register, lock bits, fault file and the strictness of mappings and accesses.
#include "FlashTestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

using namespace flashtest;
using norsim::NorFaults;

constexpr int kProt = PROT_READ | PROT_WRITE | PROT_NOCACHE;

// ---------------------------------------------------------------------------
// Command scripts: bus accesses at physical addresses in blocks 0 and 1, a
// read listing the value it must return. Word 0 holds 0x0FF0 and word 0x20000
// holds 0x1234 before each script; the chip has just powered up.

struct ScriptCase {
    const char* name;
    std::vector<BusAccess> script;
    uint64_t violations;
};

std::ostream& operator<<(std::ostream& os, const ScriptCase& c) { return os << c.name; }

const std::vector<BusAccess> kUnlock = {W(0, 0x60), W(0, 0xD0), R(0, 0x80)};

std::vector<BusAccess> Then(std::vector<BusAccess> a, const std::vector<BusAccess>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const ScriptCase kScripts[] = {
    {"ArrayReadAfterPowerUp", {R(0, 0x0FF0), R(0x20000, 0x1234)}, 0},
    {"EraseOfLockedBlockFailsAndKeepsContent",
     {W(0, 0x20), W(0, 0xD0), R(0, 0xA2), W(0, 0xFF), R(0, 0x0FF0)}, 0},
    {"ProgramOfLockedBlockFails", {W(0, 0x40), W(0, 0x0000), R(0, 0x92), W(0, 0xFF), R(0, 0x0FF0)}, 0},
    {"OneUnlockCommandUnlocksEveryBlock",
     Then(kUnlock, {W(0x20000, 0x20), W(0x20000, 0xD0), R(0x20000, 0x80), W(0x20000, 0xFF),
                    R(0x20000, 0xFFFF), R(0, 0x0FF0)}),
     0},
    {"EraseSetsWholeBlockAndOnlyIt",
     Then(kUnlock, {W(0x1000, 0x20), W(0x1000, 0xD0), R(0x1000, 0x80), W(0, 0xFF), R(0, 0xFFFF),
                    R(0x1FFFE, 0xFFFF), R(0x20000, 0x1234)}),
     0},
    {"ProgramAndsWithStoredWord",
     Then(kUnlock, {W(0, 0x40), W(0, 0x3C3C), R(0, 0x80), W(0, 0xFF), R(0, 0x0C30)}), 0},
    {"ProgramCannotTurnZeroBitsIntoOnes",
     Then(kUnlock, {W(0, 0x40), W(0, 0xFFFF), R(0, 0x80), W(0, 0xFF), R(0, 0x0FF0)}), 0},
    {"StatusModeOutlivesClearStatusUntilReadArray",
     Then(kUnlock, {W(0, 0x50), R(0, 0x80), W(0, 0x70), R(0, 0x80), W(0, 0xFF), R(0, 0x0FF0)}), 0},
    {"ReadStatusCommandFromArrayMode", {W(0, 0x70), R(0, 0x80), R(0x20000, 0x80), W(0, 0xFF), R(0, 0x0FF0)}, 0},
    {"ErrorBitsAccumulateUntilCleared",
     {W(0, 0x20), W(0, 0xD0), R(0, 0xA2), W(0, 0x40), W(0, 0), R(0, 0xB2), W(0, 0x50), R(0, 0x80)}, 0},
    {"EraseConfirmOtherThanD0IsSequenceError", {W(0, 0x20), W(0, 0xFF), R(0, 0xB0), W(0, 0xFF), R(0, 0x0FF0)}, 0},
    {"UnlockConfirmOtherThanD0IsSequenceErrorAndKeepsLocks",
     {W(0, 0x60), W(0, 0x01), R(0, 0xB0), W(0, 0x50), W(0, 0x20), W(0, 0xD0), R(0, 0xA2)}, 0},
    {"CommandsTakeTheLowByte", {W(0, 0x0070), R(0, 0x80), W(0, 0xFFFF), R(0, 0x0FF0)}, 0},
    {"UnemulatedCommandsAreIgnoredAndCounted", {W(0, 0x90), W(0, 0x98), W(0, 0xE8), R(0, 0x0FF0)}, 3},
};

class ChipScriptTest : public ChipTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ChipScriptTest, BusReadsReturnWhatTheChipMustAnswer) {
    std::vector<uint8_t> content = initial_;
    content[0] = 0xF0, content[1] = 0x0F;
    content[0x20000] = 0x34, content[0x20001] = 0x12;
    WriteBytes(flashPath_, content);
    ASSERT_EQ(PowerUp(""), 0);
    void* w = mmap_device_memory(nullptr, 2 * norsim::kBlockSize, kProt, 0, 0);
    ASSERT_NE(w, MAP_FAILED);
    uintptr_t base = reinterpret_cast<uintptr_t>(w);
    norsim::NorChipResetStats();
    for (size_t i = 0; i < GetParam().script.size(); ++i) {
        const BusAccess& a = GetParam().script[i];
        if (a.write) {
            out16(base + a.address, a.value);
        } else {
            uint16_t v = in16(base + a.address);
            EXPECT_EQ(v, a.value) << "step " << i << ": " << Show(a) << ", read " << std::hex << v;
        }
    }
    EXPECT_EQ(norsim::NorChipGetStats().violations, GetParam().violations);
}

INSTANTIATE_TEST_SUITE_P(Commands, ChipScriptTest, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChipTest, WhileBusyOnlyReadStatusIsAccepted) {
    NorFaults faults;
    faults.busyPolls = 2;
    norsim::NorChipSetFaults(faults);
    uintptr_t base = reinterpret_cast<uintptr_t>(MapFlashDevice(0, sectorSize));
    out16(base, 0x60);
    out16(base, 0xD0);
    EXPECT_EQ(in16(base), 0x00);
    out16(base, 0xFF);  // ignored: the chip is busy
    out16(base, 0x70);  // accepted
    EXPECT_EQ(in16(base), 0x00);
    EXPECT_EQ(in16(base), 0x80);
    EXPECT_EQ(norsim::NorChipGetStats().violations, 1u);
    EXPECT_FALSE(norsim::NorChipBlockLocked(127));
}

// ---------------------------------------------------------------------------
// First touches: scripts on blocks 0 and 1 over a first-touch map, run over
// two power-ups (the processes of one run in turn), then how the chip first
// came to words 0, 1 and 0x10000 (block 1's first), and whether they were
// erased.

using norsim::NorTouch;
constexpr uint8_t kErased = norsim::kTouchErased;

struct TouchCase {
    const char* name;
    std::vector<BusAccess> first, second;   // before and after the power-up again
    uint8_t word0, word1, block1;
};

constexpr uint8_t T(NorTouch t) { return static_cast<uint8_t>(t); }

std::ostream& operator<<(std::ostream& os, const TouchCase& c) { return os << c.name; }

const std::vector<BusAccess> kEraseBlock0 = {W(0, 0x20), W(0, 0xD0), R(0, 0x80), W(0, 0xFF)};

const TouchCase kTouches[] = {
    {"ReadBeforeEraseStaysReadAndIsErased", {R(0, 0)}, Then(kUnlock, kEraseBlock0), T(NorTouch::Read) | kErased,
     T(NorTouch::Erase) | kErased, 0},
    {"EraseFirstStaysErase", Then(kUnlock, kEraseBlock0), {R(0, 0), W(0, 0x40), W(2, 0)},
     T(NorTouch::Erase) | kErased, T(NorTouch::Erase) | kErased, 0},
    {"ProgramFirst", Then(kUnlock, {W(0, 0x40), W(0, 0)}), Then(kUnlock, kEraseBlock0),
     T(NorTouch::Program) | kErased, T(NorTouch::Erase) | kErased, 0},
    {"ReadOnly", {R(2, 0)}, {W(0, 0x70), R(0, 0x80)}, 0, T(NorTouch::Read), 0},
    // Refused operations and status reads leave the words untouched; the
    // lock-bit clearing's status read counts for nothing.
    {"LockedEraseAndProgramTouchNothing", {W(0, 0x20), W(0, 0xD0), R(0, 0xA2), W(0, 0x40), W(2, 0)},
     {W(0, 0x70), R(0, 0x80)}, 0, 0, 0},
    {"FaultedEraseTouchesNothing", Then(kUnlock, {W(0x20000, 0x20), W(0x20000, 0xD0)}), {}, 0, 0, 0},
};

class TouchTest : public ChipTest, public ::testing::WithParamInterface<TouchCase> {};

TEST_P(TouchTest, RecordsHowEachWordWasFirstReached) {
    const TouchCase& c = GetParam();
    const std::string mapPath = dir_ + "/touch";
    WriteBytes(mapPath, std::vector<uint8_t>(norsim::kTouchMapSize));
    for (const auto* script : {&c.first, &c.second}) {
        const int fd = open(mapPath.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        norsim::NorChipConfig config;
        config.flashPath = flashPath_;
        config.faultPath = "";
        config.faults.eraseStatus[1] = 0xA0;
        config.firstTouchFd = fd;
        ASSERT_EQ(norsim::NorChipPowerUp(config, nullptr), 0);
        close(fd);  // the chip keeps its mapping, not the descriptor
        const uintptr_t base = reinterpret_cast<uintptr_t>(MapFlashDevice(0, 2 * sectorSize));
        for (const BusAccess& a : *script) {
            if (a.write) out16(base + a.address, a.value);
            else (void)in16(base + a.address);
        }
        norsim::NorChipPowerDown();
    }
    const std::vector<uint8_t> map = ReadBytes(mapPath);
    ASSERT_EQ(map.size(), norsim::kTouchMapSize);
    uint64_t chips = 0;
    std::memcpy(&chips, map.data(), sizeof chips);
    EXPECT_EQ(chips, 2u) << "both power-ups took the map";
    const uint8_t* words = map.data() + norsim::kTouchHeaderSize;
    EXPECT_EQ(words[0], c.word0);
    EXPECT_EQ(words[1], c.word1);
    EXPECT_EQ(words[0x10000], c.block1);
    EXPECT_EQ(words[0x20000], 0) << "a word outside the scripts' blocks";
}

INSTANTIATE_TEST_SUITE_P(Touches, TouchTest, ::testing::ValuesIn(kTouches),
                         [](const auto& info) { return std::string(info.param.name); });

// A map of another size changes nothing the chip does; it is only not kept.
TEST_F(ChipTest, UnusableFirstTouchMapIsReportedAndIgnored) {
    const std::string mapPath = dir_ + "/touch";
    WriteBytes(mapPath, std::vector<uint8_t>(100));
    const int fd = open(mapPath.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    norsim::NorChipConfig config;
    config.flashPath = flashPath_;
    config.firstTouchFd = fd;
    const Output o = Capture([&] { EXPECT_EQ(norsim::NorChipPowerUp(config, nullptr), 0); });
    close(fd);
    EXPECT_NE(o.err.find("first-touch map"), std::string::npos) << o.err;
    const uintptr_t base = reinterpret_cast<uintptr_t>(MapFlashDevice(0, sectorSize));
    EXPECT_EQ(in16(base), static_cast<uint16_t>(initial_[0] | initial_[1] << 8));
    EXPECT_EQ(ReadBytes(mapPath), std::vector<uint8_t>(100));
}

// ---------------------------------------------------------------------------
// Fault file.

struct FaultTextCase {
    const char* text;
    const char* error;  // null: accepted
};

std::ostream& operator<<(std::ostream& os, const FaultTextCase& c) { return os << '"' << c.text << '"'; }

class FaultTextTest : public ::testing::TestWithParam<FaultTextCase> {};

TEST_P(FaultTextTest, AcceptsWellFormedLinesAndNamesTheFirstBadOne) {
    NorFaults faults;
    std::string error;
    int rc = norsim::ParseFaultText(GetParam().text, &faults, &error);
    if (GetParam().error == nullptr) {
        EXPECT_EQ(rc, 0) << error;
    } else {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(error.rfind(GetParam().error, 0), 0u) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, FaultTextTest,
                         ::testing::Values(FaultTextCase{"", nullptr},
                                           FaultTextCase{"# only a comment\n\n   \n", nullptr},
                                           FaultTextCase{"erase-status 3 0x28\nmap-fail 0x7f # last\n", nullptr},
                                           FaultTextCase{"never-ready erase 0\nnever-ready program 127", nullptr},
                                           FaultTextCase{"busy-polls 0\nunlock-status 0xFFFF\n", nullptr},
                                           FaultTextCase{"erase-status 128 0x20", "line 1:"},
                                           FaultTextCase{"map-fail 1\nbusy-polls\n", "line 2:"},
                                           FaultTextCase{"never-ready unlock 1", "line 1:"},
                                           FaultTextCase{"map-fail -1", "line 1:"},
                                           FaultTextCase{"erase-status 3 0x10000", "line 1:"},
                                           FaultTextCase{"map-fail 1 2", "line 1:"},
                                           FaultTextCase{"map-fail 0x", "line 1:"},
                                           FaultTextCase{"#\n#\nmap-fail 12abc", "line 3:"},
                                           FaultTextCase{"Map-Fail 1", "line 1:"}));

// ---------------------------------------------------------------------------
// No chip: every mapping fails.

struct NoChipCase {
    const char* name;
    int flashBytes;  // -1: no content file
    const char* faultText;
    const char* why;
};

std::ostream& operator<<(std::ostream& os, const NoChipCase& c) { return os << c.name; }

class NoChipTest : public ChipTest, public ::testing::WithParamInterface<NoChipCase> {};

TEST_P(NoChipTest, EveryMappingFails) {
    const NoChipCase& c = GetParam();
    std::filesystem::remove(flashPath_);
    if (c.flashBytes >= 0) WriteBytes(flashPath_, std::vector<uint8_t>(static_cast<size_t>(c.flashBytes)));
    std::string why;
    EXPECT_EQ(PowerUp(c.faultText, &why), -1);
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_FALSE(norsim::NorChipPresent());
    errno = 0;
    EXPECT_EQ(mmap_device_memory(nullptr, sectorSize, kProt, 0, 0), MAP_FAILED);
    EXPECT_EQ(errno, ENXIO);
}

INSTANTIATE_TEST_SUITE_P(
    Setups, NoChipTest,
    ::testing::Values(NoChipCase{"MissingFile", -1, "", "No such file"},
                      NoChipCase{"TooSmall", norsim::kChipSize - 2, "", "not a flash image"},
                      NoChipCase{"TooLarge", norsim::kChipSize + 2, "", "not a flash image"},
                      NoChipCase{"MalformedFaultFile", norsim::kChipSize, "busy-polls 1\nmap-fail 200\n", "line 2"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Mapping arguments and accesses: stricter than the hardware.

struct MapCase {
    const char* name;
    bool preferredAddress;
    size_t len;
    int prot;
    int flags;
    uint64_t physical;
    int mapFailSector;  // -1: none
    int error;          // 0: the mapping succeeds
};

std::ostream& operator<<(std::ostream& os, const MapCase& c) { return os << c.name; }

class MapTest : public ChipTest, public ::testing::WithParamInterface<MapCase> {};

TEST_P(MapTest, AcceptsOnlyUncachedWindowsInsideTheChip) {
    const MapCase& c = GetParam();
    if (c.mapFailSector >= 0) {
        ASSERT_EQ(PowerUp("map-fail " + std::to_string(c.mapFailSector)), 0);
    }
    static char somewhere;
    errno = 0;
    void* w = mmap_device_memory(c.preferredAddress ? &somewhere : nullptr, c.len, c.prot, c.flags, c.physical);
    if (c.error == 0) {
        ASSERT_NE(w, MAP_FAILED) << std::strerror(errno);
        EXPECT_EQ(norsim::NorChipMappedWindows(), 1);
        EXPECT_EQ(munmap_device_memory(w, c.len), 0);
        EXPECT_EQ(norsim::NorChipMappedWindows(), 0);
    } else {
        EXPECT_EQ(w, MAP_FAILED);
        EXPECT_EQ(errno, c.error);
    }
}

constexpr size_t kSec = norsim::kBlockSize;
INSTANTIATE_TEST_SUITE_P(
    Windows, MapTest,
    ::testing::Values(MapCase{"OneSector", false, kSec, kProt, 0, 5 * kSec, -1, 0},
                      MapCase{"WholeChip", false, 128 * kSec, kProt, 0, 0, -1, 0},
                      MapCase{"LastSector", false, kSec, kProt, 0, 127 * kSec, -1, 0},
                      MapCase{"BeyondTheEnd", false, 2 * kSec, kProt, 0, 127 * kSec, -1, EINVAL},
                      MapCase{"StartBeyondTheEnd", false, 2, kProt, 0, 128 * kSec, -1, EINVAL},
                      MapCase{"Cached", false, kSec, PROT_READ | PROT_WRITE, 0, 0, -1, EINVAL},
                      MapCase{"PreferredAddress", true, kSec, kProt, 0, 0, -1, EINVAL},
                      MapCase{"Flags", false, kSec, kProt, MAP_SHARED, 0, -1, EINVAL},
                      MapCase{"Empty", false, 0, kProt, 0, 0, -1, EINVAL},
                      MapCase{"OddStart", false, kSec, kProt, 0, 1, -1, EINVAL},
                      MapCase{"InjectedFailureInside", false, 3 * kSec, kProt, 0, 2 * kSec, 4, ENXIO},
                      MapCase{"InjectedFailureOfNeighbour", false, kSec, kProt, 0, 3 * kSec, 4, 0}),
    [](const auto& info) { return std::string(info.param.name); });

using ChipDeathTest = ChipTest;

TEST_F(ChipDeathTest, AccessOutsideEveryWindowAborts) {
    uintptr_t w = reinterpret_cast<uintptr_t>(mmap_device_memory(nullptr, kSec, kProt, 0, 0));
    EXPECT_DEATH(in16(w + kSec), "outside every flash window");
    EXPECT_DEATH(out16(w - 2, 0xFF), "outside every flash window");
    EXPECT_DEATH(in16(w + 1), "odd 16-bit access");
    munmap_device_memory(reinterpret_cast<void*>(w), kSec);
    EXPECT_DEATH(in16(w), "outside every flash window");
}

TEST_F(ChipDeathTest, WindowCannotBeDereferencedDirectly) {
    auto* w = static_cast<volatile uint16_t*>(mmap_device_memory(nullptr, kSec, kProt, 0, 0));
    EXPECT_DEATH((void)*w, "");
}

}  // namespace
