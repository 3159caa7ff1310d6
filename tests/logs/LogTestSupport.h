// Helpers for the record log tests: a private temporary directory, record
// images built independently of the library, stdout capture, file bytes.
#ifndef LOG_TEST_SUPPORT_H
#define LOG_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "crc.h"

namespace logtest {

using Bytes = std::vector<unsigned char>;
constexpr uint32_t kEmpty = 0xFFFFFFFFu;

// A fresh directory, removed with its files. Log paths must stay within 39
// characters, so it is made relative to the working directory (ctest runs
// each test in its folder of the build tree): never in the host's /tmp.
class TempDir {
public:
    TempDir()
    {
        char templ[] = "swlogXXXXXX";
        if (mkdtemp(templ) == nullptr)
            ADD_FAILURE() << "mkdtemp in the working directory failed";
        dir_ = templ;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string path() const { return dir_ + "/"; }
    std::string file(const std::string& name) const { return path() + name; }

private:
    std::string dir_;
};

inline uint32_t RecordSize(uint32_t infoLength) { return (8 + infoLength + 3) / 4 * 4; }

inline void Put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline uint32_t Get32(const unsigned char* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// One record as it lies in the file: CRC, number, info (zero-filled), padding.
inline Bytes MakeRecord(uint32_t infoLength, uint32_t number, const Bytes& info = {},
                        unsigned char padding = 0)
{
    Bytes rec(RecordSize(infoLength), padding);
    Put32(&rec[4], number);
    for (uint32_t i = 0; i < infoLength; ++i)
        rec[8 + i] = i < info.size() ? info[i] : 0;
    Put32(rec.data(), crc32buf(reinterpret_cast<const char*>(&rec[4]), rec.size() - 4));
    return rec;
}

// A file of records numbered as given (kEmpty for an empty record).
inline Bytes MakeLog(uint32_t infoLength, const std::vector<uint32_t>& numbers)
{
    Bytes file;
    for (uint32_t n : numbers) {
        Bytes info;
        if (n != kEmpty)
            info.assign(infoLength, static_cast<unsigned char>(n));
        Bytes rec = MakeRecord(infoLength, n, info);
        file.insert(file.end(), rec.begin(), rec.end());
    }
    return file;
}

inline void WriteBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Record numbers found at each position of a log file.
inline std::vector<uint32_t> Numbers(const Bytes& file, uint32_t infoLength)
{
    std::vector<uint32_t> numbers;
    const uint32_t size = RecordSize(infoLength);
    for (size_t off = 0; off + size <= file.size(); off += size)
        numbers.push_back(Get32(&file[off + 4]));
    return numbers;
}

// Standard output written while f runs (buffered output included).
template <typename F>
std::string CaptureStdout(F f)
{
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace logtest

#endif
