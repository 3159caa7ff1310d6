// swsim powercut: what becomes of the instrument when the power fails at
// chosen moments of an update.
//
// The update of a state directory is first run once without a cut (the
// reference): it gives the flash the update leaves, the images it writes, the
// bus conversation of that writing (replayed on the chip model), the
// record log writes and every file operation of the update. Then, for every
// point, the instrument as the cut leaves it (built from those recordings,
// or a fresh copy that runs the update until the power goes), and, unless a critical
// partition was left half-written (the instrument would not start), restarts
// with the medium still in until the update ends (three restarts at most).
#ifndef SWSIM_POWERCUT_H
#define SWSIM_POWERCUT_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "CutStates.h"
#include "NorChip.h"
#include "SimCuts.h"

namespace swsim {

struct RunFacts;
struct StatePaths;

struct PointResult;

// The runs' default limit: the sample's whole update costs well under a
// second of real time at the sweep's speeds, a medium filling the flash a
// few seconds; two minutes is a wide margin for a loaded machine.
constexpr double kDefaultRunLimitSeconds = 120;

struct PowercutOptions {
    std::string state;
    int points = 50;
    uint64_t seed = 1;
    std::vector<std::string> critical;   // image names besides the boot image (the map's lowest partition)
    std::vector<std::string> replay;     // point ids to run instead of a seeded choice
    bool exhaustive = false;             // one point for every distinct cut state instead
    // File points cut for real by the recorder (file:N) instead of built
    // from the recording: the check of the building.
    bool realFileCuts = false;
    int verifyClasses = 0;               // further points drawn inside the classes, checked against them
    // Real seconds each run of the sweep (the reference, a cut, a restart)
    // may take before it is stopped; a point whose run was stopped ends as
    // "other", which makes the sweep "could not check" (exit status 2).
    double runLimitSeconds = kDefaultRunLimitSeconds;
    int shard = 1, shards = 1;           // run the shard-th of `shards` shares of the points
    int jobs = 2;                        // points run at once (the command line gives its --jobs)
    std::string selfExe;                 // swsim, which runs the updater for each point
    std::string workDir;                 // default STATE/sim/powercut; a medium's: a fresh one under $TMPDIR
    // The medium form: the medium's packages swept on every instrument of
    // the fleet that installs it (the fleet file's, else check's default).
    std::string medium, fleetFile;
    // The upgrade path: previous releases' media installed on every
    // instrument of the fleet, in order, before the medium (as check's
    // --previous).
    std::vector<std::string> previous;
    std::vector<std::string> runArgs;    // further options of every "swsim run"
    // Called as each point is judged: points judged so far, of how many.
    std::function<void(size_t done, size_t total, const PointResult& point)> onPointDone;
};

// The sweep's answer: safe (no point and no part of the update leaves the
// instrument unable to start, and every point gave an answer), unsafe, or
// unclear (some point could not be checked, whatever the others found; or
// safe as far as the points go, but some point ended otherwise or a point
// drawn to check a class disagrees with it).
enum class Verdict { Safe, Unsafe, Unclear };
const char* VerdictKey(Verdict v);        // "safe", "unsafe", "unclear"

// NotChecked: the point could not be made or run (its state could not be
// built, a run failed or reached the run limit): no answer on the update.
enum class PointClass { Recovered, LogHistoryLost, LogsDiffer, BytesLost, WouldNotStart, Other, NotChecked };
const char* PointClassKey(PointClass c);   // "recovered", "log-history-lost", ..., "could-not-check"
const char* PointClassText(PointClass c);  // "recovered, log history lost", ..., "could not check"
// Every class, in the order of the reports.
const std::vector<PointClass>& PointClasses();

// A log a restart had to recreate, and the copy it set aside.
struct LostLog {
    std::string name;
    bool copyKept = false;        // the copy in /tmp/CorruptDiagnosticLogs after the last run
    bool copyBackedUp = false;    // the copy in the backup on the medium
    int copyEntries = 0;          // entries of the copy with a valid CRC
    int copyBadRecords = 0;       // its records with a wrong CRC (and a missing tail: short)
    bool copyShort = false;
};

struct PointResult {
    SweepPoint point;             // with the class of cut states it stands for (exhaustive sweeps)
    std::string representative;   // a point drawn to check its class: the id it is compared with
    double seconds = 0;           // instrument time of the cut since the updater started
    std::string where;            // what was being written
    PointClass cls = PointClass::Other;
    int restarts = 0;
    std::string lastOutcome;      // OutcomeKey of the last run
    std::vector<std::string> evidence;
    std::vector<LostLog> logs;
    std::map<int, uint32_t> lostBytes;   // sector -> bytes outside the images lost
    // Entries of the four logs that differ from the reference run's after
    // the restarts ("RevHistory.log: repeated record ...").
    std::vector<std::string> logDifferences;
    // Each log whose history (its entries before the update) the restarts
    // lost where the reference run kept it.
    std::vector<std::string> historyLost;
    // The earlier point that left the same flash (and files): its restarts
    // are this point's too.
    std::string sameStateAs;
    // The point whose restart stands for this one's: the same files, a flash
    // differing only in image bytes that restart erased and wrote anew.
    std::string sameRestartAs;
};

// An interval of the update in which a cut leaves a critical partition
// half-written.
struct WindowPart {
    std::string partition;
    double from = 0, to = 0;      // instrument seconds since the updater started
    int firstSector = 0, lastSector = 0;
};

struct PowercutResult {
    std::string state;
    std::string medium;           // the digest of the medium's packages (MediumDigest)
    std::string kind;             // the fleet instrument swept; "" for a state directory's sweep
    // The options that decide the points: --points, --verify-classes, the
    // ids replayed, --run-limit (with `mode`, `seed` and `critical`).
    int pointsAsked = 0;
    int verifyClasses = 0;
    std::vector<std::string> replay;
    double runLimitSeconds = 0;
    uint64_t seed = 0;
    uint64_t busWrites = 0, logWrites = 0;
    std::vector<std::string> critical;
    std::vector<PointResult> points;
    std::vector<WindowPart> window;
    std::vector<WindowPart> writing;     // every image's writing, in order
    double windowSeconds = 0;
    double updateSeconds = 0;     // the update's duration in the instrument's time
    double modelledSeconds = 0;   // the same from the chip model and the fixed waits alone
    double flashFrom = 0, flashTo = 0;   // the flash writing within it
    std::string timeSource;       // how the instrument's times were obtained
    double wallSeconds = 0;
    std::map<PointClass, int> counts;
    std::string mode;             // "sample", "replay" or "exhaustive"
    int shard = 1, shards = 1;    // the share of the points this report holds (merged: 1 of 1)
    int stateClasses = 0;         // distinct cut states (exhaustive sweeps)
    // The flash cuts were built from the recorded writes (the real cuts that
    // check the building agreed); else each was cut for real.
    bool statesBuilt = false;
    bool safe = false;            // no point and no part of the update leaves the instrument unable to start
    Verdict verdict = Verdict::Unclear;   // worked out once, with the counts, from the points
    // Points drawn to check a class whose class differs from their
    // representative's: "ID (class) differs from REPRESENTATIVE (class)".
    std::vector<std::string> disagreements;
};

// A fleet instrument the medium's sweep leaves out, and why.
struct SkippedInstrument {
    std::string name;
    std::string reason;
};

// The sweep of a medium over a fleet: one sweep per instrument that installs
// it (its `kind` the instrument's name), one verdict over all.
struct MediumPowercutResult {
    std::string medium;                 // the medium's directory
    std::string mediumDigest;
    std::string fleetSource;            // the fleet file, or "default"
    std::vector<std::string> fleet;     // every instrument as a fleet line (FleetLine), in order
    std::vector<std::string> previous;  // the upgrade path: each previous medium's digest, in order
    std::vector<std::string> previousVersions;  // and its version as the updater reads it
    std::vector<PowercutResult> kinds;  // the instruments that install the medium, in fleet order
    std::vector<SkippedInstrument> skipped;
    int shard = 1, shards = 1;
    double wallSeconds = 0;
    bool safe = false;
    Verdict verdict = Verdict::Unclear;   // unclear when a point of any kind could not be checked, else unsafe when any kind is, else unclear when any is
};

// The layout version of the JSON reports (simulator/schemas/powercut.schema.json).
constexpr int kPowercutSchemaVersion = 2;

// The exit statuses of the command: the verdict, or why there is none.
constexpr int kPowercutSafe = 0;
constexpr int kPowercutUnsafe = 1;      // some point (or part of the update) leaves it unable to start
constexpr int kPowercutNoAnswer = 2;    // the analysis could not run, or some point ended unclearly
constexpr int kPowercutUsage = 64;      // an id past the run's writes, an unknown critical partition
constexpr int kPowercutNoRoot = 77;     // no instrument root can be made here

// Runs the sweep. Returns 0; kPowercutUsage (with the reason) for an id
// past the run's writes or a critical partition the update does not write,
// before the last sweep's work is removed; kPowercutNoRoot when no instrument
// root can be made here; kPowercutNoAnswer with the reason for other
// failures (no instrument, no medium, an update that does not succeed
// without a cut).
int RunPowercut(const PowercutOptions& options, PowercutResult* result, std::string* why);

// Joins the JSON reports of the shards of one sweep into the report of the
// whole sweep. Returns 0; kPowercutUsage with the reason when the parts are
// not every shard of one sweep exactly once; kPowercutNoAnswer when a part
// cannot be read.
int MergePowercut(const std::vector<std::string>& parts, PowercutResult* result, std::string* why);

// The window of a run already made (its state `state`, its facts read with
// the bus recorded into `bus`) in which a power cut leaves the partition at
// the flash's start half-written: the sweep's window, worked out the same
// way, with that partition as the only critical one. 0 when the run wrote
// nothing there; < 0 with the reason when its writing cannot be placed.
double BootWindowOfRun(const StatePaths& state, const RunFacts& facts, std::vector<norsim::BusAccess> bus,
                       std::string* why);
// Sweeps the medium of options.medium on every instrument of the fleet
// that installs it; each instrument's points are those of a sweep of its
// own state, and `--shard K/N` takes every N-th (instrument, point) pair.
// Returns as RunPowercut; kPowercutUsage also for an unreadable fleet file.
int RunMediumPowercut(const PowercutOptions& options, MediumPowercutResult* result, std::string* why);
// Joins the JSON reports of the shards of one sweep of a medium.
int MergeMediumPowercut(const std::vector<std::string>& parts, MediumPowercutResult* result, std::string* why);
// Whether a report's JSON text is that of a medium's sweep.
bool IsMediumPowercutJson(const std::string& text);

// The exit status the verdict of a finished sweep gives.
int PowercutExitStatus(const PowercutResult& result);
int PowercutExitStatus(const MediumPowercutResult& result);

// The detail column of a point: what was lost, what differs, the evidence.
std::string PointDetail(const PointResult& point);
// Why an unclear sweep gives no answer, one sentence for every rendering.
std::string UnclearReason(const PowercutResult& result);

// The report: verdict, findings, the table of points.
std::string PowercutText(const PowercutResult& result);
// The result's JSON (simulator/schemas/powercut.schema.json) and back; the
// verdict, the counts and the share are written, not read (MergePowercut
// concludes anew).
void to_json(nlohmann::json& j, const LostLog& l);
void from_json(const nlohmann::json& j, LostLog& l);
void to_json(nlohmann::json& e, const PointResult& p);
void from_json(const nlohmann::json& e, PointResult& p);
void to_json(nlohmann::json& j, const PowercutResult& r);
void from_json(const nlohmann::json& j, PowercutResult& r);
// The same as JSON text.
std::string PowercutJson(const PowercutResult& result);
// A report read back from its JSON (the shards of a sweep being merged).
bool PowercutFromJson(const std::string& text, PowercutResult* result, std::string* why);
// The same as a self-contained HTML page: the update's timeline with the
// window marked and the points on it, the counts and the table.
std::string PowercutHtml(const PowercutResult& result);
// A medium's sweep: the verdict over all, the instruments left out, then
// each instrument's report.
std::string MediumPowercutText(const MediumPowercutResult& result);
void to_json(nlohmann::json& j, const MediumPowercutResult& r);
void from_json(const nlohmann::json& j, MediumPowercutResult& r);
std::string MediumPowercutJson(const MediumPowercutResult& result);
std::string MediumPowercutHtml(const MediumPowercutResult& m);

}  // namespace swsim

#endif
