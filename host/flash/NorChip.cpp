// The simulated NOR flash chip and the host's device-memory calls over it.
// What the model does and does not emulate is listed in NorChip.h.
//
// The bus path (in16/out16 -> window translation -> chip state machine) is
// kept in this one file so that it compiles to a few compares per access:
// the updater programs 8 Mi words one by one through it.
#include "DeviceMemory.h"
#include "NorChip.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace norsim {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the content file holds little-endian words and is used in place");

constexpr uint16_t kReady = 0x80;
constexpr uint16_t kEraseError = 0x20;
constexpr uint16_t kProgramError = 0x10;
constexpr uint16_t kLocked = 0x02;
constexpr uint16_t kErrorBits = 0x3A;  // bits 5, 4, 3, 1

struct Window {
    uintptr_t base;
    size_t len;
    uint32_t physical;
};

struct Chip {
    bool started = false;  // a power-up was attempted
    bool present = false;  // and succeeded
    int fd = -1;
    uint16_t* words = nullptr;  // the content file, mapped shared
    NorFaults faults;
    std::array<bool, kBlockCount> locked{};
    NorCommandDecoder decoder;  // the setup command awaiting its second write
    bool statusMode = false;
    uint16_t errors = 0;       // accumulated error bits of the status register
    uint32_t busyLeft = 0;     // status reads until the running operation is ready
    bool neverReady = false;   // the running operation never finishes
    int64_t busyUntil = 0;     // monotonic nanoseconds the operation ends at; 0: not timed
    int64_t eraseNs = 0, programNs = 0, unlockNs = 0;  // NorTiming in nanoseconds
    std::vector<BusAccess>* recorder = nullptr;
    uint8_t* touchMap = nullptr;  // the first-touch map, mapped shared
    uint8_t* touch = nullptr;     // its words (NorTouch a word)
    NorChipStats stats;
    // The power cut's bus write, counted like stats.writes (so that the bus
    // path needs no counter of its own); UINT64_MAX for none.
    uint64_t powerCutAt = UINT64_MAX;
    uint64_t powerCutNumber = 0;            // the same, counted from power-up
    std::vector<Window> windows;
};

Chip chip;

// One-entry translation cache: the window of the last access.
uintptr_t cacheBase = 1;
uintptr_t cacheLen = 0;
uintptr_t cachePhysical = 0;

void InvalidateCache() {
    cacheBase = 1;
    cacheLen = 0;
}

void ReleaseAll() {
    for (const Window& w : chip.windows) munmap(reinterpret_cast<void*>(w.base), w.len);
    chip.windows.clear();
    InvalidateCache();
    if (chip.words) munmap(chip.words, kChipSize);
    if (chip.touchMap) munmap(chip.touchMap, kTouchMapSize);
    chip.touchMap = chip.touch = nullptr;
    if (chip.fd >= 0) close(chip.fd);
    chip.words = nullptr;
    chip.fd = -1;
    chip.present = false;
}

// The power cut asked for through NORFLASH_POWER_CUT (NorChip.h), 0 for none.
uint64_t PowerCutFromEnvironment() {
    const char* text = std::getenv("NORFLASH_POWER_CUT");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || n == 0 || text[0] == '-' || text[0] == '+') {
        std::fprintf(stderr, "norflash: NORFLASH_POWER_CUT=%s is not a bus write number; ignored\n", text);
        return 0;
    }
    return n;
}

// The timing asked for through NORFLASH_TIMING (NorChip.h), typical when unset.
NorTiming TimingFromEnvironment() {
    NorTiming timing;
    const char* text = std::getenv("NORFLASH_TIMING");
    if (text == nullptr || *text == '\0') return timing;
    std::string error;
    if (ParseTimingText(text, &timing, &error) != 0) {
        std::fprintf(stderr, "norflash: NORFLASH_TIMING=%s: %s; typical timing used\n", text, error.c_str());
        return NorTiming();
    }
    return timing;
}

int64_t Nanoseconds(double seconds) {
    return seconds > 0 ? static_cast<int64_t>(std::llround(seconds * 1e9)) : 0;
}

// The first-touch map handed down through NORFLASH_FIRST_TOUCH (NorChip.h):
// its descriptor when it is the file named there, else -1.
int FirstTouchFromEnvironment() {
    const char* text = std::getenv("NORFLASH_FIRST_TOUCH");
    if (text == nullptr || *text == '\0') return -1;
    int fd = -1;
    unsigned long long device = 0, inode = 0;
    struct stat st {};
    if (std::sscanf(text, "%d:%llu:%llu", &fd, &device, &inode) != 3 || fd < 0 || fstat(fd, &st) != 0 ||
        static_cast<unsigned long long>(st.st_dev) != device || static_cast<unsigned long long>(st.st_ino) != inode) {
        return -1;
    }
    return fd;
}

void EnsureStarted() {
    if (chip.started) return;
    std::string why;
    NorChipConfig config;
    config.powerCutAtWrite = PowerCutFromEnvironment();
    config.timing = TimingFromEnvironment();
    config.firstTouchFd = FirstTouchFromEnvironment();
    // A missing flash is a normal host setup (no flash): mappings just fail.
    // A broken fault file is the tester's mistake and is reported.
    if (NorChipPowerUp(config, &why) != 0 && why.find("fault file") != std::string::npos)
        std::fprintf(stderr, "norflash: %s\n", why.c_str());
}

[[noreturn]] void BusFault(const char* what, uintptr_t port) {
    std::fprintf(stderr, "norflash: %s at address %#lx\n", what, static_cast<unsigned long>(port));
    std::abort();
}

__attribute__((noinline)) uint32_t TranslateSlow(uintptr_t port) {
    if (port & 1) BusFault("odd 16-bit access", port);
    for (const Window& w : chip.windows) {
        if (port - w.base < w.len) {
            cacheBase = w.base;
            cacheLen = w.len;
            cachePhysical = w.physical;
            return static_cast<uint32_t>(w.physical + (port - w.base));
        }
    }
    BusFault("access outside every flash window", port);
}

// Physical offset of a bus address: the window of the last access, checked
// first, almost always holds it.
inline __attribute__((always_inline)) uint32_t Translate(uintptr_t port) {
    uintptr_t off = port - cacheBase;
    if (__builtin_expect(off < cacheLen && !(port & 1), 1)) return static_cast<uint32_t>(cachePhysical + off);
    return TranslateSlow(port);
}

int64_t MonotonicNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Whether a timed operation still runs; the clock is read only while one may.
__attribute__((noinline)) bool TimedBusy() {
    if (MonotonicNs() < chip.busyUntil) return true;
    chip.busyUntil = 0;
    return false;
}

inline bool Busy() { return chip.busyLeft != 0 || chip.neverReady || (chip.busyUntil != 0 && TimedBusy()); }

// `durationNs`: how long the operation keeps the chip busy (0: ready at once).
void StartOperation(int64_t durationNs) {
    chip.statusMode = true;
    chip.busyLeft = chip.faults.busyPolls;
    if (durationNs > 0) {
        chip.busyUntil = MonotonicNs() + durationNs;
        chip.stats.busySeconds += static_cast<double>(durationNs) * 1e-9;
    }
}

// The first `words` words of `block` erased, in the first-touch map.
void TouchErased(int block, uint64_t words) {
    if (chip.touch == nullptr) return;
    uint8_t* t = chip.touch + static_cast<size_t>(block) * (kBlockSize / 2);
    for (uint64_t i = 0; i < words; ++i) {
        if (t[i] == 0) t[i] = static_cast<uint8_t>(NorTouch::Erase);
        t[i] |= kTouchErased;
    }
}

inline void TouchWord(uint32_t physical, NorTouch how) {
    uint8_t& t = chip.touch[physical / 2];
    if (t == 0) t = static_cast<uint8_t>(how);
}

__attribute__((noinline)) void Erase(uint32_t physical) {
    int block = static_cast<int>(physical / kBlockSize);
    // A locked block is refused at once; an erase that fails does so at its end.
    StartOperation(chip.locked[block] && chip.faults.eraseStatus[block] < 0 ? 0 : chip.eraseNs);
    if (chip.faults.eraseNeverReady[block]) {
        chip.neverReady = true;
    } else if (chip.faults.eraseStatus[block] >= 0) {
        chip.errors |= static_cast<uint16_t>(chip.faults.eraseStatus[block]) & ~kReady;
    } else if (chip.locked[block]) {
        chip.errors |= kEraseError | kLocked;
    } else {
        uint16_t* p = chip.words + static_cast<size_t>(block) * (kBlockSize / 2);
        for (uint32_t i = 0; i < kBlockSize / 2; ++i) p[i] = 0xFFFF;
        TouchErased(block, kBlockSize / 2);
        ++chip.stats.erases;
    }
}

void Program(uint32_t physical, uint16_t data) {
    int block = static_cast<int>(physical / kBlockSize);
    StartOperation(chip.locked[block] && chip.faults.programStatus[block] < 0 ? 0 : chip.programNs);
    if (chip.faults.programNeverReady[block]) {
        chip.neverReady = true;
    } else if (chip.faults.programStatus[block] >= 0) {
        chip.errors |= static_cast<uint16_t>(chip.faults.programStatus[block]) & ~kReady;
    } else if (chip.locked[block]) {
        chip.errors |= kProgramError | kLocked;
    } else {
        chip.words[physical / 2] &= data;
        if (chip.touch != nullptr) TouchWord(physical, NorTouch::Program);
        ++chip.stats.programs;
    }
}

__attribute__((noinline)) void ClearLockBits() {
    StartOperation(chip.unlockNs);
    if (chip.faults.unlockStatus >= 0)
        chip.errors |= static_cast<uint16_t>(chip.faults.unlockStatus) & ~kReady;
    else
        chip.locked.fill(false);
}

// Appends an access to the recorder. Kept out of line: the growth of the
// vector would otherwise make every bus access save and restore registers.
__attribute__((noinline)) void Record(bool write, uint32_t physical, uint16_t value) {
    chip.recorder->push_back({write, physical, value});
}

inline __attribute__((always_inline)) uint16_t ChipRead(uint32_t physical) {
    ++chip.stats.reads;
    uint16_t v;
    if (chip.statusMode) {
        if (Busy()) {
            v = 0;  // bit 7 clear; while busy the other bits are not valid either
            if (chip.busyLeft) --chip.busyLeft;
        } else {
            v = chip.errors | kReady;
        }
    } else {
        v = chip.words[physical / 2];
        if (__builtin_expect(chip.touch != nullptr, 0)) TouchWord(physical, NorTouch::Read);
    }
    if (__builtin_expect(chip.recorder != nullptr, 0)) Record(false, physical, v);
    return v;
}

// Power goes during this bus write: the operation it would start is done in
// part only (NorChip.h), the content file keeps what was done, and the
// process ends as on a power loss.
[[noreturn]] __attribute__((noinline)) void CutPower(uint32_t physical, uint16_t value) {
    const bool accepted = !Busy();
    const int block = static_cast<int>(physical / kBlockSize);
    const bool usable = !chip.locked[block] && chip.faults.eraseStatus[block] < 0 &&
                        chip.faults.programStatus[block] < 0 && !chip.faults.eraseNeverReady[block] &&
                        !chip.faults.programNeverReady[block];
    NorCommandDecoder decoder = chip.decoder;
    const NorWrite write = decoder.Next(value);
    if (accepted && usable && write == NorWrite::EraseConfirm) {
        uint16_t* p = chip.words + static_cast<size_t>(block) * (kBlockSize / 2);
        const uint64_t erased = NorCutErasedWords(chip.powerCutNumber);
        for (uint64_t i = 0; i < erased; ++i) p[i] = 0xFFFF;
        TouchErased(block, erased);
    } else if (accepted && usable && write == NorWrite::ProgramData) {
        chip.words[physical / 2] &= NorCutProgramValue(chip.powerCutNumber, value);
        if (chip.touch != nullptr) TouchWord(physical, NorTouch::Program);
    }
    raise(SIGKILL);
    // cppcheck-suppress unreachableCode ; a guard should the kill ever return
    std::abort();  // not reached: SIGKILL cannot be caught
}

inline __attribute__((always_inline)) void ChipWrite(uint32_t physical, uint16_t value) {
    ++chip.stats.writes;
    if (__builtin_expect(chip.stats.writes == chip.powerCutAt, 0)) CutPower(physical, value);
    if (__builtin_expect(chip.recorder != nullptr, 0)) Record(true, physical, value);
    // Read Status Register does the same whether the chip is busy or not;
    // taking it first keeps the clock out of a status poll's write.
    if ((value & 0xFF) == 0x70 && chip.decoder.pending == NorCommandDecoder::Setup::None) {
        chip.statusMode = true;
        return;
    }
    if (Busy()) {
        if ((value & 0xFF) == 0x70) chip.statusMode = true;
        else ++chip.stats.violations;
        return;
    }
    switch (chip.decoder.Next(value)) {
    case NorWrite::ProgramData: Program(physical, value); return;
    case NorWrite::EraseConfirm: Erase(physical); return;
    case NorWrite::UnlockConfirm: ClearLockBits(); return;
    case NorWrite::SequenceError:
        chip.statusMode = true;
        chip.errors |= kEraseError | kProgramError;
        return;
    case NorWrite::Command: break;
    }
    switch (value & 0xFF) {
    case 0xFF: chip.statusMode = false; break;
    case 0x50: chip.errors &= static_cast<uint16_t>(~kErrorBits); break;
    case 0x70:  // read status (a setup's second write is decoded above)
    case 0x20:
    case 0x40:
    case 0x10:
    case 0x60: chip.statusMode = true; break;
    default: ++chip.stats.violations; break;
    }
}

// splitmix64: the amount of work a cut operation gets done, from the cut's
// write number alone.
uint64_t CutRandom(uint64_t write) {
    uint64_t z = write + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

uint64_t NorCutErasedWords(uint64_t write) { return CutRandom(write) % (kBlockSize / 2 + 1); }

uint16_t NorCutProgramValue(uint64_t write, uint16_t data) {
    return static_cast<uint16_t>(data | static_cast<uint16_t>(CutRandom(write)));
}

std::vector<NorOperation> NorOperationsOf(const std::vector<BusAccess>& bus, uint64_t* writes) {
    std::vector<NorOperation> ops;
    NorCommandDecoder decoder;
    uint64_t n = 0;
    for (const BusAccess& a : bus) {
        if (!a.write) continue;
        ++n;
        const NorWrite kind = decoder.Next(a.value);
        if (kind == NorWrite::EraseConfirm || kind == NorWrite::ProgramData || kind == NorWrite::UnlockConfirm)
            ops.push_back({n, kind, a.address, a.value});
    }
    if (writes) *writes = n;
    return ops;
}

int ParseTimingText(const std::string& text, NorTiming* out, std::string* error) {
    if (text == "typical") {
        *out = NorTiming();
        return 0;
    }
    if (text == "off") {
        *out = NorTiming::Off();
        return 0;
    }
    double v[3];
    const char* p = text.c_str();
    for (int i = 0; i < 3; ++i) {
        char* end = nullptr;
        errno = 0;
        v[i] = std::strtod(p, &end);
        const char want = i < 2 ? ',' : '\0';
        // Durations beyond an hour are a mistake, not a chip.
        if (end == p || errno != 0 || *end != want || !(v[i] >= 0 && v[i] <= 3600)) {
            *error = "not \"typical\", \"off\" or ERASE,PROGRAM,UNLOCK seconds (0 to 3600 each)";
            return -1;
        }
        p = end + 1;
    }
    *out = NorTiming{v[0], v[1], v[2]};
    return 0;
}

int NorChipPowerUp(const NorChipConfig& config, std::string* why) {
    std::string reason;
    ReleaseAll();
    chip.started = true;
    chip.faults = config.faults;
    chip.locked.fill(true);
    chip.decoder = NorCommandDecoder();
    chip.statusMode = false;
    chip.errors = 0;
    chip.busyLeft = 0;
    chip.neverReady = false;
    chip.busyUntil = 0;
    chip.eraseNs = Nanoseconds(config.timing.eraseSeconds);
    chip.programNs = Nanoseconds(config.timing.programSeconds);
    chip.unlockNs = Nanoseconds(config.timing.unlockSeconds);
    chip.powerCutNumber = config.powerCutAtWrite;
    chip.powerCutAt = config.powerCutAtWrite == 0 ? UINT64_MAX : chip.stats.writes + config.powerCutAtWrite;

    int fd = open(config.flashPath.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) {
        reason = config.flashPath + ": " + std::strerror(errno);
    } else if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(kChipSize)) {
        reason = config.flashPath + ": not a flash image of " + std::to_string(kChipSize) + " bytes";
    } else if (!config.faultPath.empty() && access(config.faultPath.c_str(), F_OK) == 0) {
        std::ifstream in(config.faultPath);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!in || ParseFaultText(text.str(), &chip.faults, &error) != 0)
            reason = "fault file " + config.faultPath + ": " + (error.empty() ? "unreadable" : error);
    }
    if (reason.empty()) {
        void* m = mmap(nullptr, kChipSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (m == MAP_FAILED) reason = config.flashPath + ": " + std::strerror(errno);
        else chip.words = static_cast<uint16_t*>(m);
    }
    if (!reason.empty()) {
        if (fd >= 0) close(fd);
        if (why) *why = reason;
        return -1;
    }
    chip.fd = fd;
    chip.present = true;
    // A map that cannot be used changes nothing the chip does: it is
    // reported and the touches go unrecorded (nothing then stands for more
    // than itself).
    if (config.firstTouchFd >= 0) {
        struct stat ts {};
        void* t = fstat(config.firstTouchFd, &ts) == 0 && ts.st_size == static_cast<off_t>(kTouchMapSize)
                      ? mmap(nullptr, kTouchMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, config.firstTouchFd, 0)
                      : MAP_FAILED;
        if (t == MAP_FAILED) {
            std::fprintf(stderr, "norflash: the first-touch map cannot be used; not recorded\n");
        } else {
            chip.touchMap = static_cast<uint8_t*>(t);
            chip.touch = chip.touchMap + kTouchHeaderSize;
            __atomic_fetch_add(reinterpret_cast<uint64_t*>(chip.touchMap), 1, __ATOMIC_SEQ_CST);
        }
    }
    return 0;
}

void NorChipPowerDown() {
    ReleaseAll();
    chip.started = false;
}

void NorChipSetFaults(const NorFaults& faults) { chip.faults = faults; }
void NorChipSetRecorder(std::vector<BusAccess>* log) { chip.recorder = log; }
NorChipStats NorChipGetStats() { return chip.stats; }
void NorChipResetStats() {
    if (chip.powerCutAt != UINT64_MAX) chip.powerCutAt -= chip.stats.writes;
    chip.stats = NorChipStats();
}
bool NorChipPresent() { return chip.present; }
bool NorChipBlockLocked(int block) { return chip.locked.at(static_cast<size_t>(block)); }
uint16_t NorChipPeek(uint32_t physical) {
    if (!chip.present || physical >= kChipSize || (physical & 1)) std::abort();
    return chip.words[physical / 2];
}
bool NorChipInStatusMode() { return chip.statusMode; }
int NorChipMappedWindows() { return static_cast<int>(chip.windows.size()); }

}  // namespace norsim

using namespace norsim;

// cppcheck-suppress constParameter ; the platform's own signature
void* mmap_device_memory(void* addr, size_t len, int prot, int flags, uint64_t physical) {
    EnsureStarted();
    if (!chip.present) {
        errno = ENXIO;
        return MAP_FAILED;
    }
    if (addr != nullptr || flags != 0 || prot != (PROT_READ | PROT_WRITE | PROT_NOCACHE) ||
        len == 0 || (len & 1) || (physical & 1) || physical >= kChipSize ||
        len > kChipSize - physical) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    for (uint64_t b = physical / kBlockSize; b <= (physical + len - 1) / kBlockSize; ++b) {
        if (chip.faults.mapFail[b]) {
            errno = ENXIO;
            return MAP_FAILED;
        }
    }
    // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes no descriptor
    void* reserved = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    chip.windows.push_back({reinterpret_cast<uintptr_t>(reserved), len, static_cast<uint32_t>(physical)});
    return reserved;
}

int munmap_device_memory(void* addr, size_t len) {
    uintptr_t base = reinterpret_cast<uintptr_t>(addr);
    for (size_t i = 0; i < chip.windows.size(); ++i) {
        if (chip.windows[i].base == base && chip.windows[i].len == len) {
            munmap(addr, len);
            chip.windows.erase(chip.windows.begin() + static_cast<long>(i));
            InvalidateCache();
            return 0;
        }
    }
    errno = EINVAL;
    return -1;
}

uint16_t in16(uintptr_t port) { return ChipRead(Translate(port)); }
void out16(uintptr_t port, uint16_t val) { ChipWrite(Translate(port), val); }
