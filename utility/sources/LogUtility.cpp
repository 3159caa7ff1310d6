// Record log operations: create or validate, write with a check on the
// medium, search by number, read by position. See LogUtility.h.
#include "LogUtility.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "LogUtilityInternal.h"
#include "Trace.h"
#include "crc.h"

namespace {

const LogFileIo_t plainIo = {::read, ::write, ::lseek};
const LogFileIo_t* fileIo = &plainIo;

// A file descriptor closed when it goes out of scope.
class OpenFile {
public:
    OpenFile(const char* name, int flags, mode_t mode = 0) : fd_(::open(name, flags, mode)) {}
    ~OpenFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool withinLimits(uint32_t infoLength, uint32_t fileLength)
{
    return infoLength <= LOG_MAX_INFO_LENGTH && fileLength <= LOG_MAX_RECORDS;
}

// A name part the descriptor can hold: present and at most 39 characters.
bool nameFits(const char* part)
{
    return part != nullptr && std::strlen(part) < LOG_NAME_SIZE;
}

void copyName(char* dst, const char* src)
{
    std::strncpy(dst, src, LOG_NAME_SIZE - 1);
    dst[LOG_NAME_SIZE - 1] = '\0';
}

// Puts the record CRC in front of a record whose other bytes are final.
void sealRecord(unsigned char* rec, uint32_t recSize)
{
    logPut32(rec, calculateRecordCrc(rec, recSize));
}

// Validates an existing log and sets the descriptor's position and number
// from its records (the file is not changed).
LogStatus_t initializeLog(int infoLength, int numberOfPos, const char* filePath, const char* fileName,
                          LogDescriptor_t* Log)
{
    if (Log == nullptr || !nameFits(filePath) || !nameFits(fileName))
        return Log_OperationFailed;
    if (infoLength < 0 || numberOfPos < 1 ||
        !withinLimits(static_cast<uint32_t>(infoLength), static_cast<uint32_t>(numberOfPos)))
        return Log_LengthError;

    char wholeName[LOG_WHOLE_NAME_SIZE];
    fileNameOf(filePath, fileName, wholeName);
    OpenFile file(wholeName, O_RDWR);
    if (!file.ok())
        return Log_FileNotFound;

    Log->nextCount = 0;
    Log->freeRecordPos = 0;

    const uint32_t info = static_cast<uint32_t>(infoLength);
    const uint32_t positions = static_cast<uint32_t>(numberOfPos);
    const size_t expected = static_cast<size_t>(positions) * logRecordSize(info);
    std::unique_ptr<unsigned char[]> buf(new unsigned char[expected]);
    const ssize_t got = fileIo->read(file.fd(), buf.get(), expected);
    file.close();
    if (got < 0)
        return Log_OperationFailed;
    if (static_cast<size_t>(got) < expected) {
        TRACE_RAW("File corrupt (in read) too short, %d != %d \n", static_cast<int>(got),
                  static_cast<int>(expected));
        return Log_LengthError;
    }

    LogScan_t scan;
    const LogStatus_t status = logScanRecords(buf.get(), info, positions, &scan);
    Log->freeRecordPos = scan.freeRecordPos;
    Log->nextCount = scan.lastCount;
    if (status != Log_Succes)
        return status;

    copyName(Log->filePath, filePath);
    copyName(Log->fileName, fileName);
    Log->infoLength = info;
    Log->fileLength = positions;
    Log->nextCount = incrementCount(scan.lastCount);
    return Log_Succes;
}

}  // namespace

uint32_t logRecordSize(uint32_t infoLength)
{
    return ((infoLength * 8 + 64 + 31) / 32 * 32) / 8;
}

uint32_t logGet32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void logPut32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

uint32_t calculateRecordCrc(const unsigned char* rec, uint32_t len)
{
    if (len <= 4)
        return crc32buf(nullptr, 0);
    return crc32buf(reinterpret_cast<const char*>(rec) + 4, len - 4);
}

uint32_t incrementCount(uint32_t counter)
{
    if (counter == 0xFFFFFFFEu || counter == 0xFFFFFFFFu)
        return 1;
    return counter + 1;
}

uint32_t incrementPos(uint32_t position, uint32_t length)
{
    return position < length ? position + 1 : 0;
}

void fileNameOf(const char* filePath, const char* fileName, char* wholeName)
{
    const size_t pathLen = filePath ? strnlen(filePath, LOG_NAME_SIZE - 1) : 0;
    const size_t nameLen = fileName ? strnlen(fileName, LOG_NAME_SIZE - 1) : 0;
    if (pathLen)
        std::memcpy(wholeName, filePath, pathLen);
    if (nameLen)
        std::memcpy(wholeName + pathLen, fileName, nameLen);
    wholeName[pathLen + nameLen] = '\0';
}

LogStatus_t logScanRecords(const unsigned char* buf, uint32_t infoLength, uint32_t numberOfPos,
                           LogScan_t* scan)
{
    const uint32_t recSize = logRecordSize(infoLength);
    bool foundNextFreePos = false;
    scan->freeRecordPos = 0;
    scan->lastCount = 0;
    scan->badPos = 0;
    for (uint32_t i = 0; i < numberOfPos; ++i) {
        const unsigned char* rec = buf + static_cast<size_t>(i) * recSize;
        if (calculateRecordCrc(rec, recSize) != logGet32(rec)) {
            scan->badPos = i;
            return Log_ChecksumHasError;
        }
        const uint32_t number = logGet32(rec + 4);
        const bool accepted = number != LOG_EMPTY_RECORD_NO &&
                              (scan->lastCount == 0 || number == scan->lastCount + 1);
        if (accepted) {
            scan->lastCount = number;
        } else if (!foundNextFreePos) {
            foundNextFreePos = true;
            scan->freeRecordPos = i;
        }
    }
    // One unbroken run over every position: the file is full and the next
    // write replaces the oldest record, at position 0, with the number after
    // the newest.
    if (!foundNextFreePos)
        scan->freeRecordPos = 0;
    return Log_Succes;
}

void logSetFileIo(const LogFileIo_t* io)
{
    fileIo = io ? io : &plainIo;
}

LogStatus_t createLog(int infoLength, int numberOfPos, const char* filePath, const char* fileName,
                      LogDescriptor_t* Log)
{
    if (Log == nullptr)
        return Log_OperationFailed;
    if (infoLength < 0 || numberOfPos < 1 ||
        !withinLimits(static_cast<uint32_t>(infoLength), static_cast<uint32_t>(numberOfPos)))
        return Log_LengthError;
    // A name the descriptor cannot hold is refused before anything is touched,
    // and not as a length error, which callers take for a corrupt log.
    if (!nameFits(filePath) || !nameFits(fileName))
        return Log_OperationFailed;

    char wholeName[LOG_WHOLE_NAME_SIZE];
    fileNameOf(filePath, fileName, wholeName);
    struct stat st;
    if (::stat(wholeName, &st) == 0)
        return initializeLog(infoLength, numberOfPos, filePath, fileName, Log);
    // Only a log that is known to be absent is created. Any other failure of
    // the status query may hide an existing log, which must not be written
    // over with empty records.
    if (errno != ENOENT)
        return Log_OperationFailed;

    // The directory gets search permission: without it nobody but root could
    // create the log in it. The process's file-creation mask applies.
    ::mkdir(filePath, 0777);

    const uint32_t info = static_cast<uint32_t>(infoLength);
    const uint32_t recSize = logRecordSize(info);
    std::unique_ptr<unsigned char[]> rec(new unsigned char[recSize]());
    logPut32(rec.get() + 4, LOG_EMPTY_RECORD_NO);
    sealRecord(rec.get(), recSize);

    {
        // O_EXCL: a file that appeared since the status query, or a dangling
        // symbolic link, is neither written over nor followed.
        OpenFile file(wholeName, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (!file.ok())
            return Log_OperationFailed;
        for (int i = 0; i < numberOfPos; ++i) {
            const ssize_t n = fileIo->write(file.fd(), rec.get(), recSize);
            if (n < 0 || static_cast<uint32_t>(n) < recSize)
                break;
        }
    }

    if (::stat(wholeName, &st) != 0)
        return Log_FileNotFound;
    if (static_cast<uint64_t>(st.st_size) != static_cast<uint64_t>(numberOfPos) * recSize)
        return Log_LengthError;

    copyName(Log->filePath, filePath);
    copyName(Log->fileName, fileName);
    Log->infoLength = info;
    Log->fileLength = static_cast<uint32_t>(numberOfPos);
    Log->freeRecordPos = 0;
    Log->nextCount = 1;
    return Log_Succes;
}

LogStatus_t writeLog(const char* info, int length, LogDescriptor_t* Log)
{
    if (Log == nullptr)
        return Log_OperationFailed;
    if (!withinLimits(Log->infoLength, Log->fileLength) || Log->fileLength == 0)
        return Log_LengthError;
    if (length < 0 || static_cast<uint32_t>(length) > Log->infoLength)
        return Log_LengthError;
    if (info == nullptr && length > 0)
        return Log_OperationFailed;
    if (Log->freeRecordPos >= Log->fileLength)  // never set so by this library
        return Log_OperationFailed;

    char wholeName[LOG_WHOLE_NAME_SIZE];
    fileNameOf(Log->filePath, Log->fileName, wholeName);
    OpenFile file(wholeName, O_RDWR);
    if (!file.ok())
        return Log_FileNotFound;

    const uint32_t recSize = logRecordSize(Log->infoLength);
    std::unique_ptr<unsigned char[]> rec(new unsigned char[recSize]());
    logPut32(rec.get() + 4, Log->nextCount);
    if (length > 0)
        std::memcpy(rec.get() + 8, info, static_cast<size_t>(length));
    sealRecord(rec.get(), recSize);
    Log->nextCount = incrementCount(Log->nextCount);

    const off_t offset = static_cast<off_t>(Log->freeRecordPos) * recSize;
    if (fileIo->lseek(file.fd(), offset, SEEK_SET) != offset)
        return Log_OperationFailed;
    const ssize_t written = fileIo->write(file.fd(), rec.get(), recSize);
    if (written < 0 || static_cast<uint32_t>(written) < recSize)
        return Log_LengthError;

    // Check on the medium: the record must read back as written.
    std::unique_ptr<unsigned char[]> back(new unsigned char[recSize]);
    if (fileIo->lseek(file.fd(), offset, SEEK_SET) != offset)
        return Log_OperationFailed;
    const ssize_t got = fileIo->read(file.fd(), back.get(), recSize);
    if (got < 0 || static_cast<uint32_t>(got) != recSize ||
        std::memcmp(back.get(), rec.get(), recSize) != 0)
        return Log_OperationFailed;

    file.close();
    Log->freeRecordPos = incrementPos(Log->freeRecordPos, Log->fileLength - 1);
    return Log_Succes;
}

int seekLog(uint32_t seekRecordNumber, LogDescriptor_t* Log)
{
    if (Log == nullptr)
        return -Log_OperationFailed;
    if (!withinLimits(Log->infoLength, Log->fileLength))
        return -Log_LengthError;

    char wholeName[LOG_WHOLE_NAME_SIZE];
    fileNameOf(Log->filePath, Log->fileName, wholeName);
    OpenFile file(wholeName, O_RDONLY);
    if (!file.ok())
        return -Log_FileNotFound;
    if (fileIo->lseek(file.fd(), 0, SEEK_SET) != 0)
        return -Log_OperationFailed;

    const uint32_t recSize = logRecordSize(Log->infoLength);
    std::unique_ptr<unsigned char[]> rec(new unsigned char[recSize]);
    int result = LOG_RECORD_NOT_FOUND;
    for (uint32_t i = 0; i < Log->fileLength; ++i) {
        const ssize_t got = fileIo->read(file.fd(), rec.get(), recSize);
        if (got < 0 || static_cast<uint32_t>(got) < recSize)
            return -Log_LengthError;
        const uint32_t number = logGet32(rec.get() + 4);
        if (number == seekRecordNumber) {
            if (calculateRecordCrc(rec.get(), recSize) != logGet32(rec.get()))
                return -Log_ChecksumHasError;
            result = static_cast<int>(i);
        }
        if (fileIo->lseek(file.fd(), 0, SEEK_CUR) < 0)
            return -Log_LengthError;
        if (result != LOG_RECORD_NOT_FOUND || number == LOG_EMPTY_RECORD_NO)
            break;
    }
    return result;
}

LogStatus_t readLog(char* info, int nextFilePos, LogDescriptor_t* Log)
{
    if (Log == nullptr || info == nullptr)
        return Log_OperationFailed;
    if (!withinLimits(Log->infoLength, Log->fileLength))
        return Log_LengthError;

    char wholeName[LOG_WHOLE_NAME_SIZE];
    fileNameOf(Log->filePath, Log->fileName, wholeName);
    OpenFile file(wholeName, O_RDONLY);
    if (!file.ok())
        return Log_FileNotFound;

    const uint32_t recSize = logRecordSize(Log->infoLength);
    const off_t offset = static_cast<off_t>(nextFilePos) * recSize;
    if (fileIo->lseek(file.fd(), offset, SEEK_SET) < 0)
        return Log_OperationFailed;
    std::unique_ptr<unsigned char[]> rec(new unsigned char[recSize]);
    const ssize_t got = fileIo->read(file.fd(), rec.get(), recSize);
    if (got < 0 || static_cast<uint32_t>(got) < recSize)
        return Log_LengthError;
    std::memcpy(info, rec.get() + 8, Log->infoLength);
    return Log_Succes;
}
