// The update sequence: from the instrument's start-up to the reboot.
//
// Started once during start-up, without arguments, with the update's control
// files already in /tmp. Decides whether the update on the medium may be
// installed, asks the user through the start-up GUI, validates and backs up
// the record logs, unpacks the packages, writes the partitions into the NOR
// flash, installs the version and CRC files, records the new version and
// reboots once the medium is out. Every outcome ends with exit status 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "SwUpdateFlash.h"
#include "SwUpdateGui.h"
#include "SwUpdateIndependentActions.h"
#include "SwUpdateLog.h"
#include "SwUpdatePostActions.h"
#include "SwUpdatePreActions.h"
#include "SwUpdateUtils.h"
#include "Trace.h"

namespace {

const char* const kRunningVersionFile = "/log/swVersion/swVersion";
const char* const kInstalledVersionFile = "/instrumentData/swVersion/swVersion";
const char* const kNewVersionFile = "/tmp/swVersion";
const char* const kInstrumentData = "/instrumentData";
const char* const kTmp = "/tmp";
const char* const kCrcPattern = "/*.crc";
const char* const kBackupList = "/instrumentData /tmp/CorruptDiagnosticLogs";
const char* const kRevisionLog = "RevHistory.log";

// Results of CheckUpdateAllowed.
constexpr int kUpdateAllowed = 1;
constexpr int kUpdateNotAllowed = 2;

// Result of PerformUpdate when the packages were unpacked but writing the
// partitions into the flash failed: the update is not done.
constexpr int kFlashFailed = 3;

void InitializeGui(void)
{
    GUI_Initialize();
    GUI_SetCurrentVersion(GetCurrVer(kRunningVersionFile));
    GUI_SetUpdateTimers(GetEstUpdateTime());
}

// 1 when the instrument is internal or the delivered version is not older
// than the running one, else 2.
int CheckUpdateAllowed(void)
{
    if (IsMarketVersionInternal()) {
        return kUpdateAllowed;
    }
    if (IsUpdate()) {
        return kUpdateAllowed;
    }
    return kUpdateNotAllowed;
}

// Asks the user; returns only once the answer is in. Nonzero: go on.
int AskForUpdate(void)
{
    return GUI_InquireUpdate(GetNewVer());
}

void BackupFiles(void)
{
    BackupLogFiles(kBackupList);
}

// Replaces the installed version file and the CRC files of /instrumentData
// with those delivered in /tmp.
void InstallFiles(void)
{
    char pattern[50];
    CopyFile(kInstalledVersionFile, kNewVersionFile);
    std::snprintf(pattern, sizeof pattern, "%s%s", kInstrumentData, kCrcPattern);
    RemoveFile(pattern);
    std::snprintf(pattern, sizeof pattern, "%s%s", kTmp, kCrcPattern);
    CopyFile(kInstrumentData, pattern);
}

// Adds the version just installed to the revision history.
void WriteRevisionLog(void)
{
    int major = 0;
    int minor = 0;
    char* currVer = GetCurrVer(kInstalledVersionFile);
    if (std::strcmp(currVer, NoVersionFound) == 0) {
        TRACE("Revision log not updated: %s\n", kRevisionLog);
        ReleaseVersion(currVer);
        return;
    }
    // major before the first ".", minor after it; a part that does not fit
    // an int is taken as too large, so that the log refuses the entry as it
    // does for a part above 99.
    SplitVersionNumbers(currVer, &major, &minor);
    if (WriteRevLog(major, minor, kRevisionLog) != 0) {
        TRACE("Could not write revision log: %s\n", kRevisionLog);
    }
    ReleaseVersion(currVer);
}

// Validates the logs, backs up, unpacks, flashes and installs. Returns 1 when
// the update is done, the unpacking result (0) when the packages could not be
// unpacked, kFlashFailed when the partitions could not all be written (no
// flash map, a partition left partly written, a fatal flash fault).
int PerformUpdate(int noOfExpectedPartitionFiles)
{
    int unpackingWentOK = 0;

    TRACE("Validate diagnostic logs!\n");
    ValidateDiagnosticLogs();

    TRACE("Backing up files!\n");
    BackupFiles();
    TRACE("Backup complete!\n");

    unpackingWentOK = UnpackPartitionFiles(noOfExpectedPartitionFiles);
    if (unpackingWentOK != 1) {
        return unpackingWentOK;
    }

    const int allWritten = FlashPartitions();
    RestartFlashDriver();

    // A partition that could not be written leaves the instrument on its old
    // software at best: the new version and CRC files must not be installed
    // nor the new version recorded.
    if (allWritten != 1 || FlashFaultOccurred()) {
        TRACE("Writing the partitions into the flash failed, update not installed!\n");
        return kFlashFailed;
    }

    struct stat st;
    if (stat(kInstrumentData, &st) == 0) {
        TRACE("Installing files and writing revision log\n");
        InstallFiles();
        WriteRevisionLog();
    }
    return unpackingWentOK;
}

// The update failed: show the failure screen, wait for the medium, reboot.
void GiveUpAndRestart(void)
{
    GUI_DisplayErrorScreen();
    WaitForMsdRemoved();
    SystemReboot();
}

void InformAndRestart(void)
{
    GUI_RemoveMsd();
    WaitForMsdRemoved();
    SystemReboot();
}

}  // namespace

int main(int /*argc*/, char** /*argv*/)
{
    int updateAllowedStatus = 2;
    int hasUpdateBeenDone = 0;
    char* newSWVersion = nullptr;
    int noOfExpectedPartFiles = 3;

    // The packages and images are unpacked relative to the working directory,
    // where the flash map expects them, whatever directory we were started in.
    if (chdir(kTmp) != 0) {
        TRACE("Could not change to %s\n", kTmp);
    }

    TRACE("Entering SW update \n");
    InitializeGui();
    TRACE("GUI Initialized!\n");

    TRACE("Performing swupdate independent actions\n");
    if (PerformUpdateIndependentActions() != 0) {
        TRACE("Performing swupdate independent actions failed!\n");
    }

    updateAllowedStatus = CheckUpdateAllowed();
    if (updateAllowedStatus != kUpdateAllowed) {
        TRACE("Only updates to newer version is permitted! Status =%x\n", updateAllowedStatus);
        GUI_DisplayNotCompatible();
        return 0;
    }

    if (!AskForUpdate()) {
        return 0;
    }

    TRACE("Performing update!\n");
    newSWVersion = GetNewVer();
    GUI_SetUpdatingText(newSWVersion);

    TRACE("Performing pre-swupdate actions\n");
    if (PerformPreUpdateActions() != 0) {
        TRACE("Performing pre-swupdate actions failed\n");
        GiveUpAndRestart();
        return 0;
    }

    noOfExpectedPartFiles = GetExpectedNoOfPartFiles(newSWVersion);
    hasUpdateBeenDone = PerformUpdate(noOfExpectedPartFiles);

    if (hasUpdateBeenDone == 1) {
        TRACE("Performing post-swupdate actions\n");
        if (PerformPostUpdateActions() != 0) {
            TRACE("Performing post-swupdate actions failed\n");
        }
        InformAndRestart();
        return 0;
    }

    if (hasUpdateBeenDone != kFlashFailed) {
        TRACE("Corrupted update files found on MSD during unpacking! \n");
    }
    GiveUpAndRestart();
    return 0;
}
