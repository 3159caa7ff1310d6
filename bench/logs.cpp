// Record log speed: validating the instrument's four logs, opening the
// largest allowed log, writing one entry, and CRC-32 throughput.
// bench-libs: swu_log swu_logutil swu_codes
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "LogUtility.h"
#include "SwUpdateLogInternal.h"
#include "crc.h"

namespace {

// A private directory under $TMPDIR (or /tmp), removed afterwards.
class BenchDir {
public:
    BenchDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base && std::string(base).size() < 20 ? base : "/tmp") +
                            "/swlogbenchXXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr)
            dir_ = buf.data();
    }
    BenchDir(const BenchDir&) = delete;
    BenchDir& operator=(const BenchDir&) = delete;
    ~BenchDir()
    {
        if (!dir_.empty())
            std::system(("rm -rf '" + dir_ + "'").c_str());  // NOLINT(bugprone-command-processor): our own directory
    }
    bool ok() const { return !dir_.empty(); }
    std::string path() const { return dir_ + "/"; }

private:
    std::string dir_;
};

struct Shape {
    const char* name;
    int infoLength;
    int records;
};

const Shape kInstrumentLogs[] = {
    {"Diag.log", DIAG_LOG_ENTRYSIZE, DIAG_LOG_LOGSIZE},
    {"CriticalDiag.log", DIAG_LOG_ENTRYSIZE, DIAG_LOG_LOGSIZE},
    {"DisplayedError.log", 8, 1000},
    {"RevHistory.log", REV_LOG_ENTRYSIZE, REV_LOG_LOGSIZE},
};

// Creates the log and fills every position, so that opening it checks and
// scans a full ring.
bool Fill(const std::string& dir, const Shape& s)
{
    LogDescriptor_t log;
    if (createLog(s.infoLength, s.records, dir.c_str(), s.name, &log) != Log_Succes)
        return false;
    std::vector<char> info(static_cast<size_t>(s.infoLength), 'x');
    for (int i = 0; i < s.records; ++i)
        if (writeLog(info.data(), s.infoLength, &log) != Log_Succes)
            return false;
    return true;
}

void BM_ValidateInstrumentLogs(benchmark::State& state)
{
    BenchDir dir;
    for (const Shape& s : kInstrumentLogs)
        if (!dir.ok() || !Fill(dir.path(), s)) {
            state.SkipWithError("cannot prepare the logs");
            return;
        }
    int64_t bytes = 0;
    for (const Shape& s : kInstrumentLogs)
        bytes += static_cast<int64_t>(s.records) * static_cast<int64_t>((8 + s.infoLength + 3) / 4 * 4);
    for (auto _ : state) {
        for (const Shape& s : kInstrumentLogs) {
            LogDescriptor_t log;
            LogStatus_t status;
            const LogRecreateStatus_t r =
                ValidateDiagnosticLog(s.infoLength, s.records, dir.path().c_str(), s.name, &log, &status);
            if (r != LogRecr_NotNeeded || status != Log_Succes)
                state.SkipWithError("a log did not validate");
            benchmark::DoNotOptimize(log);
        }
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_ValidateInstrumentLogs)->Unit(benchmark::kMicrosecond);

void BM_OpenLargestLog(benchmark::State& state)
{
    BenchDir dir;
    const Shape largest = {"Largest.log", 1024, 2000};
    if (!dir.ok() || !Fill(dir.path(), largest)) {
        state.SkipWithError("cannot prepare the log");
        return;
    }
    for (auto _ : state) {
        LogDescriptor_t log;
        if (createLog(largest.infoLength, largest.records, dir.path().c_str(), largest.name, &log) != Log_Succes)
            state.SkipWithError("the log did not validate");
        benchmark::DoNotOptimize(log);
    }
    state.SetBytesProcessed(state.iterations() * 2000 * 1032);
}
BENCHMARK(BM_OpenLargestLog)->Unit(benchmark::kMicrosecond);

// Creating an absent diagnostic log: one write call per empty record, as the
// library's creation does it. This is what most record-log fuzz cases pay
// (an absent or corrupt log is created anew), and the kernel's cost per
// write call decides it.
void BM_CreateDiagnosticLog(benchmark::State& state)
{
    BenchDir dir;
    if (!dir.ok()) {
        state.SkipWithError("cannot prepare the directory");
        return;
    }
    const std::string file = dir.path() + "Diag.log";
    for (auto _ : state) {
        unlink(file.c_str());
        LogDescriptor_t log;
        if (createLog(DIAG_LOG_ENTRYSIZE, DIAG_LOG_LOGSIZE, dir.path().c_str(), "Diag.log", &log) != Log_Succes)
            state.SkipWithError("the log was not created");
    }
    state.counters["write_calls_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * DIAG_LOG_LOGSIZE, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CreateDiagnosticLog)->Unit(benchmark::kMicrosecond);

void BM_WriteDiagnosticEntry(benchmark::State& state)
{
    BenchDir dir;
    LogDescriptor_t log;
    if (!dir.ok() || createLog(DIAG_LOG_ENTRYSIZE, DIAG_LOG_LOGSIZE, dir.path().c_str(), "Diag.log", &log) != Log_Succes) {
        state.SkipWithError("cannot prepare the log");
        return;
    }
    for (auto _ : state)
        if (writeDiagnosticLog(19042, nullptr, &log) != 0)
            state.SkipWithError("write failed");
}
BENCHMARK(BM_WriteDiagnosticEntry)->Unit(benchmark::kMicrosecond);

// CRC-32 over a pseudo-random buffer of state.range(0) bytes with `crc`: the
// sealed part of a displayed-error record (14) and of a diagnostic record
// (56), a block, a megabyte.
void CrcOverBuffer(benchmark::State& state, uint32_t (*crc)(const char*, size_t))
{
    std::vector<char> buf(static_cast<size_t>(state.range(0)));
    uint32_t seed = 12345;
    for (char& c : buf) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(crc(buf.data(), buf.size()));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Crc32(benchmark::State& state) { CrcOverBuffer(state, crc32buf); }
BENCHMARK(BM_Crc32)->Arg(14)->Arg(56)->Arg(1032)->Arg(1 << 20);

// The byte-wise calculation, for comparison.
void BM_Crc32Bytewise(benchmark::State& state) { CrcOverBuffer(state, crc32buf_bytewise); }
BENCHMARK(BM_Crc32Bytewise)->Arg(14)->Arg(56)->Arg(1032)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
