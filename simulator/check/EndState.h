// What every fleet instrument must hold after an update, whatever the run's
// outcome: judged from the instrument's own flash and files before and after
// the run, not from what the run reported of itself, so that a defect no
// static rule foresaw still shows as a broken invariant.
#ifndef SWSIM_END_STATE_H
#define SWSIM_END_STATE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "MediumCheck.h"
#include "SimFlash.h"

namespace swsim {

struct StatePaths;

// What an instrument holds: its flash and the files of its writable
// directories (path relative to the directory -> bytes).
struct Holding {
    std::vector<uint8_t> flash;
    std::map<std::string, std::vector<uint8_t>> data;    // /instrumentData
    std::map<std::string, std::vector<uint8_t>> log;     // /log
    std::map<std::string, std::vector<uint8_t>> medium;  // /usbdongle
};

// Reads the instrument in `state` (the medium's files only when `withMedium`).
// Returns false with the reason when its flash cannot be read.
bool ReadHolding(const StatePaths& state, bool withMedium, Holding* h, std::string* why);

// A broken invariant: its key, what the instrument holds against what it
// should (the evidence), what that does to the instrument, and the static
// checks whose findings would explain it.
struct Broken {
    std::string invariant;
    std::string what;
    std::string effect;
    std::vector<std::string> related;
};

// The invariants' keys, in the order they are judged.
constexpr const char* kInvImages = "images-written";        // every image the update wrote is in the flash as delivered
constexpr const char* kInvKept = "kept-bytes";              // partitions not rewritten under their own name, and gaps, keep every byte
constexpr const char* kInvData = "data-partition";          // no image is written over the instrument's own data
constexpr const char* kInvCrc = "crc-matches-flash";        // every CRC file matches its partition's bytes in the flash
constexpr const char* kInvVersion = "version-as-read";      // the installed version is the version the updater reads and records
constexpr const char* kInvUnchanged = "refused-unchanged";  // a refused update leaves files and logs as they were
constexpr const char* kInvBackup = "backup-complete";       // every file handed to the backup script is on the medium
constexpr const char* kInvLogs = "logs-kept";               // the logs keep every record and gain the update's entries

// The instrument's layout before the update and the mount directories it
// has besides the fixed ones.
struct InstrumentKind {
    std::vector<PartitionSpec> layout;
    std::vector<std::string> mountDirs;
};

// The layout an installed medium leaves on an instrument of `kind`: each
// partition it wrote now spans its image (one of a new name is added,
// unmounted), so that later updates are judged against it.
void FollowWrittenImages(const MediumFacts& medium, InstrumentKind* kind);

// Judges one instrument's end state. `run` gives only the outcome (how far
// the update went: nothing is written before the flashing, no backup is
// made before the logs are validated); everything else is read from
// `before` and `after`.
std::vector<Broken> JudgeEndState(const MediumFacts& medium, const InstrumentKind& kind, Outcome outcome,
                                  const Holding& before, const Holding& after);

void to_json(nlohmann::json& j, const Broken& b);
void from_json(const nlohmann::json& j, Broken& b);

}  // namespace swsim

#endif
