#include "SimClock.h"

#include <glob.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Sanitizers.h"


namespace swsim {

double EffectiveSpeed(double requested, bool interactive)
{
    if (requested > 0) return requested;
    return interactive ? 1 : kDefaultSpeed;
}

double DefaultRunSpeedHere()
{
    std::string library, ignored;
    return SimulatedTimeAvailable(&library, &ignored) ? EffectiveSpeed(0, false) : 1;
}

std::string FindFakeTimeLibrary()
{
    // The plain variant, not the threaded one (libfaketimeMT): that one
    // serialises every clock read through a lock, about ten times the cost,
    // and the updater reads the clock in every status poll of a 12-us word
    // program, so that at a high speed the host's own reading would outlast
    // the chip. The plain variant is sound for the updater's threads because
    // its settings are read once, from the environment, and not re-read
    // during a run (SimClockEnvironment): the threads only read its state.
    const char* const patterns[] = {
        "/usr/lib/*-linux-gnu*/faketime/libfaketime.so.1",
        "/usr/lib/faketime/libfaketime.so.1",
        "/usr/lib64/faketime/libfaketime.so.1",
        "/usr/local/lib/faketime/libfaketime.so.1",
    };
    for (const char* pattern : patterns) {
        glob_t g;
        std::string found;
        if (glob(pattern, 0, nullptr, &g) == 0) {
            for (size_t i = 0; i < g.gl_pathc && found.empty(); ++i) {
                // Several multiarch directories may hold one; only the
                // machine's own can be preloaded into our programs.
                const std::string path = g.gl_pathv[i];
#if defined(__x86_64__)
                const char* arch = "/x86_64-";
#elif defined(__aarch64__)
                const char* arch = "/aarch64-";
#elif defined(__arm__)
                const char* arch = "/arm-";
#elif defined(__i386__)
                const char* arch = "/i386-";
#else
                const char* arch = nullptr;
#endif
                const bool multiarch = path.find("-linux-gnu") != std::string::npos;
                // The architecture is known on some machines only (set above per compiler target).
                // cppcheck-suppress knownConditionTrueFalse
                if (multiarch && arch != nullptr && path.find(arch) == std::string::npos) continue;
                if (access(path.c_str(), R_OK) == 0) found = path;
            }
        }
        globfree(&g);
        if (!found.empty()) return found;
    }
    return "";
}

bool PreloadAvailable(std::string* why)
{
    if (std::getenv("SWU_QEMU_ARM") != nullptr) {
        *why = "the programs run under qemu-user, which does not hand a preload library "
               "to the program it emulates";
        return false;
    }
    return true;
}

bool SimulatedTimeAvailable(std::string* library, std::string* why)
{
    if (!PreloadAvailable(why)) {
        *why = "the programs run under qemu-user, which does not hand a preload library (libfaketime) "
               "to the program it emulates";
        return false;
    }
#if defined(SWU_TSAN)
    // libfaketime re-routes the condition-variable waits past the thread
    // sanitizer's runtime, which then sees a mutex taken again that the
    // wait had released and ends the program with a false report.
    *why = "this is a thread-sanitizer build, whose runtime does not see the waits libfaketime re-routes";
    return false;
#endif
    *library = FindFakeTimeLibrary();
    if (library->empty()) {
        *why = "libfaketime is not installed (Debian package libfaketime; scripts/install-deps.sh installs it)";
        return false;
    }
    return true;
}

std::vector<std::string> SimClockEnvironment(const std::string& library, double speed, double sinceOrigin,
                                             const char* currentPreload)
{
    // libfaketime's "+OFFSET xSPEED" shows the real time plus OFFSET at the
    // program's start and then runs SPEED times faster. A program started
    // `sinceOrigin` after the origin must already be (speed - 1) * sinceOrigin
    // ahead to read the same clock as one started at the origin.
    char spec[96];
    std::snprintf(spec, sizeof spec, "+%.6f x%g", (speed - 1) * sinceOrigin, speed);
    std::string preload = library;
    if (currentPreload != nullptr && *currentPreload != '\0') preload = std::string(currentPreload) + ":" + library;
    // Settings of the caller's own environment that would change that clock
    // (a timestamp file, monotonic clocks left alone) are dropped.
    return {"LD_PRELOAD=" + preload, std::string("FAKETIME=") + spec, "FAKETIME_CACHE_DURATION=1000000000",
            "FAKETIME_TIMESTAMP_FILE",
            "FAKETIME_DONT_FAKE_MONOTONIC", "FAKETIME_DONT_RESET", "FAKETIME_XRESET"};
}

std::vector<std::string> MergeEnvironment(const std::vector<std::string>& base,
                                          const std::vector<std::string>& overrides)
{
    std::vector<std::string> out;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (const auto& entry : base) {
        bool replaced = false;
        for (const auto& o : overrides) replaced = replaced || nameOf(o) == nameOf(entry);
        if (!replaced) out.push_back(entry);
    }
    for (const auto& o : overrides) {
        if (o.find('=') != std::string::npos) out.push_back(o);
    }
    return out;
}

}  // namespace swsim
