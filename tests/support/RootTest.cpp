// The instrument-root fixture and the small file helpers of the tests.
#include "RootTest.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

void InstrumentRootTest::SetUp() {
    InstrumentRootConfig config = RootConfig();
    // Programs and test data of the build and source trees stay reachable.
    config.readOnlyDirs.push_back(SWU_SOURCE_DIR);
    config.readOnlyDirs.push_back(SWU_BUILD_DIR);
    std::string why;
    if (EnterInstrumentRoot(config, &why) != 0) {
        GTEST_SKIP() << "no instrument root: " << why;
    }
}

void WriteTextFile(const std::string& path, const std::string& content, int mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.good()) << "cannot create " << path;
    out << content;
    out.close();
    ASSERT_TRUE(out.good()) << "cannot write " << path;
    ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0) << path;
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "";
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
