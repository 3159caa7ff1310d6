// Power loss during the log writing: the updater's log work (validation of
// the four logs with the recreation of corrupt ones, then the revision
// entry, as an update does them) runs in a child process inside an
// instrument root over a simulated instrument. At the N-th write to a log
// the write is torn: only its first K bytes reach the file, then the child
// is ended with SIGKILL. The next run's validation then runs on what
// survived. Every log must either validate, holding only records that were
// there before or that the work wrote completely, or be detected as corrupt
// by the next run, copied aside and recreated; never read back wrong.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

#include "InstrumentRoot.h"
#include "LogUtilityInternal.h"
#include "PowerLoss.h"
#include "RootTest.h"
#include "SimFiles.h"
#include "SimLogs.h"
#include "SimState.h"
#include "SwUpdateLog.h"

using namespace powerloss;

namespace {

constexpr int kNoRoot = 125;
constexpr size_t kNameSize = 40;

// ---------------------------------------------------------------------------
// Child side: the log file calls with a recorder or a tear.

int recordFd = -1;          // where the recorder writes, -1: not recording
uint64_t tearAt = 0;        // the write that is torn, 0: none
uint64_t tearKeep = 0;      // bytes of it that reach the file
uint64_t writesSeen = 0;

// The log an open descriptor refers to, by its inode.
std::string LogNameOf(int fd)
{
    struct stat open {};
    if (fstat(fd, &open) != 0) return "?";
    for (const auto& spec : swsim::InstrumentLogs()) {
        struct stat named {};
        const std::string path = std::string("/instrumentData/") + spec.name;
        if (stat(path.c_str(), &named) == 0 && named.st_ino == open.st_ino && named.st_dev == open.st_dev)
            return spec.name;
    }
    return "?";
}

ssize_t HookedWrite(int fd, const void* buf, size_t count)
{
    ++writesSeen;
    if (writesSeen == tearAt) {
        if (tearKeep > 0) (void)::write(fd, buf, std::min<uint64_t>(tearKeep, count));
        raise(SIGKILL);
    }
    if (recordFd >= 0) {
        char name[kNameSize] = {};
        std::snprintf(name, sizeof name, "%s", LogNameOf(fd).c_str());
        const int64_t offset = ::lseek(fd, 0, SEEK_CUR);
        const uint32_t size = static_cast<uint32_t>(count);
        (void)::write(recordFd, name, sizeof name);
        (void)::write(recordFd, &offset, sizeof offset);
        (void)::write(recordFd, &size, sizeof size);
        (void)::write(recordFd, buf, count);
    }
    return ::write(fd, buf, count);
}

const LogFileIo_t hookedIo = {::read, HookedWrite, ::lseek};

// Runs `work` in a child inside an instrument root over `state`, its output
// into outputFile. Returns the wait status; exit status kNoRoot when no root
// could be made (the reason in the output).
template <typename Work>
int InChild(const std::string& state, const std::string& outputFile, Work work)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        InstrumentRootConfig config;
        config.stateDir = state;
        std::string why;
        if (EnterInstrumentRoot(config, &why) != 0) {
            std::printf("no instrument root: %s\n", why.c_str());
            std::fflush(stdout);
            _exit(kNoRoot);
        }
        logSetFileIo(&hookedIo);
        work();
        std::fflush(stdout);
        _exit(0);
    }
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    return status;
}

// What an update does with the logs: validation before the backup, the
// revision entry of the installed version after the flashing.
void LogWork()
{
    ValidateDiagnosticLogs();
    WriteRevLog(2, 4, "RevHistory.log");
}

// ---------------------------------------------------------------------------
// Parent side.

struct LogWrite {
    std::string log;
    int64_t offset = 0;
    std::vector<uint8_t> bytes;
};

std::vector<LogWrite> ReadRecord(const std::string& path)
{
    std::vector<uint8_t> data;
    std::vector<LogWrite> writes;
    if (!swsim::ReadBytes(path, &data)) return writes;
    size_t at = 0;
    while (at + kNameSize + 12 <= data.size()) {
        LogWrite w;
        w.log.assign(reinterpret_cast<const char*>(&data[at]), strnlen(reinterpret_cast<const char*>(&data[at]), kNameSize));
        std::memcpy(&w.offset, &data[at + kNameSize], 8);
        uint32_t size = 0;
        std::memcpy(&size, &data[at + kNameSize + 8], 4);
        at += kNameSize + 12;
        if (at + size > data.size()) break;
        w.bytes.assign(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + size));
        at += size;
        writes.push_back(w);
    }
    return writes;
}

// A record with its CRC and the time of writing (the first info bytes of
// every entry) blanked: two writes of the same entry at different times
// compare equal.
std::vector<uint8_t> Normalised(std::vector<uint8_t> record)
{
    for (size_t i = 0; i < record.size() && i < 12; ++i) {
        if (i < 4 || i >= 8) record[i] = 0;
    }
    return record;
}

// The records each position of each log may hold after a cut: what it held
// before, or what the work wrote there completely.
using Allowed = std::map<std::pair<std::string, uint32_t>, std::vector<std::vector<uint8_t>>>;

void AllowRecords(const std::string& log, const std::vector<uint8_t>& bytes, Allowed* allowed)
{
    const swsim::LogSpec* spec = swsim::FindLog(log);
    const uint32_t size = swsim::RecordSize(spec->infoLength);
    for (uint32_t p = 0; p < spec->records && (p + 1) * size <= bytes.size(); ++p)
        (*allowed)[{log, p}].push_back(Normalised({bytes.begin() + p * size, bytes.begin() + (p + 1) * size}));
}

struct Scenario {
    const char* name;
    std::vector<std::string> corrupt;   // logs with a record of wrong CRC
    std::vector<std::string> truncate;  // logs half a record short
    int share;                          // points of every 50
};

const Scenario kScenarios[] = {
    {"intact", {}, {}, 8},
    {"diag", {"Diag.log"}, {"DisplayedError.log"}, 21},
    {"critical", {"CriticalDiag.log"}, {"RevHistory.log"}, 21},
};

struct Figures {
    int points = 0;
    int intact = 0;     // logs that validated after the cut
    int detected = 0;   // logs that did not, found corrupt by the next run
    int recreated = 0;  // of those, copied aside and recreated
    int absent = 0;     // logs missing after the cut
    int silent = 0;     // logs that validated with a record never written
    int unrecorded = 0; // logs corrupt before the work whose recreation Diag.log never records
};

// Whether Diag.log holds a recreation entry (error 19042) for the log of
// index `logIndex`.
bool RecreationRecorded(const swsim::DecodedLog& diag, int32_t logIndex)
{
    for (const auto& rec : diag.records) {
        int32_t error = 0, index = -1;
        if (rec.empty() || rec.info.size() < 12) continue;
        std::memcpy(&error, &rec.info[4], 4);
        std::memcpy(&index, &rec.info[8], 4);
        if (error == swsim::kSelfTestLogCrcErr && index == logIndex) return true;
    }
    return false;
}

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class LogPowerLoss : public ::testing::TestWithParam<Scenario> {};

}  // namespace

TEST_P(LogPowerLoss, TornLogWritesAreDetectedOrHarmless)
{
    const Scenario& sc = GetParam();
    const Options options = OptionsFromEnvironment();
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string state = dir.path() + "/instrument";
    const swsim::StatePaths paths(state);
    swsim::CreateOptions create;
    create.corruptLogs = sc.corrupt;
    create.truncateLogs = sc.truncate;
    std::string why;
    ASSERT_EQ(swsim::CreateInstrument(state, create, &why), 0) << why;
    const std::string oldData = dir.path() + "/instrumentData.old";
    ASSERT_TRUE(swsim::CopyTree(paths.instrumentData(), oldData, &why)) << why;
    auto restore = [&] {
        return swsim::RemoveTree(paths.instrumentData(), &why) && swsim::CopyTree(oldData, paths.instrumentData(), &why) &&
               swsim::RemoveTree(paths.tmp(), &why) && swsim::MakeDirs(paths.tmp(), &why);
    };

    // The work without a cut, every log write recorded.
    const std::string recordFile = dir.path() + "/writes.bin";
    recordFd = open(recordFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(recordFd, 0);
    const int reference = InChild(state, dir.path() + "/reference.txt", [] { LogWork(); });
    close(recordFd);
    recordFd = -1;
    if (WIFEXITED(reference) && WEXITSTATUS(reference) == kNoRoot)
        GTEST_SKIP() << swsim::ReadTextOr(dir.path() + "/reference.txt", "");
    ASSERT_TRUE(WIFEXITED(reference) && WEXITSTATUS(reference) == 0);
    const std::vector<LogWrite> writes = ReadRecord(recordFile);
    ASSERT_FALSE(writes.empty());

    Allowed allowed;
    std::vector<uint64_t> entryWrites;
    for (const auto& spec : swsim::InstrumentLogs()) {
        std::vector<uint8_t> bytes;
        if (swsim::ReadBytes(oldData + "/" + spec.name, &bytes)) AllowRecords(spec.name, bytes, &allowed);
    }
    for (size_t i = 0; i < writes.size(); ++i) {
        const swsim::LogSpec* spec = swsim::FindLog(writes[i].log);
        ASSERT_NE(spec, nullptr) << "a write to a file that is no log";
        const uint32_t size = swsim::RecordSize(spec->infoLength);
        ASSERT_EQ(writes[i].bytes.size(), size);
        allowed[{writes[i].log, static_cast<uint32_t>(writes[i].offset / size)}].push_back(Normalised(writes[i].bytes));
        if (logGet32(&writes[i].bytes[4]) != swsim::kEmptyRecordNo) entryWrites.push_back(i + 1);
    }

    // The points: write number and torn length.
    std::vector<std::pair<uint64_t, uint64_t>> points;
    const std::string prefix = std::string("log:") + sc.name + ":";
    for (const auto& id : ReplayIds(options, prefix)) {
        unsigned long long n = 0, k = 0;
        if (std::sscanf(id.c_str(), "%llu:%llu", &n, &k) == 2) points.push_back({n, k});
    }
    if (options.replay.empty()) {
        const int count = std::max(1, options.points * sc.share / 50);
        std::mt19937_64 random(options.seed * 1000003u + static_cast<uint64_t>(sc.share));
        const auto chosen = writes.size() == 1
                                ? std::vector<uint64_t>(static_cast<size_t>(count), 1)
                                : ChoosePoints(options.seed, count, writes.size(), entryWrites);
        for (uint64_t n : chosen) points.push_back({n, random() % writes[n - 1].bytes.size()});
    }
    if (points.empty()) GTEST_SKIP() << "no point of this scenario among POWERLOSS_REPLAY";

    Figures fig;
    for (const auto& point : points) {
        const std::string id = prefix + std::to_string(point.first) + ":" + std::to_string(point.second);
        SCOPED_TRACE(id);
        ASSERT_TRUE(restore()) << why;
        tearAt = point.first;
        tearKeep = point.second;
        const int cut = InChild(state, dir.path() + "/cut.txt", [] { LogWork(); });
        tearAt = 0;
        ASSERT_TRUE(WIFSIGNALED(cut) && WTERMSIG(cut) == SIGKILL) << "the work was not ended at the torn write";
        ++fig.points;

        // What survived the cut.
        std::map<std::string, std::vector<uint8_t>> afterCut;
        std::map<std::string, bool> corrupt, present;
        for (const auto& spec : swsim::InstrumentLogs()) {
            std::vector<uint8_t> bytes;
            present[spec.name] = swsim::ReadBytes(paths.instrumentData() + "/" + spec.name, &bytes);
            const swsim::DecodedLog log = swsim::DecodeLog(bytes, present[spec.name], spec);
            afterCut[spec.name] = bytes;
            corrupt[spec.name] = present[spec.name] && (!log.lengthOk || log.badCrcs > 0);
            if (!present[spec.name]) {
                ++fig.absent;
                continue;
            }
            if (corrupt[spec.name]) continue;
            ++fig.intact;
            for (const auto& rec : log.records) {
                const uint32_t size = swsim::RecordSize(spec.infoLength);
                std::vector<uint8_t> raw(bytes.begin() + rec.position * size, bytes.begin() + (rec.position + 1) * size);
                const auto& ok = allowed[{spec.name, rec.position}];
                if (std::find(ok.begin(), ok.end(), Normalised(raw)) == ok.end()) {
                    ++fig.silent;
                    ADD_FAILURE() << spec.name << " validates but position " << rec.position
                                  << " holds a record that was never written there";
                    break;
                }
            }
        }

        std::string states;
        for (const auto& spec : swsim::InstrumentLogs()) {
            states += std::string(" ") + spec.name +
                      (!present[spec.name] ? " absent" : corrupt[spec.name] ? " corrupt" : " valid");
        }
        std::printf("power-loss point %s:%s\n", id.c_str(), states.c_str());

        // The next run's validation on what survived.
        ASSERT_TRUE(swsim::RemoveTree(paths.tmp(), &why) && swsim::MakeDirs(paths.tmp(), &why)) << why;
        const int next = InChild(state, dir.path() + "/next.txt", [] { ValidateDiagnosticLogs(); });
        ASSERT_TRUE(WIFEXITED(next) && WEXITSTATUS(next) == 0);
        const std::string trace = swsim::ReadTextOr(dir.path() + "/next.txt", "");
        for (const auto& spec : swsim::InstrumentLogs()) {
            const std::string name = spec.name;
            std::vector<uint8_t> bytes;
            const bool exists = swsim::ReadBytes(paths.instrumentData() + "/" + name, &bytes);
            const swsim::DecodedLog log = swsim::DecodeLog(bytes, exists, spec);
            EXPECT_TRUE(exists && log.lengthOk && log.badCrcs == 0) << name << " does not validate after the next run";
            const bool recreated = trace.find("Recreating " + name + " since") != std::string::npos;
            EXPECT_EQ(recreated, corrupt[name]) << name << (corrupt[name] ? " was corrupt but not recreated"
                                                                          : " was recreated though it validated");
            if (!corrupt[name]) continue;
            ++fig.detected;
            std::vector<uint8_t> copy;
            EXPECT_TRUE(swsim::ReadBytes(paths.tmp() + "/CorruptDiagnosticLogs/Corrupted" + name, &copy) &&
                        copy == afterCut[name])
                << name << ": the copy aside is not the corrupt log";
            bool onlyRecreation = true;
            for (const auto& rec : log.records) {
                int32_t error = 0;
                if (!rec.empty() && rec.info.size() >= 8) std::memcpy(&error, &rec.info[4], 4);
                onlyRecreation = onlyRecreation && (rec.empty() || error == swsim::kSelfTestLogCrcErr);
            }
            EXPECT_TRUE(onlyRecreation) << name << " holds old entries after its recreation";
            fig.recreated += recreated && onlyRecreation;
        }

        // The logs that were corrupt before the work: recreated by the work
        // or by the next run, but is the recreation on record?
        std::vector<uint8_t> diagBytes;
        const bool diagPresent = swsim::ReadBytes(paths.instrumentData() + "/Diag.log", &diagBytes);
        const swsim::DecodedLog diag = swsim::DecodeLog(diagBytes, diagPresent, swsim::InstrumentLogs()[0]);
        std::string unrecorded;
        for (size_t i = 0; i < swsim::InstrumentLogs().size(); ++i) {
            const std::string name = swsim::InstrumentLogs()[i].name;
            const bool wasCorrupt = std::count(sc.corrupt.begin(), sc.corrupt.end(), name) +
                                    std::count(sc.truncate.begin(), sc.truncate.end(), name) > 0;
            if (wasCorrupt && !RecreationRecorded(diag, static_cast<int32_t>(i))) {
                ++fig.unrecorded;
                unrecorded += " " + name;
            }
        }
        if (!unrecorded.empty()) std::printf("  recreation never recorded:%s\n", unrecorded.c_str());
    }
    std::printf("log power loss (%s): seed %" PRIu64 ", %d points over %zu log writes; logs after the cuts: "
                "%d intact, %d detected corrupt, %d recreated, %d absent, %d silently wrong; "
                "recreations of logs corrupt before the work left unrecorded: %d\n",
                sc.name, options.seed, fig.points, writes.size(), fig.intact, fig.detected, fig.recreated,
                fig.absent, fig.silent, fig.unrecorded);
    std::fflush(stdout);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, LogPowerLoss, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });
