// The update environment: version and market files, the whole-file text
// reader, the command runner and the small device controls built on it
// (update medium, reboot, red status lamp, flash driver restart).
#ifndef SW_UPDATE_UTILS_H
#define SW_UPDATE_UTILS_H

// The version text returned when a version file is missing or empty. Compare
// by content (strcmp), never by address; it is never released.
extern const char* const NoVersionFound;

// Reads at most `size` bytes of `fileName` into `buffer` (zeroed first), with
// one read call. `buffer` must not be null and `size` not negative, and the
// buffer must hold a zero byte at or after `size`. Returns the number of bytes
// read, 0 when the file cannot be opened or is empty, -1 when reading failed.
int ReadFile(const char* fileName, char* buffer, int size);

// Size of the file in bytes (low 32 bits), 0 when its status cannot be read.
int GetFileSize(const char* filename);

// The whole file as a zero-terminated heap text (size + 10 zero bytes behind
// it), or null when the file is missing or empty or no memory is left. The
// caller releases it with free().
char* ReadTextFileToBuffer(const char* fileName);

// The leading decimal number of `string` as atoi reads it (leading white
// space, an optional sign, the digits up to the first other character; 0
// without digits), without atoi's undefined overflow. Returns 1 when the
// number fits an int; 0 when it does not, with *value INT_MAX or INT_MIN.
int StringToInt(const char* string, int* value);

// The leading decimal number of `string` as "%f" reads it, 0.0 when none.
float StringToFloat(const char* string);

// 1 when the instrument counts as internal: no or empty market file, or one
// that contains "Market=Internal". 0 otherwise.
int IsMarketVersionInternal(void);

// 1 when the delivered version may replace the running one, else 0.
int IsUpdate(void);

// Version texts of "/tmp/swVersion" and of `versionfile`: a heap text owned by
// the caller, or NoVersionFound. Release with ReleaseVersion().
char* GetNewVer(void);
char* GetCurrVer(const char* versionfile);

// Releases a version text unless it is the constant NoVersionFound.
void ReleaseVersion(char* version);

// Runs `cmdLine` through the shell and returns system()'s raw status: 0
// success, -1 no shell, else the wait status (exit code n gives n * 256).
// Returns -1 without running anything when no memory is left.
int CmdRun(const char* cmdLine);

// 1 when the update medium is present ("/usbdongle/file0" can be opened).
int IsMsdPresent(void);

// Polls every 2 seconds until the update medium is gone; no time limit.
void WaitForMsdRemoved(void);

// Commands the reboot; returns when the command has returned.
void SystemReboot(void);

// Runs the backup script over the blank-separated directory list, given to
// the script as one argument. A null list runs nothing.
void BackupLogFiles(const char* backupfiles);

// "cp -f src dst" and "rm -rf dst"; shell patterns are expanded. A command
// longer than 255 characters is refused with a trace line and not run.
void CopyFile(const char* dst, const char* src);
void RemoveFile(const char* dst);

// The estimated update duration in seconds from "/tmp/estUpdateTime"; 0 when
// the file is missing, empty or holds no leading number, and when the number
// is negative or does not fit an int.
int GetEstUpdateTime(void);

// Switches the red status lamp (lowest bit of OnOff).
void SetRedStatusLED(unsigned int OnOff);

// Stops the flash file-system driver, starts it again and waits for it.
void RestartFlashDriver(void);

// ---------------------------------------------------------------------------
// Package unpacking and the flash map.
//
// The update's packages "/usbdongle/file1" .. "/usbdongle/fileN" are gzip
// tar archives, copied into the working directory (/tmp on the instrument),
// unpacked there and removed. The flash map "/tmp/flashMap" then lists one
// partition a line: image file (its name holds "Part"; the text before the
// first "Part" names the mount directory "/" + text), start in KiB (0 to
// 16000), CRC (unused) and the overwrite flag ("YES" exactly: write even if
// the partition exists). Lines beginning with "#", CR or nothing, and lines
// holding "RELEASE_NAME", are skipped.

// Number of packages for the new version text: 1 when it begins with "0.",
// otherwise (also for NoVersionFound or a null text) 3.
int GetExpectedNoOfPartFiles(const char* newSWVersion);

// Copies, unpacks and removes packages 1 to noOfExpectedPartitionFiles.
// A package that cannot be copied is neither unpacked nor removed; the others
// are still handled. Returns 1 when every command succeeded, else 0.
int UnpackPartitionFiles(int noOfExpectedPartitionFiles);

// Walks "/tmp/flashMap" and writes each valid partition into the flash, or
// leaves an existing one alone when it may not be overwritten. Failures are
// traced (and flash faults recorded, see FlashFaultOccurred()). An image
// that cannot be opened leaves its partition alone and the walk goes on.
// Returns 1 when every partition to be written was written as a whole; 0
// when the flash map is missing or empty (nothing is written) or an image
// was left partly written or unwritten by a failure. The walk goes on with
// the remaining lines in either case.
int FlashPartitions(void);

// 1 when the mount directory of `partition` exists, 0 when it does not or
// the name holds no "Part".
int CheckPartitionExists(const char* partition);

#endif
