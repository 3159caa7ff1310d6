// The start-up GUI stand-in as a separate process, driven by the updater's
// own link and by options only (no terminal).
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include "LinkTestSupport.h"
#include "SSConnectionMsg.h"
#include "SwUpdateGui.h"

#ifdef STARTUP_GUI_PATH

namespace {

void WriteFile(const std::string& path)
{
    std::ofstream(path) << "package";
}

// The updater's looks at the medium while it waits for its removal: open
// it, and 2 s later again. How many found it (at most `looks`).
int LooksFindingIt(const std::string& medium, int looks)
{
    int found = 0;
    for (int look = 0; look < looks; ++look) {
        const int fd = open(medium.c_str(), O_RDONLY);
        if (fd < 0) break;
        close(fd);
        ++found;
        sleep(2);
    }
    return found;
}

class StartupGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        dir_ = TempDir();
        ASSERT_FALSE(dir_.empty());
        out_ = dir_ + "/gui.out";
    }
    void TearDown() override
    {
        if (dir_.empty()) return;
        for (const char* f : {"/gui.out", "/file0", "/file0.pulled"}) unlink((dir_ + f).c_str());
        rmdir(dir_.c_str());
    }
    // Starts the stand-in with `options` and waits until it serves its name
    // (a process start on a loaded machine may take seconds).
    std::unique_ptr<Child> Start(const std::vector<std::string>& options)
    {
        std::vector<std::string> argv = {STARTUP_GUI_PATH};
        argv.insert(argv.end(), options.begin(), options.end());
        auto gui = std::make_unique<Child>(argv, out_);
        EXPECT_TRUE(Eventually([&] { return Output().find("serving") != std::string::npos; }, 30))
            << Output();
        return gui;
    }
    std::string Output() { return FileContent(out_); }
    bool Shows(const std::string& text, double seconds = 5)
    {
        return Eventually([&] { return Output().find(text) != std::string::npos; }, seconds);
    }
    std::string dir_;
    std::string out_;
};

struct AnswerOption {
    const char* name;
    std::vector<std::string> options;
    int expected;
    const char* shown;
};

void PrintTo(const AnswerOption& c, std::ostream* os)
{
    *os << c.name;
}

class StartupGuiAnswer : public StartupGui, public ::testing::WithParamInterface<AnswerOption> {};

TEST_P(StartupGuiAnswer, AnswersTheQuestionAsConfigured)
{
    const AnswerOption& c = GetParam();
    auto gui = Start(c.options);
    ASSERT_EQ(GUI_Initialize(), 0);
    int answer = -1;
    FinishesWithin(20, [&] { answer = GUI_InquireUpdate("1.3"); }, "GUI_InquireUpdate");
    EXPECT_EQ(answer, c.expected);
    EXPECT_TRUE(Shows("update to version \"1.3\"?")) << Output();
    EXPECT_TRUE(Shows(c.shown)) << Output();
}

INSTANTIATE_TEST_SUITE_P(
    Options, StartupGuiAnswer,
    ::testing::Values(
        AnswerOption{"YesAfterDelay", {"--answer", "yes", "--answer-delay", "0.3"}, 1,
                     "answer yes (doUpgrade 1), reply status 0"},
        AnswerOption{"NoBeforeReply", {"--answer", "no", "--answer-before-reply"}, 0,
                     "answer no (doUpgrade 0), reply status 0"},
        AnswerOption{"NeverAfterReply", {"--answer", "never"}, 0,
                     "answer never (doUpgrade 2), reply status 0"},
        AnswerOption{"YesBeforeReplyAfterDelay",
                     {"--answer", "yes", "--answer-before-reply", "--answer-delay", "0.3"}, 1,
                     "answer yes (doUpgrade 1), reply status 0"}),
    [](const ::testing::TestParamInfo<AnswerOption>& i) { return std::string(i.param.name); });

TEST_F(StartupGui, ShowsEveryScreenPullsTheMediumAndEndsOnSigterm)
{
    std::string medium = dir_ + "/file0";
    WriteFile(medium);
    auto gui = Start({"--pull-medium", "0.2", "--medium", medium});
    ASSERT_EQ(GUI_Initialize(), 0);
    GUI_SetCurrentVersion("1.2\n");
    GUI_SetUpdateTimers(300);
    FinishesWithin(20, [] { EXPECT_EQ(GUI_InquireUpdate("1.3"), 1); }, "GUI_InquireUpdate");
    GUI_SetUpdatingText("1.3");
    GUI_DisplayCrcError();
    GUI_DisplayNotCompatible();
    GUI_RemoveMsd();
    // The stand-in takes the medium out at the looks for it (the updater's:
    // open it, then 2 s later again): 0.2 s after the screen is during the
    // first look, which still finds it; the next one does not.
    EXPECT_EQ(LooksFindingIt(medium, 5), 1) << "looks that found the medium\n" << Output();
    for (const char* line : {"ready        running version \"1.2\\n\"",
                             "timers       estimated duration 300 s (values 60 0 300 65535 0",
                             "question     update to version \"1.3\"?",
                             "in-progress  update in progress (state 1 SSUpgrade)",
                             "message      2006 cSWUpdateFailedGiveUp (time-out 0 s)",
                             "error        19042 SelfTestLogCRCErr",
                             "message      2008 cSWUpdateNotCompatible (time-out 0 s)",
                             "message      2000 cSWUpdateRemoveMSD (time-out 0 s)",
                             "medium       " }) {
        EXPECT_TRUE(Shows(line)) << line << "\n" << Output();
    }
    kill(gui->Pid(), SIGTERM);
    int status = gui->Wait(5);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A stand-in that cannot run for a while (a busy machine) still takes the
// medium out at the right look: 5 s after the screen is during the third
// look, and every look waits until the stand-in has counted it. Stopped
// while the looks go on, it used to count them late and leave the medium in
// for more of them.
TEST_F(StartupGui, PullsAtItsLookHoweverLateItRuns)
{
    std::string medium = dir_ + "/file0";
    WriteFile(medium);
    auto gui = Start({"--pull-medium", "5", "--medium", medium});
    ASSERT_EQ(GUI_Initialize(), 0);
    GUI_RemoveMsd();
    kill(gui->Pid(), SIGSTOP);
    int found = 0;
    std::thread looks([&] { found = LooksFindingIt(medium, 6); });
    sleep(7);  // the first look waits for the stopped stand-in meanwhile
    kill(gui->Pid(), SIGCONT);
    looks.join();
    EXPECT_EQ(found, 3) << "looks that found the medium\n" << Output();
    kill(gui->Pid(), SIGTERM);
    int status = gui->Wait(5);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(StartupGui, AnswersFromStandardInputAndEndsOnSigint)
{
    auto gui = Start({"--interactive"});
    ASSERT_EQ(GUI_Initialize(), 0);
    std::thread user([&] {
        if (Shows("update to version", 10)) gui->Input("never\n");
    });
    FinishesWithin(20, [] { EXPECT_EQ(GUI_InquireUpdate("2.0"), 0); }, "GUI_InquireUpdate");
    user.join();
    EXPECT_TRUE(Shows("answer never (doUpgrade 2)")) << Output();
    kill(gui->Pid(), SIGINT);
    int status = gui->Wait(5);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Sends one request to the stand-in without waiting for its reply (which it
// may hold back). Returns the connection, to be closed by the caller; -1 when
// it could not be sent.
int SendUnanswered(std::uint32_t operation, const Bytes& rest)
{
    Bytes packet = Le32Bytes(operation);
    Bytes op = Le32Bytes(operation);
    packet.insert(packet.end(), op.begin(), op.end());
    packet.insert(packet.end(), rest.begin(), rest.end());
    const std::string name = SS_CONNECTOR_SYSTEMSTARTUP;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr),
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) != 0 ||
        send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// The question for version "1.3" (the record after its operation).
Bytes QuestionRecord()
{
    Bytes version(sizeof(SSConnectionRequestUpgradeMessage_t) - 4, 0);
    std::memcpy(version.data(), "1.3", 3);
    return version;
}

// Stopping the stand-in: SIGTERM and SIGINT end it within a second whatever
// it is doing, also while it waits for the updater.
struct StopCase {
    const char* name;
    std::vector<std::string> options;
    enum { None, Question, AnyRequest } request;
    enum { NoUpdater, SilentUpdater } updater;
    const char* shownBefore;  // waited for before the signal
    int signal;
};

void PrintTo(const StopCase& c, std::ostream* os)
{
    *os << c.name;
}

class StartupGuiStop : public StartupGui, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StartupGuiStop, SignalEndsItWithinASecond)
{
    const StopCase& c = GetParam();
    std::unique_ptr<RawPeer> updater;
    if (c.updater == StopCase::SilentUpdater) {
        updater = std::make_unique<RawPeer>(SS_CONNECTOR_SOFTWAREUPGRADE, [](const RawRequest&) {
            RawPeer::Answer a;
            a.silent = true;
            return a;
        });
        ASSERT_TRUE(updater->Serving());
    }
    auto gui = Start(c.options);
    int request = -1;
    if (c.request == StopCase::Question) request = SendUnanswered(SS_MSGTYPE_REQUESTSWUPGRADE, QuestionRecord());
    if (c.request == StopCase::AnyRequest) request = SendUnanswered(SS_MSGTYPE_EXIT, {});
    if (c.request != StopCase::None) {
        ASSERT_GE(request, 0);
    }
    EXPECT_TRUE(Shows(c.shownBefore)) << Output();
    if (updater) {
        ASSERT_TRUE(updater->WaitForRequests(1, 5)) << Output();
    }
    kill(gui->Pid(), c.signal);
    int status = gui->Wait(1.0);
    if (request >= 0) close(request);
    ASSERT_NE(status, -1) << "still running a second after signal " << c.signal << "\n" << Output();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Shows("stop         signal " + std::to_string(c.signal) + ", ending", 1)) << Output();
}

INSTANTIATE_TEST_SUITE_P(
    States, StartupGuiStop,
    ::testing::Values(
        StopCase{"IdleOnSigterm", {}, StopCase::None, StopCase::NoUpdater, "serving", SIGTERM},
        StopCase{"QuestionOpenOnSigint", {"--interactive"}, StopCase::Question, StopCase::NoUpdater,
                 "prompt", SIGINT},
        StopCase{"ReplyHeldBackOnSigterm", {"--answer", "yes", "--answer-before-reply", "--answer-delay", "60"},
                 StopCase::Question, StopCase::NoUpdater, "question", SIGTERM},
        StopCase{"ConnectingToAnUnservedUpdaterOnSigterm", {"--send", "dim-off"}, StopCase::AnyRequest,
                 StopCase::NoUpdater, "exit ", SIGTERM},
        StopCase{"SendToASilentUpdaterOnSigterm", {"--send", "to-front"}, StopCase::AnyRequest,
                 StopCase::SilentUpdater, "exit ", SIGTERM},
        StopCase{"AnswerToASilentUpdaterOnSigint", {"--answer", "no"}, StopCase::Question,
                 StopCase::SilentUpdater, "question", SIGINT}),
    [](const ::testing::TestParamInfo<StopCase>& i) { return std::string(i.param.name); });

// An updater that takes the answer and ends before its loop replies (its
// main thread can outrun the reply): the answer is recorded as sent, and not
// sent a second time on a new connection.
TEST_F(StartupGui, AnswerTakenWithoutAReplyIsRecordedAndSentOnce)
{
    RawPeer updater(SS_CONNECTOR_SOFTWAREUPGRADE, [](const RawRequest&) {
        RawPeer::Answer a;
        a.closeInstead = true;
        return a;
    });
    ASSERT_TRUE(updater.Serving());
    auto gui = Start({"--answer", "no"});
    int request = SendUnanswered(SS_MSGTYPE_REQUESTSWUPGRADE, QuestionRecord());
    ASSERT_GE(request, 0);
    EXPECT_TRUE(Shows("answer no (doUpgrade 0), no reply: the link closed")) << Output();
    kill(gui->Pid(), SIGTERM);
    ASSERT_NE(gui->Wait(5), -1);
    close(request);
    const auto requests = updater.Requests();
    ASSERT_EQ(requests.size(), 1u) << Output();
    EXPECT_EQ(requests[0].type, static_cast<std::uint32_t>(SS_MSGTYPE_REPLYONSWUPGRADE));
}

// Interactive use: the prompt is a line of its own (every line of the output
// is an event line), repeated after a word it does not know, and the end of
// the input with the question open is said, not passed over.
TEST_F(StartupGui, PromptsOnItsOwnLineAgainAfterAnUnknownWordAndSaysWhenInputEnds)
{
    auto gui = Start({"--interactive"});
    int request = SendUnanswered(SS_MSGTYPE_REQUESTSWUPGRADE, QuestionRecord());
    ASSERT_GE(request, 0);
    ASSERT_TRUE(Shows("prompt       answer with yes, no or never")) << Output();
    gui->Input("maybe\n");
    ASSERT_TRUE(Shows("commands: yes, no")) << Output();
    EXPECT_TRUE(Eventually([&] {
        const std::string out = Output();
        std::size_t first = out.find("answer with yes, no or never");
        return first != std::string::npos &&
               out.find("answer with yes, no or never", first + 1) != std::string::npos;
    }, 5)) << "no prompt after the unknown word\n" << Output();
    gui->CloseInput();
    EXPECT_TRUE(Shows("input        end of input with the update question open")) << Output();
    kill(gui->Pid(), SIGTERM);
    ASSERT_NE(gui->Wait(5), -1);
    close(request);
    std::istringstream lines(Output());
    std::string line;
    const std::regex event("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} [a-z-]+ +.*");
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, event)) << "not an event line of its own: " << line;
    }
}

TEST_F(StartupGui, SendsMessagesToTheUpdaterAndExitEndsIt)
{
    // The updater runs in a child process, which the exit message ends.
    Child updater([] {
        GUI_Initialize();
        GUI_SetCurrentVersion("1.2");
        for (;;) pause();
        return 1;
    });
    auto gui = Start({"--send", "dim-off", "--send", "turn-off@0.1", "--send", "to-front@0.2",
                      "--send", "exit@0.5"});
    int status = updater.Wait(15);
    ASSERT_NE(status, -1) << "the updater did not end\n" << Output();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const char* line : {"dim-off, reply status 0", "turn-off, reply status 0",
                             "to-front, reply status 0", "exit, reply status 0"}) {
        EXPECT_TRUE(Shows(line)) << line << "\n" << Output();
    }
}

}  // namespace

#endif
