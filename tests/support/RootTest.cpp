// The instrument-root fixture and the small file helpers of the tests.
#include "RootTest.h"
#include "Process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

namespace {

// Reads a descriptor from its current position to the end.
std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

int RunShell(const std::string& command, std::string* output) {
    const int status = host::RunProgram({"/bin/sh", "-c", command}, output, nullptr);
    if (status == -1) {
        return -1;
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

std::string CaptureStdoutOf(const std::function<void()>& call) {
    std::fflush(stdout);
    int memory = memfd_create("captured-stdout", MFD_CLOEXEC);
    int saved = dup(1);
    if (memory < 0 || saved < 0 || dup2(memory, 1) < 0) {
        ADD_FAILURE() << "cannot redirect standard output: " << std::strerror(errno);
        if (memory >= 0) {
            close(memory);
        }
        if (saved >= 0) {
            close(saved);
        }
        call();
        return "";
    }
    call();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    lseek(memory, 0, SEEK_SET);
    std::string text = ReadAll(memory);
    close(memory);
    return text;
}

std::string MakeTestDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' ? tmp : SWU_BUILD_DIR "/test-tmp";
    if (mkdir(base.c_str(), 0755) != 0 && errno != EEXIST) {
        ADD_FAILURE() << "cannot create " << base << ": " << std::strerror(errno);
        return "";
    }
    std::string pattern = base + "/swu-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a directory in " << base << ": " << std::strerror(errno);
        return "";
    }
    return buffer.data();
}

ScratchDir::~ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const bool failed = info != nullptr && info->result() != nullptr && info->result()->Failed();
    if (!failed) {
        RemoveTree(path_);
    }
}

void RemoveTree(const std::string& path) {
    if (path.empty()) {
        return;
    }
    nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int, struct FTW*) { return remove(entry); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
