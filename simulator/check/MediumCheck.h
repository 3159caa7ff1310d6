// swsim check: is an update medium safe to ship?
//
// The static checks read the medium's packages the way the instrument's
// start-up and the updater will (file0 into /tmp, then file1 to file3, or
// file1 alone for a version beginning "0."), into a scratch /tmp, and look at
// what the updater would do with each control file and each flash map line.
// The dynamic checks run the medium on a fleet of fresh simulated
// instruments and compare what each did with what it should have done.
#ifndef SWSIM_MEDIUM_CHECK_H
#define SWSIM_MEDIUM_CHECK_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "RunFacts.h"

namespace swsim {

// The check itself could not run (no instrument root, no scratch space).
constexpr int kExitCheckNotRun = 2;

struct Finding {
    enum Severity { Error, Warning } severity = Error;
    std::string check;       // the check's key, e.g. "map-line-ends"
    std::string package;     // "file1", or empty
    std::string file;        // the member it concerns, or empty
    int line = 0;            // line number in `file`, 0 when none
    std::string instrument;  // fleet instrument, for the dynamic checks
    std::string invariant;   // the end-state invariant a fleet finding breaks; empty for other findings
    std::string what;        // what is wrong
    std::string effect;      // one sentence: what the instrument does because of it
    // A fleet finding: the trace lines of the instrument's run that show
    // the cause, and the static checks whose findings explain it.
    std::vector<std::string> causeLines;
    std::vector<std::string> explainedBy;
};

const char* SeverityName(Finding::Severity s);

// Every check, in report order: key and title (one JUnit test case each).
struct CheckInfo {
    const char* key;
    const char* title;
    bool dynamic;  // needs the fleet runs
};
const std::vector<CheckInfo>& AllChecks();

// A partition image that a flash map line writes on a fresh simulated
// instrument (overwrite YES, or its mount directory missing there).
struct ImageToWrite {
    std::string name;
    int line = 0;
    int startKiB = 0;
    std::string hostPath;  // in the scratch /tmp; empty when no package holds it
};

// A flash map line the updater's walk takes (a valid partition line), with
// what decides per instrument whether it is written: the overwrite flag
// and the partition's mount directory.
struct MapPartition {
    std::string name;        // the image as the line names it (the updater opens it relative to /tmp)
    int line = 0;            // in the flash map
    int startKiB = 0;
    bool overwrite = false;  // the flag is YES to the updater
    std::string mountDir;    // "/" + the name up to its first "Part"
    std::string hostPath;    // the image in the scratch /tmp; empty when no package delivers it
};

struct MediumFacts {
    std::string medium;         // absolute path of the medium directory
    std::string tmpDir;         // the scratch /tmp after unpacking
    bool haveVersion = false;   // file0 delivers swVersion
    std::string versionText;    // its content
    int unpacked = 3;           // packages after file0 the updater unpacks
    bool haveEstimate = false;
    int estimateSeconds = 0;    // as the updater reads it (EstimateFromText)
    // The version as the updater reads it: compared as this number, and
    // recorded in the revision history as these parts (versionParts false:
    // the revision history gets no entry).
    float versionValue = 0;
    bool versionParts = false;
    int versionMajor = 0, versionMinor = 0;
    std::vector<MapPartition> partitions;   // every line the walk takes, in flash map order
    std::vector<ImageToWrite> images;       // in flash map order
    std::vector<std::string> crcFiles;      // the CRC files the updater installs (/tmp/*.crc)
    bool unpackable = true;     // every package the updater unpacks is present and readable
};

// Static checks of the medium in `mediumDir`, unpacked below `workDir`.
// Appends findings; returns 0, or kExitCheckNotRun with the reason when the
// check could not be made (no scratch space, no tar).
int CheckMediumStatic(const std::string& mediumDir, const std::string& workDir, MediumFacts* facts,
                      std::vector<Finding>* findings, std::string* why);

// Version rules of the updater and of the people who number the versions.
struct VersionParts {
    bool ok = false;            // digits "." digits (a missing minor reads as 0)
    int major = 0, minor = 0;   // as the revision history records them (SplitVersionNumbers)
    std::string minorText;      // the digits after the point
};
VersionParts SplitVersion(const std::string& text);
// The updater's comparison value: the leading number read as "%f" reads it.
float VersionValue(const std::string& text);
// Market.ini "Market=" + market counts as internal (or there is none).
bool MarketIsInternal(const std::string& market);

// A CRC-32 as people write it into a CRC file or the flash map's column:
// hex in either letter case, with "0x" or without, up to eight digits, and
// an LF or CR LF end. *written receives the text without its line end.
bool ReadCrcWriting(const std::string& text, uint32_t* value, std::string* written);

// True where the updater finds `dir` on a simulated instrument: the root's
// fixed directories, and `mountDirs`, those of its mounted partitions.
bool InstrumentHasDirectory(const std::string& dir, const std::vector<std::string>& mountDirs);

// One instrument of the fleet.
struct FleetInstrument {
    std::string name;
    std::string running;
    std::string installed;      // empty: same as running
    std::string market;         // empty: no Market.ini
    std::vector<std::string> corruptLogs, truncateLogs;
    bool mounted = false;       // its partitions are mounted: their mount directories exist (/app, /ifs, ...)
    int line = 0;               // in the fleet file
    // An instrument from service: the flash image and the copies of
    // /instrumentData and /log as the fleet file names them (relative to its
    // directory), and the instrument made from them once (PrepareDumps),
    // which each run copies. Empty for a fresh instrument.
    std::string dump, data, logs;
    std::string madeFrom;
};

// Reads a fleet file's text: "NAME running=V [installed=V] [market=internal|Export]
// [corrupt-log=LOG]... [truncate-log=LOG]..." or "NAME dump=FLASH data=DIR|ARCHIVE
// [logs=DIR|ARCHIVE]", either with [mounted=yes|no], "#" starts a comment; versions
// must be MAJOR.MINOR. Returns false with the reason (line number included).
bool ParseFleet(const std::string& text, std::vector<FleetInstrument>* fleet, std::string* why);
// Makes the instrument of every dump= line once, below `workDir`, from the
// files named relative to `fleetDir`, and takes its versions and market
// from it. Returns 0, kExitCheckNotRun, or kFleetDumpWrong when a dump is
// wrong (a usage error), with the reason naming the fleet file's line.
constexpr int kFleetDumpWrong = 64;
int PrepareDumps(const std::string& fleetDir, const std::string& workDir, std::vector<FleetInstrument>* fleet,
                 std::string* why);
// An internal and a market instrument on the version just below the
// medium's (or on `fieldVersion`, the version an upgrade path leaves them
// on, when given), and a market instrument on one newer than the medium's.
std::vector<FleetInstrument> DefaultFleet(const std::string& mediumVersion, const std::string& fieldVersion = "");
std::string VersionBelow(const std::string& version);
// The medium's version as the default fleet is placed around it: its text
// when that is MAJOR.MINOR, else the number the updater compares it as.
std::string VersionAsRead(const MediumFacts& facts);
std::string VersionAbove(const std::string& version);
// `s` without the blanks, tabs and line ends around it.
std::string Trimmed(const std::string& s);

// The check a skipped fleet reports under.
constexpr const char* kFleetVersionCheck = "fleet-version";
// The fleet the check runs: the fleet file's instruments when *fleet holds
// them, else the default fleet around the medium's version. A medium whose
// version is missing or not MAJOR.MINOR has no default fleet: returns false
// and appends a warning saying the fleet was not run.
bool ChooseFleet(const MediumFacts& facts, std::vector<FleetInstrument>* fleet, std::vector<Finding>* findings,
                 const std::string& fieldVersion = "");

// A previous release's medium that the fleet installs before the one
// checked: its directory, its version as the updater reads it, and what its
// packages deliver (read like the medium checked, in a scratch /tmp of its
// own).
struct PreviousMedium {
    std::string dir;
    std::string version;
    MediumFacts facts;
};
// Reads the previous media in the order given into `work`/previous-N.
// Returns 0, or kExitCheckNotRun with the reason (no scratch space, a
// medium without a version).
int ReadPreviousMedia(const std::vector<std::string>& dirs, const std::string& work,
                      std::vector<PreviousMedium>* previous, std::string* why);

// An image of the checked medium's map, watched on each fleet instrument:
// whether the flash held its bytes at its place before the run (the field
// already has it) and after it, and whether the instrument has the
// partition's mount directory (only then does a flag other than YES keep it).
struct ImageHeld {
    std::string name;
    int line = 0;
    bool before = false;
    bool after = false;
    bool mountDir = false;
};

struct InstrumentResult {
    FleetInstrument instrument;
    std::string expected;       // "done" or "not-allowed"
    std::string outcome;        // the outcome key of the run's report
    bool ok = false;
    std::string verdict;        // short text for the table
    double durationSeconds = -1;  // the update's duration on the instrument (counted); < 0 unknown
    double workSeconds = -1;      // of it, the chip's work and the updater's fixed waits; < 0 unknown
    std::string stateDir;
    bool ran = false;             // the run left its facts
    bool timedOut = false;        // stopped at the run limit: not judged
    std::string previousFailed;   // a previous medium did not install on it: not judged (why)
    std::string versionBefore;    // the installed version the update found
    std::vector<ImageHeld> held;  // the watched images (FleetOptions::watch)
    double bootWindowSeconds = -1;  // the run's unbootable window (BootWindowOfRun); < 0 not worked out
    RunFacts facts;               // what the run did, as its process read it
};

// The instrument's modelled duration of the medium's update: the chip's
// work for the images the map writes (whole sectors erased, every word
// programmed, a lock-bit clearing per image, at the typical timing) and the
// updater's fixed waits. No unpacking, backup or host work.
double ModelledSeconds(const MediumFacts& facts);
// The real-time limit of a fleet run derived from it: a wide margin (three
// times the modelled duration, as if the run went at real time, plus two
// minutes), so that only a run that hangs reaches it.
double DefaultRunLimitSeconds(const MediumFacts& facts);

struct FleetOptions {
    double runLimitSeconds = 0;   // real seconds a run may take (0: DefaultRunLimitSeconds); a run stopped there is not judged
    int jobs = 1;
    std::string workDir;
    std::string selfExe;
    // The upgrade path: media installed on every instrument, in order,
    // before the medium checked (empty: instruments as made).
    std::vector<PreviousMedium> previous;
    // Map lines whose images are watched on each instrument (empty: the
    // medium's own), and whether the unbootable window is worked out for
    // every run that writes the flash's start (else only where the image
    // written there was already in the flash).
    std::vector<MapPartition> watch;
    bool everyWindow = false;
    // Called as each instrument's run ends: runs ended so far, of how many,
    // and the instrument's name.
    std::function<void(size_t done, size_t total, const std::string& name)> onRunEnded;
};

// Whether the updater's market and version rules let the instrument install
// the medium.
bool FleetInstalls(const MediumFacts& facts, const FleetInstrument& inst);
// The instrument made in `state` as the fleet line describes it (fresh, or
// a copy of the one made from a service dump), brought along the upgrade
// path of `o` (*kind, when given, follows the images the path wrote), the medium
// inserted (also kept in the state's medium directory). Returns 0;
// kPathNotInstalled with *failed when a previous medium did not install;
// else non-zero with the reason.
struct InstrumentKind;
int CreateFleetInstrument(const MediumFacts& facts, const FleetInstrument& inst, const std::string& state,
                          const FleetOptions& o, InstrumentKind* kind, std::string* failed, std::string* why);
// The instrument as a fleet file's line writes it, its keys in one order:
// the same text for the same instrument.
std::string FleetLine(const FleetInstrument& inst);

// Runs the medium on every instrument, `jobs` at once. Appends findings
// (one per fault of an instrument, and the estimate check). Returns 0, or
// kExitCheckNotRun with the reason (also when a run reached the run limit:
// its result says timedOut, and nothing is judged from it).
int RunFleet(const MediumFacts& facts, const std::vector<FleetInstrument>& fleet, const FleetOptions& options,
             std::vector<InstrumentResult>* results, std::vector<Finding>* findings, std::string* why);

// An estimate (as the updater reads it; < 0: none) below the chip's work
// and the fixed waits of an installing instrument is an error, one below
// the update's counted duration only a warning (appended to findings).
void JudgeEstimate(int estimateSeconds, const std::vector<InstrumentResult>& results, std::vector<Finding>* findings);
// Why the check cannot judge: a previous medium that did not install, or
// runs stopped at the run limit; "" when neither happened.
std::string StoppedRunsReason(const std::vector<InstrumentResult>& results, double runLimitSeconds);

// Which part of the fleet a check ran (`--shard K/N`), and what a merge of
// the parts needs to give the answer of one run over the whole fleet.
struct CheckShard {
    bool split = false;            // a part (--shard); false: the whole fleet
    int index = 1, count = 1;
    size_t fleetSize = 0;          // instruments in the whole fleet
    std::string fleetDigest;       // of the whole fleet (definitions, and the dumps' content)
    size_t staticFindings = 0;     // the findings before the fleet's own
    int estimateSeconds = -1;      // the medium's estimate as the updater reads it; < 0 none
    std::vector<size_t> indexes;   // of this part's instruments in the whole fleet
};

// A partition the medium rewrites with the bytes every installing
// instrument already holds, and what keeping it would save: the chip's time
// of writing it and, for the partition at the flash's start, the window in
// which a power cut leaves the instrument unable to start. Offered only when
// a rerun of the fleet with the line changed ends right on every instrument.
struct Advice {
    std::string image;        // as the flash map line names it
    int line = 0;             // in the flash map
    std::string since;        // the installed version(s) the instruments held it from
    std::string change;       // "NO" (the flag), or "leave-out" (no mount directory: the flag cannot keep it)
    bool boot = false;        // the partition at the flash's start
    double savedSeconds = 0;  // chip's time the change saves (the least over the instruments)
    double windowBefore = -1, windowAfter = -1;  // boot only: the unbootable window with and without the change
    bool offered = false;     // the rerun ended right on every instrument
    std::string text;         // the advice as offered
    std::string detail;       // the rerun's result, or why the advice is not offered
};

// Output: the verdict, the findings by severity and the fleet table; JSON;
// JUnit XML.
struct CheckOutcome {
    std::string medium;
    std::string mediumDigest;     // of the medium's packages (MediumDigest)
    CheckShard shard;
    std::string version;
    std::vector<std::string> previous;   // the upgrade path's media, in order (their versions in previousVersions)
    std::vector<std::string> previousVersions;
    std::vector<Advice> advice;
    bool fleetRun = false;
    double runLimitSeconds = 0;   // of each fleet run (real seconds); 0: no fleet
    std::string notChecked;       // why the check could not give a verdict; "" when it did
    std::vector<Finding> findings;
    std::vector<InstrumentResult> fleet;
    int Errors() const;
    int Warnings() const;
};
// A digest of a fleet's instruments (with the content of the ones made
// from dumps): the same on every machine that has the same fleet. The
// medium's is the medium library's MediumDigest.
std::string FleetDigest(const std::vector<FleetInstrument>& fleet);
// The part of the fleet that shard `k` of `n` runs, with its shard record.
std::vector<FleetInstrument> ShardOfFleet(const std::vector<FleetInstrument>& fleet, int k, int n, CheckShard* shard);
// What a shard's JSON carries besides the outcome's (null for a whole run),
// and the parts (the JSON of `swsim check --shard`) joined into the outcome
// of one run. Returns 0, or kCheckMergeRefused (a usage error: parts of
// other media, fleets or options, a shard missing or given twice) or
// kExitCheckNotRun with the reason.
nlohmann::json ShardJson(const CheckOutcome& o);
void to_json(nlohmann::json& j, const Finding& f);
void from_json(const nlohmann::json& j, Finding& f);
constexpr int kCheckMergeRefused = 64;
int MergeCheckParts(const std::vector<std::string>& paths, CheckOutcome* out, std::string* why);

std::string VerdictLine(const CheckOutcome& o);
// The upgrade path as the outputs name it: "DIR (2.2), then DIR (2.3)".
std::string UpgradePathText(const CheckOutcome& o);
std::string ReportText(const CheckOutcome& o);
std::string JsonText(const CheckOutcome& o);
std::string JunitText(const CheckOutcome& o);
// One SARIF 2.1.0 log: every finding a result, every check a rule of the
// driver (described with the table of checks in simulator/README.md).
std::string SarifText(const CheckOutcome& o);
// A self-contained HTML page with each instrument's flash picture (from
// the runs' facts).
std::string CheckHtmlText(const CheckOutcome& o);

}  // namespace swsim

#endif
