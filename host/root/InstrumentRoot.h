// The instrument root: a private file-system view in which the updater's fixed
// paths ("/tmp", "/usbdongle", "/instrumentData", "/log", "/dev/norflash",
// "/proc/boot") are real, so that it runs unchanged on a host.
//
// A root is a private mount and network namespace (plus a user namespace when
// not started as root) with a fresh root file system entered with chroot:
// host /usr /bin /lib /lib64 /etc /sbin and the build and source directories
// bound read-only; /tmp /usbdongle /instrumentData /log writable (bound from a
// state directory, or fresh tmpfs); /dev with null zero random urandom tty and,
// when present, the flash file as /dev/norflash (and its fault file as
// /dev/norflash.faults); /proc a plain directory holding /proc/boot with the
// board-tool stand-ins; mksh bound over /bin/sh; working directory /tmp and
// PATH starting with /proc/boot.
#ifndef INSTRUMENT_ROOT_H
#define INSTRUMENT_ROOT_H

#include <string>
#include <vector>

struct InstrumentRootConfig {
    // Host directory whose subdirectories tmp/, usbdongle/, instrumentData/
    // and log/ are bound writable at /tmp, /usbdongle, /instrumentData and
    // /log (created when missing), and whose files norflash and
    // norflash.faults, when present, appear as /dev/norflash and
    // /dev/norflash.faults. The board tools' record is boardtools.log in it.
    // Empty: every writable directory is a fresh tmpfs and there is no flash.
    std::string stateDir;
    // Host file to appear as /dev/norflash instead of stateDir/norflash.
    std::string flashFile;
    // Further host directories bound read-only at the same path (absolute);
    // the project's source and build directories always are.
    std::vector<std::string> readOnlyDirs;
    // Host file to appear as /dev/norflash.faults instead of
    // stateDir/norflash.faults.
    std::string faultsFile;
    // Host directories bound writable at the same path (absolute), e.g. the
    // build directory's Testing/ for a ctest run inside a root.
    std::vector<std::string> writableDirs;
    // Host directory of the board-tool stand-ins copied into /proc/boot;
    // empty: those of this build.
    std::string boardToolsDir;
    // Empty directories made in the root (absolute, outside the fixed
    // paths), read-only like the rest of it: the mount directories of the
    // instrument's mounted partitions ("/app"), whose presence the updater
    // tests before it keeps a partition.
    std::vector<std::string> mountDirs;
};

// Enters a fresh instrument root in the calling process, which must be
// single-threaded. When the process already made a root itself, that root's
// writable directories, flash, fault file and board-tool record are replaced
// by fresh ones instead (no new namespaces, so this also works once threads
// run; the read-only parts stay as they are). A process inside a root it did
// not make gets a new root of its own, built from the current root's parts.
// Paths in config are looked up where the caller is: on the host, or inside
// the current root. Returns 0, or -1 with the reason in *why (for example:
// user namespaces not permitted); a failed entry may leave the process in
// new namespaces.
int EnterInstrumentRoot(const InstrumentRootConfig& config, std::string* why);

// Runs argv (argv[0] found through the root's PATH) inside a new root in a
// child process and waits for it; its standard output and error go to the
// descriptor `output` when given (else this process's). Returns the wait
// status, or -1 with the reason in *why when no root could be made.
int RunInInstrumentRoot(const InstrumentRootConfig& config,
                        const std::vector<std::string>& argv, std::string* why, int output = -1);

// True inside an instrument root.
bool InInstrumentRoot();

// Path of the board tools' record inside a root: one line per call of a
// board-tool stand-in, in the order of the calls.
constexpr const char* kBoardToolRecord = "/proc/boot/boardtools.log";

#endif
