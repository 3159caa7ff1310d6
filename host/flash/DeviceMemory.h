// Physical device memory on the host: the calls through which the flash
// module reaches the NOR flash chip.
//
// On the target these are the platform's own: mmap_device_memory() and
// munmap_device_memory() from <sys/mman.h>, PROT_NOCACHE, and in16()/out16()
// from <hw/inout.h>, which on this processor are plain volatile 16-bit
// accesses. A port to the target replaces this header (and the host library
// behind it) with those includes; the flash module does not change.
//
// On the host a window is a range of reserved, inaccessible address space:
// its addresses are real and unique, but dereferencing them faults, so code
// that bypasses in16()/out16() cannot go unnoticed. in16()/out16() on an
// address inside a window drive the simulated chip (NorChip.h) at the
// corresponding physical offset. An access outside every window, or at an
// odd address, is a programming error and aborts with a message.
#ifndef HOST_DEVICE_MEMORY_H
#define HOST_DEVICE_MEMORY_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

// Uncached mapping, as the platform defines it (PROT_READ | PROT_WRITE |
// PROT_NOCACHE is 0xB00 there, because its PROT_READ and PROT_WRITE differ
// from Linux's; the host combines its own PROT_READ and PROT_WRITE with it).
#ifndef PROT_NOCACHE
#define PROT_NOCACHE 0x00000800
#endif

// Maps `len` bytes of physical flash from `physical` on. `addr` must be null
// (no preferred address), `prot` must be PROT_READ | PROT_WRITE |
// PROT_NOCACHE (a cached window onto chip registers is refused), `flags` 0.
// Returns the window's start, or MAP_FAILED with errno set: ENXIO when there
// is no flash (missing or wrongly sized /dev/norflash, broken fault file, or
// an injected mapping fault for a sector of the range), EINVAL for arguments
// the call does not accept, ENOMEM when no address space is left.
void* mmap_device_memory(void* addr, size_t len, int prot, int flags, uint64_t physical);

// Releases a window made by mmap_device_memory. `addr` and `len` must be
// exactly those of a window still mapped. Returns 0, or -1 with errno EINVAL.
int munmap_device_memory(void* addr, size_t len);

// One 16-bit bus read and one 16-bit bus write at `port`, an even address
// inside a mapped window.
uint16_t in16(uintptr_t port);
void out16(uintptr_t port, uint16_t val);

#endif
