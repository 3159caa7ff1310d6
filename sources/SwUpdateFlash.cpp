// Writing partition images raw into the NOR flash: the chip's command layer
// and the sector-by-sector image writer. See SwUpdateFlash.h.
#include "SwUpdateFlash.h"

#include "DeviceMemory.h"
#include "Trace.h"

#include <cstdlib>
#include <ctime>
#include <memory>

const int sectorSize = 0x20000;
const int flashSize = 0x1000000;
const int flashStart = 0;

namespace {

constexpr int kLastSector = 127;

// Commands.
constexpr uint16_t kReadArray = 0xFF;
constexpr uint16_t kReadStatus = 0x70;
constexpr uint16_t kClearStatus = 0x50;
constexpr uint16_t kEraseSetup = 0x20;
constexpr uint16_t kConfirm = 0xD0;
constexpr uint16_t kProgramSetup = 0x40;
constexpr uint16_t kClearLockBits = 0x60;

// Status register bits.
constexpr uint16_t kReady = 0x80;
constexpr uint16_t kEraseError = 0x20;
constexpr uint16_t kProgramError = 0x10;
constexpr uint16_t kVoltageError = 0x08;
constexpr uint16_t kBlockLocked = 0x02;

// Set by the first fatal flash fault; from then on the command layer neither
// erases nor programs anything.
bool flashFault = false;

// Set by a fault whose last status lacked the ready bit: the chip is still
// busy with the operation that failed.
bool chipBusy = false;

// The window mapped last, to name the sector of a fault.
uintptr_t lastWindow = 0;
int lastWindowPhysical = 0;

int SectorOf(uintptr_t addr) {
    return (lastWindowPhysical + static_cast<int>(addr - lastWindow)) / sectorSize;
}

int PhysicalOf(uintptr_t addr) { return lastWindowPhysical + static_cast<int>(addr - lastWindow); }

long ElapsedMs(const timespec& since) {
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000L + (now.tv_nsec - since.tv_nsec) / 1000000L;
}

// Reads the status at `addr` until bit 7 is set, with a Read Status Register
// command before each read when `withCommand`. Busy polls without pause, as
// the chip finishes in microseconds to seconds. Returns false when the bound
// passes first; *srd is the last value read.
bool PollReady(uintptr_t addr, bool withCommand, long boundMs, uint16_t* srd) {
    *srd = withCommand ? ReadStatusRegister(addr) : ReadFlashFA(addr);
    if (*srd & kReady) return true;
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        // The clock is read before the status, so that a pause of the
        // updater between the two never counts against the chip.
        bool late = ElapsedMs(start) > boundMs;
        *srd = withCommand ? ReadStatusRegister(addr) : ReadFlashFA(addr);
        if (*srd & kReady) return true;
        if (late) return false;
    }
}

// Names the first error of an erase status, in the order the bits are
// tested, or returns null when there is none.
const char* EraseErrorOf(uint16_t srd) {
    if (srd & kVoltageError) return "voltage error";
    if ((srd & kEraseError) && (srd & kProgramError)) return "command sequence error";
    if (srd & kEraseError) return "erase error";
    if (srd & kBlockLocked) return "block locked";
    return nullptr;
}

// The same for the lock-bit clearing, which does not test bit 1: the chip
// may report the block's old lock bit there.
const char* UnlockErrorOf(uint16_t srd) {
    if (srd & kVoltageError) return "voltage error";
    if ((srd & kEraseError) && (srd & kProgramError)) return "command sequence error";
    if (srd & kEraseError) return "clearing failed";
    return nullptr;
}

const char* ProgramErrorOf(uint16_t srd) {
    if (srd & kVoltageError) return "voltage error";
    if ((srd & kEraseError) && (srd & kProgramError)) return "command sequence error";
    if (srd & kProgramError) return "program error";
    if (srd & kBlockLocked) return "block locked";
    return nullptr;
}

void ReportFault(const char* operation, uintptr_t addr, const char* cause, uint16_t srd) {
    flashFault = true;
    if (!(srd & kReady)) chipBusy = true;
    TRACE_RAW("Flash fault: %s of sector %i failed at 0x%x: %s, status 0x%04x; nothing more is written\n",
              operation, SectorOf(addr), PhysicalOf(addr), cause, srd);
}

// Returns the chip to Read Array, so that whoever reads the flash next (the
// flash file-system driver runs meanwhile) reads content, not status values.
// A chip that never became ready accepts nothing but Read Status Register:
// the command is then left out.
void ReturnToReadArray(uintptr_t addr) {
    if (!chipBusy) WriteFlashFA(addr, kReadArray);
}

// Reads every word of the sector behind the window `addr` back and compares
// it with the sector buffer. A difference (an erase or program that reported
// success without doing its work) is a fatal flash fault. The chip must be in
// Read Array mode.
bool VerifyFlashSector(uintptr_t addr, const uint8_t* p_byte) {
    for (int destFA = 0; destFA <= sectorSize - 2; destFA += 2) {
        const uintptr_t at = addr + static_cast<uintptr_t>(destFA);
        const uint16_t expected = static_cast<uint16_t>(p_byte[destFA] | (p_byte[destFA + 1] << 8));
        const uint16_t read = ReadFlashFA(at);
        if (read != expected) {
            flashFault = true;
            TRACE_RAW("Flash fault: verify of sector %i failed at 0x%x: read 0x%04x, expected 0x%04x; nothing more is "
                      "written\n",
                      SectorOf(at), PhysicalOf(at), read, expected);
            return false;
        }
    }
    return true;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A mapped flash window, released when it goes out of scope.
class Window {
public:
    Window(int start, int size) : size_(size) {
        void* p = MapFlashDevice(start, size);
        addr_ = p == MAP_FAILED ? 0 : reinterpret_cast<uintptr_t>(p);
    }
    ~Window() {
        if (addr_) munmap_device_memory(reinterpret_cast<void*>(addr_), static_cast<size_t>(size_));
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    bool mapped() const { return addr_ != 0; }
    uintptr_t addr() const { return addr_; }
    // Releases now; false when the release failed.
    bool Release() {
        uintptr_t a = addr_;
        addr_ = 0;
        return munmap_device_memory(reinterpret_cast<void*>(a), static_cast<size_t>(size_)) == 0;
    }

private:
    uintptr_t addr_ = 0;
    int size_;
};

// True when the image has bytes left to read; a read error is reported and
// counts as no bytes left. After a short read the stream is at its end and
// getc answers EOF, which is the answer wanted.
bool ImageHasBytesLeft(FILE* fd, unsigned int sectorIndex) {
    int c = std::getc(fd);  // NOLINT(clang-analyzer-unix.Stream)
    if (c == EOF) {
        if (std::ferror(fd))
            TRACE_RAW("Read error in image file before sector %u: the rest is not written\n", sectorIndex);
        return false;
    }
    std::ungetc(c, fd);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Command layer.

void WriteFlashFA(uintptr_t addr, uint16_t data) { out16(addr, data); }

uint16_t ReadFlashFA(uintptr_t addr) { return in16(addr); }

uint16_t ReadStatusRegister(uintptr_t addr) {
    WriteFlashFA(addr, kReadStatus);
    return ReadFlashFA(addr);
}

void ClearStatusRegister(uintptr_t addr) { WriteFlashFA(addr, kClearStatus); }

uint32_t* MapFlashDevice(int start, int size) {
    void* p = mmap_device_memory(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE | PROT_NOCACHE, 0,
                                 static_cast<uint64_t>(start));
    if (p != MAP_FAILED) {
        lastWindow = reinterpret_cast<uintptr_t>(p);
        lastWindowPhysical = start;
    }
    return static_cast<uint32_t*>(p);
}

void EraseBlockFA(uintptr_t ba) {
    if (flashFault) return;
    uint16_t srd = 0;
    WriteFlashFA(ba, kEraseSetup);
    WriteFlashFA(ba, kConfirm);
    if (!PollReady(ba, false, kEraseReadyBoundMs, &srd)) {
        ReportFault("erase", ba, "never ready", srd);
        return;
    }
    if (const char* error = EraseErrorOf(srd)) {
        ReportFault("erase", ba, error, srd);
        return;
    }
    ClearStatusRegister(ba);
    WriteFlashFA(ba, kReadArray);
}

void ProgramFA(uintptr_t addr, uint16_t data) {
    if (flashFault) return;
    uint16_t srd = 0;
    WriteFlashFA(addr, kProgramSetup);
    WriteFlashFA(addr, data);
    bool ready = PollReady(addr, true, kProgramReadyBoundMs, &srd);
    if (!ready) {
        ReportFault("word program", addr, "never ready", srd);
        return;
    }
    ClearStatusRegister(addr);
    if (const char* error = ProgramErrorOf(srd)) ReportFault("word program", addr, error, srd);
}

void ChipUnprotect(void) {
    if (flashFault) return;
    const int phAddr = flashStart;
    Window window(phAddr, sectorSize);
    if (!window.mapped()) {
        perror("mmap");
        return;
    }
    uintptr_t vrtAddr = window.addr();
    uint16_t srd = 0;
    WriteFlashFA(vrtAddr, kClearLockBits);
    WriteFlashFA(vrtAddr, kConfirm);
    if (!PollReady(vrtAddr, false, kEraseReadyBoundMs, &srd)) {
        ReportFault("lock-bit clearing", vrtAddr, "never ready", srd);
    } else if (const char* error = UnlockErrorOf(srd)) {
        ReportFault("lock-bit clearing", vrtAddr, error, srd);
    } else {
        ClearStatusRegister(vrtAddr);
    }
    ReturnToReadArray(vrtAddr);
    if (!window.Release()) TRACE_RAW("munmap failed \n");
}

int FlashFaultOccurred(void) { return flashFault ? 1 : 0; }

void FlashResetFaultState(void) {
    flashFault = false;
    chipBusy = false;
}

// ---------------------------------------------------------------------------
// Image writer.

void ReadFlashSector(uintptr_t Addr, uint8_t* p_byte) {
    for (int destFA = 0; destFA <= sectorSize - 2; destFA += 2) {
        uint16_t w = ReadFlashFA(Addr + static_cast<uintptr_t>(destFA));
        p_byte[destFA] = static_cast<uint8_t>(w & 0xFF);
        p_byte[destFA + 1] = static_cast<uint8_t>(w >> 8);
    }
}

void ProgramFlashSector(uintptr_t Addr, const uint8_t* p_byte) {
    for (int destFA = 0; destFA <= sectorSize - 2 && !flashFault; destFA += 2) {
        uint16_t w = static_cast<uint16_t>(p_byte[destFA] | (p_byte[destFA + 1] << 8));
        ProgramFA(Addr + static_cast<uintptr_t>(destFA), w);
    }
}

int FlashFile(FILE* fd, int dstAddr) {
    if (dstAddr < 0 || dstAddr >= flashSize) {
        TRACE_RAW("Start address 0x%x lies outside the flash: nothing is written\n", static_cast<unsigned int>(dstAddr));
        return 0;
    }
    unsigned int sectorIndex = static_cast<unsigned int>(dstAddr / sectorSize);
    int firstoffset = dstAddr - static_cast<int>(sectorIndex) * sectorSize;

    std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t*>(std::malloc(sectorSize)));
    if (!buffer) {
        TRACE_RAW("Could not allocate the sector buffer of %d bytes: nothing is written\n", sectorSize);
        return 0;
    }
    uint8_t* p_byte = buffer.get();

    ChipUnprotect();

    // The image is complete when the loop ends because the image (or the
    // flash) has no bytes left; a mapping failure, a read error or a flash
    // fault leave it partly written.
    bool complete = false;
    for (;;) {
        if (flashFault) break;
        if (sectorIndex > kLastSector || !ImageHasBytesLeft(fd, sectorIndex)) {
            complete = !std::ferror(fd);
            break;
        }
        const int sectorAddr = static_cast<int>(sectorIndex) * sectorSize;
        Window window(sectorAddr, sectorSize);
        if (!window.mapped()) {
            perror("mmap");
            break;
        }
        uintptr_t vrtAddr = window.addr();
        TRACE_RAW("Flashing sector %u\n", sectorIndex);
        TRACE_RAW("Address %x -> ", sectorAddr + firstoffset);

        // The chip may still answer with its status register after the last
        // word program; only Read Array returns reads to the content.
        WriteFlashFA(vrtAddr, kReadArray);
        ReadFlashSector(vrtAddr, p_byte);

        size_t wanted = static_cast<size_t>(sectorSize - firstoffset);
        int readBytes = static_cast<int>(std::fread(p_byte + firstoffset, 1, wanted, fd));
        if (static_cast<size_t>(readBytes) < wanted && std::ferror(fd)) {
            TRACE_RAW("\nRead error in image file in sector %u: it is not erased, the rest is not written\n",
                      sectorIndex);
            break;
        }
        firstoffset = 0;
        TRACE_RAW("%x \n", sectorAddr + readBytes);

        EraseBlockFA(vrtAddr);
        ProgramFlashSector(vrtAddr, p_byte);
        ReturnToReadArray(vrtAddr);
        if (!flashFault) VerifyFlashSector(vrtAddr, p_byte);
        ++sectorIndex;
    }
    if (flashFault)
        TRACE_RAW("\nProgramming stopped by a flash fault\n");
    else
        TRACE_RAW("\nProgramming complete\n");
    return complete ? 1 : 0;
}

int FlashInit(const char* fileName, long dest) {
    // Checked before the multiplication, which must not overflow.
    if (dest < 0 || dest >= flashSize / 1024) {
        TRACE_RAW("Start %ld KiB lies outside the flash: \"%s\" is not written\n", dest, fileName);
        return 0;
    }
    long dstAddr = dest * 1024;
    if (flashFault) {
        TRACE_RAW("Flash fault earlier in this run: \"%s\" is not written\n", fileName);
        return 0;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> fd(std::fopen(fileName, "r"), &std::fclose);
    if (!fd) {
        TRACE_RAW("Could not open file \"%s\" for flashing!\n", fileName);
        return -1;
    }
    TRACE_RAW("Flashing file %s to address 0x%x\n", fileName, static_cast<unsigned int>(dstAddr));
    return FlashFile(fd.get(), static_cast<int>(dstAddr));
}
