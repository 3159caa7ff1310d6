// The instrument's logs in "/instrumentData": entry writers and validation,
// each test in a fresh instrument root.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "LogTestSupport.h"
#include "LogUtility.h"
#include "LogUtilityInternal.h"
#include "RootTest.h"
#include "SwUpdateLog.h"
#include "SwUpdateLogInternal.h"

using namespace logtest;

namespace {

const std::string kDir = "/instrumentData/";
const std::string kCopies = "/tmp/CorruptDiagnosticLogs/";

struct LogShape {
    const char* name;
    uint32_t infoLength;
    uint32_t records;
};

// The four logs in the order of their index.
const LogShape kLogs[] = {
    {"Diag.log", 50, 1000}, {"CriticalDiag.log", 50, 1000}, {"DisplayedError.log", 8, 1000}, {"RevHistory.log", 100, 100}};

struct Entry {
    uint32_t number;
    Bytes info;
};

// The messages of the output's lines, "<file:line>" prefixes removed.
std::vector<std::string> Messages(const std::string& out)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        std::string line = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line[0] == '<') {
            const size_t close = line.find('>');
            if (close != std::string::npos)
                line = line.substr(close + 1);
        }
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::string Normal(const char* name)
{
    return std::string("Diagnostic log file ") + name + " is normal and no need for recreation";
}

class InstrumentLogTest : public InstrumentRootTest {
protected:
    // A log of the given shape holding `entries` written entries.
    static void Seed(const LogShape& shape, int entries)
    {
        LogDescriptor_t log;
        ASSERT_EQ(createLog(static_cast<int>(shape.infoLength), static_cast<int>(shape.records), kDir.c_str(),
                            shape.name, &log),
                  Log_Succes);
        for (int i = 0; i < entries; ++i) {
            const Bytes info(shape.infoLength, static_cast<unsigned char>(0x40 + i));
            ASSERT_EQ(writeLog(reinterpret_cast<const char*>(info.data()), static_cast<int>(info.size()), &log),
                      Log_Succes);
        }
    }
    static void SeedAll()
    {
        for (const LogShape& shape : kLogs)
            Seed(shape, 3);
    }
    // Flips one bit of the record at position pos of the log.
    static void Corrupt(const LogShape& shape, uint32_t pos)
    {
        Bytes file = ReadBytes(kDir + shape.name);
        file[pos * RecordSize(shape.infoLength) + 9] ^= 0x04;
        WriteBytes(kDir + shape.name, file);
    }
    static void Truncate(const LogShape& shape)
    {
        Bytes file = ReadBytes(kDir + shape.name);
        file.resize(file.size() - 1);
        WriteBytes(kDir + shape.name, file);
    }
    static std::vector<Entry> Entries(const LogShape& shape)
    {
        const Bytes file = ReadBytes(kDir + shape.name);
        const uint32_t size = RecordSize(shape.infoLength);
        std::vector<Entry> entries;
        for (size_t off = 0; off + size <= file.size(); off += size) {
            const uint32_t number = Get32(&file[off + 4]);
            if (number != kEmpty)
                entries.push_back({number, Bytes(file.begin() + off + 8, file.begin() + off + 8 + shape.infoLength)});
        }
        return entries;
    }
    // Makes the log file impossible to delete: a mount point cannot be unlinked.
    static bool MakeUndeletable(const std::string& path)
    {
        const std::string source = "/tmp/pinned";
        WriteBytes(source, ReadBytes(path));
        return ::mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    // Removes "/instrumentData" from the root.
    static bool RemoveDataDirectory()
    {
        struct mount_attr attr = {};
        attr.attr_clr = MOUNT_ATTR_RDONLY;
        return ::mount_setattr(AT_FDCWD, "/", 0, &attr, sizeof attr) == 0 &&
               ::umount2("/instrumentData", MNT_DETACH) == 0 && ::rmdir("/instrumentData") == 0;
    }
};

uint32_t Time(const Bytes& info) { return Get32(info.data()); }
int32_t Int(const Bytes& info, size_t at) { return static_cast<int32_t>(Get32(&info[at])); }

// Checks a diagnostic entry recording the recreation of the log at index.
void ExpectRecreationEntry(const Entry& e, uint32_t number, int index)
{
    EXPECT_EQ(e.number, number);
    EXPECT_EQ(Int(e.info, 4), 19042);
    EXPECT_EQ(Int(e.info, 8), index);
    EXPECT_EQ(Int(e.info, 12), 1);
    EXPECT_EQ(Bytes(e.info.begin() + 16, e.info.end()), Bytes(34, 0));
}

void ExpectCriticalEntry(const Entry& e, uint32_t number)
{
    EXPECT_EQ(e.number, number);
    EXPECT_EQ(Int(e.info, 4), 19042);
    EXPECT_EQ(Bytes(e.info.begin() + 8, e.info.end()), Bytes(42, 0));
}

// ---------------------------------------------------------------- writers

struct RevCase {
    const char* name;
    int major;
    int minor;
    int result;
    const char* text;  // written after the time; nullptr: nothing written
};

void PrintTo(const RevCase& c, std::ostream* os) { *os << c.name; }

class RevisionTest : public InstrumentLogTest, public ::testing::WithParamInterface<RevCase> {};

TEST_P(RevisionTest, AddsOneEntryWithVersionText)
{
    const RevCase& c = GetParam();
    Seed(kLogs[Log_RevHistory], 2);
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    EXPECT_EQ(WriteRevLog(c.major, c.minor, "RevHistory.log"), c.result);
    const uint32_t after = static_cast<uint32_t>(std::time(nullptr));
    const std::vector<Entry> entries = Entries(kLogs[Log_RevHistory]);
    if (c.text == nullptr) {
        EXPECT_EQ(entries.size(), 2u);
        return;
    }
    ASSERT_EQ(entries.size(), 3u);
    const Entry& e = entries[2];
    EXPECT_EQ(e.number, 3u);
    EXPECT_GE(Time(e.info), before);
    EXPECT_LE(Time(e.info), after);
    Bytes expected(96, 0);
    std::copy(c.text, c.text + std::strlen(c.text), expected.begin());
    EXPECT_EQ(Bytes(e.info.begin() + 4, e.info.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, RevisionTest,
                         ::testing::Values(RevCase{"plain", 12, 34, 0, "1234"}, RevCase{"padded", 3, 7, 0, "0307"},
                                           RevCase{"largest", 99, 99, 0, "9999"},
                                           RevCase{"majorTooBig", 100, 0, 2, nullptr},
                                           RevCase{"minorTooBig", 1, 100, 2, nullptr},
                                           RevCase{"negative", -1, 5, 0, "-105"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstrumentLogTest, RevisionLogIsCreatedWhenAbsent)
{
    EXPECT_EQ(WriteRevLog(2, 15, "RevHistory.log"), 0);
    EXPECT_EQ(ReadBytes(kDir + "RevHistory.log").size(), 10800u);
    const std::vector<Entry> entries = Entries(kLogs[Log_RevHistory]);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].number, 1u);
    EXPECT_EQ(Get32(ReadBytes(kDir + "RevHistory.log").data() + 4), 1u);  // at position 0
}

TEST_F(InstrumentLogTest, CorruptRevisionLogIsReplacedSilently)
{
    Seed(kLogs[Log_RevHistory], 5);
    Corrupt(kLogs[Log_RevHistory], 50);
    int result = -1;
    const std::string out = CaptureStdout([&] { result = WriteRevLog(4, 1, "RevHistory.log"); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "");
    const std::vector<Entry> entries = Entries(kLogs[Log_RevHistory]);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].number, 1u);
    EXPECT_FALSE(FileExists(kCopies));
}

TEST_F(InstrumentLogTest, UndeletableCorruptRevisionLogFails)
{
    Seed(kLogs[Log_RevHistory], 1);
    Corrupt(kLogs[Log_RevHistory], 0);
    if (!MakeUndeletable(kDir + "RevHistory.log"))
        GTEST_SKIP() << "cannot bind a file over the log";
    EXPECT_EQ(WriteRevLog(4, 1, "RevHistory.log"), 1);
}

TEST_F(InstrumentLogTest, WritersNeedTheDataDirectory)
{
    if (!RemoveDataDirectory())
        GTEST_SKIP() << "cannot remove /instrumentData from the root";
    EXPECT_EQ(WriteRevLog(1, 2, "RevHistory.log"), 1);
    EXPECT_EQ(WriteDiagLog(5, nullptr, "Diag.log"), 1);
    EXPECT_FALSE(FileExists("/instrumentData"));
}

TEST_F(InstrumentLogTest, DiagnosticEntryCopiesFortyTwoParameterBytes)
{
    Bytes params(64);
    for (size_t i = 0; i < params.size(); ++i)
        params[i] = static_cast<unsigned char>(i + 1);
    EXPECT_EQ(WriteDiagLog(-7, params.data(), "Diag.log"), 0);
    EXPECT_EQ(WriteDiagLog(19042, nullptr, "Diag.log"), 0);
    const std::vector<Entry> entries = Entries(kLogs[Log_Diag]);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(Int(entries[0].info, 4), -7);
    EXPECT_EQ(Bytes(entries[0].info.begin() + 8, entries[0].info.end()), Bytes(params.begin(), params.begin() + 42));
    EXPECT_EQ(Int(entries[1].info, 4), 19042);
    EXPECT_EQ(Bytes(entries[1].info.begin() + 8, entries[1].info.end()), Bytes(42, 0));
}

// ---------------------------------------------------------------- validation

TEST_F(InstrumentLogTest, IntactLogsAreLeftAlone)
{
    SeedAll();
    std::vector<Bytes> before;
    for (const LogShape& shape : kLogs)
        before.push_back(ReadBytes(kDir + shape.name));
    const std::string out = CaptureStdout([] { ValidateDiagnosticLogs(); });
    EXPECT_EQ(Messages(out), (std::vector<std::string>{Normal("Diag.log"), Normal("CriticalDiag.log"),
                                                        Normal("DisplayedError.log"), Normal("RevHistory.log")}));
    EXPECT_EQ(out.rfind("<sources/SwUpdateLog.cpp:", 0), 0u) << out;
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(ReadBytes(kDir + kLogs[i].name), before[i]) << kLogs[i].name;
    EXPECT_FALSE(FileExists(kCopies));
}

class AbsentTest : public InstrumentLogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AbsentTest, AbsentLogsAreCreatedEmptyAndCountAsNormal)
{
    if (GetParam() && !RemoveDataDirectory())
        GTEST_SKIP() << "cannot remove /instrumentData from the root";
    const std::string out = CaptureStdout([] { ValidateDiagnosticLogs(); });
    EXPECT_EQ(Messages(out), (std::vector<std::string>{Normal("Diag.log"), Normal("CriticalDiag.log"),
                                                        Normal("DisplayedError.log"), Normal("RevHistory.log")}));
    for (const LogShape& shape : kLogs) {
        EXPECT_EQ(ReadBytes(kDir + shape.name), MakeLog(shape.infoLength, std::vector<uint32_t>(shape.records, kEmpty)))
            << shape.name;
    }
    EXPECT_FALSE(FileExists(kCopies));
}

INSTANTIATE_TEST_SUITE_P(DataDirectory, AbsentTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Missing" : "Present"; });

struct CorruptCase {
    const char* name;
    int index;
    bool truncate;  // else one flipped bit
};

void PrintTo(const CorruptCase& c, std::ostream* os) { *os << c.name; }

class OneCorruptTest : public InstrumentLogTest, public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(OneCorruptTest, IsCopiedRecreatedAndRecorded)
{
    const CorruptCase& c = GetParam();
    const LogShape& shape = kLogs[c.index];
    SeedAll();
    if (c.truncate)
        Truncate(shape);
    else
        Corrupt(shape, 1);
    const Bytes corrupt = ReadBytes(kDir + shape.name);

    const std::string out = CaptureStdout([] { ValidateDiagnosticLogs(); });

    EXPECT_EQ(ReadBytes(kCopies + "Corrupted" + shape.name), corrupt);
    const std::string status = std::to_string(c.truncate ? Log_LengthError : Log_ChecksumHasError);
    std::vector<std::string> expected;
    if (c.truncate) {
        const uint32_t size = shape.records * RecordSize(shape.infoLength);
        expected.push_back("File corrupt (in read) too short, " + std::to_string(size - 1) + " != " +
                           std::to_string(size) + " ");
    }
    expected.push_back(std::string("Recreating ") + shape.name +
                       " since CRC error or incorrect length, logStatus= " + status);
    for (int i = 0; i < Log_TblSize; ++i) {
        if (i != c.index) {
            expected.push_back(Normal(kLogs[i].name));
            continue;
        }
        expected.push_back(std::string("Diagnostic log file ") + shape.name + " is recreated with recreateStatus 1");
        expected.push_back(std::string("SelfTestChecksumErr(19042) and corrupt file ") + shape.name +
                           " logged in Diag.log");
        expected.push_back("SelfTestChecksumErr(19042) logged in CriticalDiag.log");
    }
    EXPECT_EQ(Messages(out), expected) << out;

    // The diagnostic logs got one entry each after what they held; a
    // recreated diagnostic log holds only the entry, as record 1.
    const std::vector<Entry> diag = Entries(kLogs[Log_Diag]);
    const std::vector<Entry> critical = Entries(kLogs[Log_CriticalDiag]);
    const uint32_t diagNumber = c.index == Log_Diag ? 1 : 4;
    const uint32_t criticalNumber = c.index == Log_CriticalDiag ? 1 : 4;
    ASSERT_EQ(diag.size(), diagNumber);
    ASSERT_EQ(critical.size(), criticalNumber);
    ExpectRecreationEntry(diag.back(), diagNumber, c.index);
    ExpectCriticalEntry(critical.back(), criticalNumber);
    if (c.index != Log_Diag && c.index != Log_CriticalDiag) {
        EXPECT_TRUE(Entries(shape).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Logs, OneCorruptTest,
                         ::testing::Values(CorruptCase{"Diag", Log_Diag, false},
                                           CorruptCase{"CriticalDiag", Log_CriticalDiag, false},
                                           CorruptCase{"DisplayedError", Log_DisplayedError, false},
                                           CorruptCase{"RevHistory", Log_RevHistory, false},
                                           CorruptCase{"RevHistoryShort", Log_RevHistory, true},
                                           CorruptCase{"DiagShort", Log_Diag, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstrumentLogTest, LongerRevisionHistoryIsNotCorrupt)
{
    SeedAll();
    Bytes file = ReadBytes(kDir + "RevHistory.log");
    file.push_back(0x55);
    WriteBytes(kDir + "RevHistory.log", file);
    const std::string out = CaptureStdout([] { ValidateDiagnosticLogs(); });
    EXPECT_EQ(Messages(out)[3], Normal("RevHistory.log"));
    EXPECT_EQ(ReadBytes(kDir + "RevHistory.log"), file);
}

TEST_F(InstrumentLogTest, BothDiagnosticLogsCorrupt)
{
    SeedAll();
    Corrupt(kLogs[Log_Diag], 0);
    Corrupt(kLogs[Log_CriticalDiag], 2);
    CaptureStdout([] { ValidateDiagnosticLogs(); });
    const std::vector<Entry> diag = Entries(kLogs[Log_Diag]);
    const std::vector<Entry> critical = Entries(kLogs[Log_CriticalDiag]);
    ASSERT_EQ(diag.size(), 2u);
    ExpectRecreationEntry(diag[0], 1, Log_Diag);
    ExpectRecreationEntry(diag[1], 2, Log_CriticalDiag);
    ASSERT_EQ(critical.size(), 2u);
    ExpectCriticalEntry(critical[0], 1);
    ExpectCriticalEntry(critical[1], 2);
    EXPECT_TRUE(FileExists(kCopies + "CorruptedDiag.log"));
    EXPECT_TRUE(FileExists(kCopies + "CorruptedCriticalDiag.log"));
}

TEST_F(InstrumentLogTest, UndeletableCorruptLogFailsRecreation)
{
    SeedAll();
    Corrupt(kLogs[Log_DisplayedError], 999);
    if (!MakeUndeletable(kDir + "DisplayedError.log"))
        GTEST_SKIP() << "cannot bind a file over the log";
    const Bytes diagBefore = ReadBytes(kDir + "Diag.log");
    const std::string out = CaptureStdout([] { ValidateDiagnosticLogs(); });
    EXPECT_EQ(Messages(out),
              (std::vector<std::string>{"Removing corrupt file failed - using unlink()",
                                        "Recreating DisplayedError.log since CRC error or incorrect length, logStatus= 6",
                                        "Recreation of log DisplayedError.log failed with status 6",
                                        Normal("Diag.log"), Normal("CriticalDiag.log"), Normal("RevHistory.log")}))
        << out;
    EXPECT_NE(out.find("\nRecreation of log DisplayedError.log failed with status 6\n"), std::string::npos)
        << "written without the trace prefix";
    EXPECT_EQ(ReadBytes(kDir + "Diag.log"), diagBefore);
}

// Without its copy aside a corrupt log is the only record of what it held: it
// is kept as it is and not recreated, and nothing records a recreation.
TEST_F(InstrumentLogTest, CorruptLogWhoseCopyFailsIsKept)
{
    SeedAll();
    Corrupt(kLogs[Log_DisplayedError], 3);
    WriteTextFile("/tmp/CorruptDiagnosticLogs", "a plain file where the copies go\n");
    const Bytes corrupt = ReadBytes(kDir + "DisplayedError.log");
    const Bytes diagBefore = ReadBytes(kDir + "Diag.log");
    const Bytes criticalBefore = ReadBytes(kDir + "CriticalDiag.log");
    const std::string out = CaptureStdout([] { ValidateDiagnosticLogs(); });
    EXPECT_EQ(Messages(out),
              (std::vector<std::string>{"Copy of corrupt log DisplayedError.log failed (status 256), log kept",
                                        Normal("Diag.log"), Normal("CriticalDiag.log"), Normal("RevHistory.log")}))
        << out;
    EXPECT_EQ(ReadBytes(kDir + "DisplayedError.log"), corrupt);
    EXPECT_EQ(ReadBytes(kDir + "Diag.log"), diagBefore);
    EXPECT_EQ(ReadBytes(kDir + "CriticalDiag.log"), criticalBefore);
}

TEST_F(InstrumentLogTest, FailedDiagnosticLogIsNotWrittenTo)
{
    SeedAll();
    Corrupt(kLogs[Log_Diag], 0);
    if (!MakeUndeletable(kDir + "Diag.log"))
        GTEST_SKIP() << "cannot bind a file over the log";
    Corrupt(kLogs[Log_RevHistory], 0);
    const Bytes diagBefore = ReadBytes(kDir + "Diag.log");
    const std::string out = CaptureStdout([] { ValidateDiagnosticLogs(); });
    const std::vector<std::string> m = Messages(out);
    ASSERT_GE(m.size(), 5u) << out;
    EXPECT_EQ(std::vector<std::string>(m.end() - 5, m.end()),
              (std::vector<std::string>{Normal("CriticalDiag.log"), Normal("DisplayedError.log"),
                                        "Diagnostic log file RevHistory.log is recreated with recreateStatus 1",
                                        "Could not write SelfTestChecksumErr(19042) to Diag.log logRecreateStatus 2",
                                        "SelfTestChecksumErr(19042) logged in CriticalDiag.log"}))
        << out;
    EXPECT_EQ(ReadBytes(kDir + "Diag.log"), diagBefore);
    EXPECT_EQ(Entries(kLogs[Log_CriticalDiag]).size(), 4u);
}

// Only the first read of the library fails: that of validating "Diag.log".
int readsSeen = 0;
ssize_t FirstReadFails(int fd, void* buf, size_t count)
{
    if (readsSeen++ == 0)
        return -1;
    return ::read(fd, buf, count);
}

// "Diag.log" could not be read, so its free position and next number are
// unknown: writing through its descriptor would overwrite its oldest entry.
TEST_F(InstrumentLogTest, UnreadableDiagnosticLogIsNotWrittenTo)
{
    SeedAll();
    Corrupt(kLogs[Log_RevHistory], 7);
    const Bytes diagBefore = ReadBytes(kDir + "Diag.log");
    const LogFileIo_t io = {FirstReadFails, ::write, ::lseek};
    readsSeen = 0;
    logSetFileIo(&io);
    const std::string out = CaptureStdout([] { ValidateDiagnosticLogs(); });
    logSetFileIo(nullptr);
    const std::vector<std::string> m = Messages(out);
    ASSERT_GE(m.size(), 3u) << out;
    // Not opened, so not checked: it is not called normal.
    EXPECT_EQ(m[1], "Diagnostic log file Diag.log could not be checked (status 2)") << out;
    EXPECT_EQ(std::count(m.begin(), m.end(), Normal("Diag.log")), 0) << out;
    EXPECT_EQ(std::vector<std::string>(m.end() - 3, m.end()),
              (std::vector<std::string>{"Diagnostic log file RevHistory.log is recreated with recreateStatus 1",
                                        "Could not write SelfTestChecksumErr(19042) to Diag.log logRecreateStatus 0",
                                        "SelfTestChecksumErr(19042) logged in CriticalDiag.log"}))
        << out;
    EXPECT_EQ(ReadBytes(kDir + "Diag.log"), diagBefore);
}

}  // namespace
