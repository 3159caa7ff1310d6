// Update media for the simulated instrument.
//
// A medium is the numbered packages file0, file1, ... (gzip-compressed tar
// archives). file0 carries what the start-up puts into /tmp before it starts
// the updater (swVersion, estUpdateTime, SwUpdate_backup.sh,
// FlashRepartition.sh); file1 to file3 carry the flash map, the CRC files and
// the partition images, unpacked by the updater itself (file1 alone for a
// version beginning "0.").
#ifndef SWSIM_SIM_MEDIUM_H
#define SWSIM_SIM_MEDIUM_H

#include <string>
#include <vector>

namespace swsim {

// The files that go into file0.
const std::vector<std::string>& StartupFiles();

struct SampleOptions {
    std::string version = "2.4";
};

// Writes the source directory of the built-in sample update into `dir`
// (created; must be empty or missing): new boot, application, configuration
// and font images, a flash map that also keeps the data partition, the CRC
// files, the version, the estimate and the two scripts. Returns 0, or 1 with
// the reason.
int WriteSampleUpdate(const std::string& dir, const SampleOptions& options, std::string* why);

// Builds the packages of a medium from `sourceDir` into `mediumDir` (its old
// packages are removed). When `sourceDir` has subdirectories file0, file1,
// ..., each becomes the package of that name as it is. Otherwise the
// packages are made from the files: file0 from the start-up files, file1
// from the flash map, the CRC files and images, and, unless the version
// begins with "0.", file2 and file3 share the images with file1 (balanced by
// size). Appends one line per package to *lines. Returns 0, or 1 with the
// reason.
int BuildMedium(const std::string& sourceDir, const std::string& mediumDir,
                std::vector<std::string>* lines, std::string* why);

// Puts the medium of `mediumDir` into the slot `usbdongleDir`: removes the
// slot's packages (also one taken out, "file0.pulled") and copies the
// medium's in. Other files in the slot (a backup) stay.
int InsertMedium(const std::string& mediumDir, const std::string& usbdongleDir, std::string* why);

// The digest of a medium's packages (the files "file0", "file1", ... of
// `mediumDir`, each by its name and its bytes): "sha256:" and 64 hex digits,
// the same for the same packages wherever they lie. "" when it holds none.
std::string MediumDigest(const std::string& mediumDir);

}  // namespace swsim

#endif
