// Test fixture for tests that touch the instrument's fixed paths: each test
// runs inside a fresh instrument root with empty writable directories. Where
// no root can be made the test is skipped with the reason, never passed.
#ifndef ROOT_TEST_H
#define ROOT_TEST_H

#include <gtest/gtest.h>
#include <string>

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

#endif
