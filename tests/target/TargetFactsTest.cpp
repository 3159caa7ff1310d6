// The data model on the machine the tests run on: integer widths, byte order,
// plain char's signedness (signed on x86, unsigned on ARM) and time_t, and
// the record log and link records as bytes. In the ARM build these run on the
// 32-bit target, where long and pointers are 4 bytes wide.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <type_traits>
#include <unistd.h>
#include <vector>

#include "LogUtility.h"
#include "RootTest.h"
#include "SSConnectionMsg.h"
#include "crc.h"

namespace {

// -------------------------------------------------------------- data model

#if defined(__arm__)
static_assert(sizeof(long) == 4, "32-bit ARM: long is 4 bytes");
static_assert(sizeof(void*) == 4, "32-bit ARM: pointers are 4 bytes");
static_assert(sizeof(size_t) == 4, "32-bit ARM: size_t is 4 bytes");
static_assert(!std::is_signed<char>::value, "ARM EABI: plain char is unsigned");
#endif
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are stored in native, little-endian order");
static_assert(sizeof(int) == 4 && sizeof(unsigned) == 4, "int is 32 bits");
// Record time stamps are unsigned 32-bit seconds; a time_t must hold all of
// them (up to 2106) for a reader to decode them.
static_assert(sizeof(time_t) >= 8, "time_t holds every unsigned 32-bit time stamp");

// The record log's types, as every operation lays them out.
static_assert(sizeof(LogDescriptor_t) == 96, "descriptor: two 40-byte names and four 32-bit fields");
static_assert(offsetof(LogDescriptor_t, fileName) == 40, "fileName follows the 40-byte filePath");
static_assert(offsetof(LogDescriptor_t, infoLength) == 80, "infoLength after the names");
static_assert(offsetof(LogDescriptor_t, nextCount) == 92, "nextCount is the last field");
static_assert(sizeof(logInfoFileRecord_t) == 1032, "largest record: 8 bytes of head and 1024 info bytes");
static_assert(offsetof(logInfoFileRecord_t, recordno) == 4, "record number at offset 4");
static_assert(offsetof(logInfoFileRecord_t, infoString) == 8, "info at offset 8");
static_assert(sizeof(LogStatus_t) == 4, "status codes are 32-bit");

uint32_t Le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// --------------------------------------------------------------------- CRC

// Known CRC-32 values of byte sequences with bytes above 0x7F, which a plain
// char that is signed on one machine and unsigned on the other must not
// change.
struct CrcCase {
    const char* name;
    std::vector<unsigned char> bytes;
    uint32_t crc;
};

std::vector<unsigned char> Range(int first, int last) {
    std::vector<unsigned char> bytes;
    for (int b = first; b <= last; ++b) bytes.push_back(static_cast<unsigned char>(b));
    return bytes;
}

class HighByteCrcTest : public ::testing::TestWithParam<CrcCase> {};

TEST_P(HighByteCrcTest, MatchesTheStandardValue) {
    const CrcCase& c = GetParam();
    EXPECT_EQ(crc32buf(reinterpret_cast<const char*>(c.bytes.data()), c.bytes.size()), c.crc);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, HighByteCrcTest,
    ::testing::Values(CrcCase{"Byte80", {0x80}, 0x3FBA6CADu},
                      CrcCase{"ByteFF", {0xFF}, 0xFF000000u},
                      CrcCase{"FourFF", {0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu},
                      CrcCase{"AllByteValues", Range(0, 255), 0x29058C73u},
                      CrcCase{"Upper128Descending", [] { auto r = Range(128, 255); return std::vector<unsigned char>(r.rbegin(), r.rend()); }(), 0x83E0A386u},
                      // 16 bytes at a time, with a tail of 4 bytes
                      CrcCase{"HundredBytes", Range(0, 99), 0x58C932F5u},
                      CrcCase{"AllByteValuesFourTimes", [] { std::vector<unsigned char> b; for (int i = 0; i < 4; ++i) { auto r = Range(0, 255); b.insert(b.end(), r.begin(), r.end()); } return b; }(), 0xB70B4C26u}),
    [](const ::testing::TestParamInfo<CrcCase>& info) { return std::string(info.param.name); });

// The sliced calculation gives the byte-wise result for every length around
// its 64-byte threshold and its 16-byte steps, from every alignment.
TEST(Crc, SlicedEqualsByteWiseForEveryLengthAndAlignment) {
    std::vector<char> buf(300 + 8);
    uint32_t seed = 7;
    for (char& c : buf) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t len = 0; len <= 300; ++len) {
            ASSERT_EQ(crc32buf(buf.data() + offset, len), crc32buf_bytewise(buf.data() + offset, len))
                << "length " << len << ", offset " << offset;
        }
    }
}

// -------------------------------------------------------- record log file

// A log in a private directory, named relative to it ("./"), so that the
// path fits the descriptor's 39 characters wherever the directory lies.
class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTestDir();
        ASSERT_FALSE(dir_.empty());
        saved_ = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        if (saved_ >= 0) {
            EXPECT_EQ(fchdir(saved_), 0);
            close(saved_);
        }
        RemoveTree(dir_);
    }
    std::vector<unsigned char> FileBytes(const char* name) {
        std::string text = ReadTextFile(dir_ + "/" + name);
        return std::vector<unsigned char>(text.begin(), text.end());
    }

    std::string dir_;
    int saved_ = -1;
};

// Entries with info bytes on both sides of 0x80 are stored as given, their
// numbers and CRCs little-endian, and read back unchanged.
TEST_F(LogFileTest, HighInfoBytesRoundTripWithLittleEndianHead) {
    LogDescriptor_t log;
    ASSERT_EQ(createLog(50, 4, "./", "high.log", &log), Log_Succes);
    const std::vector<unsigned char> infos[] = {Range(0x70, 0x8F), Range(0xE0, 0xFF), {0x80, 0x00, 0xFF}};
    for (const auto& info : infos) {
        ASSERT_EQ(writeLog(reinterpret_cast<const char*>(info.data()), static_cast<int>(info.size()), &log),
                  Log_Succes);
    }
    const std::vector<unsigned char> file = FileBytes("high.log");
    ASSERT_EQ(file.size(), 4u * 60u);
    for (uint32_t pos = 0; pos < 3; ++pos) {
        SCOPED_TRACE("position " + std::to_string(pos));
        const unsigned char* rec = file.data() + pos * 60;
        EXPECT_EQ(Le32(rec + 4), pos + 1);
        EXPECT_EQ(Le32(rec), crc32buf(reinterpret_cast<const char*>(rec + 4), 56));
        EXPECT_EQ(std::vector<unsigned char>(rec + 8, rec + 8 + infos[pos].size()), infos[pos]);

        char back[50];
        ASSERT_EQ(readLog(back, static_cast<int>(pos), &log), Log_Succes);
        EXPECT_EQ(std::memcmp(back, infos[pos].data(), infos[pos].size()), 0);
        EXPECT_EQ(seekLog(pos + 1, &log), static_cast<int>(pos));
    }
    // The empty record's number is all ones in every byte.
    EXPECT_EQ(Le32(file.data() + 3 * 60 + 4), 0xFFFFFFFFu);
}

// A log of records near the top of the number range reopens where it left
// off: the 32-bit numbers compare and wrap the same on every machine.
TEST_F(LogFileTest, NumbersNearTheTopWrapToOneOnReopen) {
    LogDescriptor_t log;
    ASSERT_EQ(createLog(8, 3, "./", "wrap.log", &log), Log_Succes);
    log.nextCount = 0xFFFFFFFDu;
    const char info[8] = {'\x81', '\x82', 0, 0, 0, 0, 0, '\xFF'};
    ASSERT_EQ(writeLog(info, 8, &log), Log_Succes);
    ASSERT_EQ(writeLog(info, 8, &log), Log_Succes);
    LogDescriptor_t again;
    ASSERT_EQ(createLog(8, 3, "./", "wrap.log", &again), Log_Succes);
    EXPECT_EQ(again.freeRecordPos, 2u);
    EXPECT_EQ(again.nextCount, 1u);
    const std::vector<unsigned char> file = FileBytes("wrap.log");
    ASSERT_EQ(file.size(), 48u);
    EXPECT_EQ(Le32(file.data() + 4), 0xFFFFFFFDu);
    EXPECT_EQ(Le32(file.data() + 16 + 4), 0xFFFFFFFEu);
}

// ----------------------------------------------------------- link records

// The records go over the connection as raw bytes: fields at their offsets,
// little-endian, the 17-byte text followed by 3 bytes of padding.
TEST(LinkRecordBytes, ContinueUpgradeCarriesStateAtOffset24) {
    SSConnectionContinueUpgradeMessage_t msg;
    std::memset(&msg, 0xAA, sizeof msg);
    msg.operation = SS_MSGTYPE_CONTINUEUPGRADE;
    std::strncpy(msg.revertSWtoRevision, "12345678.12345678", sizeof msg.revertSWtoRevision - 1);
    msg.revertSWtoRevision[sizeof msg.revertSWtoRevision - 1] = '\0';
    msg.upgradeContinueState = SSRevert;
    unsigned char bytes[sizeof msg];
    std::memcpy(bytes, &msg, sizeof msg);
    ASSERT_EQ(sizeof bytes, 28u);
    EXPECT_EQ(Le32(bytes), 90u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 4)), "12345678.1234567");
    EXPECT_EQ(bytes[20], 0u);
    EXPECT_EQ(Le32(bytes + 24), 2u);
}

TEST(LinkRecordBytes, MessageCodeFieldsAreConsecutiveWords) {
    SSConnectionMessageTextMessage_t msg{};
    msg.operation = SS_MSGTYPE_MESSAGECODE;
    msg.messageCode = 2006;
    msg.tmeTimeInSec = 0x01020304u;
    msg.tmeIsSet = 1;
    unsigned char bytes[sizeof msg];
    std::memcpy(bytes, &msg, sizeof msg);
    ASSERT_EQ(sizeof bytes, 16u);
    EXPECT_EQ(Le32(bytes), 54u);
    EXPECT_EQ(Le32(bytes + 4), 2006u);
    EXPECT_EQ(bytes[8], 0x04u);
    EXPECT_EQ(bytes[11], 0x01u);
    EXPECT_EQ(Le32(bytes + 12), 1u);
}

}  // namespace
