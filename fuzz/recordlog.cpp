// Fuzz target: validation and writing of the instrument's four record logs.
//
// Input: one control byte, then the bytes of the log file.
//   bits 0-1  which log: Diag.log, CriticalDiag.log, DisplayedError.log,
//             RevHistory.log (each with its own record size and count)
//   bit 2     seal: give every whole record of the file its correct CRC, so
//             that inputs reach the record numbering, not just the CRC check
//   bit 3     pad: fill a short file up with sealed empty records
//   bit 4     absent: no file at all
//   bits 5-6  number of further entries written (0 to 3)
//   bit 7     run the updater's validation of all four logs instead
// Expectations (the log is never read back wrong silently):
// - a file shorter than the log is a length error, a record with a wrong CRC
//   a checksum error, anything else opens; an absent log is created empty;
// - on a log that opened, every write succeeds, changes only its own record,
//   keeps the bytes behind the log, and the record reads back by its number
//   and position, also after the log is opened again;
// - a corrupt log is replaced by the entry writers, and the validation keeps
//   a copy of it, recreates it and records the recreation in the diagnostic
//   and critical diagnostic logs; afterwards all four logs open.
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "ErrorDefinition.h"
#include "FuzzRoot.h"
#include "LogUtility.h"
#include "LogUtilityInternal.h"
#include "SwUpdateLog.h"
#include "crc.h"

namespace {

struct LogKind {
    const char* name;
    uint32_t infoLength;
    uint32_t records;
};

const LogKind kLogs[4] = {
    {"Diag.log", 50, 1000},
    {"CriticalDiag.log", 50, 1000},
    {"DisplayedError.log", 8, 1000},
    {"RevHistory.log", 100, 100},
};

const char kDir[] = "/instrumentData/";
const char kCopyDir[] = "/tmp/CorruptDiagnosticLogs";

std::string PathOf(const LogKind& log)
{
    return std::string(kDir) + log.name;
}

void Seal(unsigned char* rec, uint32_t recSize)
{
    logPut32(rec, crc32buf(reinterpret_cast<const char*>(rec) + 4, recSize - 4));
}

bool RecordSealed(const unsigned char* rec, uint32_t recSize)
{
    return logGet32(rec) == crc32buf(reinterpret_cast<const char*>(rec) + 4, recSize - 4);
}

// Corrupt in the log format's sense: too short, or a whole record of the log
// with a wrong CRC.
bool IsCorrupt(const std::string& file, const LogKind& log)
{
    const uint32_t recSize = logRecordSize(log.infoLength);
    if (file.size() < static_cast<size_t>(log.records) * recSize)
        return true;
    for (uint32_t i = 0; i < log.records; ++i)
        if (!RecordSealed(reinterpret_cast<const unsigned char*>(file.data()) + static_cast<size_t>(i) * recSize, recSize))
            return true;
    return false;
}

std::string ReadOrEmpty(const std::string& path)
{
    std::string content;
    GetFile(path, &content);
    return content;
}

// An intact log of only empty records, as createLog makes it.
std::string EmptyLog(const LogKind& log)
{
    const uint32_t recSize = logRecordSize(log.infoLength);
    std::string empty(recSize, '\0');
    logPut32(reinterpret_cast<unsigned char*>(&empty[4]), LOG_EMPTY_RECORD_NO);
    Seal(reinterpret_cast<unsigned char*>(empty.data()), recSize);
    std::string whole;
    whole.reserve(static_cast<size_t>(log.records) * recSize);
    for (uint32_t i = 0; i < log.records; ++i)
        whole += empty;
    return whole;
}

std::string emptyLogs[4];  // EmptyLog of each kind, made once

// Every case starts from the same logs: the fuzzed one as the input has it
// (or absent), the other three intact and empty when the validation runs,
// which reads them all; no copy of a corrupt log is left from earlier cases.
// Writing the three in one go each costs far less than having the
// validation create them record by record in every case.
void CleanUp(const LogKind& fuzzed, bool validate)
{
    for (int i = 0; i < 4; ++i) {
        const LogKind& log = kLogs[i];
        if (validate && &log != &fuzzed)
            PutFile(PathOf(log), reinterpret_cast<const uint8_t*>(emptyLogs[i].data()), emptyLogs[i].size());
        else
            unlink(PathOf(log).c_str());
        unlink((std::string(kCopyDir) + "/Corrupted" + log.name).c_str());
    }
    rmdir(kCopyDir);
}

// Writes one entry and checks it on the medium and through the library.
// *content is the log file's content before the write (nothing else changes
// the file between the writes of a case) and becomes its content after it.
void WriteAndCheck(const LogKind& log, LogDescriptor_t* d, const std::string& payload, std::string* content)
{
    const uint32_t recSize = logRecordSize(log.infoLength);
    const std::string before = std::move(*content);
    const uint32_t pos = d->freeRecordPos;
    const uint32_t number = d->nextCount;
    FUZZ_CHECK(pos < log.records, "free position %u outside the log", pos);
    FUZZ_CHECK(number != 0 && number != LOG_EMPTY_RECORD_NO, "next number %#x is not a record number", number);

    const LogStatus_t st = writeLog(payload.data(), static_cast<int>(payload.size()), d);
    FUZZ_CHECK(st == Log_Succes, "writeLog failed with %d on a log that opened", st);

    *content = ReadOrEmpty(PathOf(log));
    const std::string& after = *content;
    FUZZ_CHECK(after.size() == before.size(), "write changed the file size %zu -> %zu", before.size(),
               after.size());
    const size_t at = static_cast<size_t>(pos) * recSize;
    FUZZ_CHECK(after.compare(0, at, before, 0, at) == 0 &&
                   after.compare(at + recSize, std::string::npos, before, at + recSize, std::string::npos) == 0,
               "write at position %u changed other bytes", pos);
    const unsigned char* rec = reinterpret_cast<const unsigned char*>(after.data()) + at;
    FUZZ_CHECK(RecordSealed(rec, recSize) && logGet32(rec + 4) == number, "written record %u is not sealed or misnumbered",
               pos);

    std::string expected = payload;
    expected.resize(log.infoLength, '\0');
    for (int pass = 0; pass < 2; ++pass) {
        LogDescriptor_t view = *d;
        if (pass == 1) {
            const LogStatus_t reopened = createLog(static_cast<int>(log.infoLength), static_cast<int>(log.records),
                                                   kDir, log.name, &view);
            FUZZ_CHECK(reopened == Log_Succes, "log does not open after a write: %d", reopened);
        }
        const int found = seekLog(number, &view);
        FUZZ_CHECK(found == static_cast<int>(pos), "record %u written at %u is found at %d (pass %d)", number, pos,
                   found, pass);
        char info[LOG_MAX_INFO_LENGTH];
        FUZZ_CHECK(readLog(info, found, &view) == Log_Succes, "record %u does not read", pos);
        FUZZ_CHECK(std::memcmp(info, expected.data(), log.infoLength) == 0, "record %u reads back different", pos);
    }
}

void CheckAllOpen()
{
    for (const LogKind& log : kLogs) {
        LogDescriptor_t d;
        const LogStatus_t st =
            createLog(static_cast<int>(log.infoLength), static_cast<int>(log.records), kDir, log.name, &d);
        FUZZ_CHECK(st == Log_Succes, "%s does not open after validation: %d", log.name, st);
    }
}

// The first entry of a diagnostic log records a recreation.
void CheckRecreationRecorded(const char* name)
{
    LogDescriptor_t d;
    FUZZ_CHECK(createLog(50, 1000, kDir, name, &d) == Log_Succes, "%s does not open", name);
    char info[LOG_MAX_INFO_LENGTH];
    FUZZ_CHECK(readLog(info, 0, &d) == Log_Succes, "%s does not read", name);
    int32_t error;
    std::memcpy(&error, info + 4, sizeof error);
    FUZZ_CHECK(error == SelfTestLogCRCErr, "%s records error %d, not the recreation", name, error);
}

void Validate(const LogKind& log, bool absent, const std::string& file)
{
    ValidateDiagnosticLogs();
    CheckAllOpen();
    if (absent || !IsCorrupt(file, log)) {
        FUZZ_CHECK(access(kCopyDir, F_OK) != 0, "a copy was kept although no log was corrupt");
        if (!absent)
            FUZZ_CHECK(ReadOrEmpty(PathOf(log)) == file, "an intact %s was changed by the validation", log.name);
        return;
    }
    std::string copy;
    FUZZ_CHECK(GetFile(std::string(kCopyDir) + "/Corrupted" + log.name, &copy) && copy == file,
               "the copy of the corrupt %s is missing or different", log.name);
    CheckRecreationRecorded("Diag.log");
    CheckRecreationRecorded("CriticalDiag.log");
}

void OpenWriteAndReplace(const LogKind& log, bool absent, const std::string& file, int writes,
                         const uint8_t* data, size_t size)
{
    const uint32_t recSize = logRecordSize(log.infoLength);
    const size_t whole = static_cast<size_t>(log.records) * recSize;
    LogDescriptor_t d;
    const LogStatus_t st =
        createLog(static_cast<int>(log.infoLength), static_cast<int>(log.records), kDir, log.name, &d);
    if (absent) {
        FUZZ_CHECK(st == Log_Succes, "an absent log is not created: %d", st);
        FUZZ_CHECK(ReadOrEmpty(PathOf(log)).size() == whole, "a new log has the wrong size");
    } else if (file.size() < whole) {
        FUZZ_CHECK(st == Log_LengthError, "a file of %zu bytes (log %zu) opens with %d", file.size(), whole, st);
    } else if (IsCorrupt(file, log)) {
        FUZZ_CHECK(st == Log_ChecksumHasError, "a record with a wrong CRC opens with %d", st);
    } else {
        FUZZ_CHECK(st == Log_Succes, "an intact log opens with %d", st);
    }

    if (st == Log_Succes) {
        std::string content = absent ? ReadOrEmpty(PathOf(log)) : file;
        for (int k = 0; k <= writes; ++k) {
            // Entries of every length up to the record's, from the input's bytes.
            const size_t length = k == 0 ? log.infoLength : (size % (log.infoLength + 1));
            std::string payload(length, static_cast<char>(k));
            for (size_t i = 0; i < length && i < size; ++i)
                payload[i] = static_cast<char>(data[i]);
            WriteAndCheck(log, &d, payload, &content);
        }
    }

    // The entry writers open the log themselves, replacing a corrupt one.
    int written = 0;
    if (std::strcmp(log.name, "RevHistory.log") == 0)
        written = WriteRevLog(static_cast<int>(size % 100), writes, log.name);
    else if (std::strcmp(log.name, "DisplayedError.log") != 0) {
        // The writer takes 42 parameter bytes (or none).
        uint8_t parameters[42] = {};
        std::memcpy(parameters, data, size < sizeof parameters ? size : sizeof parameters);
        written = WriteDiagLog(SelfTestLogCRCErr, size > 0 ? parameters : nullptr, log.name);
    } else
        return;
    FUZZ_CHECK(written == 0, "entry writer failed with %d on %s", written, log.name);
    LogDescriptor_t after;
    FUZZ_CHECK(createLog(static_cast<int>(log.infoLength), static_cast<int>(log.records), kDir, log.name, &after) ==
                   Log_Succes,
               "%s does not open after the entry writer", log.name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterFuzzRoot("recordlog", false);
    for (int i = 0; i < 4; ++i)
        emptyLogs[i] = EmptyLog(kLogs[i]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t control = data[0];
    ++data;
    --size;
    const LogKind& log = kLogs[control & 3];
    const bool seal = (control & 0x04) != 0;
    const bool pad = (control & 0x08) != 0;
    const bool absent = (control & 0x10) != 0;
    const int writes = (control >> 5) & 3;
    const bool validate = (control & 0x80) != 0;

    const uint32_t recSize = logRecordSize(log.infoLength);
    const size_t whole = static_cast<size_t>(log.records) * recSize;
    std::string file(reinterpret_cast<const char*>(data), size);
    if (pad && file.size() < whole) {
        file.resize(file.size() / recSize * recSize);
        file.append(emptyLogs[control & 3], file.size(), std::string::npos);
    }
    if (seal)
        for (size_t at = 0; at + recSize <= file.size(); at += recSize)
            Seal(reinterpret_cast<unsigned char*>(&file[at]), recSize);

    CleanUp(log, validate);
    if (!absent)
        PutFile(PathOf(log), reinterpret_cast<const uint8_t*>(file.data()), file.size());
    if (validate)
        Validate(log, absent, file);
    else
        OpenWriteAndReplace(log, absent, file, writes, data, size);
    return 0;
}
