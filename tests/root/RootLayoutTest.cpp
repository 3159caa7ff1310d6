// What an instrument root promises: fresh writable directories, a host that
// cannot be changed from inside, mksh as /bin/sh, the search path and working
// directory, /dev and the flash, and refreshing a root in the same process.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "RootTest.h"

namespace {

// True when `path` leads to a directory bound from outside (the marker file
// lists them): a checkout under /tmp has its mount point in the root's /tmp.
bool LeadsToBoundDir(const std::string& path) {
    const std::string marker = ReadTextFile("/proc/.instrument-root");
    for (const std::string& line : SplitLines(marker)) {
        if (line.size() > 3 && (line.rfind("ro /", 0) == 0 || line.rfind("rw /", 0) == 0)) {
            const std::string bound = line.substr(3);
            if (bound.compare(0, path.size(), path) == 0 &&
                (bound.size() == path.size() || bound[path.size()] == '/')) {
                return true;
            }
        }
    }
    return false;
}

// Entries of a directory, mount points of directories bound from outside not
// counted.
int CountEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return -1;
    }
    int count = 0;
    while (struct dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
            !LeadsToBoundDir(dir + "/" + e->d_name)) {
            ++count;
        }
    }
    closedir(d);
    return count;
}

// errno of creating a file at path, 0 when it could be created.
int CreateError(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        return errno;
    }
    close(fd);
    unlink(path.c_str());
    return 0;
}

class RootLayoutTest : public InstrumentRootTest {};

class WritableDirTest : public InstrumentRootTest,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(WritableDirTest, IsEmptyAndWritable) {
    std::string dir = GetParam();
    EXPECT_EQ(CountEntries(dir), 0) << dir << " is not a fresh, empty directory";
    EXPECT_EQ(CreateError(dir + "/probe"), 0) << dir << " is not writable";
    EXPECT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0) << std::strerror(errno);
}

INSTANTIATE_TEST_SUITE_P(FixedPaths, WritableDirTest,
                         ::testing::Values("/tmp", "/usbdongle", "/instrumentData", "/log"));

class ReadOnlyPathTest : public InstrumentRootTest,
                         public ::testing::WithParamInterface<std::string> {};

TEST_P(ReadOnlyPathTest, CannotBeChanged) {
    std::string path = GetParam() + "/swu-root-probe";
    EXPECT_EQ(CreateError(path), EROFS) << path;
    EXPECT_NE(mkdir(path.c_str(), 0755), 0) << path;
}

INSTANTIATE_TEST_SUITE_P(
    HostAndRootDirs, ReadOnlyPathTest,
    ::testing::Values("", "/usr", "/usr/bin", "/bin", "/etc", "/dev", "/proc", "/proc/boot",
                      std::string(SWU_SOURCE_DIR), std::string(SWU_BUILD_DIR)));

TEST_F(RootLayoutTest, ExistingFilesCannotBeReplacedOrRemoved) {
    EXPECT_NE(unlink("/etc/passwd"), 0);
    EXPECT_NE(unlink("/proc/boot/slay"), 0);
    EXPECT_NE(rename("/bin/sh", "/tmp/sh"), 0);
    const int tool = open("/proc/boot/waitfor", O_WRONLY | O_TRUNC);
    EXPECT_EQ(tool, -1) << "a board tool could be overwritten";
    if (tool >= 0) close(tool);
}

TEST_F(RootLayoutTest, ShellPassesArgumentsOfTheDotCommand) {
    WriteTextFile("/tmp/s.sh", "echo \"$1\"");
    std::string output;
    ASSERT_EQ(RunShell(". /tmp/s.sh hello", &output), 0) << output;
    EXPECT_EQ(output, "hello\n") << "/bin/sh is not a Korn shell";
    ASSERT_EQ(RunShell("echo \"$KSH_VERSION\"", &output), 0);
    EXPECT_NE(output.find("KSH"), std::string::npos) << output;
}

TEST_F(RootLayoutTest, WorkingDirectoryAndSearchPath) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_STREQ(cwd, "/tmp");
    const char* path = std::getenv("PATH");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path).rfind("/proc/boot:", 0), 0u) << path;
    std::string output;
    ASSERT_EQ(RunShell("pwd; command -v nonblock-realtest_arm; command -v cp", &output), 0);
    EXPECT_EQ(output, "/tmp\n/proc/boot/nonblock-realtest_arm\n/usr/bin/cp\n");
}

TEST_F(RootLayoutTest, DevicesWorkAndThereIsNoFlash) {
    for (const char* node : {"/dev/null", "/dev/zero", "/dev/random", "/dev/urandom"}) {
        int fd = open(node, O_RDWR);
        EXPECT_GE(fd, 0) << node << ": " << std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
    }
    std::string output;
    EXPECT_EQ(RunShell("head -c 4 /dev/zero | od -An -tx1; echo gone > /dev/null", &output), 0);
    EXPECT_EQ(output, " 00 00 00 00\n");
    EXPECT_TRUE(FileExists("/dev/tty"));
    EXPECT_FALSE(FileExists("/dev/norflash"));
    EXPECT_FALSE(FileExists("/dev/norflash.faults"));
}

TEST_F(RootLayoutTest, ProcIsAPlainDirectory) {
    EXPECT_TRUE(InInstrumentRoot());
    EXPECT_FALSE(FileExists("/proc/self"));
    EXPECT_FALSE(FileExists("/proc/1"));
    EXPECT_TRUE(FileExists(kBoardToolRecord));
    EXPECT_EQ(ReadTextFile(kBoardToolRecord), "");
}

TEST_F(RootLayoutTest, ThreadsRun) {
    int value = 0;
    std::thread worker([&value] { value = 42; });
    worker.join();
    EXPECT_EQ(value, 42);
}

TEST_F(RootLayoutTest, EnteringAgainGivesFreshWritableDirectories) {
    for (const char* dir : {"/tmp", "/usbdongle", "/instrumentData", "/log"}) {
        WriteTextFile(std::string(dir) + "/left-over", "x");
    }
    ASSERT_EQ(RunShell("nonblock-realtest_arm o"), 0);
    std::string why;
    ASSERT_EQ(EnterInstrumentRoot({}, &why), 0) << why;
    for (const char* dir : {"/tmp", "/usbdongle", "/instrumentData", "/log"}) {
        EXPECT_EQ(CountEntries(dir), 0) << dir;
    }
    EXPECT_EQ(ReadTextFile(kBoardToolRecord), "");
    EXPECT_EQ(RunShell("nonblock-realtest_arm m 0 1"), 0) << "record not writable again";
    EXPECT_EQ(ReadTextFile(kBoardToolRecord), "nonblock-realtest_arm m 0 1: red lamp on\n");
    EXPECT_EQ(CreateError("/etc/swu-root-probe"), EROFS) << "root writable after refresh";
    EXPECT_EQ(CreateError("/dev/swu-root-probe"), EROFS) << "root writable after refresh";
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_STREQ(cwd, "/tmp");
}

TEST_F(RootLayoutTest, EnteringAgainSwapsTheFlash) {
    WriteTextFile("/tmp/flash-a", "AAAA");
    WriteTextFile("/tmp/faults-a", "busy-polls 2\n");
    InstrumentRootConfig config;
    config.flashFile = "/tmp/flash-a";
    config.faultsFile = "/tmp/faults-a";
    std::string why;
    ASSERT_EQ(EnterInstrumentRoot(config, &why), 0) << why;
    EXPECT_EQ(ReadTextFile("/dev/norflash"), "AAAA");
    EXPECT_EQ(ReadTextFile("/dev/norflash.faults"), "busy-polls 2\n");
    EXPECT_EQ(CreateError("/dev/norflash.faults"), EEXIST);
    // The flash is writable, the fault file is not.
    int flash = open("/dev/norflash", O_RDWR);
    EXPECT_GE(flash, 0) << std::strerror(errno);
    if (flash >= 0) {
        EXPECT_EQ(pwrite(flash, "B", 1, 1), 1);
        close(flash);
    }
    EXPECT_EQ(ReadTextFile("/dev/norflash"), "ABAA");
    const int faults = open("/dev/norflash.faults", O_WRONLY);
    EXPECT_EQ(faults, -1);
    if (faults >= 0) close(faults);

    ASSERT_EQ(EnterInstrumentRoot({}, &why), 0) << why;
    EXPECT_FALSE(FileExists("/dev/norflash"));
    EXPECT_FALSE(FileExists("/dev/norflash.faults"));
}

TEST_F(RootLayoutTest, RunningInANewRootLeavesTheCallersRootAlone) {
    WriteTextFile("/tmp/mine", "kept");
    std::string why;
    int status = RunInInstrumentRoot(
        {}, {"sh", "-c", "test ! -e /tmp/mine && touch /tmp/theirs && nonblock-realtest_arm o"},
        &why);
    ASSERT_NE(status, -1) << why;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadTextFile("/tmp/mine"), "kept");
    EXPECT_FALSE(FileExists("/tmp/theirs"));
    EXPECT_EQ(ReadTextFile(kBoardToolRecord), "");
}

// A checkout under /tmp (the host's) lies inside the root's own writable
// /tmp, which must not hide it: the directories bound from outside are bound
// over it, in a new root and again after a refresh. Here the root's /tmp
// plays the host's: a root made from inside this one binds /tmp/checkout.
TEST_F(RootLayoutTest, DirectoryInsideTmpStaysReachableInANewRootAndAfterARefresh) {
    ASSERT_EQ(RunShell("mkdir -p /tmp/checkout/build && echo data > /tmp/checkout/build/file"), 0);
    InstrumentRootConfig config;
    config.readOnlyDirs.push_back("/tmp/checkout");
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string why;
        auto reachable = [] {
            return ReadTextFile("/tmp/checkout/build/file") == "data\n" &&
                   CreateError("/tmp/checkout/new") == EROFS && CreateError("/tmp/own") == 0;
        };
        if (EnterInstrumentRoot(config, &why) != 0) _exit(10);
        if (!reachable()) _exit(11);
        WriteTextFile("/tmp/left-over", "x");
        if (EnterInstrumentRoot(config, &why) != 0) _exit(12);
        if (!reachable() || FileExists("/tmp/left-over")) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10/12: no root, 11: hidden in a new root, 13: hidden after a refresh";
}

}  // namespace
