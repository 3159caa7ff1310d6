// CRC-32 of the record logs: the reflected CRC-32 with polynomial 0xEDB88320,
// register preset to all ones and final inversion (the checksum used by zlib
// and Ethernet). Buffers of 16 bytes and more are processed 16 bytes at a
// time through tables derived from crc_32_tab (slicing by 16); the results
// are those of the byte-wise calculation.
#ifndef CRC_H
#define CRC_H

#include <cstddef>
#include <cstdint>

// The table of the reflected polynomial 0xEDB88320: entry n is the register
// after shifting the byte n through it eight times.
extern const uint32_t crc_32_tab[256];

// CRC-32 of the len bytes at buf. A zero length gives 0; buf may then be null.
uint32_t crc32buf(const char* buf, size_t len);

// The same, a byte at a time through crc_32_tab alone (the reference the
// sliced calculation is checked and measured against).
uint32_t crc32buf_bytewise(const char* buf, size_t len);

#endif
