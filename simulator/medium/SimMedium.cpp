#include "SimMedium.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <sys/wait.h>

#include "InstrumentTime.h"
#include "SimFiles.h"
#include "SimFlash.h"

namespace swsim {

const std::vector<std::string>& StartupFiles()
{
    static const std::vector<std::string> files = {"swVersion", "estUpdateTime", "SwUpdate_backup.sh",
                                                   "FlashRepartition.sh"};
    return files;
}

namespace {

struct SampleImage {
    const char* name;
    int startKiB;
    uint32_t size;
    const char* overwrite;
};

// The sample's partitions. The boot image is shorter than the factory's, so
// the end of its last sector keeps old bytes; the configuration partition is
// written because /config does not exist on the instrument; the fonts start
// 1 KiB into their sector; the data partition is listed but kept, since
// /instrumentData exists.
const SampleImage kSampleImages[] = {
    {"ifsPart.bin", 0, 700 * 1024, "YES"},
    {"appPart.bin", 2048, 1200 * 1024 + 300, "YES"},
    {"configPart.bin", 12288, 100 * 1024, "NO"},
    {"fontsPart.bin", 14337, 300 * 1024, "YES"},
};

const char kBackupScript[] =
    "# Backup of the instrument's data before an update.\n"
    "# Run with the dot command; $1 is the blank-separated list of directories.\n"
    "backup=/usbdongle/backup\n"
    "mkdir -p \"$backup\"\n"
    "for dir in $1; do\n"
    "    if [ -d \"$dir\" ]; then\n"
    "        cp -R \"$dir\" \"$backup/\" && echo \"backup: $dir saved to $backup\"\n"
    "    else\n"
    "        echo \"backup: $dir not present\"\n"
    "    fi\n"
    "done\n";

const char kRepartitionScript[] =
    "#!/bin/sh\n"
    "# The sample update keeps the flash's partitioning.\n"
    "echo \"repartition: layout unchanged\"\n"
    "exit 0\n";

bool IsStartupFile(const std::string& name)
{
    const auto& s = StartupFiles();
    return std::find(s.begin(), s.end(), name) != s.end();
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Creates `out` as a gzip-compressed tar archive of `names` inside `dir`.
bool MakeArchive(const std::string& dir, const std::vector<std::string>& names, const std::string& out,
                 std::string* why)
{
    std::vector<std::string> argv = {"tar", "-czf", out, "--owner=0", "--group=0", "--numeric-owner",
                                     "-C", dir};
    if (names.empty()) {
        argv.push_back("-T");
        argv.push_back("/dev/null");
    } else {
        argv.push_back("--");
        argv.insert(argv.end(), names.begin(), names.end());
    }
    std::string output;
    const int status = RunProgram(argv, &output, why);
    if (status == -1) return false;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *why = "tar failed for " + out + ": " + output;
        return false;
    }
    return true;
}

}  // namespace

int WriteSampleUpdate(const std::string& dir, const SampleOptions& o, std::string* why)
{
    if (IsDirectory(dir) && !ListDir(dir).empty()) {
        *why = dir + " is not empty";
        return 1;
    }
    if (!MakeDirs(dir, why)) return 1;
    const std::string tag = "UPDATE " + o.version;
    std::string map =
        "# Flash map of the sample update\n"
        "RELEASE_NAME=sample-" + o.version + "\n"
        "# image                 start(KiB)  crc        overwrite\n";
    uint64_t touchedSectors = 0;
    for (const auto& s : kSampleImages) {
        const auto image = PartitionImage(s.name, tag, s.size);
        if (!WriteBytes(dir + "/" + s.name, image.data(), image.size(), 0644, why)) return 1;
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", Crc32(image.data(), image.size()));
        if (!WriteText(dir + "/" + CrcFileName(s.name), std::string(crc) + "\n", 0644, why)) return 1;
        char line[160];
        std::snprintf(line, sizeof line, "%-24s %-11d 0x%s %s\n", s.name, s.startKiB, crc, s.overwrite);
        map += line;
        const uint64_t start = static_cast<uint64_t>(s.startKiB) * 1024;
        const uint64_t sectors = (start + s.size + kSectorSize - 1) / kSectorSize - start / kSectorSize;
        touchedSectors += sectors;
    }
    map += "instrumentDataPart.bin   8192        0x00000000 NO\n";
    if (!WriteText(dir + "/flashMap", map, 0644, why)) return 1;
    if (!WriteText(dir + "/swVersion", o.version + "\n", 0644, why)) return 1;
    // The estimate of the sample's writing and waits (InstrumentTime.h).
    const int estimate = SampleEstimateSeconds(touchedSectors, static_cast<int>(std::size(kSampleImages)));
    if (!WriteText(dir + "/estUpdateTime", std::to_string(estimate) + "\n", 0644, why)) return 1;
    if (!WriteText(dir + "/SwUpdate_backup.sh", kBackupScript, 0644, why)) return 1;
    if (!WriteText(dir + "/FlashRepartition.sh", kRepartitionScript, 0755, why)) return 1;
    return 0;
}

int BuildMedium(const std::string& sourceDir, const std::string& mediumDir, std::vector<std::string>* lines,
                std::string* why)
{
    if (!IsDirectory(sourceDir)) {
        *why = sourceDir + " is not a directory";
        return 1;
    }
    if (!MakeDirs(mediumDir, why)) return 1;
    for (const auto& name : ListDir(mediumDir)) {
        if (name.compare(0, 4, "file") == 0 && !RemoveTree(mediumDir + "/" + name, why)) return 1;
    }
    std::vector<std::pair<std::string, std::vector<std::string>>> packages;  // (dir, members)
    if (IsDirectory(sourceDir + "/file0") || IsDirectory(sourceDir + "/file1")) {
        for (int i = 0; IsDirectory(sourceDir + "/file" + std::to_string(i)); ++i) {
            const std::string d = sourceDir + "/file" + std::to_string(i);
            packages.push_back({d, ListDir(d)});
        }
    } else {
        const std::string version = ReadTextOr(sourceDir + "/swVersion", "");
        const int count = version.compare(0, 2, "0.") == 0 ? 1 : 3;
        packages.assign(static_cast<size_t>(count) + 1, {sourceDir, {}});
        std::vector<std::pair<off_t, std::string>> images;
        for (const auto& name : ListDir(sourceDir)) {
            if (!IsRegularFile(sourceDir + "/" + name)) continue;
            if (IsStartupFile(name)) {
                packages[0].second.push_back(name);
            } else if (name == "flashMap" || EndsWith(name, ".crc")) {
                packages[1].second.push_back(name);
            } else {
                images.push_back({FileSizeOf(sourceDir + "/" + name), name});
            }
        }
        // Largest first into the package holding the least so far.
        std::sort(images.begin(), images.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        std::vector<off_t> load(packages.size(), 0);
        for (const auto& image : images) {
            size_t best = 1;
            for (size_t p = 2; p < packages.size(); ++p) {
                if (load[p] < load[best]) best = p;
            }
            load[best] += image.first;
            packages[best].second.push_back(image.second);
        }
    }
    for (size_t i = 0; i < packages.size(); ++i) {
        const std::string out = mediumDir + "/file" + std::to_string(i);
        auto members = packages[i].second;
        std::sort(members.begin(), members.end());
        if (!MakeArchive(packages[i].first, members, out, why)) return 1;
        std::string line = "file" + std::to_string(i) + " (" + SizeText(static_cast<uint64_t>(FileSizeOf(out))) + "):";
        for (const auto& m : members) line += " " + m;
        if (members.empty()) line += " (empty)";
        lines->push_back(line);
    }
    return 0;
}

std::string MediumDigest(const std::string& mediumDir)
{
    std::vector<std::string> names;
    for (const auto& name : ListDir(mediumDir)) {
        const bool package = name.size() > 4 && name.compare(0, 4, "file") == 0 &&
                             name.find_first_not_of("0123456789", 4) == std::string::npos;
        if (package && IsRegularFile(mediumDir + "/" + name)) names.push_back(name);
    }
    if (names.empty()) return "";
    std::sort(names.begin(), names.end());
    // The host's sha256sum over the packages in order, each framed by its
    // name and length, so that moving bytes from one package to the next
    // changes the digest.
    std::vector<std::string> argv = {"sh", "-c",
                                     "for f; do printf '%s\\0%s\\0' \"${f##*/}\" \"$(stat -c %s -- \"$f\")\" && "
                                     "cat -- \"$f\"; done | sha256sum",
                                     "sh"};
    for (const auto& name : names) argv.push_back(mediumDir + "/" + name);
    std::string output, why;
    if (RunProgram(argv, &output, &why) != 0 || output.size() < 64 ||
        output.find_first_not_of("0123456789abcdef") < 64) {
        return "";
    }
    return "sha256:" + output.substr(0, 64);
}

int InsertMedium(const std::string& mediumDir, const std::string& usbdongleDir, std::string* why)
{
    if (!MakeDirs(usbdongleDir, why)) return 1;
    for (const auto& name : ListDir(usbdongleDir)) {
        if (name.compare(0, 4, "file") == 0 && !RemoveTree(usbdongleDir + "/" + name, why)) return 1;
    }
    for (const auto& name : ListDir(mediumDir)) {
        if (name.compare(0, 4, "file") != 0) continue;
        if (!CopyFileTo(mediumDir + "/" + name, usbdongleDir + "/" + name, why)) return 1;
    }
    return 0;
}

}  // namespace swsim
