// The board-tool stand-ins: they accept exactly the updater's command texts,
// refuse anything else, and record every call as one line.
#include <string>
#include <vector>

#include "RootTest.h"

namespace {

struct ToolCall {
    const char* command;
    int exitCode;
    const char* recordLine;
};

std::ostream& operator<<(std::ostream& out, const ToolCall& call) {
    return out << call.command;
}

class BoardToolCallTest : public InstrumentRootTest,
                          public ::testing::WithParamInterface<ToolCall> {};

TEST_P(BoardToolCallTest, ExitsAndRecordsOneLine) {
    const ToolCall& call = GetParam();
    std::string output;
    EXPECT_EQ(RunShell(call.command, &output), call.exitCode) << output;
    if (call.exitCode == 0) {
        EXPECT_EQ(output, "") << "a tool prints nothing on success";
    } else if (std::string(call.recordLine).find("refused") != std::string::npos) {
        EXPECT_NE(output.find("usage: "), std::string::npos) << output;
    }
    EXPECT_EQ(SplitLines(ReadTextFile(kBoardToolRecord)),
              std::vector<std::string>{call.recordLine});
}

// The root starts as the instrument boots: flash driver running.
INSTANTIATE_TEST_SUITE_P(
    SingleCalls, BoardToolCallTest,
    ::testing::Values(
        ToolCall{"nonblock-realtest_arm o", 0, "nonblock-realtest_arm o: reboot requested"},
        ToolCall{"/proc/boot/nonblock-realtest_arm m 0 1", 0,
                 "nonblock-realtest_arm m 0 1: red lamp on"},
        ToolCall{"/proc/boot/nonblock-realtest_arm m 0 0", 0,
                 "nonblock-realtest_arm m 0 0: red lamp off"},
        ToolCall{"nonblock-realtest_arm m 0 2", 1,
                 "nonblock-realtest_arm m 0 2: refused: unknown arguments"},
        ToolCall{"nonblock-realtest_arm m 1 1", 1,
                 "nonblock-realtest_arm m 1 1: refused: unknown arguments"},
        ToolCall{"nonblock-realtest_arm", 1, "nonblock-realtest_arm: refused: unknown arguments"},
        ToolCall{"nonblock-realtest_arm o o", 1,
                 "nonblock-realtest_arm o o: refused: unknown arguments"},
        ToolCall{"slay -f devf-s3c2400-p3", 0, "slay -f devf-s3c2400-p3: flash driver stopped"},
        ToolCall{"slay -f devf", 1, "slay -f devf: refused: unknown arguments"},
        ToolCall{"slay", 1, "slay: refused: unknown arguments"},
        ToolCall{"devf-s3c2400-p3 -r -u2 -b5 -i 1,0", 1,
                 "devf-s3c2400-p3 -r -u2 -b5 -i 1,0: flash driver already running"},
        ToolCall{"devf-s3c2400-p3 -r -u2 -b5 -i 1", 1,
                 "devf-s3c2400-p3 -r -u2 -b5 -i 1: refused: unknown arguments"},
        ToolCall{"devf-s3c2400-p3 -x", 1, "devf-s3c2400-p3 -x: refused: unknown arguments"},
        ToolCall{"waitfor /dev/fs1", 0, "waitfor /dev/fs1: present"},
        ToolCall{"waitfor /dev/null 1", 0, "waitfor /dev/null 1: present"},
        ToolCall{"waitfor /tmp/never 1", 1, "waitfor /tmp/never 1: not present after 1 s"},
        ToolCall{"waitfor /dev/fs1 soon", 1, "waitfor /dev/fs1 soon: refused: unknown arguments"},
        ToolCall{"waitfor", 1, "waitfor: refused: unknown arguments"}));

struct ToolSequence {
    const char* name;
    std::vector<ToolCall> calls;
};

std::ostream& operator<<(std::ostream& out, const ToolSequence& sequence) {
    return out << sequence.name;
}

class BoardToolSequenceTest : public InstrumentRootTest,
                              public ::testing::WithParamInterface<ToolSequence> {};

TEST_P(BoardToolSequenceTest, DriverStateFollowsTheCalls) {
    std::vector<std::string> expected;
    for (const ToolCall& call : GetParam().calls) {
        std::string output;
        EXPECT_EQ(RunShell(call.command, &output), call.exitCode) << call.command << ": " << output;
        expected.push_back(call.recordLine);
    }
    EXPECT_EQ(SplitLines(ReadTextFile(kBoardToolRecord)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, BoardToolSequenceTest,
    ::testing::Values(
        ToolSequence{"RestartAfterFlashing",
                     {{"slay -f devf-s3c2400-p3", 0, "slay -f devf-s3c2400-p3: flash driver stopped"},
                      {"devf-s3c2400-p3 -r -u2 -b5 -i 1,0", 0,
                       "devf-s3c2400-p3 -r -u2 -b5 -i 1,0: flash driver started"},
                      {"waitfor /dev/fs1", 0, "waitfor /dev/fs1: present"}}},
        ToolSequence{"WaitWithoutRestart",
                     {{"slay -f devf-s3c2400-p3", 0, "slay -f devf-s3c2400-p3: flash driver stopped"},
                      {"waitfor /dev/fs1 1", 1, "waitfor /dev/fs1 1: not present after 1 s"},
                      {"slay -f devf-s3c2400-p3", 1,
                       "slay -f devf-s3c2400-p3: no flash driver running"}}},
        ToolSequence{"RebootStartsTheDriver",
                     {{"slay -f devf-s3c2400-p3", 0, "slay -f devf-s3c2400-p3: flash driver stopped"},
                      {"nonblock-realtest_arm o", 0, "nonblock-realtest_arm o: reboot requested"},
                      {"waitfor /dev/fs1", 0, "waitfor /dev/fs1: present"}}}),
    [](const ::testing::TestParamInfo<ToolSequence>& info) { return info.param.name; });

}  // namespace
