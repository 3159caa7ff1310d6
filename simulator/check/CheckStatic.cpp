// The static checks: the medium's packages unpacked into a scratch /tmp as
// the start-up and the updater unpack them, then every control file and
// flash map line judged by what the updater will do with it. This file
// holds the table of the checks and runs them; the reading of the medium and
// the checks by subject are in the files StaticScan.h names.
#include <algorithm>
#include <cstdio>

#include "SimFiles.h"
#include "StaticScan.h"

namespace swsim {

const char* SeverityName(Finding::Severity s)
{
    return s == Finding::Error ? "error" : "warning";
}

namespace scan {

const char kUnpackingFails[] =
    "the updater's unpacking fails after the logs were validated and backed up: nothing is written, the "
    "failure screen is shown and the instrument reboots";

void Report(Scan& s, Finding::Severity severity, const char* key, const std::string& package,
            const std::string& file, int line, const std::string& what, const std::string& effect)
{
    Finding f;
    f.severity = severity;
    f.check = key;
    f.package = package;
    f.file = file;
    f.line = line;
    f.what = what;
    f.effect = effect;
    s.findings->push_back(f);
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}


std::string BaseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

int FirstCrLine(const std::string& text)
{
    const size_t cr = text.find('\r');
    if (cr == std::string::npos) return 0;
    return static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(cr), '\n')) + 1;
}

}  // namespace scan

namespace {

using namespace scan;

// Every static check: its key, its title and the function that makes its
// findings, in report order.
struct StaticCheck {
    const char* key;
    const char* title;
    void (*run)(Scan&, const char* key);
};

const StaticCheck kStaticChecks[] = {
    {"package-present", "file0 and every package the updater unpacks are on the medium", CheckPackagePresent},
    {"package-format", "every package is a gzip-compressed tar archive that tar unpacks", CheckPackageFormat},
    {"package-members", "no member leaves /tmp (absolute path, \"..\", link, device)", CheckPackageMembers},
    {"package-duplicates", "no file is in two unpacked packages with different content", CheckPackageDuplicates},
    {"version-file", "swVersion is readable as the version it states", CheckVersionFile},
    {"repartition-script", "file0's FlashRepartition.sh is present, executable, without CR and accepted by mksh -n",
     CheckRepartitionScript},
    {"backup-script", "file0's SwUpdate_backup.sh is present, without CR and accepted by mksh -n", CheckBackupScript},
    {"estimate-file", "estUpdateTime is present and a number of seconds", CheckEstimateFile},
    {"version-order", "the version compares as a number the way it reads as major.minor", CheckVersionOrder},
    {"version-leading-zero", "neither part of the version has a leading zero", CheckVersionLeadingZero},
    {"version-text", "swVersion holds MAJOR.MINOR and at most a line end", CheckVersionText},
    {"version-range", "major and minor are at most 99 (the revision history's limit)", CheckVersionRange},
    {"version-zero", "a version beginning \"0.\" has every image it writes in file1", CheckVersionZero},
    {"map-present", "the packages deliver a flash map", CheckMapPresent},
    {"map-line-ends", "no line saying YES ends in CR", CheckMapLineEnds},
    {"map-ignored-lines", "no line that looks like a partition is rejected or skipped", CheckMapIgnoredLines},
    {"map-start", "every start is a decimal number from 0 to 16000 KiB", CheckMapStart},
    {"map-fit", "every image fits into the flash from its start", CheckMapFit},
    {"map-repeated-line", "no line writes an image again at the same start", CheckMapRepeatedLine},
    {"map-overlap", "written partitions do not overlap each other or a kept one", CheckMapOverlap},
    {"map-image-missing", "every image a written line names is delivered", CheckMapImageMissing},
    {"image-link", "no written image is a link", CheckImageLink},
    {"image-empty", "no written image is empty", CheckImageEmpty},
    {"map-unnamed-files", "every delivered image and CRC file is named by a line", CheckMapUnnamedFiles},
    {"crc-written", "every written image has its CRC file, and it matches", CheckCrcWritten},
    {"map-crc-column", "the flash map's CRC column matches the written images", CheckMapCrcColumn},
    {"crc-kept", "the medium carries the CRC files of the kept partitions", CheckCrcKept},
};

}  // namespace

const std::vector<CheckInfo>& AllChecks()
{
    static const std::vector<CheckInfo> checks = [] {
        std::vector<CheckInfo> all;
        for (const auto& c : kStaticChecks) all.push_back({c.key, c.title, false});
        all.push_back({"estimate-duration", "the estimate is not shorter than the update on the instruments", true});
        all.push_back({kFleetVersionCheck, "the medium's version places the default fleet", true});
        return all;
    }();
    return checks;
}

int CheckMediumStatic(const std::string& mediumDir, const std::string& workDir, MediumFacts* facts,
                      std::vector<Finding>* findings, std::string* why)
{
    scan::Scan s;
    s.facts = facts;
    s.findings = findings;
    facts->medium = AbsolutePath(mediumDir);
    facts->tmpDir = AbsolutePath(workDir) + "/tmp";
    s.tmp = facts->tmpDir;
    s.workDir = AbsolutePath(workDir);
    if (!RemoveTree(s.tmp, why) || !MakeDirs(s.tmp, why)) return kExitCheckNotRun;
    scan::FindPackages(s);
    if (!scan::UnpackAll(s, why)) return kExitCheckNotRun;
    scan::ReadMap(s);
    for (const auto& c : kStaticChecks) c.run(s, c.key);
    return 0;
}

}  // namespace swsim
