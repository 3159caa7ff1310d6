// The record log format's arithmetic and scan, shared by the library, the log
// inspection tool and the library's tests. Not for other callers: use the
// operations of LogUtility.h.
#ifndef LOG_UTILITY_INTERNAL_H
#define LOG_UTILITY_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "LogUtility.h"

// Bytes per record: 8 + infoLength rounded up to a multiple of 4.
uint32_t logRecordSize(uint32_t infoLength);

// The CRC that belongs in the recordCRCValue of the len-byte record rec: the
// CRC-32 of its bytes from offset 4 to its end, padding included.
uint32_t calculateRecordCrc(const unsigned char* rec, uint32_t len);

// The record number after counter: 0xFFFFFFFE and 0xFFFFFFFF are followed by 1,
// anything else by counter + 1 (so 0, "nothing seen yet", is followed by 1).
uint32_t incrementCount(uint32_t counter);

// The position after position: position + 1 while position < length, else 0.
// Writers pass fileLength - 1 as length.
uint32_t incrementPos(uint32_t position, uint32_t length);

// Little-endian 32-bit fields of a record.
uint32_t logGet32(const unsigned char* p);
void logPut32(unsigned char* p, uint32_t v);

// Result of scanning the records of a log.
typedef struct {
    uint32_t freeRecordPos;  // position the next write fills
    uint32_t lastCount;      // last number of the run found, 0 when none
    uint32_t badPos;         // the record with the wrong CRC (Log_ChecksumHasError)
} LogScan_t;

// Scans numberOfPos records of logRecordSize(infoLength) bytes at buf in file
// order: checks every CRC (stopping at the first wrong one with
// Log_ChecksumHasError, *scan then holding the values found so far) and finds
// the free position: the first record that is empty or breaks the run of
// successive numbers counted from the first number seen. When every position
// holds one unbroken run, the file is full and the free position is 0, the
// oldest record. Returns Log_Succes or Log_ChecksumHasError.
LogStatus_t logScanRecords(const unsigned char* buf, uint32_t infoLength, uint32_t numberOfPos,
                           LogScan_t* scan);

// The file calls through which the library reads, writes and seeks. Tests
// install their own to inject faults; nullptr restores the plain calls, which
// are in use by default.
typedef struct {
    ssize_t (*read)(int fd, void* buf, size_t count);
    ssize_t (*write)(int fd, const void* buf, size_t count);
    off_t (*lseek)(int fd, off_t offset, int whence);
} LogFileIo_t;

void logSetFileIo(const LogFileIo_t* io);

#endif
