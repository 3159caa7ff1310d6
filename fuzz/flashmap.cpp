// Fuzz target: the flash map walk on the simulated chip.
//
// The input is the text of "/tmp/flashMap" (any bytes, any length). The
// images it can name are tiny files made once in the root's /tmp (empty,
// odd-sized, one sector's worth at most, a directory, one whose mount
// directory exists), so that a line costs one sector at most. After each
// walk the chip must have been driven without protocol violations, every
// window must be released, no flash fault may have been raised (the chip has
// no injected faults), and every erased sector must have been programmed in
// full.
#include <cstdint>
#include <string>
#include <sys/stat.h>

#include "FuzzRoot.h"
#include "NorChip.h"
#include "SwUpdateFlash.h"
#include "SwUpdateUtils.h"

namespace {

void PutText(const std::string& path, const std::string& text)
{
    PutFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterFuzzRoot("flashmap", true);
    std::string why;
    FUZZ_CHECK(norsim::NorChipPowerUp(norsim::NorChipConfig(), &why) == 0, "no flash chip: %s", why.c_str());
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
    return 0;
}
