// Module-internal parts of the instrument's logs, shared by the writers, the
// validation and their tests.
#ifndef SW_UPDATE_LOG_INTERNAL_H
#define SW_UPDATE_LOG_INTERNAL_H

#include "LogUtility.h"

#define REV_LOG_ENTRYSIZE 100   // info bytes per revision entry
#define REV_LOG_LOGSIZE 100     // records in the revision history
#define DIAG_LOG_ENTRYSIZE 50   // info bytes per diagnostic entry
#define DIAG_LOG_LOGSIZE 1000   // records in a diagnostic log

typedef enum {
    Log_Diag = 0,
    Log_CriticalDiag = 1,
    Log_DisplayedError = 2,
    Log_RevHistory = 3,
    Log_TblSize = 4
} LogIndex_t;

typedef enum {
    LogRecr_NotNeeded = 0,  // opened without a sign of corruption (or created)
    LogRecr_Needed = 1,     // was corrupt and has been recreated
    LogRecr_Failed = 2      // was corrupt and could not be recreated
} LogRecreateStatus_t;

typedef struct {
    LogStatus_t logStatus;                  // status of the last opening of the log
    LogRecreateStatus_t logRecreateStatus;  // outcome of the validation
    LogDescriptor_t LogDescriptor;          // the log as opened or recreated
    uint32_t infoLength;
    uint32_t records;
    char filename[40];
} LogRecreateTbl_t;

// Names the log and its sizes in *pLogDescriptor, then opens it with createLog
// and returns that status.
LogStatus_t createLogImpl(int entrySize, int logSize, const char* pLogPath, const char* pLogName,
                          LogDescriptor_t* pLogDescriptor);

// Entry writers for an opened log: 0 written, 1 write failed; writeRevisionLog
// also 2 when a version number is above 99.
int writeRevisionLog(int iMajorVer, int iMinorVer, LogDescriptor_t* pLogDescriptor);
int writeDiagnosticLog(int iErrorNr, const void* pParameterData, LogDescriptor_t* pLogDescriptor);
int writeCriticalDiagLog(int iErrorNr, LogDescriptor_t* pLogDescriptor);

// Opens one log; a corrupt one is copied aside, deleted and created anew.
// *pLogStatus (when given) receives the status of the last opening, so that
// a log that could not be opened for another reason is not written through.
LogRecreateStatus_t ValidateDiagnosticLog(int entrySize, int logSize, const char* pLogPath,
                                          const char* pLogName, LogDescriptor_t* pLogDescriptor,
                                          LogStatus_t* pLogStatus = nullptr);

// Traces the outcome of validating *pCorruptedLog and, when it was recreated,
// records that in the diagnostic and the critical diagnostic log.
void LogRecreationOfDiagnosticLog(LogRecreateTbl_t* pCorruptedLog, LogIndex_t corruptLogIndex,
                                  LogRecreateTbl_t* pDiagLog, LogRecreateTbl_t* pCriticalDiagLog);

#endif
