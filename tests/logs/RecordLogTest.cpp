// The record log library on logs in private temporary directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "LogTestSupport.h"
#include "LogUtility.h"
#include "LogUtilityInternal.h"
#include "crc.h"

using namespace logtest;

namespace {

// ---------------------------------------------------------------- format

struct SizeCase {
    uint32_t infoLength;
    uint32_t recordSize;
};

class RecordSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RecordSizeTest, NewLogIsRecordsOfRoundedSizeHoldingEmptyRecords)
{
    const SizeCase c = GetParam();
    EXPECT_EQ(logRecordSize(c.infoLength), c.recordSize);

    TempDir dir;
    LogDescriptor_t log;
    ASSERT_EQ(createLog(static_cast<int>(c.infoLength), 3, dir.path().c_str(), "t.log", &log), Log_Succes);
    const Bytes file = ReadBytes(dir.file("t.log"));
    ASSERT_EQ(file.size(), 3u * c.recordSize);
    const Bytes empty = MakeRecord(c.infoLength, kEmpty);
    for (size_t off = 0; off < file.size(); off += c.recordSize)
        EXPECT_EQ(Bytes(file.begin() + off, file.begin() + off + c.recordSize), empty) << "offset " << off;
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordSizeTest,
                         ::testing::Values(SizeCase{0, 8}, SizeCase{1, 12}, SizeCase{3, 12}, SizeCase{4, 12},
                                           SizeCase{8, 16}, SizeCase{50, 60}, SizeCase{100, 108},
                                           SizeCase{1023, 1032}, SizeCase{1024, 1032}));

struct CrcCase {
    const char* text;
    uint32_t crc;
};

class CrcTest : public ::testing::TestWithParam<CrcCase> {};

TEST_P(CrcTest, MatchesKnownVector)
{
    const CrcCase c = GetParam();
    EXPECT_EQ(crc32buf(c.text, std::strlen(c.text)), c.crc) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(Vectors, CrcTest,
                         ::testing::Values(CrcCase{"", 0x00000000u}, CrcCase{"a", 0xE8B7BE43u},
                                           CrcCase{"abc", 0x352441C2u}, CrcCase{"123456789", 0xCBF43926u},
                                           CrcCase{"The quick brown fox jumps over the lazy dog", 0x414FA339u}));

struct StepCase {
    uint32_t in;
    uint32_t length;  // incrementPos only
    uint32_t out;
};

class IncrementCountTest : public ::testing::TestWithParam<StepCase> {};
TEST_P(IncrementCountTest, FollowsNumbering)
{
    EXPECT_EQ(incrementCount(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(Numbers, IncrementCountTest,
                         ::testing::Values(StepCase{0, 0, 1}, StepCase{1, 0, 2}, StepCase{0xFFFFFFFDu, 0, 0xFFFFFFFEu},
                                           StepCase{0xFFFFFFFEu, 0, 1}, StepCase{0xFFFFFFFFu, 0, 1}));

class IncrementPosTest : public ::testing::TestWithParam<StepCase> {};
TEST_P(IncrementPosTest, WrapsAfterLength)
{
    EXPECT_EQ(incrementPos(GetParam().in, GetParam().length), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(Positions, IncrementPosTest,
                         ::testing::Values(StepCase{0, 4, 1}, StepCase{3, 4, 4}, StepCase{4, 4, 0}, StepCase{9, 4, 0},
                                           StepCase{0, 0, 0}));

TEST(FileNameOf, JoinsWithoutSeparator)
{
    char whole[LOG_WHOLE_NAME_SIZE];
    fileNameOf("/instrumentData/", "RevHistory.log", whole);
    EXPECT_STREQ(whole, "/instrumentData/RevHistory.log");
    fileNameOf("/instrumentData", "Diag.log", whole);
    EXPECT_STREQ(whole, "/instrumentDataDiag.log");
}

// ---------------------------------------------------------------- opening

struct ScanCase {
    const char* name;
    std::vector<uint32_t> numbers;
    uint32_t freeRecordPos;
    uint32_t nextCount;
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class ScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTest, ReopeningFindsFreePositionAndNextNumber)
{
    const ScanCase& c = GetParam();
    TempDir dir;
    WriteBytes(dir.file("s.log"), MakeLog(8, c.numbers));
    LogDescriptor_t log;
    ASSERT_EQ(createLog(8, static_cast<int>(c.numbers.size()), dir.path().c_str(), "s.log", &log), Log_Succes);
    EXPECT_EQ(log.freeRecordPos, c.freeRecordPos);
    EXPECT_EQ(log.nextCount, c.nextCount);
    EXPECT_STREQ(log.fileName, "s.log");
    EXPECT_EQ(log.fileLength, c.numbers.size());
    EXPECT_EQ(log.infoLength, 8u);
}

const uint32_t E = kEmpty;
INSTANTIATE_TEST_SUITE_P(
    Worked, ScanTest,
    ::testing::Values(ScanCase{"new", {E, E, E, E, E}, 0, 1}, ScanCase{"three", {1, 2, 3, E, E}, 3, 4},
                      ScanCase{"four", {1, 2, 3, 4, E}, 4, 5},
                      // A full ring of one run continues at its oldest record.
                      ScanCase{"full", {1, 2, 3, 4, 5}, 0, 6}, ScanCase{"fullLater", {6, 7, 8, 9, 10}, 0, 11},
                      ScanCase{"wrapped", {6, 7, 3, 4, 5}, 2, 8}, ScanCase{"wrappedOnce", {6, 2, 3, 4, 5}, 1, 7},
                      ScanCase{"wrappedToEnd", {6, 7, 8, 9, 5}, 4, 10},
                      ScanCase{"holeFirst", {E, 5, 6, E, E}, 0, 7}, ScanCase{"single", {1}, 0, 2},
                      ScanCase{"singleEmpty", {E}, 0, 1},
                      ScanCase{"numberWrap", {0xFFFFFFFEu, E, E}, 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct RingCase {
    int writes;
    uint32_t freeRecordPos;
    uint32_t nextCount;
};

void PrintTo(const RingCase& c, std::ostream* os) { *os << c.writes << " writes"; }

class RingTest : public ::testing::TestWithParam<RingCase> {};

// The updater writes once per run: every write follows a fresh opening.
TEST_P(RingTest, WritesAcrossReopeningsKeepTheRingTurning)
{
    const RingCase c = GetParam();
    const int N = 5;
    TempDir dir;
    LogDescriptor_t log;
    for (int i = 0; i < c.writes; ++i) {
        ASSERT_EQ(createLog(8, N, dir.path().c_str(), "r.log", &log), Log_Succes);
        const char info[8] = {static_cast<char>(i)};
        ASSERT_EQ(writeLog(info, 8, &log), Log_Succes);
    }
    ASSERT_EQ(createLog(8, N, dir.path().c_str(), "r.log", &log), Log_Succes);
    EXPECT_EQ(log.freeRecordPos, c.freeRecordPos);
    EXPECT_EQ(log.nextCount, c.nextCount);

    // The file holds the newest min(writes, N) records, each number once.
    const std::vector<uint32_t> numbers = Numbers(ReadBytes(dir.file("r.log")), 8);
    const uint32_t total = static_cast<uint32_t>(c.writes);
    for (uint32_t n = total > N ? total - N + 1 : 1; n <= total; ++n)
        EXPECT_EQ(std::count(numbers.begin(), numbers.end(), n), 1) << "record " << n;
}

INSTANTIATE_TEST_SUITE_P(Writes, RingTest,
                         ::testing::Values(RingCase{0, 0, 1}, RingCase{1, 1, 2}, RingCase{4, 4, 5}, RingCase{5, 0, 6},
                                           RingCase{6, 1, 7}, RingCase{9, 4, 10}, RingCase{10, 0, 11},
                                           RingCase{17, 2, 18}));

struct ArgCase {
    const char* name;
    int infoLength;
    int positions;
    std::string sub;  // the log's directory, inside the test's directory and not there yet
    std::string file;
    bool nullLog;
    LogStatus_t status;
};

void PrintTo(const ArgCase& c, std::ostream* os) { *os << c.name; }

class CreateArgsTest : public ::testing::TestWithParam<ArgCase> {};

TEST_P(CreateArgsTest, RefusedBeforeAnythingIsTouched)
{
    const ArgCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.path() + c.sub;
    LogDescriptor_t log;
    std::memset(&log, 0x5A, sizeof log);
    const LogDescriptor_t before = log;
    EXPECT_EQ(createLog(c.infoLength, c.positions, path.c_str(), c.file.c_str(), c.nullLog ? nullptr : &log),
              c.status);
    EXPECT_EQ(std::memcmp(&log, &before, sizeof log), 0);
    struct stat st;
    EXPECT_NE(::stat((path + c.file).c_str(), &st), 0) << "file created";
    EXPECT_NE(::stat(path.c_str(), &st), 0) << "directory created";
}

// The test's directory is "swlogXXXXXX/" (12 characters): a directory of 28
// more makes a path of 40, one above what the descriptor holds.
const std::string kPathOfForty = "sub" + std::string(24, 'p') + "/";

INSTANTIATE_TEST_SUITE_P(
    Refusals, CreateArgsTest,
    ::testing::Values(ArgCase{"nullLog", 8, 10, "sub/", "a.log", true, Log_OperationFailed},
                      ArgCase{"infoTooLong", 1025, 10, "sub/", "a.log", false, Log_LengthError},
                      ArgCase{"infoNegative", -1, 10, "sub/", "a.log", false, Log_LengthError},
                      ArgCase{"tooManyRecords", 8, 2001, "sub/", "a.log", false, Log_LengthError},
                      ArgCase{"noRecords", 8, 0, "sub/", "a.log", false, Log_LengthError},
                      ArgCase{"nameTooLong", 8, 10, "sub/", std::string(40, 'n'), false, Log_OperationFailed},
                      ArgCase{"pathTooLong", 8, 10, kPathOfForty, "a.log", false, Log_OperationFailed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CreateLog, NamesOfThirtyNineCharactersAreAccepted)
{
    TempDir dir;
    const std::string name(39, 'n');
    LogDescriptor_t log;
    ASSERT_EQ(createLog(8, 2, dir.path().c_str(), name.c_str(), &log), Log_Succes);
    EXPECT_EQ(std::string(log.fileName), name);
}

TEST(CreateLog, CreatesMissingDirectorySearchable)
{
    TempDir dir;
    const std::string sub = dir.path() + "sub/";
    const mode_t old = ::umask(022);
    LogDescriptor_t log;
    const LogStatus_t status = createLog(8, 4, sub.c_str(), "a.log", &log);
    ::umask(old);
    ASSERT_EQ(status, Log_Succes);
    struct stat st;
    ASSERT_EQ(::stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat((sub + "a.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(CreateLog, PathOfThirtyNineCharactersIsAccepted)
{
    TempDir dir;
    const std::string path = dir.path() + kPathOfForty.substr(1);
    ASSERT_EQ(path.size(), 39u);
    LogDescriptor_t log;
    EXPECT_EQ(createLog(8, 2, path.c_str(), "a.log", &log), Log_Succes);
    EXPECT_EQ(std::string(log.filePath), path);
}

// Only an absent log is created: a dangling symbolic link in its place is
// neither followed nor replaced.
TEST(CreateLog, DanglingSymbolicLinkIsNotFollowed)
{
    TempDir dir;
    ASSERT_EQ(::symlink("elsewhere.log", dir.file("link.log").c_str()), 0);
    LogDescriptor_t log;
    EXPECT_EQ(createLog(8, 4, dir.path().c_str(), "link.log", &log), Log_OperationFailed);
    struct stat st;
    EXPECT_NE(::stat(dir.file("elsewhere.log").c_str(), &st), 0) << "the link's target was created";
    ASSERT_EQ(::lstat(dir.file("link.log").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(CreateLog, CreationThatCannotOpenFails)
{
    TempDir dir;
    // The directory's parent is missing, so neither it nor the file can be made.
    LogDescriptor_t log;
    EXPECT_EQ(createLog(8, 4, (dir.path() + "a/b/").c_str(), "a.log", &log), Log_OperationFailed);
}

TEST(CreateLog, ExistingUnopenableLogIsNotFound)
{
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("d.log").c_str(), 0777), 0);
    LogDescriptor_t log;
    EXPECT_EQ(createLog(8, 4, dir.path().c_str(), "d.log", &log), Log_FileNotFound);
}

TEST(CreateLog, ShortFileIsALengthErrorWithItsLine)
{
    TempDir dir;
    Bytes file = MakeLog(50, {1, 2, E, E, E, E, E, E, E, E});
    file.pop_back();
    WriteBytes(dir.file("s.log"), file);
    LogDescriptor_t log;
    log.freeRecordPos = log.nextCount = 77;
    LogStatus_t status = Log_Init;
    const std::string out = CaptureStdout([&] { status = createLog(50, 10, dir.path().c_str(), "s.log", &log); });
    EXPECT_EQ(status, Log_LengthError);
    EXPECT_EQ(out, "File corrupt (in read) too short, 599 != 600 \n");
    EXPECT_EQ(log.freeRecordPos, 0u);
    EXPECT_EQ(log.nextCount, 0u);
}

TEST(CreateLog, LongerFileOpensAndKeepsItsExtraBytesThroughWrites)
{
    TempDir dir;
    Bytes file = MakeLog(8, {1, 2, E});
    const Bytes tail = {'t', 'a', 'i', 'l', 0, 0xFF, 7};
    file.insert(file.end(), tail.begin(), tail.end());
    WriteBytes(dir.file("l.log"), file);
    LogDescriptor_t log;
    ASSERT_EQ(createLog(8, 3, dir.path().c_str(), "l.log", &log), Log_Succes);
    EXPECT_EQ(log.freeRecordPos, 2u);
    for (int i = 0; i < 4; ++i)  // wraps past the last position
        ASSERT_EQ(writeLog("abcdefgh", 8, &log), Log_Succes);
    const Bytes after = ReadBytes(dir.file("l.log"));
    ASSERT_EQ(after.size(), file.size());
    EXPECT_EQ(Bytes(after.end() - tail.size(), after.end()), tail);
    EXPECT_EQ(Numbers(after, 8), (std::vector<uint32_t>{4, 5, 6}));
}

struct FlipCase {
    uint32_t infoLength;
    uint32_t position;  // record whose bytes are flipped one at a time
    bool emptyRecord;
};

class BitFlipTest : public ::testing::TestWithParam<FlipCase> {};

TEST_P(BitFlipTest, AnyChangedBitIsAChecksumError)
{
    const FlipCase c = GetParam();
    TempDir dir;
    std::vector<uint32_t> numbers(6, kEmpty);
    for (uint32_t i = 0; i < 4; ++i)
        numbers[i] = i + 1;
    const Bytes good = MakeLog(c.infoLength, numbers);
    ASSERT_EQ(good.size(), 6u * RecordSize(c.infoLength));
    ASSERT_EQ(numbers[c.position] == kEmpty, c.emptyRecord);
    const uint32_t size = RecordSize(c.infoLength);
    for (uint32_t byte = 0; byte < size; ++byte) {
        Bytes bad = good;
        bad[c.position * size + byte] ^= static_cast<unsigned char>(1u << (byte % 8));
        WriteBytes(dir.file("f.log"), bad);
        LogDescriptor_t log;
        EXPECT_EQ(createLog(static_cast<int>(c.infoLength), 6, dir.path().c_str(), "f.log", &log),
                  Log_ChecksumHasError)
            << "byte " << byte;
        EXPECT_EQ(ReadBytes(dir.file("f.log")), bad) << "the library changed a corrupt log";
    }
}

INSTANTIATE_TEST_SUITE_P(Records, BitFlipTest,
                         ::testing::Values(FlipCase{50, 0, false}, FlipCase{50, 3, false}, FlipCase{50, 5, true},
                                           FlipCase{8, 4, true}, FlipCase{101, 2, false}, FlipCase{0, 5, true}));

TEST(CreateLog, PaddingIsAcceptedAsStored)
{
    TempDir dir;
    Bytes file;
    for (unsigned char pad : {0x00, 0xEE}) {
        const Bytes rec = MakeRecord(50, pad ? 2 : 1, Bytes(50, 1), pad);
        file.insert(file.end(), rec.begin(), rec.end());
    }
    const Bytes empty = MakeRecord(50, kEmpty, Bytes(50, 9));  // empty by its number alone
    file.insert(file.end(), empty.begin(), empty.end());
    WriteBytes(dir.file("p.log"), file);
    LogDescriptor_t log;
    ASSERT_EQ(createLog(50, 3, dir.path().c_str(), "p.log", &log), Log_Succes);
    EXPECT_EQ(log.freeRecordPos, 2u);
    EXPECT_EQ(log.nextCount, 3u);
}

// ---------------------------------------------------------------- writing

class WriteTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(createLog(50, 4, dir.path().c_str(), "w.log", &log), Log_Succes); }
    Bytes File() { return ReadBytes(dir.file("w.log")); }
    Bytes RecordAt(uint32_t pos)
    {
        const Bytes f = File();
        return Bytes(f.begin() + pos * 60, f.begin() + pos * 60 + 60);
    }
    TempDir dir;
    LogDescriptor_t log;
};

TEST_F(WriteTest, RecordHoldsInfoZeroFilledUnderNextNumber)
{
    const Bytes info = {1, 2, 3};
    ASSERT_EQ(writeLog(reinterpret_cast<const char*>(info.data()), 3, &log), Log_Succes);
    EXPECT_EQ(RecordAt(0), MakeRecord(50, 1, info));
    ASSERT_EQ(writeLog(nullptr, 0, &log), Log_Succes);
    EXPECT_EQ(RecordAt(1), MakeRecord(50, 2));
    const Bytes full(50, 0xAB);
    ASSERT_EQ(writeLog(reinterpret_cast<const char*>(full.data()), 50, &log), Log_Succes);
    EXPECT_EQ(RecordAt(2), MakeRecord(50, 3, full));
    EXPECT_EQ(log.freeRecordPos, 3u);
    EXPECT_EQ(log.nextCount, 4u);
    ASSERT_EQ(writeLog("x", 1, &log), Log_Succes);
    EXPECT_EQ(log.freeRecordPos, 0u);  // wrapped
}

struct WriteArgCase {
    const char* name;
    int length;
    bool nullInfo;
    uint32_t infoLength;  // descriptor value
    uint32_t fileLength;
    LogStatus_t status;
};

void PrintTo(const WriteArgCase& c, std::ostream* os) { *os << c.name; }

class WriteArgsTest : public WriteTest, public ::testing::WithParamInterface<WriteArgCase> {};

TEST_P(WriteArgsTest, RefusedWithoutChangingFileOrDescriptor)
{
    const WriteArgCase& c = GetParam();
    log.infoLength = c.infoLength;
    log.fileLength = c.fileLength;
    const LogDescriptor_t before = log;
    const Bytes file = File();
    const char info[64] = {};
    EXPECT_EQ(writeLog(c.nullInfo ? nullptr : info, c.length, &log), c.status);
    EXPECT_EQ(std::memcmp(&log, &before, sizeof log), 0);
    EXPECT_EQ(File(), file);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, WriteArgsTest,
    ::testing::Values(WriteArgCase{"tooLong", 51, false, 50, 4, Log_LengthError},
                      WriteArgCase{"negative", -1, false, 50, 4, Log_LengthError},
                      WriteArgCase{"nullInfo", 5, true, 50, 4, Log_OperationFailed},
                      WriteArgCase{"infoLimit", 5, false, 1025, 4, Log_LengthError},
                      WriteArgCase{"fileLimit", 5, false, 50, 2001, Log_LengthError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriteTest, NullDescriptorAndMissingFile)
{
    EXPECT_EQ(writeLog("a", 1, nullptr), Log_OperationFailed);
    ASSERT_EQ(::unlink(dir.file("w.log").c_str()), 0);
    EXPECT_EQ(writeLog("a", 1, &log), Log_FileNotFound);
    EXPECT_EQ(log.nextCount, 1u);
}

// A medium that swallows what is written: the read-back differs.
TEST_F(WriteTest, ReadBackFromChangingFileFailsAndNextWriteReusesPosition)
{
    const std::string real = dir.file("w.log");
    const std::string aside = dir.file("aside");
    ASSERT_EQ(::rename(real.c_str(), aside.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", real.c_str()), 0);
    EXPECT_EQ(writeLog("b", 1, &log), Log_OperationFailed);
    EXPECT_EQ(log.freeRecordPos, 0u);
    EXPECT_EQ(log.nextCount, 2u);
    ASSERT_EQ(::unlink(real.c_str()), 0);
    ASSERT_EQ(::rename(aside.c_str(), real.c_str()), 0);
    ASSERT_EQ(writeLog("c", 1, &log), Log_Succes);
    EXPECT_EQ(RecordAt(0), MakeRecord(50, 2, {'c'}));
    EXPECT_EQ(log.freeRecordPos, 1u);
}

// ---------------------------------------------------------------- injected faults

struct Faults {
    int failReadAt = -1;      // the n-th read (counted from 0) fails with -1
    int shortReadAt = -1;     // ... delivers one byte less
    int shortWriteAt = -1;    // the n-th write writes one byte less
    int failSeekAt = -1;      // the n-th seek fails
    int corruptReadAt = -1;   // the n-th read delivers a flipped bit
    int reads = 0, writes = 0, seeks = 0;
};
Faults faults;

ssize_t FaultyRead(int fd, void* buf, size_t count)
{
    const int n = faults.reads++;
    if (n == faults.failReadAt) {
        errno = EIO;
        return -1;
    }
    ssize_t got = ::read(fd, buf, n == faults.shortReadAt && count ? count - 1 : count);
    if (n == faults.corruptReadAt && got > 0)
        static_cast<unsigned char*>(buf)[got - 1] ^= 0x10;
    return got;
}

ssize_t FaultyWrite(int fd, const void* buf, size_t count)
{
    return ::write(fd, buf, faults.writes++ == faults.shortWriteAt && count ? count - 1 : count);
}

off_t FaultySeek(int fd, off_t offset, int whence)
{
    if (faults.seeks++ == faults.failSeekAt) {
        errno = EIO;
        return -1;
    }
    return ::lseek(fd, offset, whence);
}

const LogFileIo_t faultyIo = {FaultyRead, FaultyWrite, FaultySeek};

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(createLog(8, 4, dir.path().c_str(), "f.log", &log), Log_Succes);
        faults = Faults();
        logSetFileIo(&faultyIo);
    }
    void TearDown() override { logSetFileIo(nullptr); }
    TempDir dir;
    LogDescriptor_t log;
};

struct WriteFaultCase {
    const char* name;
    Faults faults;
    LogStatus_t status;
};

void PrintTo(const WriteFaultCase& c, std::ostream* os) { *os << c.name; }

class WriteFaultTest : public FaultTest, public ::testing::WithParamInterface<WriteFaultCase> {};

TEST_P(WriteFaultTest, FailedWriteUsesNumberButNotPosition)
{
    faults = GetParam().faults;
    EXPECT_EQ(writeLog("abc", 3, &log), GetParam().status);
    EXPECT_EQ(log.freeRecordPos, 0u);
    EXPECT_EQ(log.nextCount, 2u);
    faults = Faults();
    ASSERT_EQ(writeLog("def", 3, &log), Log_Succes);
    const Bytes file = ReadBytes(dir.file("f.log"));
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), MakeRecord(8, 2, {'d', 'e', 'f'}));
    EXPECT_EQ(log.freeRecordPos, 1u);
}

Faults F(int Faults::*field, int at)
{
    Faults f;
    f.*field = at;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Injected, WriteFaultTest,
    ::testing::Values(WriteFaultCase{"seek", F(&Faults::failSeekAt, 0), Log_OperationFailed},
                      WriteFaultCase{"shortWrite", F(&Faults::shortWriteAt, 0), Log_LengthError},
                      WriteFaultCase{"checkSeek", F(&Faults::failSeekAt, 1), Log_OperationFailed},
                      WriteFaultCase{"checkRead", F(&Faults::failReadAt, 0), Log_OperationFailed},
                      WriteFaultCase{"checkShortRead", F(&Faults::shortReadAt, 0), Log_OperationFailed},
                      WriteFaultCase{"checkDiffers", F(&Faults::corruptReadAt, 0), Log_OperationFailed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultTest, FailedValidationReadIsOperationFailedWithZeroedState)
{
    faults.failReadAt = 0;
    log.freeRecordPos = log.nextCount = 9;
    EXPECT_EQ(createLog(8, 4, dir.path().c_str(), "f.log", &log), Log_OperationFailed);
    EXPECT_EQ(log.freeRecordPos, 0u);
    EXPECT_EQ(log.nextCount, 0u);
}

TEST_F(FaultTest, ShortWriteDuringCreationIsALengthError)
{
    faults.shortWriteAt = 2;
    LogDescriptor_t fresh;
    EXPECT_EQ(createLog(8, 4, dir.path().c_str(), "new.log", &fresh), Log_LengthError);
    EXPECT_LT(ReadBytes(dir.file("new.log")).size(), 64u);
}

// ---------------------------------------------------------------- seeking and reading

struct SeekCase {
    const char* name;
    std::vector<uint32_t> numbers;
    uint32_t seek;
    int result;
};

void PrintTo(const SeekCase& c, std::ostream* os) { *os << c.name; }

class SeekTest : public ::testing::TestWithParam<SeekCase> {};

TEST_P(SeekTest, FindsFirstRecordBeforeAnyEmptyOne)
{
    const SeekCase& c = GetParam();
    TempDir dir;
    WriteBytes(dir.file("k.log"), MakeLog(8, c.numbers));
    LogDescriptor_t log = {};
    std::strcpy(log.filePath, dir.path().c_str());
    std::strcpy(log.fileName, "k.log");
    log.infoLength = 8;
    log.fileLength = static_cast<uint32_t>(c.numbers.size());
    EXPECT_EQ(seekLog(c.seek, &log), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Searches, SeekTest,
    ::testing::Values(SeekCase{"first", {1, 2, 3, E}, 1, 0}, SeekCase{"third", {1, 2, 3, E}, 3, 2},
                      SeekCase{"absent", {1, 2, 3, E}, 9, LOG_RECORD_NOT_FOUND},
                      SeekCase{"beyondEmpty", {1, E, 3, E}, 3, LOG_RECORD_NOT_FOUND},
                      SeekCase{"firstEmpty", {6, 7, E, E}, kEmpty, 2},
                      SeekCase{"lastOfFull", {6, 7, 8, 9}, 9, 3},
                      SeekCase{"absentInFull", {6, 7, 8, 9}, 5, LOG_RECORD_NOT_FOUND},
                      SeekCase{"duplicate", {4, 4, E, E}, 4, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SeekLog, ChecksOnlyTheFoundRecord)
{
    TempDir dir;
    Bytes file = MakeLog(8, {1, 2, 3, E});
    file[16 + 10] ^= 1;  // record 2 is corrupt
    WriteBytes(dir.file("k.log"), file);
    LogDescriptor_t log = {};
    std::strcpy(log.filePath, dir.path().c_str());
    std::strcpy(log.fileName, "k.log");
    log.infoLength = 8;
    log.fileLength = 4;
    EXPECT_EQ(seekLog(3, &log), 2);
    EXPECT_EQ(seekLog(2, &log), -Log_ChecksumHasError);
    WriteBytes(dir.file("k.log"), Bytes(file.begin(), file.begin() + 40));
    EXPECT_EQ(seekLog(9, &log), -Log_LengthError);
    log.infoLength = 1025;
    EXPECT_EQ(seekLog(1, &log), -Log_LengthError);
    EXPECT_EQ(seekLog(1, nullptr), -Log_OperationFailed);
    log.infoLength = 8;
    std::strcpy(log.fileName, "none.log");
    EXPECT_EQ(seekLog(1, &log), -Log_FileNotFound);
}

TEST(ReadLog, ReadsInfoOfAPositionAndRefusesOutside)
{
    TempDir dir;
    LogDescriptor_t log;
    ASSERT_EQ(createLog(50, 3, dir.path().c_str(), "r.log", &log), Log_Succes);
    ASSERT_EQ(writeLog("hello", 5, &log), Log_Succes);
    char info[50];
    std::memset(info, 'x', sizeof info);
    ASSERT_EQ(readLog(info, 0, &log), Log_Succes);
    EXPECT_EQ(std::string(info, 50), std::string("hello") + std::string(45, '\0'));
    std::memset(info, 'x', sizeof info);
    ASSERT_EQ(readLog(info, 2, &log), Log_Succes);
    EXPECT_EQ(std::string(info, 50), std::string(50, '\0'));
    EXPECT_EQ(readLog(info, 3, &log), Log_LengthError);
    EXPECT_EQ(readLog(info, -1, &log), Log_OperationFailed);
    EXPECT_EQ(readLog(nullptr, 0, &log), Log_OperationFailed);
    EXPECT_EQ(readLog(info, 0, nullptr), Log_OperationFailed);
    log.fileLength = 2001;
    EXPECT_EQ(readLog(info, 0, &log), Log_LengthError);
    log.fileLength = 3;
    std::strcpy(log.fileName, "none.log");
    EXPECT_EQ(readLog(info, 0, &log), Log_FileNotFound);
}

}  // namespace
