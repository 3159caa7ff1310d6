// Set-up shared by the fuzz targets.
//
// The updater's code uses fixed paths ("/tmp", "/instrumentData", "/log",
// "/dev/norflash"), so every target runs inside an instrument root that it
// enters from LLVMFuzzerInitialize, before libFuzzer starts any thread. The
// root's writable directories are fresh; the fuzzing work directory (corpus
// copies, findings) is bound writable at its own path so that libFuzzer can
// write there from inside the root.
#ifndef FUZZ_ROOT_H
#define FUZZ_ROOT_H

#include <cstddef>
#include <cstdint>
#include <string>

// Enters the root, with a 16 MiB flash file of this process when withFlash is
// set, and sends standard output (the updater's trace) to /dev/null. Ends the
// process with a message on standard error when no root can be made.
// The work directory is $SWU_FUZZ_WORKDIR, else <build dir>/fuzz/work.
void EnterFuzzRoot(const char* target, bool withFlash);

// Replaces the file at path (inside the root) with the given bytes, creating
// missing parent directories. Ends the process on failure.
void PutFile(const std::string& path, const uint8_t* data, size_t size);

// Content of a file, or false when it cannot be read.
bool GetFile(const std::string& path, std::string* content);

// Reports a broken expectation with the target's own words and aborts, so
// that libFuzzer records the input as a finding.
[[noreturn]] void FuzzFail(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define FUZZ_CHECK(cond, ...)          \
    do {                               \
        if (!(cond))                   \
            FuzzFail(__VA_ARGS__);     \
    } while (0)

#endif
