// Fuzz target: the flash map walk on the simulated chip.
//
// The input is the text of "/tmp/flashMap" (any bytes, any length). The
// images it can name are tiny files made once in the root's /tmp (empty,
// odd-sized, one sector's worth at most, a directory, one whose mount
// directory exists), so that a line costs one sector at most. After each
// walk the chip must have been driven without protocol violations, every
// window must be released, no flash fault may have been raised (the chip has
// no injected faults), every erased sector must have been programmed in full,
// and the flash must hold what the map asks for: a model of the walk (lines,
// skip rules, tokens, start and overwrite decisions) gives the bytes each
// written image puts at its start, later lines over earlier ones, and every
// other byte of the sectors touched keeps its old value.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "FuzzRoot.h"
#include "NorChip.h"
#include "SwUpdateFlash.h"
#include "SwUpdateUtils.h"

namespace {

void PutText(const std::string& path, const std::string& text)
{
    PutFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// One partition line the model expects to be written: the image's bytes at
// the byte address.
struct Placement {
    uint32_t address;
    std::string bytes;
};

// The image's content as the writer reads it; false when it cannot be opened
// or read, or is too large to model.
bool ImageContent(const char* name, std::string* content)
{
    FILE* f = std::fopen(name, "r");
    if (f == nullptr)
        return false;
    content->clear();
    char buf[4096];
    while (content->size() < (1u << 20)) {
        const size_t n = std::fread(buf, 1, sizeof buf, f);
        content->append(buf, n);
        if (n < sizeof buf)
            break;  // the end of the file, or a read error (told below)
    }
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok && content->size() < (1u << 20);
}

// The walk's decisions for the map text. Returns false when the input names a
// file the model does not cover (too large): no content check then.
bool Model(const uint8_t* data, size_t size, std::vector<Placement>* placements)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    text.append(10, '\0');
    size_t pos = 0;
    do {
        const size_t end = std::strcspn(&text[pos], "\n") + pos;  // LF or NUL ends the line
        std::string line(&text[pos], end - pos);
        pos = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == '\r' || line.find("RELEASE_NAME") != std::string::npos)
            continue;
        std::vector<std::string> tokens;
        char* rest = nullptr;
        for (char* t = strtok_r(line.data(), " \n\t", &rest); t != nullptr && tokens.size() < 4;
             t = strtok_r(nullptr, " \n\t", &rest))
            tokens.push_back(t);
        if (tokens.size() < 4)
            continue;
        const std::string& name = tokens[0];
        const int start = std::atoi(tokens[1].c_str());
        const size_t marker = name.find("Part");
        if (marker == std::string::npos || start < 0 || start > 16000)
            continue;
        if (tokens[3] != "YES" && access(("/" + name.substr(0, marker)).c_str(), F_OK) == 0)
            continue;
        Placement p;
        p.address = static_cast<uint32_t>(start) * 1024u;
        std::string content;
        if (!ImageContent(name.c_str(), &content)) {
            FILE* f = std::fopen(name.c_str(), "r");
            if (f != nullptr) {
                std::fclose(f);
                struct stat st;
                if (stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                    return false;  // a large file somewhere in the root
            }
            continue;
        }
        const uint32_t room = static_cast<uint32_t>(flashSize) - p.address;
        p.bytes = content.size() > room ? content.substr(0, room) : content;
        if (!p.bytes.empty())
            placements->push_back(p);
    } while (text[pos] != '\0');
    return true;
}

// The chip's content file, mapped read-only for the process's lifetime: the
// chip model keeps its content in this file (byte i = physical offset i) and
// changes it in place, so the harness reads sectors with plain copies and
// compares instead of one inspection call per byte.
const uint8_t* flashContent = nullptr;

void MapFlashContent()
{
    const int fd = open("/dev/norflash", O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0, "cannot open the flash file: %s", std::strerror(errno));
    void* m = MAP_FAILED;
    if (fd >= 0) {
        m = mmap(nullptr, norsim::kChipSize, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);  // the mapping stays valid without the descriptor
    }
    FUZZ_CHECK(m != MAP_FAILED, "cannot map the flash file: %s", std::strerror(errno));
    flashContent = static_cast<const uint8_t*>(m);
}

const uint8_t* SectorContent(uint32_t sector)
{
    return flashContent + static_cast<size_t>(sector) * sectorSize;
}

// The content the chip must hold after the walk, for the sectors a case
// touches: kept for the process's lifetime (a fresh sector-sized block per
// case and sector was a large share of a case's time, in page faults).
std::vector<uint8_t> expected(norsim::kChipSize);
std::vector<bool> touched(norsim::kBlockCount);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterFuzzRoot("flashmap", true);
    std::string why;
    FUZZ_CHECK(norsim::NorChipPowerUp(norsim::NorChipConfig(), &why) == 0, "no flash chip: %s", why.c_str());
    MapFlashContent();
    PutText("/tmp/Part.img", "");                          // empty image
    PutText("/tmp/bootPart.bin", "\x01\x02\x03\x04\x05");  // odd length
    PutText("/tmp/appPart.img", std::string(1000, '\xA5'));
    PutText("/tmp/logPart.bin", "log");                    // mount directory /log exists
    mkdir("/tmp/dirPart", 0755);                           // opens, but reads fail
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PutFile("/tmp/flashMap", data, size);
    std::vector<Placement> placements;
    const bool modelled = Model(data, size, &placements);

    // The old content of every sector the model expects to be touched.
    std::vector<uint32_t> sectors;
    if (modelled) {
        for (const Placement& p : placements) {
            for (uint32_t s = p.address / sectorSize; s <= (p.address + p.bytes.size() - 1) / sectorSize; ++s) {
                if (touched[s])
                    continue;
                touched[s] = true;
                sectors.push_back(s);
                std::memcpy(&expected[static_cast<size_t>(s) * sectorSize], SectorContent(s), sectorSize);
            }
        }
        for (const uint32_t s : sectors)
            touched[s] = false;
    }
    norsim::NorChipResetStats();

    FlashPartitions();

    const norsim::NorChipStats stats = norsim::NorChipGetStats();
    FUZZ_CHECK(norsim::NorChipPresent(), "the chip is gone after the walk");
    FUZZ_CHECK(stats.violations == 0, "%llu bus protocol violations",
               static_cast<unsigned long long>(stats.violations));
    FUZZ_CHECK(norsim::NorChipMappedWindows() == 0, "%d flash windows left mapped",
               norsim::NorChipMappedWindows());
    FUZZ_CHECK(FlashFaultOccurred() == 0, "flash fault on a chip without faults");
    FUZZ_CHECK(stats.programs == stats.erases * static_cast<uint64_t>(sectorSize / 2),
               "%llu sectors erased but %llu words programmed", static_cast<unsigned long long>(stats.erases),
               static_cast<unsigned long long>(stats.programs));
    if (!modelled)
        return 0;
    uint64_t erases = 0;  // every placement erases each of its sectors once
    for (const Placement& p : placements)
        erases += (p.address + p.bytes.size() - 1) / sectorSize - p.address / sectorSize + 1;
    FUZZ_CHECK(stats.erases == erases, "%llu sectors erased, %llu expected",
               static_cast<unsigned long long>(stats.erases), static_cast<unsigned long long>(erases));
    // Expected content: old sectors, then every placement in map order.
    for (const Placement& p : placements)
        std::memcpy(&expected[p.address], p.bytes.data(), p.bytes.size());
    for (const uint32_t s : sectors) {
        const uint8_t* flash = SectorContent(s);
        const uint8_t* want = &expected[static_cast<size_t>(s) * sectorSize];
        if (std::memcmp(flash, want, sectorSize) == 0)
            continue;
        for (int i = 0; i < sectorSize; ++i) {
            const uint32_t a = s * sectorSize + static_cast<uint32_t>(i);
            FUZZ_CHECK(flash[i] == want[i], "flash byte %#x is %#x, expected %#x", a, flash[i], want[i]);
        }
    }
    return 0;
}
