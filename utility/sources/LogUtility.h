// Record logs: files of a fixed number of fixed-size records, each protected
// by its own CRC-32 and carrying a running record number, written as a ring
// in which the oldest position is overwritten once the file is full.
//
// File layout: fileLength records back to back, nothing else. A record is
//   offset 0   CRC-32 of the record's bytes from offset 4 to its end
//   offset 4   record number, 1..0xFFFFFFFE; 0xFFFFFFFF marks an empty record
//   offset 8   infoLength info bytes
//   then       0 to 3 padding bytes up to a multiple of 4 (covered by the CRC)
// All integers are unsigned 32-bit little-endian. A new log holds only empty
// records (number 0xFFFFFFFF, zero info bytes, valid CRC).
//
// The library keeps no state between calls: the caller owns a LogDescriptor_t
// per log, createLog fills it, and every operation opens the file named by it,
// works and closes the file again. Two operations on one log must not overlap.
#ifndef LOG_UTILITY_H
#define LOG_UTILITY_H

#include <cstdint>

#define LOG_MAX_INFO_LENGTH 1024u      // info bytes per record, at most
#define LOG_MAX_RECORDS 2000u          // records per file, at most
#define LOG_NAME_SIZE 40               // filePath and fileName: 39 characters + NUL
#define LOG_WHOLE_NAME_SIZE 80         // buffer of fileNameOf
#define LOG_EMPTY_RECORD_NO 0xFFFFFFFFu
#define LOG_RECORD_NOT_FOUND 0x7FFF    // seekLog: no record with that number

typedef enum {
    Log_Init = -1,             // declared; no operation returns it
    Log_Succes = 0,
    Log_FileNotFound = 1,      // the file could not be opened, or was not there after creation
    Log_OperationFailed = 2,   // missing descriptor or buffer, unusable name, failed
                               // creation, read, seek or write-back check
    Log_BadDescriptor = 3,     // declared; no operation returns it
    Log_EndOfLogEntries = 4,   // declared; no operation returns it
    Log_LengthError = 5,       // a limit exceeded, a file or read of the wrong size, a short write
    Log_ChecksumHasError = 6   // a record whose stored CRC does not match its contents
} LogStatus_t;

// The caller-owned handle of one log.
typedef struct {
    char filePath[LOG_NAME_SIZE];  // directory part, ends with "/"
    char fileName[LOG_NAME_SIZE];  // name within the directory
    uint32_t infoLength;           // info bytes per record (0..1024)
    uint32_t fileLength;           // records (positions) in the file (1..2000)
    uint32_t freeRecordPos;        // position the next write fills
    uint32_t nextCount;            // number the next write gives its record
} LogDescriptor_t;

// The largest record, as it lies in the file (a log's own records have
// exactly infoLength info bytes, plus padding).
typedef struct {
    uint32_t recordCRCValue;
    uint32_t recordno;
    char infoString[LOG_MAX_INFO_LENGTH];
} logInfoFileRecord_t;

// Opens the log filePath + fileName with records of infoLength info bytes and
// numberOfPos positions, filling *Log.
// - Absent file (its status query fails with ENOENT): creates the directory
//   filePath (only its last component; failure ignored), then the file, with
//   O_EXCL, of numberOfPos empty records; the log starts at position 0 with
//   number 1. Any other failure of the status query, a file that appeared
//   meanwhile and a dangling symbolic link give Log_OperationFailed, and
//   nothing is created.
// - Present file: reads its first numberOfPos records in one read and checks
//   every CRC. The free position is the first empty record or the first that
//   breaks the run of successive numbers; a file holding one unbroken run is
//   full and continues at position 0 (its oldest record) with the number after
//   the run's last. Bytes beyond the expected size are ignored and kept.
// Results: Log_Succes; Log_OperationFailed (Log or a name missing, a name
// longer than 39 characters, creation or read failed); Log_LengthError (limit
// exceeded, new file of the wrong size, existing file too short: the log is
// corrupt); Log_ChecksumHasError (a record's CRC is wrong: the log is corrupt);
// Log_FileNotFound (the file cannot be opened, or vanished after creation).
// The descriptor's name fields are filled only on success.
LogStatus_t createLog(int infoLength, int numberOfPos, const char* filePath, const char* fileName,
                      LogDescriptor_t* Log);

// Writes a record holding the first length bytes of info (zero-filled up to
// infoLength) at the free position under the number nextCount, then reads it
// back and compares. nextCount advances before the write (a failed write uses
// up its number); freeRecordPos advances only after a write that passed the
// check. Results: Log_Succes; Log_OperationFailed (Log missing, info missing
// with length > 0, seek failed, read-back short or different); Log_LengthError
// (limits, length negative or above infoLength, short write);
// Log_FileNotFound (the file cannot be opened).
LogStatus_t writeLog(const char* info, int length, LogDescriptor_t* Log);

// Position of the first record numbered seekRecordNumber, searching from
// position 0 and stopping at the first empty record (asking for 0xFFFFFFFF
// finds that empty record). Only the found record's CRC is checked. Returns
// the position, LOG_RECORD_NOT_FOUND, or a negated LogStatus_t: -1 open failed,
// -2 Log missing or seek failed, -5 limits or short read, -6 found record's
// CRC wrong.
int seekLog(uint32_t seekRecordNumber, LogDescriptor_t* Log);

// Copies the infoLength info bytes of the record at position nextFilePos into
// info; its number and CRC are not checked. Results: Log_Succes;
// Log_OperationFailed (Log or info missing, seek failed); Log_LengthError
// (limits, position at or beyond the end of the file); Log_FileNotFound.
LogStatus_t readLog(char* info, int nextFilePos, LogDescriptor_t* Log);

// wholeName (LOG_WHOLE_NAME_SIZE bytes) receives filePath immediately followed
// by fileName, no separator inserted; each part contributes at most 39
// characters.
void fileNameOf(const char* filePath, const char* fileName, char* wholeName);

#endif
