// The partition image writer on the simulated chip: where an image lands,
// what happens to the bytes around it, the messages, and how it stops on
// mapping failures, read errors and fatal flash faults.
#include "FlashTestSupport.h"
#include "Sanitizers.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

using namespace flashtest;

constexpr size_t kSec = norsim::kBlockSize;
constexpr size_t kChip = norsim::kChipSize;

// The output of one image write that is not cut short.
std::string ExpectedOutput(const std::string& file, size_t start, size_t length) {
    char line[300];
    std::snprintf(line, sizeof line, "Flashing file %s to address 0x%zx\n", file.c_str(), start);
    std::string s = line;
    size_t sector = start / kSec, offset = start % kSec, left = length;
    for (; sector <= 127 && left > 0; ++sector, offset = 0) {
        size_t n = std::min(kSec - offset, left);
        std::snprintf(line, sizeof line, "Flashing sector %zu\nAddress %zx -> %zx \n", sector, sector * kSec + offset,
                      sector * kSec + n);
        s += line;
        left -= n;
    }
    return s + "\nProgramming complete\n";
}

// The chip content after writing `image` at `start` over `before`.
std::vector<uint8_t> Overlay(std::vector<uint8_t> before, size_t start, const std::vector<uint8_t>& image) {
    for (size_t i = 0; i < image.size() && start + i < kChip; ++i) before[start + i] = image[i];
    return before;
}

// Index of the first differing byte, or -1.
long FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0) return -1;
    auto m = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return m.first == a.end() && m.second == b.end() ? -1 : static_cast<long>(m.first - a.begin());
}

// ---------------------------------------------------------------------------
// Placement.

struct PlacementCase {
    const char* name;
    long startKiB;
    size_t length;
    int sectorsTouched;
    const char* firstSectorLine;  // the "Address" line of the first sector touched
    // Before the write the lock bits are clear and the chip is left answering
    // with its status register; the lock-bit clearing then finds no window
    // (sector 0 cannot be mapped), so only the writer's own Read Array makes
    // the kept bytes of the first sector readable.
    bool statusModeFirst = false;
};

std::ostream& operator<<(std::ostream& os, const PlacementCase& c) { return os << c.name; }

class PlacementTest : public ChipTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(PlacementTest, WritesTheImageAndKeepsEverythingElse) {
    const PlacementCase& c = GetParam();
    std::vector<uint8_t> image = RandomBytes(c.length, 11);
    std::string path = WriteImage("image", image);
    if (c.statusModeFirst) {
        Capture([] { ChipUnprotect(); });
        void* window = mmap_device_memory(nullptr, kSec, PROT_READ | PROT_WRITE | PROT_NOCACHE, 0, 0);
        ASSERT_NE(window, MAP_FAILED);
        ReadStatusRegister(reinterpret_cast<uintptr_t>(window));
        munmap_device_memory(window, kSec);
        ASSERT_TRUE(norsim::NorChipInStatusMode());
        norsim::NorFaults faults;
        faults.mapFail[0] = true;
        norsim::NorChipSetFaults(faults);
    }
    norsim::NorChipResetStats();

    int result = 0;
    Output o = Capture([&] { result = FlashInit(path.c_str(), c.startKiB); });

    EXPECT_EQ(result, 1);
    EXPECT_FALSE(norsim::NorChipInStatusMode()) << "the chip must be left in Read Array mode";
    const size_t start = static_cast<size_t>(c.startKiB) * 1024;
    long diff = FirstDifference(Content(), Overlay(initial_, start, image));
    EXPECT_EQ(diff, -1) << "first wrong byte at 0x" << std::hex << diff;
    EXPECT_EQ(o.out, ExpectedOutput(path, start, c.length));
    if (c.firstSectorLine) {
        EXPECT_NE(o.out.find(c.firstSectorLine), std::string::npos) << o.out;
    }
    EXPECT_EQ(o.err, c.statusModeFirst ? "mmap: No such device or address\n" : "");
    norsim::NorChipStats stats = norsim::NorChipGetStats();
    EXPECT_EQ(stats.erases, static_cast<uint64_t>(c.sectorsTouched));
    EXPECT_EQ(stats.programs, static_cast<uint64_t>(c.sectorsTouched) * kSec / 2);
    EXPECT_EQ(stats.violations, 0u);
    EXPECT_FALSE(norsim::NorChipBlockLocked(0));  // the lock bits are cleared even for an empty image
    EXPECT_EQ(norsim::NorChipMappedWindows(), 0);
    EXPECT_EQ(FlashFaultOccurred(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Images, PlacementTest,
    ::testing::Values(PlacementCase{"Start0", 0, 300000, 3, "Address 0 -> 20000 \n"},
                      PlacementCase{"Start1KiBKeepsHeadAndContinuesIntoNextSector", 1, 200000, 2,
                                    "Address 400 -> 1fc00 \nFlashing sector 1\nAddress 20000 -> 31140 \n"},
                      PlacementCase{"Start128KiB", 128, 5000, 1, "Flashing sector 1\nAddress 20000 -> 21388 \n"},
                      PlacementCase{"Start129KiBAfterStatusMode", 129, 5000, 1,
                                    "Flashing sector 1\nAddress 20400 -> 21388 \n", true},
                      PlacementCase{"EndsAtSectorEnd", 0, 2 * kSec, 2, nullptr},
                      PlacementCase{"EndsAtFirstSectorEndFromOffset", 1, kSec - 1024, 1, nullptr},
                      PlacementCase{"OddLength", 0, 1001, 1, "Address 0 -> 3e9 \n"},
                      PlacementCase{"Empty", 0, 0, 0, nullptr},
                      PlacementCase{"Image1000Bytes", 0, 1000, 1, "Address 0 -> 3e8 \n"},
                      PlacementCase{"Start16000KiB", 16000, 100000, 1, "Flashing sector 125\nAddress fa0000 -> fb86a0 \n"},
                      PlacementCase{"LongerThanTheFlashBeyondItsStart", 16000, 3 * kSec + 5, 3, nullptr},
                      PlacementCase{"WholeChip", 0, kChip, 128, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChipTest, ImageLongerThanTheFlashIsNotReadBeyondIt) {
    std::string path = WriteImage("image", RandomBytes(4 * kSec, 3));
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    Capture([&] { FlashFile(f, static_cast<int>(126 * kSec)); });
    EXPECT_EQ(std::ftell(f), static_cast<long>(2 * kSec));
    std::fclose(f);
}

TEST_F(ChipTest, MissingImageTouchesNothing) {
    Record();
    int result = 0;
    Output o = Capture([&] { result = FlashInit((dir_ + "/absent").c_str(), 0); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(o.out, "Could not open file \"" + dir_ + "/absent\" for flashing!\n");
    EXPECT_TRUE(bus_.empty());
    EXPECT_TRUE(norsim::NorChipBlockLocked(0));
}

// A start outside the flash is refused before anything is opened or touched:
// a negative one would address memory before the sector buffer.
TEST_F(ChipTest, StartOutsideTheFlashIsRefused) {
    std::string path = WriteImage("image", RandomBytes(1000, 4));
    Record();
    for (long startKiB : {-1L, -128L, 16384L, 0x7FFFFFFFL}) {
        int result = 1;
        Output o = Capture([&] { result = FlashInit(path.c_str(), startKiB); });
        EXPECT_EQ(result, 0) << startKiB;
        EXPECT_EQ(o.out, "Start " + std::to_string(startKiB) + " KiB lies outside the flash: \"" + path +
                             "\" is not written\n");
    }
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    int result = 1;
    Output o = Capture([&] { result = FlashFile(f, -1024); });
    std::fclose(f);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(o.out, "Start address 0xfffffc00 lies outside the flash: nothing is written\n");
    EXPECT_TRUE(bus_.empty()) << Show(bus_);
    EXPECT_EQ(FlashFaultOccurred(), 0);
}

// The whole bus conversation of a two-sector image: the unlock, then per
// sector Read Array at its window, its reads in ascending order, the erase,
// one program sequence per word, and Read Array with the read-back of every
// word.
TEST_F(ChipTest, BusSequenceOfAnImage) {
    std::vector<uint8_t> image = RandomBytes(kSec + 4, 5);
    std::string path = WriteImage("image", image);
    Record();
    Capture([&] { FlashInit(path.c_str(), 0); });
    std::vector<uint8_t> after = Overlay(initial_, 0, image);

    std::vector<BusAccess> expected = {W(0, 0x60), W(0, 0xD0), R(0, 0x80), W(0, 0x50), W(0, 0xFF)};
    for (uint32_t base : {0u, static_cast<uint32_t>(kSec)}) {
        expected.push_back(W(base, 0xFF));
        for (uint32_t a = base; a < base + kSec; a += 2)
            expected.push_back(R(a, static_cast<uint16_t>(initial_[a] | initial_[a + 1] << 8)));
        for (const BusAccess& e : {W(base, 0x20), W(base, 0xD0), R(base, 0x80), W(base, 0x50), W(base, 0xFF)})
            expected.push_back(e);
        for (uint32_t a = base; a < base + kSec; a += 2) {
            uint16_t d = static_cast<uint16_t>(after[a] | after[a + 1] << 8);
            for (const BusAccess& e : {W(a, 0x40), W(a, d), W(a, 0x70), R(a, 0x80), W(a, 0x50)}) expected.push_back(e);
        }
        expected.push_back(W(base, 0xFF));
        for (uint32_t a = base; a < base + kSec; a += 2)
            expected.push_back(R(a, static_cast<uint16_t>(after[a] | after[a + 1] << 8)));
    }
    ASSERT_EQ(bus_.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(bus_[i], expected[i]) << "access " << i << ": " << Show(bus_[i]) << " instead of " << Show(expected[i]);
}

// ---------------------------------------------------------------------------
// Faults from the fault file, during a three-sector image at start 0.
// Sector states afterwards: W written, E erased only, U unchanged, A the
// image programmed over the unerased old content (old AND image).

struct FaultCase {
    const char* name;
    const char* faultText;
    const char* sectors;  // states of sectors 0 to 3
    const char* message;  // expected in standard output (after the sector lines)
    bool fatal;
    bool complete = false;  // FlashInit reports the image as written
    bool busy = false;      // the chip is left busy, so not in Read Array mode
    // The image's sector 2 is blank (0xFF) but for its last word, so that a
    // fault keeping the programmed words leaves only that word wrong.
    bool blankButLastWord = false;
};

std::ostream& operator<<(std::ostream& os, const FaultCase& c) { return os << c.name; }

class WriterFaultTest : public ChipTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(WriterFaultTest, StopsWhereTheFaultIsAndWritesNothingMoreInTheRun) {
    const FaultCase& c = GetParam();
    ASSERT_EQ(PowerUp(c.faultText), 0);
    std::vector<uint8_t> image = RandomBytes(3 * kSec, 13);
    if (c.blankButLastWord) {
        std::fill(image.begin() + 2 * kSec, image.end() - 2, 0xFF);
        image[3 * kSec - 2] = 0x34;
        image[3 * kSec - 1] = 0x12;
    }
    std::string path = WriteImage("image", image);

    int result = -1;
    Output o = Capture([&] { result = FlashInit(path.c_str(), 0); });

    EXPECT_EQ(result, c.complete ? 1 : 0);
    EXPECT_EQ(norsim::NorChipInStatusMode(), c.busy) << "the chip must be left in Read Array mode unless busy";
    std::vector<uint8_t> content = Content();
    for (int s = 0; s < 4; ++s) {
        std::vector<uint8_t> expected(initial_.begin() + s * kSec, initial_.begin() + (s + 1) * kSec);
        if (c.sectors[s] == 'W') std::copy_n(image.begin() + s * kSec, kSec, expected.begin());
        if (c.sectors[s] == 'E') std::fill(expected.begin(), expected.end(), 0xFF);
        if (c.sectors[s] == 'A')
            for (size_t i = 0; i < kSec; ++i) expected[i] &= image[s * kSec + i];
        std::vector<uint8_t> actual(content.begin() + s * kSec, content.begin() + (s + 1) * kSec);
        EXPECT_EQ(FirstDifference(actual, expected), -1) << "sector " << s << " is not " << c.sectors[s];
    }
    EXPECT_NE(o.out.find(c.message), std::string::npos) << o.out;
    EXPECT_EQ(FlashFaultOccurred(), c.fatal ? 1 : 0);
    const std::string end = c.fatal ? "\nProgramming stopped by a flash fault\n" : "\nProgramming complete\n";
    EXPECT_EQ(o.out.substr(o.out.size() - std::min(o.out.size(), end.size())), end);
    EXPECT_EQ(norsim::NorChipMappedWindows(), 0);

    // A later image of the same run.
    Record();
    o = Capture([&] { FlashInit(path.c_str(), 1024); });
    if (c.fatal) {
        EXPECT_TRUE(bus_.empty()) << Show(bus_);
        EXPECT_EQ(o.out, "Flash fault earlier in this run: \"" + path + "\" is not written\n");
    } else {
        EXPECT_FALSE(bus_.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    FaultFile, WriterFaultTest,
    ::testing::Values(
        FaultCase{"EraseErrorInSecondSector", "erase-status 1 0x20", "WUUU",
                  "Flash fault: erase of sector 1 failed at 0x20000: erase error, status 0x00a0; nothing more is written\n",
                  true},
        FaultCase{"VoltageErrorInFirstErase", "erase-status 0 0x08", "UUUU",
                  "Flash fault: erase of sector 0 failed at 0x0: voltage error, status 0x0088", true},
        FaultCase{"SequenceErrorInThirdErase", "erase-status 2 0x30", "WWUU", "erase of sector 2 failed at 0x40000: command sequence error",
                  true},
        FaultCase{"UnlockFails", "unlock-status 0x20", "UUUU",
                  "Flash fault: lock-bit clearing of sector 0 failed at 0x0: clearing failed, status 0x00a0", true},
        FaultCase{"UnlockReportsLockedBitButClearsNothing", "unlock-status 0x02", "UUUU",
                  "Flash fault: erase of sector 0 failed at 0x0: erase error, status 0x00a2", true},
        FaultCase{"ProgramErrorInThirdSector", "program-status 2 0x10", "WWEU",
                  "Flash fault: word program of sector 2 failed at 0x40000: program error, status 0x0090", true},
        FaultCase{"ProgramVoltageError", "program-status 0 0x08", "EUUU", "word program of sector 0 failed at 0x0: voltage error",
                  true},
        FaultCase{"ProgramNeverReady", "never-ready program 1", "WEUU",
                  "Flash fault: word program of sector 1 failed at 0x20000: never ready, status 0x0000", true, false, true},
        // Operations that report success without doing their work are found
        // by the read-back of the sector.
        FaultCase{"EraseReportsSuccessButKeepsTheBlock", "erase-status 1 0x80", "WAUU",
                  "Flash fault: verify of sector 1 failed at 0x2", true},
        FaultCase{"ProgramReportsSuccessButKeepsTheWords", "program-status 2 0x80", "WWEU",
                  "Flash fault: verify of sector 2 failed at 0x40000: read 0xffff, expected 0x", true},
        FaultCase{"ProgramKeepsOnlyTheLastWordWrong", "program-status 2 0x80", "WWEU",
                  "Flash fault: verify of sector 2 failed at 0x5fffe: read 0xffff, expected 0x1234", true, false, false,
                  true},
        FaultCase{"MappingFailsPartWay", "map-fail 2", "WWUU", "Flashing sector 1\n", false},
        FaultCase{"NoMappingAtAll", "map-fail 0", "UUUU", "Flashing file ", false},
        FaultCase{"BusyChip", "busy-polls 3", "WWWU", "Flashing sector 2\n", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Takes the full erase bound (about 16 s of the test's clock).
TEST_F(ChipTest, EraseThatNeverBecomesReadyIsAFatalFault) {
    ASSERT_EQ(PowerUp("never-ready erase 1"), 0);
    std::string path = WriteImage("image", RandomBytes(3 * kSec, 13));
    Output o = Capture([&] { FlashInit(path.c_str(), 0); });
    EXPECT_NE(o.out.find("Flash fault: erase of sector 1 failed at 0x20000: never ready, status 0x0000"), std::string::npos)
        << o.out;
    EXPECT_EQ(FlashFaultOccurred(), 1);
    EXPECT_EQ(norsim::NorChipGetStats().erases, 1u);
}

TEST_F(ChipTest, MappingFailureIsReportedThroughPerror) {
    ASSERT_EQ(PowerUp("map-fail 1"), 0);
    std::string path = WriteImage("image", RandomBytes(2 * kSec, 1));
    Output o = Capture([&] { FlashInit(path.c_str(), 0); });
    EXPECT_EQ(o.err, "mmap: No such device or address\n");
    EXPECT_EQ(o.out, "Flashing file " + path + " to address 0x0\nFlashing sector 0\nAddress 0 -> 20000 \n\nProgramming complete\n");
}

// ---------------------------------------------------------------------------
// Read errors of the image (a stream that fails after `good` bytes).

struct FailingStream {
    size_t good;
    size_t pos = 0;
};

ssize_t FailingRead(void* cookie, char* buf, size_t size) {
    auto* s = static_cast<FailingStream*>(cookie);
    if (s->pos >= s->good) {
        errno = EIO;
        return -1;
    }
    size_t n = std::min(size, s->good - s->pos);
    std::memset(buf, 0x5A, n);
    s->pos += n;
    return static_cast<ssize_t>(n);
}

struct ReadErrorCase {
    const char* name;
    size_t good;
    const char* sectors;
    const char* message;
};

std::ostream& operator<<(std::ostream& os, const ReadErrorCase& c) { return os << c.name; }

class ReadErrorTest : public ChipTest, public ::testing::WithParamInterface<ReadErrorCase> {};

TEST_P(ReadErrorTest, StopsTheImageBeforeErasingTheSectorConcerned) {
    FailingStream stream{GetParam().good};
    FILE* f = fopencookie(&stream, "r", {FailingRead, nullptr, nullptr, nullptr});
    ASSERT_NE(f, nullptr);
    int result = 1;
    Output o = Capture([&] { result = FlashFile(f, 0); });
    std::fclose(f);
    EXPECT_EQ(result, 0) << "an image cut short by a read error is not written";
    std::vector<uint8_t> content = Content();
    for (int s = 0; s < 3; ++s) {
        bool written = GetParam().sectors[s] == 'W';
        std::vector<uint8_t> expected(initial_.begin() + s * kSec, initial_.begin() + (s + 1) * kSec);
        if (written) std::fill(expected.begin(), expected.end(), 0x5A);
        std::vector<uint8_t> actual(content.begin() + s * kSec, content.begin() + (s + 1) * kSec);
        EXPECT_EQ(FirstDifference(actual, expected), -1) << "sector " << s;
    }
    EXPECT_NE(o.out.find(GetParam().message), std::string::npos) << o.out;
    EXPECT_EQ(FlashFaultOccurred(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ReadErrorTest,
    ::testing::Values(ReadErrorCase{"AtOnce", 0, "UUU", "Read error in image file before sector 0: the rest is not written\n"},
                      ReadErrorCase{"InsideSecondSector", kSec + 500, "WUU",
                                    "\nRead error in image file in sector 1: it is not erased, the rest is not written\n"},
                      ReadErrorCase{"AtSectorBoundary", 2 * kSec, "WWU",
                                    "Read error in image file before sector 2: the rest is not written\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// No memory for the sector buffer: checked in a child process whose address
// space is limited to what it already uses.

#if !defined(SWU_SANITIZED)
using WriterDeathTest = ChipTest;

TEST_F(WriterDeathTest, SectorBufferThatCannotBeAllocatedWritesNothing) {
    if (std::getenv("SWU_QEMU_ARM") != nullptr) {
        GTEST_SKIP() << "qemu-user does not apply an address-space cap (RLIMIT_AS) to the program it emulates";
    }
    std::string path = WriteImage("image", RandomBytes(1000, 2));
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EXIT(
        {
            dup2(2, 1);
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            long pages = 0;
            FILE* statm = std::fopen("/proc/self/statm", "r");
            if (!statm || std::fscanf(statm, "%ld", &pages) != 1) _exit(3);
            std::fclose(statm);
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * 4096 + 64 * 1024;
            setrlimit(RLIMIT_AS, &limit);
            FlashFile(f, 0);
            _exit(norsim::NorChipGetStats().writes == 0 && norsim::NorChipBlockLocked(0) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "Could not allocate the sector buffer of 131072 bytes: nothing is written");
    std::fclose(f);
}
#endif

}  // namespace
