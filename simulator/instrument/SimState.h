// The state directory of a simulated instrument, and its creation.
//
// STATE/
//   norflash               the 16 MiB flash (/dev/norflash in the root)
//   norflash.faults        injected flash faults, present during a run only
//   tmp/ usbdongle/ instrumentData/ log/   the instrument's writable paths
//   boardtools.log         what the board tools were asked to do
//   medium/                the update medium built for this instrument
//   sim/                   the simulator's own records (never seen inside)
#ifndef SWSIM_SIM_STATE_H
#define SWSIM_SIM_STATE_H

#include <string>
#include <vector>

namespace swsim {

struct StatePaths {
    std::string root;
    explicit StatePaths(const std::string& dir);
    std::string flash() const { return root + "/norflash"; }
    std::string faults() const { return root + "/norflash.faults"; }
    std::string tmp() const { return root + "/tmp"; }
    std::string usbdongle() const { return root + "/usbdongle"; }
    std::string instrumentData() const { return root + "/instrumentData"; }
    std::string log() const { return root + "/log"; }
    std::string boardTools() const { return root + "/boardtools.log"; }
    std::string medium() const { return root + "/medium"; }
    std::string sim() const { return root + "/sim"; }
    std::string marker() const { return sim() + "/instrument.txt"; }
    std::string flashBefore() const { return sim() + "/flash.before"; }
    std::string dataBefore() const { return sim() + "/instrumentData.before"; }
    std::string trace() const { return sim() + "/trace.txt"; }
    std::string guiRecord() const { return sim() + "/gui.txt"; }
    std::string runRecord() const { return sim() + "/run.txt"; }
    std::string summary() const { return sim() + "/summary.txt"; }
};

struct CreateOptions {
    std::string version = "2.3";      // running version (/log/swVersion/swVersion)
    std::string installed;            // installed version; empty: same as running
    std::string market;               // Market.ini's market; empty: no Market.ini
    std::vector<std::string> corruptLogs;    // logs given a record with a wrong CRC
    std::vector<std::string> truncateLogs;   // logs cut short
    bool mounted = false;             // the layout's file systems mounted: their mount directories exist
    bool force = false;               // replace an earlier simulated instrument
};

// Refuses state directories that would put the instrument's writable paths
// on the host's own ("/", "/tmp", "/usbdongle", "/instrumentData", "/log" and
// their parents). Returns false with the reason.
bool SafeStateDir(const std::string& dir, std::string* why);

// Whether `dir` may take a new instrument: it is missing or empty, or
// `force` is given and it holds one that swsim made (its marker). Returns
// false with the reason.
bool MayReplace(const std::string& dir, bool force, std::string* why);

// Makes a new instrument in `dir`: the factory flash, /instrumentData with
// its four logs, installed version, CRC files, extlog.dat and optionally
// Market.ini, the running version in /log/swVersion/swVersion, an empty
// medium slot and an empty /tmp. Returns 0, or 1 with the reason.
int CreateInstrument(const std::string& dir, const CreateOptions& options, std::string* why);

// Damages the logs of /instrumentData in the instrument `s` as `o` asks
// (corruptLogs, truncateLogs), as they are now: an instrument whose logs
// broke after it was made. Returns false with the reason.
bool DamageLogs(const StatePaths& s, const CreateOptions& o, std::string* why);

// Copies the instrument of `from` into `to` (made, or replaced when it holds
// an instrument): the flash, the writable directories, the medium, the board
// tools' record and the marker; not the simulator's records of earlier runs.
// Returns 0, or 1 with the reason.
int CopyInstrument(const std::string& from, const std::string& to, std::string* why);

// The marker's line of an instrument whose factory layout's file systems
// are mounted ("mounts=/app /fonts").
std::string FactoryMountsLine();

// The mount directories the instrument in `dir` has besides the fixed
// ones (its marker's "mounts=" line: none for a fresh instrument).
std::vector<std::string> InstrumentMountDirs(const std::string& dir);

// Key=value records of sim/*.txt.
std::string RecordValue(const std::string& recordText, const std::string& key);

}  // namespace swsim

#endif
