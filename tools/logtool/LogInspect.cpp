// swlog: printing and verifying record log files (see LogInspect.h).
#include "LogInspect.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ErrorDefinition.h"
#include "LogUtility.h"
#include "LogUtilityInternal.h"

namespace {

const uint32_t kNumberRange = 0xFFFFFFFEu;  // record numbers run 1..0xFFFFFFFE

struct Options {
    bool verify = false;
    long infoLength = -1;
    long records = -1;
    std::string file;
};

void Usage(FILE* err)
{
    std::fprintf(err,
                 "usage: swlog [print] [-i INFO_LENGTH] [-n RECORDS] FILE\n"
                 "       swlog verify [-i INFO_LENGTH] [-n RECORDS] FILE\n"
                 "Prints the entries of a record log oldest first, or verifies it\n"
                 "(exit status 0 intact, 1 corrupt, 2 usage error or unreadable file).\n"
                 "Sizes are inferred for Diag.log, CriticalDiag.log, DisplayedError.log\n"
                 "and RevHistory.log; other files need -i and -n.\n");
}

bool ParseNumber(const char* text, long max, long* value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > max)
        return false;
    *value = v;
    return true;
}

// Returns 0, or 2 after a message on err.
int ParseArgs(int argc, char** argv, Options* o, FILE* err)
{
    int i = 1;
    if (i < argc && (std::strcmp(argv[i], "verify") == 0 || std::strcmp(argv[i], "print") == 0)) {
        o->verify = argv[i][0] == 'v';
        ++i;
    }
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            Usage(err);
            return 2;
        }
        if (arg == "-i" || arg == "-n") {
            long* target = arg == "-i" ? &o->infoLength : &o->records;
            const long max = arg == "-i" ? static_cast<long>(LOG_MAX_INFO_LENGTH) : static_cast<long>(LOG_MAX_RECORDS);
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], max, target) || (arg == "-n" && *target < 1)) {
                std::fprintf(err, "swlog: %s needs a number from %d to %ld\n", arg.c_str(), arg == "-n" ? 1 : 0, max);
                return 2;
            }
            ++i;
            continue;
        }
        if (!o->file.empty() || arg.empty() || arg[0] == '-') {
            Usage(err);
            return 2;
        }
        o->file = arg;
    }
    if (o->file.empty()) {
        Usage(err);
        return 2;
    }
    return 0;
}

// Reads at most max bytes of the file, read-only. False with a message on err.
bool ReadFilePrefix(const std::string& path, uint64_t max, std::vector<unsigned char>* bytes, FILE* err)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(err, "swlog: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(err, "swlog: %s is not a regular file\n", path.c_str());
        ::close(fd);
        return false;
    }
    bytes->assign(max, 0);
    uint64_t got = 0;
    while (got < max) {
        const ssize_t n = ::read(fd, bytes->data() + got, max - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(err, "swlog: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<uint64_t>(n);
    }
    ::close(fd);
    bytes->resize(got);
    return true;
}

std::string Hex(const unsigned char* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 0xF];
    }
    return s;
}

std::string ErrorText(int32_t code)
{
    std::string s = "error " + std::to_string(code);
    if (const char* name = ErrorIdName(code))
        s += std::string(" ") + name;
    return s;
}

std::string RevisionText(const unsigned char* text, size_t room)
{
    const size_t len = strnlen(reinterpret_cast<const char*>(text), room);
    const std::string s(reinterpret_cast<const char*>(text), len);
    if (len == 4 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "version " + std::to_string(std::atoi(s.substr(0, 2).c_str())) + "." +
               std::to_string(std::atoi(s.substr(2).c_str()));
    std::string shown;  // anything else is shown as it is, unprintables escaped
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            shown += esc;
        }
    }
    return "version text \"" + shown + "\"";
}

}  // namespace

bool KnownLogShape(const std::string& path, LogShapeInfo* shape)
{
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    const std::string copyPrefix = "Corrupted";
    if (name.compare(0, copyPrefix.size(), copyPrefix) == 0)
        name = name.substr(copyPrefix.size());
    if (name == "Diag.log" || name == "CriticalDiag.log")
        *shape = {50, 1000, EntryKind::Diagnostic};
    else if (name == "DisplayedError.log")
        *shape = {8, 1000, EntryKind::DisplayedError};
    else if (name == "RevHistory.log")
        *shape = {100, 100, EntryKind::Revision};
    else
        return false;
    return true;
}

const char* LogStatusName(int status)
{
    switch (status) {
    case Log_Init: return "Log_Init";
    case Log_Succes: return "Log_Succes";
    case Log_FileNotFound: return "Log_FileNotFound";
    case Log_OperationFailed: return "Log_OperationFailed";
    case Log_BadDescriptor: return "Log_BadDescriptor";
    case Log_EndOfLogEntries: return "Log_EndOfLogEntries";
    case Log_LengthError: return "Log_LengthError";
    case Log_ChecksumHasError: return "Log_ChecksumHasError";
    default: return "unknown status";
    }
}

std::string IsoTime(uint32_t seconds)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    char text[32];
    if (gmtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
        return "?";
    return text;
}

LogCheck CheckLogBytes(const std::vector<unsigned char>& bytes, uint32_t infoLength, uint32_t records)
{
    LogCheck check = {};
    const uint32_t size = logRecordSize(infoLength);
    check.bytesExpected = static_cast<uint64_t>(records) * size;
    check.bytesRead = std::min<uint64_t>(bytes.size(), check.bytesExpected);
    if (check.bytesRead < check.bytesExpected) {
        check.status = Log_LengthError;
        check.badPosition = static_cast<uint32_t>(check.bytesRead / size);
        return check;
    }
    LogScan_t scan;
    check.status = logScanRecords(bytes.data(), infoLength, records, &scan);
    check.badPosition = scan.badPos;
    check.freeRecordPos = scan.freeRecordPos;
    check.nextCount = incrementCount(scan.lastCount);
    return check;
}

std::vector<LogRecordView> EntriesOldestFirst(const std::vector<unsigned char>& bytes, uint32_t infoLength,
                                              uint32_t records)
{
    const uint32_t size = logRecordSize(infoLength);
    std::vector<LogRecordView> entries;
    for (uint32_t pos = 0; pos < records && (static_cast<uint64_t>(pos) + 1) * size <= bytes.size(); ++pos) {
        const unsigned char* rec = bytes.data() + static_cast<size_t>(pos) * size;
        const uint32_t number = logGet32(rec + 4);
        if (number == LOG_EMPTY_RECORD_NO)
            continue;
        entries.push_back({pos, number, calculateRecordCrc(rec, size) == logGet32(rec),
                           std::vector<unsigned char>(rec + 8, rec + 8 + infoLength)});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const LogRecordView& a, const LogRecordView& b) { return a.number < b.number; });
    if (entries.size() < 2)
        return entries;
    // The numbers wrap: the oldest entry is the one after the widest gap
    // between successive numbers, counted round the circle of numbers.
    size_t oldest = 0;
    uint64_t widest = (static_cast<uint64_t>(entries.front().number) + kNumberRange - entries.back().number) % kNumberRange;
    for (size_t i = 1; i < entries.size(); ++i) {
        const uint64_t gap = entries[i].number - entries[i - 1].number;
        if (gap > widest) {
            widest = gap;
            oldest = i;
        }
    }
    std::rotate(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(oldest), entries.end());
    return entries;
}

std::string DescribeEntry(const LogRecordView& entry, EntryKind kind)
{
    std::string line = "#" + std::to_string(entry.number) + " @" + std::to_string(entry.position);
    const std::vector<unsigned char>& info = entry.info;
    switch (kind) {
    case EntryKind::Revision:
        line += " " + IsoTime(logGet32(info.data())) + " " + RevisionText(&info[4], info.size() - 4);
        break;
    case EntryKind::Diagnostic:
        line += " " + IsoTime(logGet32(info.data())) + " " + ErrorText(static_cast<int32_t>(logGet32(&info[4]))) +
                " params " + Hex(&info[8], info.size() - 8);
        break;
    case EntryKind::DisplayedError:
        line += " " + IsoTime(logGet32(info.data())) + " " + ErrorText(static_cast<int32_t>(logGet32(&info[4])));
        break;
    case EntryKind::Raw:
        line += " info " + Hex(info.data(), info.size());
        break;
    }
    if (!entry.crcOk)
        line += " [CRC mismatch]";
    return line;
}

int SwlogMain(int argc, char** argv, FILE* out, FILE* err)
{
    Options o;
    if (ParseArgs(argc, argv, &o, err) != 0)
        return 2;

    LogShapeInfo shape = {0, 0, EntryKind::Raw};
    const bool known = KnownLogShape(o.file, &shape);
    if (!known && (o.infoLength < 0 || o.records < 0)) {
        std::fprintf(err, "swlog: %s is not one of the instrument's logs: give -i INFO_LENGTH and -n RECORDS\n",
                     o.file.c_str());
        return 2;
    }
    if (o.infoLength >= 0 && static_cast<uint32_t>(o.infoLength) != shape.infoLength)
        shape.kind = EntryKind::Raw;  // not laid out as the log of that name
    if (o.infoLength >= 0)
        shape.infoLength = static_cast<uint32_t>(o.infoLength);
    if (o.records >= 0)
        shape.records = static_cast<uint32_t>(o.records);

    const uint64_t expected = static_cast<uint64_t>(shape.records) * logRecordSize(shape.infoLength);
    std::vector<unsigned char> bytes;
    if (!ReadFilePrefix(o.file, expected, &bytes, err))
        return 2;
    const LogCheck check = CheckLogBytes(bytes, shape.infoLength, shape.records);

    std::string verdict;
    if (check.status == Log_LengthError)
        verdict = "corrupt at position " + std::to_string(check.badPosition) + ": Log_LengthError (file has " +
                  std::to_string(check.bytesRead) + " of " + std::to_string(check.bytesExpected) + " bytes)";
    else if (check.status != Log_Succes)
        verdict = "corrupt at position " + std::to_string(check.badPosition) + ": " + LogStatusName(check.status);

    if (o.verify) {
        if (check.status == Log_Succes) {
            const size_t entries = EntriesOldestFirst(bytes, shape.infoLength, shape.records).size();
            std::fprintf(out,
                         "%s: intact: %u records of %u info bytes, %zu entries, next position %u, next number %u\n",
                         o.file.c_str(), shape.records, shape.infoLength, entries, check.freeRecordPos,
                         check.nextCount);
        } else {
            std::fprintf(out, "%s: %s\n", o.file.c_str(), verdict.c_str());
        }
        return check.status == Log_Succes ? 0 : 1;
    }

    const std::vector<LogRecordView> entries = EntriesOldestFirst(bytes, shape.infoLength, shape.records);
    std::fprintf(out, "# %s: %u records of %u info bytes, %zu entries\n", o.file.c_str(), shape.records,
                 shape.infoLength, entries.size());
    for (const LogRecordView& e : entries)
        std::fprintf(out, "%s\n", DescribeEntry(e, shape.kind).c_str());
    if (check.status != Log_Succes) {
        std::fprintf(err, "swlog: %s: %s\n", o.file.c_str(), verdict.c_str());
        return 1;
    }
    return 0;
}
