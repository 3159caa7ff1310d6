// The instrument's logs in "/instrumentData": the revision history
// "RevHistory.log" and the diagnostic logs "Diag.log", "CriticalDiag.log" and
// "DisplayedError.log", all record logs (LogUtility.h).
#ifndef SW_UPDATE_LOG_H
#define SW_UPDATE_LOG_H

// Adds a revision entry for version major.minor to the record log fileName in
// "/instrumentData/", creating the log when absent and replacing it by an
// empty one (without a copy) when it is corrupt.
// Returns 0 written; 1 "/instrumentData" missing, log not usable or write
// failed; 2 major or minor above 99 (nothing written).
int WriteRevLog(int major, int minor, const char* fileName);

// Adds a diagnostic entry with error (an ErrorId) and the first 42 bytes of
// pParameterData (zeros when null) to the log fileName in "/instrumentData/",
// opening it as WriteRevLog does. Returns 0 written, 1 otherwise.
int WriteDiagLog(int error, const void* pParameterData, const char* fileName);

// Validates the four logs of "/instrumentData/", creating any that is absent.
// A corrupt one is copied to "/tmp/CorruptDiagnosticLogs/Corrupted<name>",
// deleted and created anew, and each recreation is recorded as error
// SelfTestLogCRCErr in "Diag.log" and "CriticalDiag.log". Reports only
// through trace lines.
void ValidateDiagnosticLogs(void);

#endif
