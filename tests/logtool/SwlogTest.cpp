// The log inspection tool on logs written by the record log library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "LogInspect.h"
#include "LogTestSupport.h"
#include "LogUtility.h"
#include "SwUpdateLogInternal.h"

using namespace logtest;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string Slurp(FILE* f)
{
    std::fseek(f, 0, SEEK_SET);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

ToolRun Swlog(std::vector<std::string> args)
{
    args.insert(args.begin(), "swlog");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const int status = SwlogMain(static_cast<int>(args.size()), argv.data(), out, err);
    return {status, Slurp(out), Slurp(err)};
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

const std::string kTime = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z";

void ExpectMatches(const std::vector<std::string>& lines, const std::vector<std::string>& patterns)
{
    ASSERT_EQ(lines.size(), patterns.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << lines[i] << "\n  vs " << patterns[i];
}

TEST(Swlog, PrintsRevisionHistoryWrittenByTheLibrary)
{
    TempDir dir;
    LogDescriptor_t log;
    ASSERT_EQ(createLogImpl(REV_LOG_ENTRYSIZE, REV_LOG_LOGSIZE, dir.path().c_str(), "RevHistory.log", &log),
              Log_Succes);
    ASSERT_EQ(writeRevisionLog(12, 34, &log), 0);
    ASSERT_EQ(writeRevisionLog(3, 7, &log), 0);
    ASSERT_EQ(writeRevisionLog(-1, 5, &log), 0);
    const ToolRun r = Swlog({dir.file("RevHistory.log")});
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectMatches(Lines(r.out), {"# .*RevHistory.log: intact: 100 records of 100 info bytes, 3 entries, next "
                                 "position 3, next number 4",
                                 "#1 @0 " + kTime + " version 12\\.34", "#2 @1 " + kTime + " version 3\\.7",
                                 "#3 @2 " + kTime + " version text \"-105\""});
}

TEST(Swlog, PrintsDiagnosticLogWithErrorNamesAndParameters)
{
    TempDir dir;
    LogDescriptor_t log;
    ASSERT_EQ(createLogImpl(DIAG_LOG_ENTRYSIZE, DIAG_LOG_LOGSIZE, dir.path().c_str(), "Diag.log", &log), Log_Succes);
    unsigned char params[DIAG_LOG_ENTRYSIZE] = {2, 0, 0, 0, 1};
    ASSERT_EQ(writeDiagnosticLog(19042, params, &log), 0);
    ASSERT_EQ(writeDiagnosticLog(77, nullptr, &log), 0);
    const ToolRun r = Swlog({"print", dir.file("Diag.log")});
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectMatches(Lines(r.out), {"# .*Diag.log: intact: 1000 records of 50 info bytes, 2 entries, next "
                                 "position 2, next number 3",
                                 "#1 @0 " + kTime + " error 19042 SelfTestLogCRCErr recreated log "
                                     "DisplayedError\\.log \\(index 2\\), status 1 LogRecr_Needed",
                                 "#2 @1 " + kTime + " error 77 params " + std::string(84, '0')});
}

// Diagnostic entries as the tool shows them: the recreation entry (error
// 19042) names the recreated log and the outcome; other errors, and the
// critical log's entries, keep their parameters as they are.
struct EntryCase {
    const char* name;
    EntryKind kind;
    int32_t error;
    std::vector<unsigned char> params;  // from info byte 8 on, zero-filled to 42 bytes
    const char* shown;                  // after "#1 @0 1970-01-01T00:00:00Z "
};

void PrintTo(const EntryCase& c, std::ostream* os) { *os << c.name; }

class EntryTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(EntryTest, IsDecodedByItsLayout)
{
    const EntryCase& c = GetParam();
    LogRecordView entry{0, 1, true, std::vector<unsigned char>(DIAG_LOG_ENTRYSIZE, 0)};
    std::memcpy(&entry.info[4], &c.error, 4);
    std::copy(c.params.begin(), c.params.end(), entry.info.begin() + 8);
    EXPECT_EQ(DescribeEntry(entry, c.kind), std::string("#1 @0 1970-01-01T00:00:00Z ") + c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Diagnostic, EntryTest,
    ::testing::Values(
        EntryCase{"recreatedDiag", EntryKind::Diagnostic, 19042, {0, 0, 0, 0, 1},
                  "error 19042 SelfTestLogCRCErr recreated log Diag.log (index 0), status 1 LogRecr_Needed"},
        EntryCase{"recreatedCritical", EntryKind::Diagnostic, 19042, {1, 0, 0, 0, 1},
                  "error 19042 SelfTestLogCRCErr recreated log CriticalDiag.log (index 1), status 1 LogRecr_Needed"},
        EntryCase{"recreatedRevHistory", EntryKind::Diagnostic, 19042, {3, 0, 0, 0, 1},
                  "error 19042 SelfTestLogCRCErr recreated log RevHistory.log (index 3), status 1 LogRecr_Needed"},
        EntryCase{"failedStatus", EntryKind::Diagnostic, 19042, {2, 0, 0, 0, 2},
                  "error 19042 SelfTestLogCRCErr recreated log DisplayedError.log (index 2), status 2 "
                  "LogRecr_Failed"},
        EntryCase{"unknownIndexAndStatus", EntryKind::Diagnostic, 19042, {4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
                  "error 19042 SelfTestLogCRCErr recreated log unknown (index 4), status -1 unknown"},
        EntryCase{"furtherParamsShown", EntryKind::Diagnostic, 19042, {2, 0, 0, 0, 1, 0, 0, 0, 0xAB},
                  "error 19042 SelfTestLogCRCErr recreated log DisplayedError.log (index 2), status 1 "
                  "LogRecr_Needed, further params ab0000000000000000000000000000000000000000000000000000000000000000"
                  "00"},
        EntryCase{"otherErrorKeepsHex", EntryKind::Diagnostic, 77, {2, 0, 0, 0, 1},
                  "error 77 params 0200000001000000000000000000000000000000000000000000000000000000000000000000"
                  "00000000"},
        EntryCase{"criticalRecreationHasNoParams", EntryKind::CriticalDiagnostic, 19042, {},
                  "error 19042 SelfTestLogCRCErr"},
        EntryCase{"criticalWithStrayBytesShowsThem", EntryKind::CriticalDiagnostic, 19042, {0, 0, 0, 0, 0, 7},
                  "error 19042 SelfTestLogCRCErr params 000000000007"
                  "000000000000000000000000000000000000000000000000000000000000000000000000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Swlog, DecodesTimeAsUtc)
{
    EXPECT_EQ(IsoTime(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoTime(1700000000u), "2023-11-14T22:13:20Z");
    EXPECT_EQ(IsoTime(0xFFFFFFFFu), "2106-02-07T06:28:15Z");
}

struct OrderCase {
    const char* name;
    std::vector<uint32_t> numbers;
    std::vector<uint32_t> oldestFirst;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class OrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(OrderTest, EntriesComeOldestFirst)
{
    const OrderCase& c = GetParam();
    const Bytes file = MakeLog(8, c.numbers);
    std::vector<uint32_t> got;
    for (const LogRecordView& e : EntriesOldestFirst(file, 8, static_cast<uint32_t>(c.numbers.size())))
        got.push_back(e.number);
    EXPECT_EQ(got, c.oldestFirst);
}

const uint32_t E = kEmpty;
INSTANTIATE_TEST_SUITE_P(
    Rings, OrderTest,
    ::testing::Values(OrderCase{"empty", {E, E, E}, {}}, OrderCase{"partial", {1, 2, 3, E, E}, {1, 2, 3}},
                      OrderCase{"wrapped", {6, 7, 3, 4, 5}, {3, 4, 5, 6, 7}},
                      OrderCase{"gapAfterFailedWrite", {1, 2, 4, 5, E}, {1, 2, 4, 5}},
                      OrderCase{"numbersWrap", {1, 2, 0xFFFFFFFDu, 0xFFFFFFFEu}, {0xFFFFFFFDu, 0xFFFFFFFEu, 1, 2}},
                      OrderCase{"holeFirst", {E, 5, 6, E, E}, {5, 6}}),
    [](const auto& info) { return std::string(info.param.name); });

struct VerifyCase {
    const char* name;
    int entries;  // written before the damage
    int damage;   // 0 none, 1 flip a bit in record 3, 2 cut the last byte, 3 add 5 bytes,
                  // 4 cut the last record, 5 add one byte
    int status;
    const char* message;
    const char* printTail;  // what printing adds to the verdict in its first line
    size_t printed;         // entries printed after it
};

void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

class VerifyTest : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyTest, TellsIntactFromCorruptWithoutChangingTheFile)
{
    const VerifyCase& c = GetParam();
    TempDir dir;
    LogDescriptor_t log;
    ASSERT_EQ(createLog(50, 1000, dir.path().c_str(), "CorruptedCriticalDiag.log", &log), Log_Succes);
    for (int i = 0; i < c.entries; ++i)
        ASSERT_EQ(writeLog("entry", 5, &log), Log_Succes);
    const std::string path = dir.file("CorruptedCriticalDiag.log");
    Bytes file = ReadBytes(path);
    if (c.damage == 1)
        file[3 * 60 + 20] ^= 0x80;
    if (c.damage == 2)
        file.pop_back();
    if (c.damage == 3)
        file.insert(file.end(), 5, 0xEE);
    if (c.damage == 4)
        file.resize(file.size() - 60);
    if (c.damage == 5)
        file.push_back(0);
    WriteBytes(path, file);

    const ToolRun r = Swlog({"verify", path});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, path + ": " + c.message + "\n");
    // Printing states the same verdict first, then the entries, unless the
    // file's size fits no record layout.
    const ToolRun p = Swlog({path});
    EXPECT_EQ(p.status, c.status);
    const std::vector<std::string> lines = Lines(p.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "# " + path + ": " + c.message + c.printTail);
    EXPECT_EQ(lines.size() - 1, c.printed) << p.out;
    EXPECT_EQ(ReadBytes(path), file);
}

INSTANTIATE_TEST_SUITE_P(
    Files, VerifyTest,
    ::testing::Values(
        VerifyCase{"intact", 5, 0, 0,
                   "intact: 1000 records of 50 info bytes, 5 entries, next position 5, next number 6", "", 5},
        VerifyCase{"oneEntry", 1, 0, 0,
                   "intact: 1000 records of 50 info bytes, 1 entry, next position 1, next number 2", "", 1},
        VerifyCase{"bitFlip", 5, 1, 1, "corrupt at position 3: Log_ChecksumHasError",
                   "; 1000 records of 50 info bytes, 5 entries", 5},
        VerifyCase{"short", 5, 2, 1, "corrupt at position 999: Log_LengthError (file has 59999 of 60000 bytes)",
                   "; 1000 records of 50 info bytes, nothing decoded: 59999 bytes are no whole number of "
                   "60-byte records", 0},
        VerifyCase{"shortByAWholeRecord", 5, 4, 1,
                   "corrupt at position 999: Log_LengthError (file has 59940 of 60000 bytes)",
                   "; 1000 records of 50 info bytes, 5 entries", 5},
        VerifyCase{"longer", 5, 3, 0,
                   "intact: 1000 records of 50 info bytes, 5 entries, next position 5, next number 6; the file "
                   "is longer than its log: 5 bytes after it ignored", "", 5},
        VerifyCase{"longerByOneByte", 5, 5, 0,
                   "intact: 1000 records of 50 info bytes, 5 entries, next position 5, next number 6; the file "
                   "is longer than its log: 1 byte after it ignored", "", 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Swlog, CorruptLogIsStillPrintedWithItsBadRecordMarked)
{
    TempDir dir;
    Bytes file = MakeLog(8, {1, 2, 3, E});
    file[16 + 12] ^= 1;
    WriteBytes(dir.file("x.log"), file);
    const ToolRun r = Swlog({"-i", "8", "-n", "4", dir.file("x.log")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("corrupt at position 1: Log_ChecksumHasError"), std::string::npos) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "#1 @0 info 0101010101010101");
    EXPECT_EQ(lines[2], "#2 @1 info 0202020203020202 [CRC mismatch]");
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;  // "FILE" is replaced by a log of 4 records of 8 bytes named x.log
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, RefusedWithStatusTwoAndNothingCreated)
{
    TempDir dir;
    WriteBytes(dir.file("x.log"), MakeLog(8, {1, E, E, E}));
    std::vector<std::string> args = GetParam().args;
    for (std::string& a : args) {
        if (a == "FILE")
            a = dir.file("x.log");
        if (a == "MISSING")
            a = dir.file("Diag.log");
        if (a == "FIFO") {
            a = dir.file("fifo.log");
            ASSERT_EQ(mkfifo(a.c_str(), 0644), 0);
        }
        if (a == "DIR")
            a = dir.path() + ".";
    }
    alarm(20);  // a tool that waits for a writer of the FIFO ends the test as failed
    const ToolRun r = Swlog(args);
    alarm(0);
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadBytes(dir.file("Diag.log")).size(), 0u) << "a file was created";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageTest,
    ::testing::Values(UsageCase{"noFile", {}}, UsageCase{"unknownName", {"verify", "FILE"}},
                      UsageCase{"onlyInfoLength", {"-i", "8", "FILE"}}, UsageCase{"missingFile", {"MISSING"}},
                      UsageCase{"infoTooLong", {"-i", "1025", "-n", "4", "FILE"}},
                      UsageCase{"noRecords", {"-i", "8", "-n", "0", "FILE"}},
                      UsageCase{"notANumber", {"-i", "8x", "-n", "4", "FILE"}},
                      UsageCase{"twoFiles", {"FILE", "FILE"}},
                      UsageCase{"fifo", {"-i", "8", "-n", "4", "FIFO"}},
                      UsageCase{"directory", {"-i", "8", "-n", "4", "DIR"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Swlog, HelpGoesToStandardOutputWithStatusZero)
{
    for (const char* option : {"-h", "--help"}) {
        const ToolRun r = Swlog({option});
        EXPECT_EQ(r.status, 0) << option;
        EXPECT_EQ(r.out.rfind("usage: swlog", 0), 0u) << option << ": " << r.out;
        EXPECT_EQ(r.err, "") << option;
    }
}

TEST(Swlog, ExecutableReportsThroughItsExitStatus)
{
    if (std::getenv("SWU_QEMU_ARM") != nullptr) {
        GTEST_SKIP() << "under qemu-user the host's shell cannot start an ARM program (no binfmt_misc entry)";
    }
    TempDir dir;
    LogDescriptor_t log;
    ASSERT_EQ(createLog(8, 1000, dir.path().c_str(), "DisplayedError.log", &log), Log_Succes);
    const char entry[8] = {0, 0, 0, 0, 0x62, 0x4A};  // error 19042 at time 0
    ASSERT_EQ(writeLog(entry, 8, &log), Log_Succes);
    const std::string command = std::string(SWLOG_PATH) + " " + dir.file("DisplayedError.log");
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buf[512] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, pipe);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(std::string(buf, n).find("\n#1 @0 1970-01-01T00:00:00Z error 19042 SelfTestLogCRCErr\n"),
              std::string::npos)
        << buf;

    Bytes file = ReadBytes(dir.file("DisplayedError.log"));
    file[5] ^= 1;
    WriteBytes(dir.file("DisplayedError.log"), file);
    EXPECT_EQ(std::system((std::string(SWLOG_PATH) + " verify " + dir.file("DisplayedError.log") + " >/dev/null")
                              .c_str()),
              1 << 8);
}

}  // namespace
