// swlog: printing and verifying record log files (see LogInspect.h).
#include "LogInspect.h"
#include "ToolVersion.h"

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

void Usage(FILE* to)
{
    std::fprintf(to,
                 "usage: swlog [print] [-i INFO_LENGTH] [-n RECORDS] FILE\n"
                 "       swlog verify [-i INFO_LENGTH] [-n RECORDS] FILE\n"
                 "       swlog --version\n"
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

// Returns 0, 1 when the usage is asked for, 3 when the version is, or 2
// after a message on err.
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
            return 1;
        }
        if (arg == "--version") {
            return 3;
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

// Reads at most max bytes of a regular file, read-only, and its whole size.
// False with a message on err. O_NONBLOCK: opening a FIFO must not wait for
// a writer before the file type can be refused.
bool ReadFilePrefix(const std::string& path, uint64_t max, std::vector<unsigned char>* bytes, uint64_t* size,
                    FILE* err)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
    *size = static_cast<uint64_t>(st.st_size);
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

bool AllZero(const unsigned char* p, size_t n)
{
    return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

std::string Entries(size_t n)
{
    return std::to_string(n) + (n == 1 ? " entry" : " entries");
}

// The parameters of a diagnostic entry: for the entry that records a log's
// recreation, the log (its index in the validation's table) and the outcome;
// otherwise the bytes in hex.
std::string ParameterText(int32_t error, const unsigned char* params, size_t n)
{
    if (error != SelfTestLogCRCErr || n < 8)
        return "params " + Hex(params, n);
    static const char* const logs[] = {"Diag.log", "CriticalDiag.log", "DisplayedError.log", "RevHistory.log"};
    static const char* const outcomes[] = {"LogRecr_NotNeeded", "LogRecr_Needed", "LogRecr_Failed"};
    const int32_t index = static_cast<int32_t>(logGet32(params));
    const int32_t status = static_cast<int32_t>(logGet32(params + 4));
    std::string s = "recreated log ";
    s += index >= 0 && index < 4 ? logs[index] : "unknown";
    s += " (index " + std::to_string(index) + "), status " + std::to_string(status) + " " +
         (status >= 0 && status < 3 ? outcomes[status] : "unknown");
    if (!AllZero(params + 8, n - 8))
        s += ", further params " + Hex(params + 8, n - 8);
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
    if (name == "Diag.log")
        *shape = {50, 1000, EntryKind::Diagnostic};
    else if (name == "CriticalDiag.log")
        *shape = {50, 1000, EntryKind::CriticalDiagnostic};
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

LogCheck CheckLogBytes(const std::vector<unsigned char>& bytes, uint32_t infoLength, uint32_t records,
                       uint64_t fileSize)
{
    LogCheck check = {};
    const uint32_t size = logRecordSize(infoLength);
    check.bytesExpected = static_cast<uint64_t>(records) * size;
    check.bytesRead = std::min<uint64_t>(bytes.size(), check.bytesExpected);
    const uint64_t whole = std::max<uint64_t>(fileSize, bytes.size());
    check.bytesIgnored = whole > check.bytesExpected ? whole - check.bytesExpected : 0;
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

bool WholeRecords(const LogCheck& check, uint32_t infoLength)
{
    return check.bytesRead % logRecordSize(infoLength) == 0;
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
    case EntryKind::Diagnostic: {
        const int32_t error = static_cast<int32_t>(logGet32(&info[4]));
        line += " " + IsoTime(logGet32(info.data())) + " " + ErrorText(error) + " " +
                ParameterText(error, &info[8], info.size() - 8);
        break;
    }
    case EntryKind::CriticalDiagnostic:
        line += " " + IsoTime(logGet32(info.data())) + " " + ErrorText(static_cast<int32_t>(logGet32(&info[4])));
        if (!AllZero(&info[8], info.size() - 8))
            line += " params " + Hex(&info[8], info.size() - 8);
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
    const int parsed = ParseArgs(argc, argv, &o, err);
    if (parsed == 1) {
        Usage(out);
        return 0;
    }
    if (parsed == 3) {
        std::fprintf(out, "swlog %s\n", SWU_TOOL_VERSION);
        return 0;
    }
    if (parsed != 0)
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
    uint64_t fileSize = 0;
    if (!ReadFilePrefix(o.file, expected, &bytes, &fileSize, err))
        return 2;
    const LogCheck check = CheckLogBytes(bytes, shape.infoLength, shape.records, fileSize);
    const bool decodable = WholeRecords(check, shape.infoLength);
    const std::vector<LogRecordView> entries =
        decodable ? EntriesOldestFirst(bytes, shape.infoLength, shape.records) : std::vector<LogRecordView>();

    // The verdict, then what the file holds.
    const std::string layout =
        std::to_string(shape.records) + " records of " + std::to_string(shape.infoLength) + " info bytes";
    std::string verdict;
    if (check.status == Log_Succes) {
        verdict = "intact: " + layout + ", " + Entries(entries.size()) + ", next position " +
                  std::to_string(check.freeRecordPos) + ", next number " + std::to_string(check.nextCount);
    } else {
        verdict = "corrupt at position " + std::to_string(check.badPosition) + ": " + LogStatusName(check.status);
        if (check.status == Log_LengthError)
            verdict += " (file has " + std::to_string(check.bytesRead) + " of " +
                       std::to_string(check.bytesExpected) + " bytes)";
    }
    if (check.bytesIgnored != 0)
        verdict += "; the file is longer than its log: " + std::to_string(check.bytesIgnored) +
                   (check.bytesIgnored == 1 ? " byte" : " bytes") + " after it ignored";

    if (o.verify) {
        std::fprintf(out, "%s: %s\n", o.file.c_str(), verdict.c_str());
        return check.status == Log_Succes ? 0 : 1;
    }

    std::string head = verdict;
    if (check.status != Log_Succes && decodable)
        head += "; " + layout + ", " + Entries(entries.size());
    else if (!decodable)
        head += "; " + layout + ", nothing decoded: " + std::to_string(check.bytesRead) +
                " bytes are no whole number of " + std::to_string(logRecordSize(shape.infoLength)) +
                "-byte records";
    std::fprintf(out, "# %s: %s\n", o.file.c_str(), head.c_str());
    for (const LogRecordView& e : entries)
        std::fprintf(out, "%s\n", DescribeEntry(e, shape.kind).c_str());
    if (check.status != Log_Succes) {
        std::fprintf(err, "swlog: %s: %s\n", o.file.c_str(), verdict.c_str());
        return 1;
    }
    return 0;
}
