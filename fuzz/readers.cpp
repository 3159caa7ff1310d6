// Fuzz target: the version, market and estimate readers.
//
// Input: one byte saying which of the four files exist (bits 0-3: running
// version "/log/swVersion/swVersion", delivered version "/tmp/swVersion",
// market file "/instrumentData/Inifiles/Market.ini", estimate
// "/tmp/estUpdateTime"), then for each existing file a length byte and that
// many bytes of content (fewer when the input ends). Contents may hold any
// bytes, zero bytes included; a text ends at its first zero byte.
// Expectations: a missing or empty version file reads as "No version found",
// any other as its text; the update is allowed when the running version is
// missing, not when only the delivered one is, else when the running number
// is not greater; the instrument is internal without a market text or with
// "Market=Internal" in it; the estimate is the text's leading integer, 0 when
// it is negative or does not fit an int; the
// package count is 1 exactly for a delivered version beginning "0.".
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "FuzzRoot.h"
#include "SwUpdateUtils.h"

namespace {

const char* const kFiles[4] = {"/log/swVersion/swVersion", "/tmp/swVersion", "/instrumentData/Inifiles/Market.ini",
                               "/tmp/estUpdateTime"};

// The text a reader sees: the content up to its first zero byte.
std::string TextOf(const std::string& content)
{
    return content.substr(0, content.find('\0'));
}

float LeadingNumber(const std::string& text)
{
    float value = 0.0f;
    std::sscanf(text.c_str(), "%f", &value);
    return value;
}

// The version text expected from a reader, "No version found" when missing or empty.
std::string VersionOf(bool present, const std::string& content)
{
    return present && !content.empty() ? TextOf(content) : std::string(NoVersionFound);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterFuzzRoot("readers", false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t present = data[0];
    size_t at = 1;
    bool exists[4];
    std::string content[4];
    for (int i = 0; i < 4; ++i) {
        unlink(kFiles[i]);
        exists[i] = (present >> i) & 1;
        if (!exists[i])
            continue;
        size_t length = at < size ? data[at++] : 0;
        if (length > size - at)
            length = size - at;
        content[i].assign(reinterpret_cast<const char*>(data + at), length);
        at += length;
        PutFile(kFiles[i], data + at - length, length);
    }

    // Version readers.
    char* running = GetCurrVer(kFiles[0]);
    char* delivered = GetNewVer();
    FUZZ_CHECK(running != nullptr && delivered != nullptr, "a version reader returned null");
    FUZZ_CHECK(running == VersionOf(exists[0], content[0]), "running version read as \"%s\"", running);
    FUZZ_CHECK(delivered == VersionOf(exists[1], content[1]), "delivered version read as \"%s\"", delivered);

    // Package count from the delivered version.
    const int packages = GetExpectedNoOfPartFiles(delivered);
    FUZZ_CHECK(packages == (std::strncmp(delivered, "0.", 2) == 0 ? 1 : 3), "%d packages for \"%s\"", packages,
               delivered);
    ReleaseVersion(running);
    ReleaseVersion(delivered);

    // The update decision.
    // Versions are compared with "No version found" by content: a file
    // holding exactly that text reads as a missing version.
    int allowed;
    if (VersionOf(exists[0], content[0]) == NoVersionFound)
        allowed = 1;
    else if (VersionOf(exists[1], content[1]) == NoVersionFound)
        allowed = 0;
    else
        allowed = LeadingNumber(TextOf(content[0])) <= LeadingNumber(TextOf(content[1])) ? 1 : 0;
    FUZZ_CHECK(IsUpdate() == allowed, "update decision is not %d", allowed);

    // Market.
    const bool internal = !exists[2] || content[2].empty() || TextOf(content[2]).find("Market=Internal") != std::string::npos;
    FUZZ_CHECK(IsMarketVersionInternal() == (internal ? 1 : 0), "market decision is not %d", internal);

    // Estimate.
    // The leading integer read wide, so that one outside an int's range is
    // known as such instead of overflowing.
    long long leading = 0;
    if (exists[3] && !content[3].empty()) {
        errno = 0;
        leading = std::strtoll(TextOf(content[3]).c_str(), nullptr, 10);
        if (errno == ERANGE)
            leading = -1;
    }
    const int expected = leading < 0 || leading > INT_MAX ? 0 : static_cast<int>(leading);
    const int seconds = GetEstUpdateTime();
    FUZZ_CHECK(seconds == expected, "estimate %d, expected %d", seconds, expected);
    return 0;
}
