// The pieces the power-loss runs rest on: the chip model's power cut (what an
// interrupted write leaves, and that a cut replays exactly) and the sector
// check that judges the flash after a cut.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "DeviceMemory.h"
#include "NorChip.h"
#include "PowerLoss.h"
#include "RootTest.h"
#include "SimFiles.h"

using namespace powerloss;

namespace {

constexpr uint32_t kSector1 = 0x20000;
constexpr uint16_t kOldWord = 0x5A5A;
constexpr uint16_t kData = 0x1234;

// Bus writes of the sequence below, numbered from 1: 1-2 clear lock bits,
// 3-4 erase sector 1, 5 read array, 6-7 program kData at word 1, 8 read array.
enum CutAt : uint64_t { kNoCut = 0, kUnlockConfirm = 2, kEraseConfirm = 4, kProgramData = 7, kReadArray = 8 };

struct CutCase {
    const char* name;
    uint64_t cut;
    bool killed;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class ChipPowerCut : public ::testing::TestWithParam<CutCase> {
protected:
    void SetUp() override
    {
        dir_ = MakeTestDir();
        ASSERT_FALSE(dir_.empty());
        flash_ = dir_ + "/norflash";
        ResetFlash();
    }
    void TearDown() override { RemoveTree(dir_); }

    // Sector 1 holds kOldWord everywhere, the rest of the chip is erased.
    void ResetFlash()
    {
        std::vector<uint8_t> content(norsim::kChipSize, 0xFF);
        for (uint32_t i = kSector1; i < 2 * kSector1; i += 2) std::memcpy(&content[i], &kOldWord, 2);
        ASSERT_TRUE(swsim::WriteBytes(flash_, content.data(), content.size()));
    }

    // Runs the sequence in a child with the power cut at `cut`; returns its
    // wait status and the sector afterwards in *words.
    int Run(uint64_t cut, std::vector<uint16_t>* words)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            norsim::NorChipConfig config;
            config.flashPath = flash_;
            config.faultPath = "";
            config.powerCutAtWrite = cut;
            if (norsim::NorChipPowerUp(config, nullptr) != 0) _exit(3);
            void* w = mmap_device_memory(nullptr, kSector1, PROT_READ | PROT_WRITE | PROT_NOCACHE, 0, kSector1);
            if (w == MAP_FAILED) _exit(4);
            const uintptr_t base = reinterpret_cast<uintptr_t>(w);
            for (uint16_t v : {0x60, 0xD0, 0x20, 0xD0, 0xFF, 0x40}) out16(base, v);
            out16(base + 2, kData);
            out16(base, 0xFF);
            _exit(0);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        std::vector<uint8_t> bytes;
        swsim::ReadBytes(flash_, &bytes);
        words->assign(kSector1 / 2, 0);
        if (bytes.size() == norsim::kChipSize) std::memcpy(words->data(), &bytes[kSector1], kSector1);
        return status;
    }

    std::string dir_, flash_;
};

// The erased words form a prefix; the rest of the sector keeps its content.
bool ErasedPrefixThenOld(const std::vector<uint16_t>& w)
{
    size_t i = 0;
    while (i < w.size() && w[i] == 0xFFFF) ++i;
    for (; i < w.size(); ++i) {
        if (w[i] != kOldWord) return false;
    }
    return true;
}

}  // namespace

TEST_P(ChipPowerCut, LeavesWhatTheInterruptedWriteGotDone)
{
    const CutCase& c = GetParam();
    std::vector<uint16_t> words;
    const int status = Run(c.cut, &words);
    if (c.killed) {
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    } else {
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<uint16_t> erased(words.size(), 0xFFFF);
    std::vector<uint16_t> old(words.size(), kOldWord);
    switch (c.cut) {
    case kUnlockConfirm:
        EXPECT_EQ(words, old);  // the cut write never reached the chip
        break;
    case kEraseConfirm:
        EXPECT_TRUE(ErasedPrefixThenOld(words));
        break;
    case kProgramData:
        // Some of the bits the program clears are cleared, no others.
        EXPECT_EQ(words[1] & kData, kData);
        words[1] = 0xFFFF;
        EXPECT_EQ(words, erased);
        break;
    default:  // the program completed
        EXPECT_EQ(words[1], kData);
        words[1] = 0xFFFF;
        EXPECT_EQ(words, erased);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Cuts, ChipPowerCut,
                         ::testing::Values(CutCase{"UnlockConfirm", kUnlockConfirm, true},
                                           CutCase{"EraseConfirm", kEraseConfirm, true},
                                           CutCase{"ProgramData", kProgramData, true},
                                           CutCase{"ReadArrayAfterProgram", kReadArray, true},
                                           CutCase{"None", kNoCut, false},
                                           CutCase{"BeyondTheLastWrite", 1000, false}),
                         [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

// The same cut number leaves the same flash, whatever ran before.
TEST_F(ChipPowerCut, SameCutReplaysExactly)
{
    for (uint64_t cut : {uint64_t{kEraseConfirm}, uint64_t{kProgramData}}) {
        std::vector<uint16_t> first, second;
        Run(cut, &first);
        ResetFlash();
        Run(cut, &second);
        EXPECT_EQ(first, second) << "cut at bus write " << cut;
    }
}

// ---------------------------------------------------------------------------
// The sector check: sectors 0, 1 and 2 are written by bus writes 10-20,
// 21-30 and 31-40; everything else is untouched.

namespace {

struct SectorCase {
    const char* name;
    uint64_t cut;
    std::vector<std::pair<int, char>> after;  // sector: 'o' old, 'n' new, 't' torn, 'l' its last byte wrong
    int torn;
    size_t faults;
};

void PrintTo(const SectorCase& c, std::ostream* os) { *os << c.name; }

class SectorCheck : public ::testing::TestWithParam<SectorCase> {};

}  // namespace

TEST_P(SectorCheck, JudgesEachSectorByItsPlace)
{
    const SectorCase& c = GetParam();
    std::vector<uint8_t> before(norsim::kChipSize, 0x00), done(norsim::kChipSize, 0x00);
    SectorPlan plan;
    for (int s = 0; s < 3; ++s) {
        plan.first[s] = s == 0 ? 10 : 11 + 10 * static_cast<uint64_t>(s);
        plan.last[s] = 20 + 10 * static_cast<uint64_t>(s);
        std::memset(&done[s * kSectorBytes], 0x11, kSectorBytes);
    }
    std::vector<uint8_t> after = before;
    for (const auto& [sector, what] : c.after) {
        uint8_t* p = &after[sector * kSectorBytes];
        if (what == 'n') std::memcpy(p, &done[sector * kSectorBytes], kSectorBytes);
        if (what == 't') std::memset(p, 0x01, kSectorBytes / 2);
        if (what == 'l') p[kSectorBytes - 1] = 0x01;
    }
    const SectorCount count = ClassifySectors(before, done, after, plan, c.cut);
    EXPECT_EQ(count.torn, c.torn);
    EXPECT_EQ(count.faults.size(), c.faults) << (count.faults.empty() ? "" : count.faults.front());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SectorCheck,
    ::testing::Values(
        SectorCase{"CutInSecondSectorTearsIt", 25, {{0, 'n'}, {1, 't'}}, 1, 0},
        SectorCase{"OnlyTheLastByteTorn", 25, {{0, 'n'}, {1, 'l'}}, 1, 0},
        SectorCase{"FinishedSectorsLastByteWrong", 35, {{0, 'n'}, {1, 'l'}, {2, 't'}}, 2, 2},
        SectorCase{"CutAtFirstEraseNothingChanged", 10, {}, 0, 0},
        SectorCase{"AfterLastWriteAllNew", 41, {{0, 'n'}, {1, 'n'}, {2, 'n'}}, 0, 0},
        SectorCase{"FinishedSectorStillOld", 25, {{1, 't'}}, 1, 1},
        SectorCase{"LaterSectorChangedEarly", 25, {{0, 'n'}, {2, 'n'}}, 0, 1},
        SectorCase{"TornSectorNotBeingWritten", 25, {{0, 't'}, {1, 'n'}}, 1, 1},
        SectorCase{"TwoTornSectors", 25, {{0, 't'}, {1, 't'}}, 2, 2},
        SectorCase{"UntouchedSectorChanged", 25, {{0, 'n'}, {7, 't'}}, 1, 1}),
    [](const ::testing::TestParamInfo<SectorCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// NORFLASH_POWER_CUT as the updater's chip reads it: a malformed value is
// reported and ignored, never taken as some other bus write.

namespace {

struct EnvCase {
    const char* name;
    const char* value;
    bool reported;
};

void PrintTo(const EnvCase& c, std::ostream* os) { *os << c.name; }

class PowerCutVariable : public ::testing::TestWithParam<EnvCase> {};

}  // namespace

TEST_P(PowerCutVariable, MalformedValuesAreReportedAndIgnored)
{
    const EnvCase& c = GetParam();
    const std::string dir = MakeTestDir();
    ASSERT_FALSE(dir.empty());
    const std::string errors = dir + "/stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        // In a root without flash, so that the chip's default start finds
        // no /dev/norflash of the host's.
        const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) _exit(3);
        std::string why;
        if (EnterInstrumentRoot(InstrumentRootConfig(), &why) != 0) _exit(77);
        dup2(fd, 2);
        setenv("NORFLASH_POWER_CUT", c.value, 1);
        norsim::NorChipPowerDown();
        void* w = mmap_device_memory(nullptr, 2, PROT_READ | PROT_WRITE | PROT_NOCACHE, 0, 0);
        _exit(w == MAP_FAILED ? 0 : 4);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        RemoveTree(dir);
        GTEST_SKIP() << "no instrument root on this machine";
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    const std::string text = swsim::ReadTextOr(errors, "");
    RemoveTree(dir);
    EXPECT_EQ(text.find("NORFLASH_POWER_CUT=") != std::string::npos, c.reported) << text;
}

INSTANTIATE_TEST_SUITE_P(Values, PowerCutVariable,
                         ::testing::Values(EnvCase{"Number", "12", false}, EnvCase{"Empty", "", false},
                                           EnvCase{"Zero", "0", true}, EnvCase{"Negative", "-3", true},
                                           EnvCase{"Text", "abc", true}, EnvCase{"TrailingText", "12x", true},
                                           EnvCase{"Overflow", "99999999999999999999999", true}),
                         [](const ::testing::TestParamInfo<EnvCase>& info) { return std::string(info.param.name); });
