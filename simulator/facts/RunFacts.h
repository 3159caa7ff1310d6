// What one update run did, worked out once from its state directory: the
// record every output of a run renders (the text report, sim/summary.txt,
// the HTML page, the check's fleet results and page). It travels between
// processes as JSON (to_json / from_json), never as formatted text.
#ifndef SWSIM_RUN_FACTS_H
#define SWSIM_RUN_FACTS_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "FlashPicture.h"
#include "MapState.h"
#include "InstrumentTime.h"
#include "NorChip.h"
#include "TraceFacts.h"

namespace swsim {

struct StatePaths;

// A flash map line and what the updater decided for it.
struct PartitionFact {
    enum Decision { Rejected, Kept, Written, NotAfterFault, CannotOpen, NotReached };
    int lineNo = 0;
    std::string name;
    int startKiB = 0;
    std::string overwrite;  // as the line gives it
    std::string mountDir;
    bool valid = false;     // the line parses as an instruction
    Decision decision = NotReached;
};

// One image the updater wrote, checked against the flash after the run.
struct ImageFact {
    std::string name;
    uint32_t start = 0;
    uint32_t length = 0;
    bool holds = false;
    int64_t firstDifference = -1;
    uint32_t crc = 0;  // CRC-32 of the image file the updater wrote from
};

// The flash after the run compared with before it and with the images.
struct FlashFacts {
    bool present = false;  // the flash and its copy from before are whole
    std::vector<ImageFact> images;
    std::vector<std::string> missingImages;  // named in the trace, not found
    std::vector<int> touchedSectors, changedSectors;
    bool restPreserved = true;
    int64_t firstRestDifference = -1;
    bool untouchedUnchanged = true;
    int64_t firstUntouchedDifference = -1;
    bool hasPicture = false;
    FlashPicture picture;
};

// The run's writing replayed on the chip model.
struct ReplayFacts {
    bool done = false;
    std::string why;  // when it could not run
    uint64_t erases = 0, programs = 0, reads = 0, writes = 0, violations = 0;
    bool matchesFlash = false;
    int unlocks = 0;               // lock-bit clearings: one per image written
    double estimateSeconds = 0;    // the same writing on a real chip (typical figures)
};

// The entries a log of /instrumentData gained in the run.
struct LogFacts {
    std::string name;           // "Diag.log"
    bool present = false, lengthOk = false;
    uint64_t size = 0;
    int badCrcs = 0;
    bool corruptBefore = false;  // present before, but short or with wrong CRCs
    std::vector<std::string> added;    // each entry decoded
    std::vector<std::string> entries;  // RevHistory: the version "MMmm"; Diag: the index
    bool Valid() const { return present && lengthOk && badCrcs == 0; }
};

struct CrcFileFacts {
    std::string name;
    std::string text;
};

struct RunFacts {
    std::string root;
    // The run's record (run.txt).
    std::string started, answer, pullAfter, faults, updaterResult, guiResult, wallSeconds;
    bool timedOut = false;
    Outcome outcome = Outcome::Unfinished;
    MapState mapState = MapState::NotUnpacked;
    // The GUI stand-in's record, line by line, and the screens asked for.
    std::vector<std::string> guiLines, screens;
    int traceLines = 0;
    std::vector<PartitionFact> partitions;
    std::vector<std::string> flashFaults;  // "Flash fault: ..." as the trace tells them
    std::vector<std::string> causeLines;   // the trace lines that show why the run ended so (CauseLines)
    FlashFacts flash;
    ReplayFacts replay;
    // Installed files.
    bool haveVersionBefore = false, haveVersion = false;
    std::string versionBefore, version;  // the version files' texts
    std::vector<CrcFileFacts> crcFiles;  // /instrumentData/*.crc, by name
    bool extlogBefore = false, extlogAfter = false;
    std::vector<LogFacts> logs;          // in InstrumentLogs() order
    std::vector<std::string> corruptCopies, backup;
    std::vector<std::string> boardTools;  // the record's lines
    bool reboot = false;
    MediumChecks mediumChecks;
    RunTiming timing;

    // The flash failure's summary key ("" when the flash did not fail).
    std::string FlashFailure() const;
    // Every written image is held by the flash, none was missing, and a map was there.
    bool FlashOk() const;
    // What the flash holds other than the written images demand, as the
    // reports say it ("the flash does not hold appPart.bin: overwritten by
    // configPart.bin in sectors 23-24"); "" when it holds them (or there is
    // no flash to compare).
    std::string FlashMismatch() const;
    // The partitions whose decision is `d`, in map order.
    std::vector<std::string> PartitionsDecided(PartitionFact::Decision d) const;
    const LogFacts* Log(const std::string& name) const;
};

// Reads the last run of the instrument in `state`: its record, trace, GUI
// record, flash (checked and its writing replayed once), files, logs and
// board tools. With `bus`, the replay records every bus access of the
// writing into it (the power-cut sweep's reference). Returns 0, or 1 with
// the reason (no run yet).
int BuildRunFacts(const StatePaths& state, RunFacts* facts, std::string* why,
                  std::vector<norsim::BusAccess>* bus = nullptr);

// Sector numbers as ranges: "3,5-9" ("none" for none).
std::string SectorRanges(const std::vector<int>& sectors);

// A value rounded to tenths as the reports print it ("%.1f"); < 0 stays -1.
double Tenths(double value);

void to_json(nlohmann::json& j, const RunFacts& f);
void from_json(const nlohmann::json& j, RunFacts& f);

}  // namespace swsim

#endif
