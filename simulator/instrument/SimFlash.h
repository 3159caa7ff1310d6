// The simulated instrument's NOR flash as a file: the factory layout of a new
// instrument, the flash map of an update read the way the updater reads it,
// and the comparison of the flash after an update with what the written
// partition images demand.
#ifndef SWSIM_SIM_FLASH_H
#define SWSIM_SIM_FLASH_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace swsim {

constexpr uint32_t kFlashSize = 0x1000000;   // 16 MiB
constexpr uint32_t kSectorSize = 0x20000;    // 128 KiB erase block
constexpr int kSectorCount = 128;

// One partition of a layout: image name (as in a flash map), start in KiB,
// size in bytes, the overwrite flag its flash map line carries, and whether
// it holds a file system that an instrument in the field has mounted (its
// mount directory, "/" + the name up to "Part", then exists).
struct PartitionSpec {
    std::string name;
    int startKiB;
    uint32_t size;
    std::string overwrite;
    bool mounted = false;
};

// The partitions a new instrument carries from the factory.
const std::vector<PartitionSpec>& FactoryLayout();

// The mount directories of a layout's mounted partitions other than
// /instrumentData, which every instrument has ("/app", "/fonts").
std::vector<std::string> MountDirsOf(const std::vector<PartitionSpec>& layout);

// The partition of a layout that holds the instrument's own data (the file
// system mounted at /instrumentData: logs, settings, CRC files); null when
// the layout has none.
const PartitionSpec* DataPartitionOf(const std::vector<PartitionSpec>& layout);

// A recognisable partition image: a text head "<tag> <name>\n" followed by
// pseudo-random bytes seeded by tag and name (so two versions differ).
std::vector<uint8_t> PartitionImage(const std::string& name, const std::string& tag, uint32_t size);

// The 16 MiB factory flash: every factory partition in place (tag
// "FACTORY <version>"), everything else erased (0xFF).
std::vector<uint8_t> FactoryFlash(const std::string& version);

// One line of a flash map as the updater's walk reads it (its own line
// reader, ReadFlashMapLine): comment ("#" first), empty (CR or nothing
// first), release name ("RELEASE_NAME" anywhere), or a partition line split
// at runs of space, tab and LF (CR is part of a field); start read as the
// updater reads it (a number beyond an int as INT_MAX or INT_MIN); valid when
// the name holds "Part", the start lies in 0..16000 and all four fields are
// present. A line ends at its LF or at a zero byte.
struct MapLine {
    enum Kind { Comment, Empty, ReleaseName, Partition } kind = Empty;
    int lineNo = 0;          // the line of the file it lies in
    std::string text;        // as the file writes it, without its LF
    std::string partition;
    std::string startText;   // the start as the line writes it
    int startKiB = 0;
    std::string crc;
    std::string overwrite;
    int tokens = 0;          // fields, at most the four the updater reads
    bool valid = false;
    // Mount directory: "/" + the name's characters before its first "Part"
    // (the updater's rule); empty without "Part".
    std::string MountDir() const;
    // The overwrite flag allows writing over an existing partition (exactly YES).
    bool OverwriteAllowed() const;
};

// The lines of a flash map the updater's walk reads, in order. The walk ends
// where a line's end is followed by a zero byte; *walkEnd, when given,
// receives the offset in `text` where it ended (text.size() when it read
// everything).
std::vector<MapLine> ParseFlashMap(const std::string& text, size_t* walkEnd = nullptr);

// The CRC file that goes with a partition image: the image's name with its
// extension replaced by ".crc" (appPart.bin: appPart.crc).
std::string CrcFileName(const std::string& image);

// A partition image that the updater wrote (or tried to write), in order.
struct WrittenImage {
    std::string name;
    int startKiB = 0;
    std::vector<uint8_t> bytes;
};

// Sectors that writing the images touches (the updater erases and
// reprograms every sector an image reaches; images end at the flash's end).
std::set<int> TouchedSectors(const std::vector<WrittenImage>& images);

// The flash content the images demand: `before` overlaid with each image in
// order, cut at the flash's end.
std::vector<uint8_t> ExpectedFlash(const std::vector<uint8_t>& before,
                                   const std::vector<WrittenImage>& images);

struct FlashCheck {
    struct Image {
        std::string name;
        uint32_t start = 0;          // byte address
        uint32_t length = 0;         // bytes of the image inside the flash
        bool holds = false;          // flash holds the image at its start
        int64_t firstDifference = -1;  // byte address of the first wrong byte
    };
    std::vector<Image> images;
    std::set<int> touched;
    // Bytes of touched sectors that no image covers, and the bytes of every
    // untouched sector: equal to before the update?
    bool touchedRestPreserved = true;
    int64_t firstRestDifference = -1;
    bool untouchedUnchanged = true;
    int64_t firstUntouchedDifference = -1;
    std::set<int> changedSectors;  // sectors whose content differs from before
    // Per touched sector: how many of its bytes that no image covers differ
    // from before (bytes a writing lost); sectors without such bytes absent.
    std::map<int, uint32_t> restChanged;
};

FlashCheck CheckFlash(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                      const std::vector<WrittenImage>& images);

}  // namespace swsim

#endif
