// Roots made for other processes: the instroot command, state directories
// that outlive a run, private network namespaces, unprivileged users. These
// tests run on the host or inside a root (then the roots are nested).
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "RootTest.h"

namespace {

const std::string kInstroot = SWU_BUILD_DIR "/host/root/instroot";

// Runs the instroot command from the host through the host's shell.
int Instroot(const std::string& arguments, std::string* output) {
    return RunShell("'" + kInstroot + "' " + arguments, output);
}

// Under qemu-user (the ARM build's tests) the host's shell cannot start the
// ARM instroot: the kernel has no binfmt_misc entry for ARM programs.
#define SKIP_WHEN_SHELL_CANNOT_RUN_INSTROOT()                                                  \
    if (std::getenv("SWU_QEMU_ARM") != nullptr)                                                \
    GTEST_SKIP() << "under qemu-user the host's shell cannot start an ARM program (no binfmt_misc entry)"

class StateDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = MakeTestDir();
        ASSERT_FALSE(state_.empty());
    }
    void TearDown() override { RemoveTree(state_); }
    std::string state_;
};

TEST_F(StateDirTest, ContentOutlivesTheRun) {
    InstrumentRootConfig config;
    config.stateDir = state_;
    std::string why;
    int status = RunInInstrumentRoot(
        config,
        {"sh", "-c",
         "echo one > /tmp/t && echo two > /usbdongle/file0 && mkdir /instrumentData/Inifiles && "
         "echo three > /log/l && nonblock-realtest_arm o"},
        &why);
    ASSERT_NE(status, -1) << why;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadTextFile(state_ + "/tmp/t"), "one\n");
    EXPECT_EQ(ReadTextFile(state_ + "/usbdongle/file0"), "two\n");
    EXPECT_TRUE(FileExists(state_ + "/instrumentData/Inifiles"));
    EXPECT_EQ(ReadTextFile(state_ + "/log/l"), "three\n");
    EXPECT_EQ(ReadTextFile(state_ + "/boardtools.log"),
              "nonblock-realtest_arm o: reboot requested\n");

    // A second run sees the first one's files and adds to the record.
    status = RunInInstrumentRoot(
        config, {"sh", "-c", "test \"$(cat /tmp/t /usbdongle/file0 /log/l)\" = \"$(printf 'one\\ntwo\\nthree')\" && nonblock-realtest_arm m 0 1"},
        &why);
    ASSERT_NE(status, -1) << why;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadTextFile(state_ + "/boardtools.log"),
              "nonblock-realtest_arm o: reboot requested\n"
              "nonblock-realtest_arm m 0 1: red lamp on\n");
}

TEST(RunInRootTest, ProjectTreesAreReachableWithoutConfig) {
    std::string why;
    int status = RunInInstrumentRoot(
        {}, {"sh", "-c", "test -x '" + kInstroot + "' && test -r '" SWU_SOURCE_DIR "/CMakeLists.txt'"},
        &why);
    ASSERT_NE(status, -1) << why;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(RunInRootTest, CommandThatCannotStartGivesTheReason) {
    std::string why;
    int status = RunInInstrumentRoot({}, {"no-such-command-here"}, &why);
    ASSERT_NE(status, -1) << why;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
    EXPECT_NE(why.find("no-such-command-here"), std::string::npos) << why;
}

TEST(RunInRootTest, NoRootIsMinusOneWithTheReason) {
    InstrumentRootConfig config;
    config.flashFile = "/no/such/flash/file";
    std::string why;
    EXPECT_EQ(RunInInstrumentRoot(config, {"true"}, &why), -1);
    EXPECT_NE(why.find("/no/such/flash/file"), std::string::npos) << why;
}

TEST_F(StateDirTest, FlashFilesOfTheStateDirAppearInDev) {
    SKIP_WHEN_SHELL_CANNOT_RUN_INSTROOT();
    WriteTextFile(state_ + "/norflash", "flash");
    WriteTextFile(state_ + "/norflash.faults", "busy-polls 1\n");
    std::string output;
    EXPECT_EQ(Instroot("--state '" + state_ + "' -- sh -c 'cat /dev/norflash /dev/norflash.faults; "
                                              "printf X 1<>/dev/norflash'",
                       &output),
              0);
    EXPECT_EQ(output, "flashbusy-polls 1\n");
    EXPECT_EQ(ReadTextFile(state_ + "/norflash"), "Xlash");
}

struct CommandCase {
    const char* arguments;
    int exitCode;
};

std::ostream& operator<<(std::ostream& out, const CommandCase& c) {
    return out << "instroot " << c.arguments;
}

class InstrootCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(InstrootCommandTest, ExitStatus) {
    SKIP_WHEN_SHELL_CANNOT_RUN_INSTROOT();
    std::string output;
    EXPECT_EQ(Instroot(GetParam().arguments, &output), GetParam().exitCode) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstrootCommandTest,
    ::testing::Values(CommandCase{"-- true", 0}, CommandCase{"-- sh -c 'exit 7'", 7},
                      CommandCase{"-- test -w /usr", 1}, CommandCase{"-- no-such-command", 127},
                      CommandCase{"", 125}, CommandCase{"--", 125}, CommandCase{"true", 125},
                      CommandCase{"--flash /no/such/flash -- true", 125},
                      CommandCase{"--bogus x -- true", 125}));

TEST(RootNamespaceTest, AbstractNamesArePrivateToTheRoot) {
    // Binds an abstract name; a second bind of it fails where it is visible.
    auto bindName = [](const std::string& name) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            if (fd >= 0) {
                close(fd);
            }
            return -1;
        }
        return fd;
    };
    std::string name = "/swu-root-test/" + std::to_string(getpid());
    int held = bindName(name);
    ASSERT_GE(held, 0);
    ASSERT_EQ(bindName(name), -1) << "a second bind on the host must fail";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string why;
        if (EnterInstrumentRoot({}, &why) != 0) {
            _exit(2);
        }
        _exit(bindName(name) >= 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(held);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "no instrument root can be made here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the root sees the host's abstract names";
}

TEST(UnprivilegedRootTest, WorksForAnUnprivilegedUser) {
    if (InInstrumentRoot() || getuid() != 0) {
        GTEST_SKIP() << "needs to start as root on the host to switch to uid 65534";
    }
    if (std::getenv("SWU_QEMU_ARM") != nullptr) {
        GTEST_SKIP() << "under qemu-user the host's shell cannot start an ARM program (no binfmt_misc entry), "
                        "and a user namespace cannot be made in qemu's multi-threaded process";
    }
    if (access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "setpriv (util-linux) is not installed";
    }
    // A checkout under a directory closed to others (root's home, say)
    // cannot be reached by that user at all: nothing to test then.
    if (RunShell("setpriv --reuid=65534 --regid=65534 --clear-groups test -x '" + kInstroot + "'") != 0) {
        GTEST_SKIP() << "uid 65534 cannot reach " << kInstroot << " (a directory above it is closed to others)";
    }
    std::string output;
    int code = RunShell(
        "cd / && setpriv --reuid=65534 --regid=65534 --clear-groups '" + kInstroot +
            "' -- sh -c 'pwd; touch /tmp/a /log/b /instrumentData/c /usbdongle/d && echo written; "
            "touch /etc/x 2>/dev/null || echo etc-read-only; "
            "printf \"echo \\\"\\$1\\\"\" > /tmp/s.sh; sh -c \". /tmp/s.sh korn\"; "
            "nonblock-realtest_arm o && cat /proc/boot/boardtools.log'",
        &output);
    EXPECT_EQ(code, 0) << output;
    EXPECT_EQ(output,
              "/tmp\nwritten\netc-read-only\nkorn\nnonblock-realtest_arm o: reboot requested\n");
}

}  // namespace
