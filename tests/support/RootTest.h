// Test fixture for tests that touch the instrument's fixed paths: each test
// runs inside a fresh instrument root with empty writable directories. Where
// no root can be made the test is skipped with the reason, never passed.
#ifndef ROOT_TEST_H
#define ROOT_TEST_H

#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>

#include "InstrumentRoot.h"

class InstrumentRootTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Override to give the root a flash file, a state directory and so on.
    virtual InstrumentRootConfig RootConfig() { return {}; }
};

// Small file helpers for tests (paths are inside the current root).
void WriteTextFile(const std::string& path, const std::string& content, int mode = 0644);
std::string ReadTextFile(const std::string& path);  // "" when missing
bool FileExists(const std::string& path);

// Runs "/bin/sh -c command" (mksh inside a root) and waits for it. Returns
// the exit code, 128 + the signal number when it was killed, or -1 when no
// shell could be started. Its standard output and standard error, in the
// order written, go to *output when given (else they pass through).
int RunShell(const std::string& command, std::string* output = nullptr);

// Runs call with the process's standard output (descriptor 1) redirected and
// returns what was written to it: printf output (stdout is flushed before
// and after) and the output of commands that call starts. Unlike gtest's
// CaptureStdout it needs no file in /tmp.
std::string CaptureStdoutOf(const std::function<void()>& call);

// A new, empty directory for test files that do not use the instrument's
// fixed paths: under $TMPDIR when set, otherwise under the build directory
// (never in the host's /tmp). Returns "" (with a test failure) when it
// cannot be made.
std::string MakeTestDir();

// A MakeTestDir directory for one test, removed at destruction unless the
// running test failed (then kept for inspection).
class ScratchDir {
public:
    ScratchDir() : path_(MakeTestDir()) {}
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Removes a directory tree made by MakeTestDir (symbolic links not followed).
void RemoveTree(const std::string& path);

// Lines of a text (without their line ends), e.g. of kBoardToolRecord.
std::vector<std::string> SplitLines(const std::string& text);

#endif
