// The instrument's logs: revision and diagnostic entry writers, and the
// validation and recreation of the four logs in "/instrumentData/".
#include "SwUpdateLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "ErrorDefinition.h"
#include "SwUpdateLogInternal.h"
#include "Trace.h"

namespace {

const char kLogDir[] = "/instrumentData";
const char kLogPath[] = "/instrumentData/";

// Every entry starts with the time of writing, seconds since 1970 UTC.
void putTime(char* entry)
{
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    std::memcpy(entry, &now, sizeof now);
}

void putInt(char* at, int value)
{
    std::memcpy(at, &value, sizeof value);
}

bool isCorrupt(LogStatus_t status)
{
    return status == Log_LengthError || status == Log_ChecksumHasError;
}

// Opens path+name, replacing a corrupt log by a new, empty one (no copy is
// kept). Returns the status of the last opening.
LogStatus_t openOrReplace(int entrySize, int logSize, const char* name, LogDescriptor_t* log)
{
    LogStatus_t status = createLogImpl(entrySize, logSize, kLogPath, name, log);
    if (isCorrupt(status)) {
        char whole[128];
        std::snprintf(whole, sizeof whole, "%s%s", kLogPath, name);
        ::unlink(whole);
        status = createLogImpl(entrySize, logSize, kLogPath, name, log);
    }
    return status;
}

bool directoryPresent(const char* path)
{
    struct stat st;
    return ::stat(path, &st) == 0;
}

// Only a log that has been opened (or recreated) successfully is written to.
bool writable(const LogRecreateTbl_t* log)
{
    return (log->logRecreateStatus == LogRecr_NotNeeded || log->logRecreateStatus == LogRecr_Needed) &&
           log->logStatus == Log_Succes;
}

}  // namespace

LogStatus_t createLogImpl(int entrySize, int logSize, const char* pLogPath, const char* pLogName,
                          LogDescriptor_t* pLogDescriptor)
{
    if (pLogDescriptor != nullptr) {
        std::snprintf(pLogDescriptor->filePath, sizeof pLogDescriptor->filePath, "%s",
                      pLogPath ? pLogPath : "");
        std::snprintf(pLogDescriptor->fileName, sizeof pLogDescriptor->fileName, "%s",
                      pLogName ? pLogName : "");
        pLogDescriptor->infoLength = static_cast<uint32_t>(entrySize);
        pLogDescriptor->fileLength = static_cast<uint32_t>(logSize);
    }
    return createLog(entrySize, logSize, pLogPath, pLogName, pLogDescriptor);
}

int writeRevisionLog(int iMajorVer, int iMinorVer, LogDescriptor_t* pLogDescriptor)
{
    char entry[REV_LOG_ENTRYSIZE] = {};
    putTime(entry);
    if (iMajorVer > 99 || iMinorVer > 99)
        return 2;
    // Negative numbers are written as they are, minus sign included; the text
    // and its terminator always fit the 96 bytes after the time.
    std::snprintf(entry + 4, sizeof entry - 4, "%02i%02i", iMajorVer, iMinorVer);
    return writeLog(entry, REV_LOG_ENTRYSIZE, pLogDescriptor) == Log_Succes ? 0 : 1;
}

int writeDiagnosticLog(int iErrorNr, const void* pParameterData, LogDescriptor_t* pLogDescriptor)
{
    char entry[DIAG_LOG_ENTRYSIZE] = {};
    putTime(entry);
    putInt(entry + 4, iErrorNr);
    if (pParameterData != nullptr)
        std::memcpy(entry + 8, pParameterData, DIAG_LOG_ENTRYSIZE - 8);
    return writeLog(entry, DIAG_LOG_ENTRYSIZE, pLogDescriptor) == Log_Succes ? 0 : 1;
}

int writeCriticalDiagLog(int iErrorNr, LogDescriptor_t* pLogDescriptor)
{
    char entry[DIAG_LOG_ENTRYSIZE] = {};
    putTime(entry);
    putInt(entry + 4, iErrorNr);
    return writeLog(entry, DIAG_LOG_ENTRYSIZE, pLogDescriptor) == Log_Succes ? 0 : 1;
}

int WriteRevLog(int major, int minor, const char* fileName)
{
    if (!directoryPresent(kLogDir))
        return 1;
    LogDescriptor_t log;
    if (openOrReplace(REV_LOG_ENTRYSIZE, REV_LOG_LOGSIZE, fileName, &log) != Log_Succes)
        return 1;
    return writeRevisionLog(major, minor, &log);
}

int WriteDiagLog(int error, const void* pParameterData, const char* fileName)
{
    if (!directoryPresent(kLogDir))
        return 1;
    LogDescriptor_t log;
    if (openOrReplace(DIAG_LOG_ENTRYSIZE, DIAG_LOG_LOGSIZE, fileName, &log) != Log_Succes)
        return 1;
    return writeDiagnosticLog(error, pParameterData, &log);
}

LogRecreateStatus_t ValidateDiagnosticLog(int entrySize, int logSize, const char* pLogPath,
                                          const char* pLogName, LogDescriptor_t* pLogDescriptor,
                                          LogStatus_t* pLogStatus)
{
    LogStatus_t status = createLogImpl(entrySize, logSize, pLogPath, pLogName, pLogDescriptor);
    if (pLogStatus)
        *pLogStatus = status;
    if (!isCorrupt(status))
        return LogRecr_NotNeeded;

    // Keep a copy for the backup that follows, then start the log afresh.
    // The copy is made by the shell's commands, as on the instrument. The
    // directory is usually there already from an earlier corrupt log, so only
    // the copy's status tells whether the old contents are safe: without a
    // copy the log is kept as it is, corrupt records and all.
    std::system("mkdir /tmp/CorruptDiagnosticLogs");  // NOLINT(bugprone-command-processor)
    char command[256];
    std::snprintf(command, sizeof command, "%s%s%s%s%s", "cp ", pLogPath, pLogName,
                  " /tmp/CorruptDiagnosticLogs/Corrupted", pLogName);
    const int copyStatus = std::system(command);  // NOLINT(bugprone-command-processor)
    if (copyStatus == -1)
        TRACE("shell isen't present - shell command to copy corrupted file to /tmp/ could not be run!\n");
    if (copyStatus != 0) {
        TRACE("Copy of corrupt log %s failed (status %d), log kept\n", pLogName, copyStatus);
        return LogRecr_Failed;
    }

    char whole[128];
    std::snprintf(whole, sizeof whole, "%s%s", pLogPath, pLogName);
    if (::unlink(whole) != 0)
        TRACE("Removing corrupt file failed - using unlink()\n");

    TRACE("Recreating %s since CRC error or incorrect length, logStatus= %d\n", pLogName, status);
    status = createLogImpl(entrySize, logSize, pLogPath, pLogName, pLogDescriptor);
    if (pLogStatus)
        *pLogStatus = status;
    if (status != Log_Succes) {
        TRACE_RAW("Recreation of log %s failed with status %d\n", pLogName, status);
        return LogRecr_Failed;
    }
    return LogRecr_Needed;
}

void LogRecreationOfDiagnosticLog(LogRecreateTbl_t* pCorruptedLog, LogIndex_t corruptLogIndex,
                                  LogRecreateTbl_t* pDiagLog, LogRecreateTbl_t* pCriticalDiagLog)
{
    switch (pCorruptedLog->logRecreateStatus) {
    case LogRecr_NotNeeded:
        // A log that could not even be opened was not checked: it is not
        // called normal.
        if (pCorruptedLog->logStatus != Log_Succes)
            TRACE("Diagnostic log file %s could not be checked (status %d)\n", pCorruptedLog->filename,
                  pCorruptedLog->logStatus);
        else
            TRACE("Diagnostic log file %s is normal and no need for recreation\n", pCorruptedLog->filename);
        break;
    case LogRecr_Needed: {
        TRACE("Diagnostic log file %s is recreated with recreateStatus %i\n", pCorruptedLog->filename,
              pCorruptedLog->logRecreateStatus);

        bool written = false;
        if (writable(pDiagLog)) {
            char parameters[DIAG_LOG_ENTRYSIZE] = {};
            putInt(parameters, corruptLogIndex);
            putInt(parameters + 4, pCorruptedLog->logRecreateStatus);
            written = writeDiagnosticLog(SelfTestLogCRCErr, parameters, &pDiagLog->LogDescriptor) == 0;
        }
        if (written)
            TRACE("SelfTestChecksumErr(%d) and corrupt file %s logged in %s\n", SelfTestLogCRCErr,
                  pCorruptedLog->filename, pDiagLog->filename);
        else
            TRACE("Could not write SelfTestChecksumErr(%d) to %s logRecreateStatus %d\n", SelfTestLogCRCErr,
                  pDiagLog->filename, pDiagLog->logRecreateStatus);

        written = writable(pCriticalDiagLog) &&
                  writeCriticalDiagLog(SelfTestLogCRCErr, &pCriticalDiagLog->LogDescriptor) == 0;
        if (written)
            TRACE("SelfTestChecksumErr(%d) logged in %s\n", SelfTestLogCRCErr, pCriticalDiagLog->filename);
        else
            TRACE("Could not write SelfTestChecksumErr(%d) to %s logRecreateStatus %d\n", SelfTestLogCRCErr,
                  pCriticalDiagLog->filename, pCriticalDiagLog->logRecreateStatus);
        break;
    }
    default:
        break;
    }
}

void ValidateDiagnosticLogs(void)
{
    LogRecreateTbl_t logRecreateTbl[Log_TblSize] = {
        {Log_Init, LogRecr_NotNeeded, {}, DIAG_LOG_ENTRYSIZE, DIAG_LOG_LOGSIZE, "Diag.log"},
        {Log_Init, LogRecr_NotNeeded, {}, DIAG_LOG_ENTRYSIZE, DIAG_LOG_LOGSIZE, "CriticalDiag.log"},
        {Log_Init, LogRecr_NotNeeded, {}, 8, 1000, "DisplayedError.log"},
        {Log_Init, LogRecr_NotNeeded, {}, REV_LOG_ENTRYSIZE, REV_LOG_LOGSIZE, "RevHistory.log"},
    };

    for (int i = 0; i < Log_TblSize; ++i) {
        LogRecreateTbl_t& entry = logRecreateTbl[i];
        entry.logRecreateStatus =
            ValidateDiagnosticLog(static_cast<int>(entry.infoLength), static_cast<int>(entry.records), kLogPath,
                                  entry.filename, &entry.LogDescriptor, &entry.logStatus);
    }
    for (int i = 0; i < Log_TblSize; ++i)
        LogRecreationOfDiagnosticLog(&logRecreateTbl[i], static_cast<LogIndex_t>(i), &logRecreateTbl[Log_Diag],
                                     &logRecreateTbl[Log_CriticalDiag]);
}
