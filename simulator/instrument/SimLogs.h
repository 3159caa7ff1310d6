// The instrument's record logs as the simulator sees them: files of fixed-size
// records, each with a CRC-32 over everything after its CRC field and a
// running record number (0xFFFFFFFF marks an empty record).
//
// The simulator writes the factory logs of a new instrument and decodes the
// entries an update added. It is a reader of its own, independent of the
// updater's log library, so that the report also checks what that library
// wrote.
#ifndef SWSIM_SIM_LOGS_H
#define SWSIM_SIM_LOGS_H

#include <cstdint>
#include <string>
#include <vector>

namespace swsim {

struct LogSpec {
    const char* name;       // file name in /instrumentData
    uint32_t infoLength;    // info bytes per record
    uint32_t records;       // records in the file
};

// The four logs of /instrumentData, in the order of their log index
// (0 Diag.log, 1 CriticalDiag.log, 2 DisplayedError.log, 3 RevHistory.log).
const std::vector<LogSpec>& InstrumentLogs();
const LogSpec* FindLog(const std::string& name);

constexpr uint32_t kEmptyRecordNo = 0xFFFFFFFFu;
constexpr int32_t kSelfTestLogCrcErr = 19042;

uint32_t RecordSize(uint32_t infoLength);

// A log of empty records.
std::vector<uint8_t> EmptyLog(const LogSpec& spec);
// Stores a record at position `pos` (info cut or zero-padded to the info
// length) with a valid CRC.
void PutRecord(std::vector<uint8_t>* log, const LogSpec& spec, uint32_t pos, uint32_t recordNo,
               const std::vector<uint8_t>& info);

struct LogRecord {
    uint32_t position = 0;
    uint32_t recordNo = 0;
    bool crcOk = false;
    std::vector<uint8_t> info;
    bool empty() const { return recordNo == kEmptyRecordNo; }
};

struct DecodedLog {
    bool present = false;
    bool lengthOk = false;     // at least records x record size bytes
    size_t size = 0;
    int badCrcs = 0;
    std::vector<LogRecord> records;  // every complete record, in file order
};

DecodedLog DecodeLog(const std::vector<uint8_t>& bytes, bool present, const LogSpec& spec);

// Records of `after` that hold an entry (not empty) and differ from the
// record at the same position in `before`: what was written in between. A
// log recreated in between yields all its entries.
std::vector<LogRecord> AddedRecords(const DecodedLog& before, const DecodedLog& after);

// Entry builders with the layouts the instrument uses (time of writing first).
std::vector<uint8_t> RevisionEntry(uint32_t time, int major, int minor);
std::vector<uint8_t> DiagEntry(uint32_t time, int32_t error, const std::vector<uint8_t>& params);

// One readable line for an entry of the named log, e.g.
// "record 4: 2026-12-07 21:14:02 UTC version 2.04".
std::string DescribeRecord(const LogSpec& spec, const LogRecord& record);

}  // namespace swsim

#endif
