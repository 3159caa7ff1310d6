// Findings of the fuzzing of the version readers, each kept as a test of its
// own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "RootTest.h"
#include "Sanitizers.h"
#include "SwUpdateUtils.h"
#include "UtilsTestSupport.h"

namespace {
class VersionFuzzFindings : public InstrumentRootTest {};
}  // namespace

// A version file holding exactly the text "No version found" read as a heap
// text equal in content to the constant, and ReleaseVersion, which told the
// constant apart by content, never released it (a leak the leak checker
// reported). It reads as a missing version (the comparison is by content) but
// its block is released.
TEST_F(VersionFuzzFindings, VersionFileSpellingTheMissingTextIsReleased)
{
    ASSERT_EQ(mkdir("/log/swVersion", 0755), 0);
    WriteTextFile("/log/swVersion/swVersion", "No version found");
    char* v = nullptr;
    CaptureOutput([&] { v = GetCurrVer("/log/swVersion/swVersion"); });
    ASSERT_STREQ(v, "No version found");
    ASSERT_NE(v, NoVersionFound) << "the file's text is a heap block of its own";
#if !defined(SWU_SANITIZED)
    const size_t blockSize = std::strlen(v) + 10;
    // The allocator hands a block just released out again for the next
    // request of its size, when no other released block of that size is
    // cached before it: the cached ones (at most 7) are taken first, and
    // depend on whatever ran before. (Under AddressSanitizer, which holds
    // released blocks back, its leak checker reports a block that is not
    // released.)
    void* cached[7];
    for (void*& p : cached) p = std::malloc(blockSize);
    ReleaseVersion(v);
    void* again = std::malloc(blockSize);
    EXPECT_EQ(again, static_cast<void*>(v)) << "the version text was not released";
    std::free(again);
    for (void* p : cached) std::free(p);
#else
    ReleaseVersion(v);
#endif
    int allowed = -1;
    CaptureOutput([&] { allowed = IsUpdate(); });
    EXPECT_EQ(allowed, 1) << "a running version that reads as missing allows the update";
}
