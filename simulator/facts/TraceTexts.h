// Every text the simulator looks for in the updater's trace, in one place:
// when the updater's wording changes, this is the only file to follow it.
// Each is matched as a part of a trace line.
#ifndef SWSIM_TRACE_TEXTS_H
#define SWSIM_TRACE_TEXTS_H

namespace swsim {
namespace tracetext {

// How a run ended.
constexpr const char kNotAllowed[] = "Only updates to newer version is permitted!";
constexpr const char kPreUpdateFailed[] = "Performing pre-swupdate actions failed";
constexpr const char kUnpackingFailed[] = "Corrupted update files found on MSD during unpacking!";
constexpr const char kFlashFailed[] = "Writing the partitions into the flash failed";
constexpr const char kPostUpdate[] = "Performing post-swupdate actions";
constexpr const char kGuiInitialized[] = "GUI Initialized!";
constexpr const char kPerformingUpdate[] = "Performing update!";

// The unpacking and the flash map.
constexpr const char kUnpackFile1[] = "tar --gunzip -xvf file1";
constexpr const char kMapMissing[] = "Flash map /tmp/flashMap is missing or empty";

// The decisions on each flash map line: PREFIX + partition + SUFFIX.
constexpr const char kInvalidLine[] = "This is not a valid flash instruction: ";  // + name + " "
constexpr const char kPartition[] = "Partion ";                                  // + name + ...
constexpr const char kPartitionExists[] = " already exists";
constexpr const char kPartitionMissing[] = " does not exist";
constexpr const char kFlashing[] = "Flashing: ";                                 // + name + " @"
constexpr const char kFaultEarlier[] = "Flash fault earlier in this run: \"";    // + name + "\""
constexpr const char kCannotOpen[] = "Could not open file \"";                   // + name + "\""

// FlashInit calls: "Flashing file NAME to address 0xA".
constexpr const char kFlashingFile[] = "Flashing file ";
constexpr const char kToAddress[] = " to address 0x";

// A log the updater found corrupt and made anew: PREFIX + log name + SUFFIX.
constexpr const char kRecreating[] = "Recreating ";
constexpr const char kRecreatingSince[] = " since";

// A fault of the chip, told as the updater met it.
constexpr const char kFlashFault[] = "Flash fault: ";

// Where the phase that a failure ends begins: the cause of a failure is
// looked for between the last of these before the failure's line and it.
constexpr const char kEnteringUpdate[] = "Entering SW update";
constexpr const char kPreUpdateStart[] = "Performing pre-swupdate actions";  // and not "... failed"
constexpr const char kBackupComplete[] = "Backup complete!";

// The fixed waits: the GUI link's start (kGuiInitialized), the flash
// driver's restart, and each check for the medium's removal (the last one,
// which finds it gone, reads descriptor -1).
constexpr const char kDriverRestart[] = "Slaying flash driver";
constexpr const char kMediumCheck[] = "MSD attached fil descriptor is";
constexpr const char kMediumGone[] = "MSD attached fil descriptor is -1";

}  // namespace tracetext
}  // namespace swsim

#endif
