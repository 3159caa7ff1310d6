// The command runner and the device controls, run through the instrument
// root's real shell and board-tool stand-ins.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <cstring>
#include <fstream>
#include <regex>
#include <ostream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "RootTest.h"
#include "Sanitizers.h"
#include "SwUpdateUtils.h"
#include "UtilsTestSupport.h"

namespace {

class CommandTest : public InstrumentRootTest {};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Seconds of the monotonic clock since `since`.
double SecondsSince(const timespec& since)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - since.tv_sec) + (now.tv_nsec - since.tv_nsec) / 1e9;
}

timespec Now()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

struct StatusCase {
    const char* name;
    const char* command;
    int status;
};
void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class CmdRunStatusTest : public InstrumentRootTest,
                         public ::testing::WithParamInterface<StatusCase> {};

TEST_P(CmdRunStatusTest, ReturnsRawStatusAndTracesFailures)
{
    const StatusCase& c = GetParam();
    int status = -2;
    const std::string out = CaptureOutput([&] { status = CmdRun(c.command); });
    EXPECT_EQ(status, c.status);
    const std::vector<std::string> messages = TraceMessages(out);
    ASSERT_GE(messages.size(), 1u) << out;
    EXPECT_EQ(messages[0], std::string("Running command: ") + c.command);
    if (c.status == 0) {
        EXPECT_EQ(messages.size(), 1u) << out;
    } else {
        ASSERT_EQ(messages.size(), 2u) << out;
        EXPECT_EQ(messages[1], std::string("Command failed(with commandStatus) : ") + c.command +
                                   " (" + std::to_string(c.status) + ")");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, CmdRunStatusTest,
    ::testing::Values(StatusCase{"Success", "true", 0},
                      StatusCase{"ExitOne", "exit 1", 256},
                      StatusCase{"ExitThree", "sh -c 'exit 3'", 768},
                      StatusCase{"NotFound", "/tmp/no-such-script.sh", 127 * 256}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, CommandsDoNotShareAShell)
{
    CmdRun("mkdir -p /tmp/sub && cd /tmp/sub");
    CmdRun("pwd > /tmp/where");
    EXPECT_EQ(ReadTextFile("/tmp/where"), "/tmp\n");
}

TEST_F(CommandTest, CommandOutputLandsBetweenTraceLines)
{
    const std::string out = CaptureOutput([] { CmdRun("echo hello-from-shell; exit 2"); });
    const size_t running = out.find("Running command:");
    const size_t hello = out.find("hello-from-shell\n");
    const size_t failed = out.find("Command failed(with commandStatus)");
    ASSERT_NE(hello, std::string::npos) << out;
    EXPECT_LT(running, hello);
    EXPECT_LT(hello, failed);
}

// CopyFile takes the destination first and puts it last; the shell expands
// the patterns.
TEST_F(CommandTest, CopyAndRemoveCommandTexts)
{
    WriteTextFile("/tmp/swVersion", "3.1\n");
    WriteTextFile("/tmp/a.crc", "1");
    WriteTextFile("/tmp/b.crc", "2");
    WriteTextFile("/instrumentData/old.crc", "0");
    const std::string out = CaptureOutput([] {
        CopyFile("/instrumentData", "/tmp/swVersion");
        RemoveFile("/instrumentData/*.crc");
        CopyFile("/instrumentData", "/tmp/*.crc");
    });
    const std::vector<std::string> messages = TraceMessages(out);
    ASSERT_EQ(messages.size(), 3u) << out;
    EXPECT_EQ(messages[0], "Running command: cp -f /tmp/swVersion /instrumentData");
    EXPECT_EQ(messages[1], "Running command: rm -rf /instrumentData/*.crc");
    EXPECT_EQ(messages[2], "Running command: cp -f /tmp/*.crc /instrumentData");
    EXPECT_EQ(ReadTextFile("/instrumentData/swVersion"), "3.1\n");
    EXPECT_FALSE(FileExists("/instrumentData/old.crc"));
    EXPECT_EQ(ReadTextFile("/instrumentData/a.crc"), "1");
    EXPECT_EQ(ReadTextFile("/instrumentData/b.crc"), "2");
}

// A command that does not fit the 256-byte buffer is refused, not cut: an
// "rm -rf" of a shortened path could remove more than was asked.
TEST_F(CommandTest, OverlongCommandsAreRefusedNotCut)
{
    const std::string keep = "/tmp/keep";
    ASSERT_EQ(mkdir(keep.c_str(), 0755), 0);
    WriteTextFile(keep + "/data", "x");
    // "rm -rf " + path is 256 characters: one too many. Cut to 255 it would
    // name the directory "/tmp/keep" itself.
    const std::string overlong = keep + "/" + std::string(256 - 7 - keep.size() - 1, 'z');
    const std::string fits = keep + "/" + std::string(255 - 7 - keep.size() - 1, 'y');
    WriteTextFile(fits, "y");
    const std::string out = CaptureOutput([&] {
        RemoveFile(overlong.c_str());
        CopyFile(overlong.c_str(), "/tmp/keep/data");
        RemoveFile(fits.c_str());
    });
    EXPECT_TRUE(FileExists(keep + "/data"));
    EXPECT_FALSE(FileExists(fits));
    const std::vector<std::string> messages = TraceMessages(out);
    ASSERT_EQ(messages.size(), 3u) << out;
    EXPECT_TRUE(Contains(messages[0], "Command too long (256 characters, at most 255), not run: rm -rf "));
    EXPECT_TRUE(Contains(messages[1], "Command too long"));
    EXPECT_EQ(messages[2], "Running command: rm -rf " + fits);
}

TEST_F(CommandTest, BoardCommandsAndTheirRecord)
{
    const std::string out = CaptureOutput([] {
        SetRedStatusLED(3);
        SetRedStatusLED(2);
        SystemReboot();
    });
    const std::vector<std::string> messages = TraceMessages(out);
    ASSERT_EQ(messages.size(), 3u) << out;
    EXPECT_EQ(messages[0], "Running command: /proc/boot/nonblock-realtest_arm m 0 1");
    EXPECT_EQ(messages[1], "Running command: /proc/boot/nonblock-realtest_arm m 0 0");
    EXPECT_EQ(messages[2], "Running command: nonblock-realtest_arm o");
    const std::string record = ReadTextFile(kBoardToolRecord);
    EXPECT_TRUE(Contains(record, "reboot")) << record;
    EXPECT_LT(record.find("m 0 1"), record.find("m 0 0")) << record;
}

// The driver needs its 5 s to go before it is started again.
TEST_F(CommandTest, RestartFlashDriverRunsItsThreeCommandsInOrder)
{
    const timespec start = Now();
    const std::string out = CaptureOutput([] { RestartFlashDriver(); });
    EXPECT_GE(SecondsSince(start), 5.0) << "no pause between stopping and starting the driver";
    const std::vector<std::string> expected = {
        "Slaying flash driver",
        "Running command: slay -f devf-s3c2400-p3",
        "Restarting flash driver.",
        "Running command: devf-s3c2400-p3 -r -u2 -b5 -i 1,0",
        "Wating for restart...",
        "Running command: waitfor /dev/fs1",
        "Flash driver has been restarted!.",
    };
    EXPECT_EQ(TraceMessages(out), expected) << out;
    const std::string record = ReadTextFile(kBoardToolRecord);
    EXPECT_LT(record.find("slay"), record.find("devf-s3c2400-p3 -r")) << record;
    EXPECT_LT(record.find("devf-s3c2400-p3 -r"), record.find("waitfor")) << record;
}

// The backup script is read by the shell with the dot command and gets the
// whole list as one argument.
TEST_F(CommandTest, BackupScriptGetsTheListAsOneArgument)
{
    WriteTextFile("/tmp/SwUpdate_backup.sh",
                  "echo \"$#:$1\" > /tmp/backup-args\n", 0644);  // not executable: dot reads it
    const std::string out = CaptureOutput([] {
        BackupLogFiles("/instrumentData /tmp/CorruptDiagnosticLogs");
        BackupLogFiles(nullptr);
    });
    EXPECT_EQ(TraceMessages(out),
              std::vector<std::string>{
                  "Running command: . /tmp/SwUpdate_backup.sh \"/instrumentData /tmp/CorruptDiagnosticLogs\""})
        << out;
    EXPECT_EQ(ReadTextFile("/tmp/backup-args"), "1:/instrumentData /tmp/CorruptDiagnosticLogs\n");
}

TEST_F(CommandTest, MediumPresentExactlyWhenFileZeroOpens)
{
    std::string out = CaptureOutput([] { EXPECT_EQ(IsMsdPresent(), 0); });
    EXPECT_TRUE(Contains(out, ">MSD attached fil descriptor is -1\n")) << out;
    WriteTextFile("/usbdongle/file1", "x");
    EXPECT_EQ(IsMsdPresent(), 0);  // mounted but no file0
    WriteTextFile("/usbdongle/file0", "");
    out = CaptureOutput([] { EXPECT_EQ(IsMsdPresent(), 1); });
    EXPECT_TRUE(std::regex_search(out, std::regex(">MSD attached fil descriptor is [0-9]+\n"))) << out;
}

TEST_F(CommandTest, WaitForMsdRemovedReturnsAtOnceWhenGone)
{
    const std::string out = CaptureOutput([] { WaitForMsdRemoved(); });
    EXPECT_EQ(TraceMessages(out), std::vector<std::string>{"MSD attached fil descriptor is -1"});
}

// The medium goes half a second into the wait: it is seen present at 0 s and
// gone at the poll 2 s later, two polls in all.
TEST_F(CommandTest, WaitForMsdRemovedPollsEveryTwoSecondsUntilTheMediumIsPulled)
{
    WriteTextFile("/usbdongle/file0", "");
    std::thread puller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        unlink("/usbdongle/file0");
    });
    const timespec start = Now();
    const std::string out = CaptureOutput([] { WaitForMsdRemoved(); });
    const double elapsed = SecondsSince(start);
    puller.join();
    const std::vector<std::string> messages = TraceMessages(out);
    ASSERT_GE(messages.size(), 2u) << out;
    EXPECT_EQ(messages.back(), "MSD attached fil descriptor is -1");
    EXPECT_GE(elapsed, 2.0) << "returned before a pause of 2 s";
    // One poll at the start and one per 2 s pause after it.
    EXPECT_LE(static_cast<double>(messages.size()), elapsed / 2.0 + 1.0)
        << messages.size() << " polls in " << elapsed << " s";
}

// Every poll closes what it opened: thousands of polls in a process that may
// hold only a few descriptors all see the medium.
TEST_F(CommandTest, PollingTheMediumLeaksNoDescriptor)
{
    WriteTextFile("/usbdongle/file0", "");
    // Room for 16 descriptors beyond those already open.
    const auto fewMore = [](rlim_t) -> rlim_t {
        rlim_t open = 0;
        if (DIR* d = opendir("/proc/self/fd")) {
            while (readdir(d) != nullptr) ++open;
            closedir(d);
        }
        return open + 16;
    };
    const int seen = RunWithLimit(RLIMIT_NOFILE, fewMore, [] {
        std::freopen("/dev/null", "w", stdout);
        int present = 0;
        for (int i = 0; i < 3000; ++i) present += IsMsdPresent();
        return present == 3000 ? 0 : 1;
    });
    EXPECT_EQ(seen, 0) << "the medium was not seen on every poll";
}

// The prefix names this module's source file and the line of the trace.
TEST_F(CommandTest, TracePrefixNamesSourceFileAndLine)
{
    const std::string out = CaptureOutput([] { CmdRun("true"); });
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("^<(sources/SwUpdateUtils\\.cpp):([0-9]+)>Running command: true\n")))
        << out;
    std::ifstream source(std::string(SWU_SOURCE_DIR) + "/" + m[1].str());
    std::string line;
    for (int i = 0; i < std::stoi(m[2].str()); ++i) {
        std::getline(source, line);
    }
    EXPECT_TRUE(Contains(line, "Running command: %s")) << line;
}

// ---------------------------------------------------------------------------
// Programming errors and exhausted memory.

TEST(ReadFileDeathTest, NullBufferOrNegativeSizeStopsTheProgram)
{
    EXPECT_DEATH(ReadFile("/nonexistent", nullptr, 1), "buffer != NULL");
    char buffer[4];
    EXPECT_DEATH(ReadFile("/nonexistent", buffer, -1), "size >= 0");
}



// Runs `call` in a child whose address space is capped near its current
// size, so that large allocations fail. Returns the child's exit code.
template <typename F>
int RunWithMemoryCap(F&& call)
{
    return RunWithLimit(RLIMIT_AS, [](rlim_t) -> rlim_t {
        std::FILE* statm = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) {
            _exit(99);
        }
        return pages * sysconf(_SC_PAGESIZE) + (64u << 20);
    }, call);
}

TEST(MemoryTest, AllocationFailuresRunAndReadNothing)
{
#ifdef SWU_SANITIZED
    GTEST_SKIP() << "an address-space cap cannot be combined with a sanitizer's shadow memory";
#else
    if (std::getenv("SWU_QEMU_ARM") != nullptr) {
        GTEST_SKIP() << "qemu-user does not apply an address-space cap (RLIMIT_AS) to the program it emulates";
    }
    const std::string dir = MakeTestDir();
    if (dir.empty()) {
        return;
    }
    const std::string big = std::string(dir) + "/big";
    WriteTextFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), 512LL << 20), 0);
    const std::string marker = std::string(dir) + "/ran";
    // A 256 MiB command line: copying it must fail, so nothing is run.
    const std::string command = "touch " + marker + " #" + std::string(256u << 20, 'x');

    EXPECT_EQ(RunWithMemoryCap([&] { return ReadTextFileToBuffer(big.c_str()) == nullptr ? 0 : 1; }), 0);
    EXPECT_EQ(RunWithMemoryCap([&] { return CmdRun(command.c_str()) == -1 ? 0 : 1; }), 0);
    EXPECT_FALSE(FileExists(marker));
    RemoveTree(dir);
#endif
}

}  // namespace
