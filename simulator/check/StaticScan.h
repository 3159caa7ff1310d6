// The static checks' shared reading of a medium: its packages as the
// start-up and the updater unpack them into a scratch /tmp, what the
// instrument reads from there at each moment of the update, and the flash
// map walked with the updater's own line reader. The check functions (one
// per key, in the *Checks.cpp files) judge it and append their findings.
#ifndef SWSIM_STATIC_SCAN_H
#define SWSIM_STATIC_SCAN_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "MediumCheck.h"
#include "SimArchive.h"
#include "SimFlash.h"

namespace swsim {
namespace scan {

// One member of a package, from tar's verbose listing.
using Member = ArchiveMember;

struct Package {
    std::string name;    // "file1"
    std::string path;
    bool present = false;
    bool readable = false;
    std::string error;   // tar's complaint about its listing
    std::string unpackError;  // tar's complaint when unpacking it failed
    std::vector<Member> members;
    std::set<std::string> files;  // normalised names of its safe files and links
};

// What the flash map walk makes of a line.
struct LineFacts {
    const MapLine* map = nullptr;
    enum Fate {
        SkippedImage,   // skipped without a message, though it names an image
        TooFewFields,   // rejected: fewer than four fields
        NoPart,         // rejected: no "Part" in the image name
        StartOutside,   // rejected: start outside the flash
        Taken,          // written or kept, as its flag and the instrument decide
    } fate = Taken;
    std::string first;       // the first token (of a skipped line)
    bool write = false;      // written on a fresh simulated instrument
    uint64_t start = 0;      // in bytes
    std::string hostPath;    // of a written image a package delivers (links followed); empty when none does
    uint64_t size = 0;       // its size
    uint32_t crc = 0;        // its CRC-32
};

// A file that a later package brings again with other content.
struct Duplicate {
    std::string name, earlier, later;  // the file, the package it came from first, the one replacing it
    uint32_t earlierCrc = 0;           // the CRC-32 of the replaced copy
};

// A file the instrument reads or runs before the updater unpacks file1 to
// file3: file0's copy as tar left it (the last of that name in file0).
struct StartupCopy {
    bool present = false;    // a regular file (through links) after file0
    std::string text;
    mode_t mode = 0;
    std::string hostPath;    // the copy kept for the checks (the scratch /tmp changes later)
};

struct Scan {
    MediumFacts* facts = nullptr;
    std::vector<Finding>* findings = nullptr;
    std::string tmp, workDir;
    std::map<int, Package> packages;
    std::vector<int> opened;                    // the packages unpacked, in order
    std::map<std::string, std::string> owner;   // normalised file in /tmp -> package it came from last
    std::map<std::string, Member> lastMember;   // normalised file in /tmp -> the member that made it
    std::set<std::string> file0Files;
    bool haveFile0 = false;                     // file0 present and readable
    bool zeroVersion = false;                   // a version beginning "0.": file1 alone
    VersionParts version;                       // ok only for MAJOR.MINOR beginning with a number
    std::string estimateText;
    std::map<std::string, StartupCopy> startup; // file0's control files at the start-up
    bool haveMap = false;
    std::string map, mapPackage;
    size_t mapWalkEnd = 0;                      // where the updater's walk of the map ends
    std::set<std::string> delivered;            // every unpacked regular file (links not counted)
    std::set<std::string> named;                // image names the lines give
    std::vector<MapLine> lines;
    std::vector<LineFacts> walk;                // the lines the walk does something with
    std::vector<Duplicate> duplicates;          // in unpacking order

    std::string OwnerOf(const std::string& file) const;
    bool InFile0(const char* name) const;
    // The file the updater reads by `path` (relative to /tmp, or absolute):
    // its place in the scratch /tmp with every link resolved there; empty
    // when it leads outside /tmp.
    std::string ScratchPath(const std::string& path) const;
};

const auto E = Finding::Error;
const auto W = Finding::Warning;

void Report(Scan& s, Finding::Severity severity, const char* key, const std::string& package,
            const std::string& file, int line, const std::string& what, const std::string& effect);

extern const char kUnpackingFails[];

// Reading the medium (MediumPackages.cpp, MapWalk.cpp, UpdaterReading.cpp).
void FindPackages(Scan& s);
bool UnpackAll(Scan& s, std::string* why);
void ReadControlFiles(Scan& s);
void ReadMap(Scan& s);

// Names and texts.
std::string UnsafeMember(const Member& m);
std::string FirstLine(const std::string& text);
std::string BaseName(const std::string& path);
bool LooksLikeImage(const std::string& token, const std::set<std::string>& delivered);
// The package after the unpacked ones that holds `name`; empty when none.
std::string HeldByUnread(const Scan& s, const std::string& name);
// The line number of the first CR in `text`; 0 when it holds none.
int FirstCrLine(const std::string& text);
bool Written(const LineFacts& f);
// Warns of each copy of a start-up file that a package after file0 brings:
// the instrument read or ran file0's before unpacking it. `uses` says what
// takes file0's copy.
void ReportUnusedCopies(Scan& s, const char* key, const std::string& name, const std::string& uses);
bool Kept(const LineFacts& f);

// The checks, one function per key (the table in CheckStatic.cpp gives the keys).
void CheckPackagePresent(Scan& s, const char* key);
void CheckPackageFormat(Scan& s, const char* key);
void CheckPackageMembers(Scan& s, const char* key);
void CheckPackageDuplicates(Scan& s, const char* key);
void CheckVersionFile(Scan& s, const char* key);
void CheckRepartitionScript(Scan& s, const char* key);
void CheckBackupScript(Scan& s, const char* key);
void CheckEstimateFile(Scan& s, const char* key);
void CheckVersionOrder(Scan& s, const char* key);
void CheckVersionLeadingZero(Scan& s, const char* key);
void CheckVersionText(Scan& s, const char* key);
void CheckVersionRange(Scan& s, const char* key);
void CheckVersionZero(Scan& s, const char* key);
void CheckMapPresent(Scan& s, const char* key);
void CheckMapLineEnds(Scan& s, const char* key);
void CheckMapIgnoredLines(Scan& s, const char* key);
void CheckMapStart(Scan& s, const char* key);
void CheckMapFit(Scan& s, const char* key);
void CheckMapRepeatedLine(Scan& s, const char* key);
void CheckMapOverlap(Scan& s, const char* key);
void CheckMapImageMissing(Scan& s, const char* key);
void CheckImageLink(Scan& s, const char* key);
void CheckImageEmpty(Scan& s, const char* key);
void CheckMapUnnamedFiles(Scan& s, const char* key);
void CheckCrcWritten(Scan& s, const char* key);
void CheckMapCrcColumn(Scan& s, const char* key);
void CheckCrcKept(Scan& s, const char* key);

}  // namespace scan
}  // namespace swsim

#endif
