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

// The revision history's parts of a version text: major before the first
// ".", minor after it (0 when the text has no "."), each read by
// StringToInt. A part that does not fit an int reads as INT_MAX (also a
// negative one), which the revision log refuses like any part above 99.
// Returns 1 when both parts fit an int, else 0.
int SplitVersionNumbers(const char* text, int* major, int* minor);

// 1 when a market file's text marks the instrument as internal (it contains
// "Market=Internal", exact case, anywhere), else 0.
int IsMarketTextInternal(const char* text);

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

// The estimated update duration in seconds that an estimate file's text
// gives: its leading number (StringToInt); 0 when it holds none, and when the
// number is negative or does not fit an int.
int EstimateFromText(const char* text);

// The estimated update duration in seconds from "/tmp/estUpdateTime"
// (EstimateFromText); 0 when the file is missing or empty.
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

// How the walk takes one line of the flash map.
typedef enum {
    FlashMapLine_Comment = 0,      // "#" first: skipped
    FlashMapLine_Empty = 1,        // nothing or CR first: skipped
    FlashMapLine_ReleaseName = 2,  // holds "RELEASE_NAME": skipped
    FlashMapLine_Rejected = 3,     // fewer than four fields, no "Part" in the name or a start
                                   // outside 0..16000: not a valid flash instruction
    FlashMapLine_Partition = 4     // written or kept, as its flag and mount directory decide
} FlashMapLineKind_t;

// One line of the flash map, split into its fields. The fields point into
// the map's text; a missing field is null.
typedef struct {
    char* partition;   // the image file, relative to /tmp
    char* startText;   // the start in KiB as the line writes it
    char* crc;         // unused by the updater
    char* overwrite;   // the overwrite flag (IsOverwriteAllowed)
    int fields;        // how many of these four the line has
    int start;         // startText read by StringToInt (INT_MAX or INT_MIN when it
                       // does not fit an int); 0 without a start
} FlashMapLine_t;

// Cuts the next line off the flash map's text at *cursor, in place, and
// splits it at runs of blanks, tabs and LFs (a CR belongs to its field).
// A line ends at its LF or at a zero byte, so a zero byte inside a line
// splits it in two. *cursor moves past the line's end; the walk goes on while
// it does not stand on a zero byte (the text needs one spare zero byte behind
// its end, which ReadTextFileToBuffer guarantees). Fills *line and returns
// its FlashMapLineKind_t.
int ReadFlashMapLine(char** cursor, FlashMapLine_t* line);

// 1 when an overwrite flag allows writing over an existing partition: it is
// exactly "YES". 0 otherwise.
int IsOverwriteAllowed(const char* overwrite);

// The mount directory of a partition: "/" followed by the partition name up
// to its first "Part", as a new heap string owned by the caller (release with
// free()); null when the name holds no "Part" or no memory is left.
char* GetDirNameFromPartName(const char* partition);

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
