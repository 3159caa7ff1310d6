// The installation's file work, cut: the states a cut leaves while the
// backup is copied onto the medium, while the packages are unpacked, and in
// each step of the installation (the version file, the CRC files,
// extlog.dat), built on a worker's instrument.
#include "Sweep.h"

#include <filesystem>
#include <iterator>
#include <sstream>

#include "SimFiles.h"
#include "SimState.h"

namespace swsim {
namespace sweep {

namespace {

// The CRC files of the directory `dir`, sorted.
std::vector<std::string> CrcFilesIn(const std::string& dir)
{
    std::vector<std::string> files;
    for (const auto& name : ListDir(dir)) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".crc") == 0) files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The regular files under `dir`, relative to it, sorted.
std::vector<std::string> FilesUnder(const std::string& dir)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(fs::relative(it->path(), dir, ec).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// A copy cut short among `files` of `dir`: the first half whole, the next
// one with half of its bytes, the others not there.
bool CutCopyShort(const std::string& dir, const std::vector<std::string>& files, std::string* why)
{
    for (size_t i = files.size() / 2; i < files.size(); ++i) {
        const std::string path = dir + "/" + files[i];
        if (i > files.size() / 2) {
            RemoveTree(path);
            continue;
        }
        std::vector<uint8_t> bytes;
        if (!ReadBytes(path, &bytes) || !WriteBytes(path, bytes.data(), bytes.size() / 2, 0644, why)) return false;
    }
    return true;
}

// The instrument as a cut before the flash writing leaves it on the worker's (the
// flash as before the update, the files as during the writing): during the
// backup onto the medium (`backup-copy`: the backup's files copied in part)
// or during the unpacking of the packages into /tmp (`unpack-extract`: a
// package copied in and its files unpacked in part).
bool BuildEarlyFileState(const Reference& ref, const std::string& step, Worker* wk, std::string* why)
{
    const StatePaths w(wk->root);
    if (RefreshInstrument(ref.flashRoot, wk, why, step == "unpack-extract") != 0 || !PutFlash(wk, ref.before, why)) {
        return false;
    }
    if (step == "backup-copy") {
        const std::string backup = w.usbdongle() + "/backup";
        return CutCopyShort(backup, FilesUnder(backup), why);
    }
    // The files the start-up took from file0 stay; the rest were unpacked
    // from the packages.
    std::istringstream startup(ref.flashRootFile0);
    const std::set<std::string> kept{std::istream_iterator<std::string>(startup), std::istream_iterator<std::string>()};
    std::vector<std::string> unpacked;
    for (const auto& name : FilesUnder(w.tmp())) {
        if (!kept.count(name)) unpacked.push_back(name);
    }
    return CutCopyShort(w.tmp(), unpacked, why) && CopyFileTo(w.usbdongle() + "/file1", w.tmp() + "/file1", why);
}

}  // namespace

// The instrument as a cut in a step of the installation's file work leaves
// it on the worker's: the flash written, the files as during the writing, then the
// version file, the CRC files and extlog.dat as far as the step got (the
// installation copies the version file, removes the old CRC files, copies
// the new ones, writes the revision entry and removes extlog.dat; a copy
// cut short leaves an empty file or half of the files).
bool BuildFileState(const Reference& ref, const std::string& step, Worker* wk, std::string* why)
{
    if (EarlyFileStep(step)) return BuildEarlyFileState(ref, step, wk, why);
    const StatePaths w(wk->root), done(ref.referenceDir);
    if (RefreshInstrument(ref.flashRoot, wk, why) != 0 || !PutFlash(wk, ref.done, why)) return false;
    const std::string data = w.instrumentData(), newData = done.instrumentData();
    const std::string version = "/swVersion/swVersion";
    if (step == "extlog-removal") return RemoveTree(data, why) && CopyTree(newData, data, why);
    if (step == "version-copy") return WriteText(data + version, "", 0644, why);
    if (!CopyFileTo(newData + version, data + version, why)) return false;
    const std::vector<std::string> old = CrcFilesIn(data), now = CrcFilesIn(newData);
    const size_t removed = step == "crc-removal" ? old.size() / 2 : old.size();
    for (size_t i = 0; i < removed; ++i) RemoveTree(data + "/" + old[i]);
    if (step != "crc-copy") return true;
    for (size_t i = 0; i < now.size() / 2; ++i) {
        if (!CopyFileTo(newData + "/" + now[i], data + "/" + now[i], why)) return false;
    }
    return true;
}

// Every file of the tree `dir` (but the flash and the simulator's own
// records) with its content.
std::map<std::string, std::string> FilesOf(const std::string& dir)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), dir, ec).string();
        if (rel == "norflash" || rel == "sim" || rel.compare(0, 4, "sim/") == 0) continue;
        if (it->is_symlink(ec)) files[rel] = "-> " + fs::read_symlink(it->path(), ec).string();
        else if (it->is_regular_file(ec)) files[rel] = ReadTextOr(it->path().string(), "");
        else files[rel] = "(directory)";
    }
    return files;
}

}  // namespace sweep

const std::vector<std::string>& FileSteps()
{
    static const std::vector<std::string> steps = {"backup-copy",  "unpack-extract", "version-copy",
                                                   "crc-removal",  "crc-gap",        "crc-copy",
                                                   "extlog-removal"};
    return steps;
}

bool EarlyFileStep(const std::string& step)
{
    return step == "backup-copy" || step == "unpack-extract";
}

std::string FileStepWhere(const std::string& step)
{
    if (step == "backup-copy") return "backup onto the medium: " + step;
    if (step == "unpack-extract") return "unpacking: " + step;
    return "installation: " + step;
}

}  // namespace swsim
