// The shared test helpers: other areas' tests rely on them to see output and
// exit codes exactly.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "RootTest.h"

namespace {

struct ShellCase {
    const char* command;
    int code;
    const char* output;
};

std::ostream& operator<<(std::ostream& out, const ShellCase& c) {
    return out << c.command;
}

class RunShellTest : public ::testing::TestWithParam<ShellCase> {};

TEST_P(RunShellTest, ExitCodeAndOutput) {
    std::string output;
    EXPECT_EQ(RunShell(GetParam().command, &output), GetParam().code);
    EXPECT_EQ(output, GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunShellTest,
    ::testing::Values(ShellCase{"true", 0, ""}, ShellCase{"exit 3", 3, ""},
                      ShellCase{"echo out; echo err >&2; echo out2", 0, "out\nerr\nout2\n"},
                      ShellCase{"printf 'no line end'", 0, "no line end"},
                      ShellCase{"kill -9 $$", 128 + 9, ""}));

TEST(CaptureStdoutTest, CapturesPrintfAndChildProcesses) {
    std::string text = CaptureStdoutOf([] {
        std::printf("from printf ");
        std::fflush(stdout);
        int ignored = std::system("echo from a command");
        (void)ignored;
        std::printf("unflushed");
    });
    EXPECT_EQ(text, "from printf from a command\nunflushed");
    // Standard output is back: a second capture sees only its own output.
    EXPECT_EQ(CaptureStdoutOf([] { std::printf("again"); }), "again");
}

TEST(CaptureStdoutTest, LargeOutputDoesNotBlock) {
    std::string text = CaptureStdoutOf([] {
        int ignored = std::system("head -c 300000 /dev/zero | tr '\\0' x");
        (void)ignored;
    });
    EXPECT_EQ(text, std::string(300000, 'x'));
}

struct LinesCase {
    const char* text;
    std::vector<std::string> lines;
};

class SplitLinesTest : public ::testing::TestWithParam<LinesCase> {};

TEST_P(SplitLinesTest, Splits) {
    EXPECT_EQ(SplitLines(GetParam().text), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitLinesTest,
                         ::testing::Values(LinesCase{"", {}}, LinesCase{"a\n", {"a"}},
                                           LinesCase{"a\nb", {"a", "b"}},
                                           LinesCase{"a\n\nb\n", {"a", "", "b"}}));

TEST(TestDirTest, IsFreshAndRemovedWithItsContent) {
    std::string dir = MakeTestDir();
    std::string other = MakeTestDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_FALSE(other.empty());
    ASSERT_NE(dir, other);
    const char* tmp = std::getenv("TMPDIR");
    if (tmp == nullptr || *tmp == '\0') {
        EXPECT_EQ(dir.rfind(SWU_BUILD_DIR "/", 0), 0u) << "not under the build directory: " << dir;
    }
    WriteTextFile(dir + "/file", "x");
    WriteTextFile(other + "/kept", "x");
    ASSERT_EQ(RunShell("mkdir -p '" + dir + "/a/b' && ln -s '" + other + "' '" + dir + "/a/link'"),
              0);
    RemoveTree(dir);
    EXPECT_FALSE(FileExists(dir));
    EXPECT_TRUE(FileExists(other + "/kept")) << "RemoveTree followed a symbolic link";
    RemoveTree(other);
}

}  // namespace
