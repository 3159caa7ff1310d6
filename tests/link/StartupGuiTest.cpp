// The start-up GUI stand-in as a separate process, driven by the updater's
// own link and by options only (no terminal).
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <thread>
#include <sys/stat.h>
#include <sys/wait.h>
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
    // Starts the stand-in with `options` and waits until it serves its name.
    std::unique_ptr<Child> Start(const std::vector<std::string>& options)
    {
        std::vector<std::string> argv = {STARTUP_GUI_PATH};
        argv.insert(argv.end(), options.begin(), options.end());
        std::unique_ptr<Child> gui(new Child(argv, out_));
        EXPECT_TRUE(Eventually([&] { return Output().find("serving") != std::string::npos; }, 10))
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
    EXPECT_TRUE(Eventually([&] { return access(medium.c_str(), F_OK) != 0; }, 5))
        << "the medium is still there\n" << Output();
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
