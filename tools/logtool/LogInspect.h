// swlog: inspection of record log files for the engineers who service
// instruments. It opens files read-only and never creates or changes one.
//
//   swlog [print] [-i INFO_LENGTH] [-n RECORDS] FILE
//       prints the entries oldest first; entries of the instrument's logs are
//       decoded (time as UTC ISO 8601, revision as major.minor, diagnostic
//       entries with error number, its name where known and the parameter
//       bytes in hex), others are shown as info bytes in hex
//   swlog verify [-i INFO_LENGTH] [-n RECORDS] FILE
//       reports whether the file is intact or the first bad position and why
//
// Both state the verdict first. Bytes of a file beyond its log are ignored
// (and counted); a file cut short inside a record is not decoded. Only
// regular files are read.
//
// The sizes are inferred from the file names "Diag.log", "CriticalDiag.log",
// "DisplayedError.log" and "RevHistory.log" (also with the prefix
// "Corrupted" of the copies kept of corrupt logs); other files need both.
//
// Exit status: 0 intact (print and verify), 1 corrupt, 2 usage error or the
// file cannot be read; -h or --help: the usage on standard output, 0.
#ifndef LOG_INSPECT_H
#define LOG_INSPECT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// How the info bytes of a log's entries are laid out. Critical diagnostic
// entries carry no parameter data.
enum class EntryKind { Raw, Revision, Diagnostic, CriticalDiagnostic, DisplayedError };

struct LogShapeInfo {
    uint32_t infoLength;
    uint32_t records;
    EntryKind kind;
};

// The shape of a known instrument log by its file name (a path is allowed;
// the "Corrupted" prefix is ignored). False for other names.
bool KnownLogShape(const std::string& path, LogShapeInfo* shape);

// Outcome of checking one record log file.
struct LogCheck {
    int status;             // a LogStatus_t: Log_Succes, Log_LengthError or Log_ChecksumHasError
    uint32_t badPosition;   // first bad position when corrupt
    uint64_t bytesRead;     // of the expected size (a longer file is not read further)
    uint64_t bytesExpected;
    uint64_t bytesIgnored;  // of a file longer than its log (given the file's size)
    uint32_t freeRecordPos; // when intact: where the next entry goes
    uint32_t nextCount;     // when intact: the number it gets
};

struct LogRecordView {
    uint32_t position;
    uint32_t number;
    bool crcOk;
    std::vector<unsigned char> info;
};

// Checks the bytes of a file as the record log library validates a log.
// `fileSize` is the whole file's size when only its first bytes were read
// (0: the bytes are the whole file).
LogCheck CheckLogBytes(const std::vector<unsigned char>& bytes, uint32_t infoLength, uint32_t records,
                       uint64_t fileSize = 0);

// True when a file cut short still holds whole records only, so that its
// records lie where the log's would; a file whose size fits no record layout
// is not decoded.
bool WholeRecords(const LogCheck& check, uint32_t infoLength);

// The non-empty complete records of the bytes, oldest first by their
// numbers (which wrap from 0xFFFFFFFE to 1).
std::vector<LogRecordView> EntriesOldestFirst(const std::vector<unsigned char>& bytes, uint32_t infoLength,
                                              uint32_t records);

// One entry decoded as a line without its line end.
std::string DescribeEntry(const LogRecordView& entry, EntryKind kind);

// Seconds since 1970 as "YYYY-MM-DDThh:mm:ssZ".
std::string IsoTime(uint32_t seconds);

// Name of a LogStatus_t value ("Log_ChecksumHasError").
const char* LogStatusName(int status);

// The whole tool; output and diagnostics go to the given streams.
int SwlogMain(int argc, char** argv, FILE* out, FILE* err);

#endif
