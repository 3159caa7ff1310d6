// Writing partition images raw into the instrument's 16 MiB NOR flash.
//
// The chip is driven directly with its command set through uncached windows
// onto physical flash addresses (mmap_device_memory) and single 16-bit bus
// accesses (in16/out16). An image is written sector by sector: the sector's
// content is read into RAM, overlaid with the image's bytes, the sector is
// erased and every one of its words programmed again, so that the bytes of a
// touched sector that the image does not cover keep their old values.
//
// A fatal flash fault (error bits after an erase, the lock-bit clearing or a
// word program, a chip that never reports ready, or a sector that does not
// read back as programmed) is printed with the operation, the sector and the
// status or the word read; from then on nothing is erased
// or programmed for the rest of the run, and FlashFaultOccurred() says so.
//
// Messages of this module are plain printf lines without trace prefix or
// flush; mapping failures go to standard error through perror. Main thread
// only: the module keeps private state and takes no locks.
#ifndef SWUPDATE_FLASH_H
#define SWUPDATE_FLASH_H

#include <cstdint>
#include <cstdio>

// Geometry of the chip.
extern const int sectorSize;   // 0x20000: one erase block
extern const int flashSize;    // 0x1000000: 128 sectors
extern const int flashStart;   // 0: physical address of the first byte

// Writes the image file `fileName` into the flash from `dest` KiB on and
// reports its own failures. Returns 1 when the whole image was written (up
// to the end of the flash at most); -1 when the file cannot be opened (the
// chip is not touched); 0 when the image was written partly or not at all
// (a start outside the flash, a flash fault in this run, no memory, a window
// that cannot be mapped, a read error of the image).
int FlashInit(const char* fileName, long dest);

// Writes the rest of the open image `fd` from byte address `dstAddr` on,
// up to the end of the flash at most. After each sector's last word the chip
// is returned to Read Array and the sector read back and compared with what
// was meant to be written. Returns 1 when the whole image was written, 0
// otherwise (see FlashInit). The chip is left in Read Array mode.
int FlashFile(FILE* fd, int dstAddr);

// Programs the whole sector behind the window `Addr` from the sector buffer
// `p_byte` (sectorSize bytes; word k is bytes 2k and 2k+1, little-endian).
// Stops at the first fatal flash fault.
void ProgramFlashSector(uintptr_t Addr, const uint8_t* p_byte);

// Reads the whole sector behind the window `Addr` into `p_byte`. Writes no
// command: the chip must be in read-array mode.
void ReadFlashSector(uintptr_t Addr, uint8_t* p_byte);

// Maps `size` bytes of flash from physical address `start` on, uncached.
// Returns the window's start or MAP_FAILED.
uint32_t* MapFlashDevice(int start, int size);

// 1 when a fatal flash fault has happened in this run, else 0.
int FlashFaultOccurred(void);

// Forgets a fatal flash fault. The updater never calls it; tests that run
// several cases in one process do.
void FlashResetFaultState(void);

// ---------------------------------------------------------------------------
// The command layer beneath the image writer. Only the image writer and the
// module's tests use it. `addr` and `ba` are addresses inside a window.

void WriteFlashFA(uintptr_t addr, uint16_t data);
uint16_t ReadFlashFA(uintptr_t addr);
uint16_t ReadStatusRegister(uintptr_t addr);  // 0x70, then one read
void ClearStatusRegister(uintptr_t addr);     // 0x50
void EraseBlockFA(uintptr_t ba);              // erases the block at window start `ba`
void ProgramFA(uintptr_t addr, uint16_t data);
void ChipUnprotect(void);                     // clears the lock bits of every block

// Bounds of the ready polls, far above the chip's worst cases (a block erase
// or lock-bit clearing takes a few seconds at most, a word program well under
// a millisecond). A poll that passes its bound is a fatal flash fault.
constexpr long kEraseReadyBoundMs = 16000;
constexpr long kProgramReadyBoundMs = 50;

#endif
