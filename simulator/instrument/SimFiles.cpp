#include "SimFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace swsim {

StdoutTo::StdoutTo(const std::string& path)
{
    std::fflush(stdout);
    const Fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file) return;
    Fd saved(fcntl(1, F_DUPFD_CLOEXEC, 3));
    if (saved && dup2(file.get(), 1) >= 0) saved_ = std::move(saved);
}

StdoutTo::~StdoutTo()
{
    if (!saved_) return;
    std::fflush(stdout);
    dup2(saved_.get(), 1);
}

namespace {

std::string Reason(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

void SetWhy(std::string* why, const std::string& text)
{
    if (why) *why = text;
}

}  // namespace

bool ReadBytes(const std::string& path, std::vector<uint8_t>* out)
{
    out->clear();
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    // Read straight into `out`, sized as the file is (a 16 MiB flash is read
    // for every run judged), growing it should the file grow meanwhile.
    struct stat st;
    const size_t expected = fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
    size_t have = 0;
    out->resize(std::max<size_t>(expected + 1, 65536));
    for (;;) {
        if (have == out->size()) out->resize(out->size() * 2);
        const ssize_t n = read(fd.get(), out->data() + have, out->size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            out->clear();
            return false;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    out->resize(have);
    return true;
}

bool ReadText(const std::string& path, std::string* out)
{
    std::vector<uint8_t> bytes;
    if (!ReadBytes(path, &bytes)) return false;
    out->assign(bytes.begin(), bytes.end());
    return true;
}

std::string ReadTextOr(const std::string& path, const std::string& fallback)
{
    std::string text;
    return ReadText(path, &text) ? text : fallback;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool WriteBytes(const std::string& path, const void* data, size_t size, mode_t mode, std::string* why)
{
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd) {
        SetWhy(why, Reason("cannot create", path));
        return false;
    }
    if (!WriteAll(fd.get(), data, size)) {
        SetWhy(why, Reason("cannot write", path));
        return false;
    }
    if (fchmod(fd.get(), mode) != 0) {
        SetWhy(why, Reason("cannot set the mode of", path));
        return false;
    }
    return true;
}

namespace {

// `size` bytes through `transfer` (read or write), however many calls it
// takes; false at an error or an early end.
template <typename Byte, typename Transfer>
bool TransferAll(int fd, Byte* p, size_t size, Transfer transfer)
{
    while (size > 0) {
        const ssize_t n = transfer(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool WriteAll(int fd, const void* data, size_t size)
{
    return TransferAll(fd, static_cast<const char*>(data), size, ::write);
}

bool ReadAll(int fd, void* data, size_t size)
{
    return TransferAll(fd, static_cast<char*>(data), size, ::read);
}

bool WriteText(const std::string& path, const std::string& text, mode_t mode, std::string* why)
{
    return WriteBytes(path, text.data(), text.size(), mode, why);
}

bool PathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

off_t FileSizeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool MakeDirs(const std::string& path, std::string* why)
{
    if (path.empty()) return true;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            SetWhy(why, Reason("cannot create directory", part));
            return false;
        }
    }
    if (!IsDirectory(path)) {
        SetWhy(why, path + " exists and is not a directory");
        return false;
    }
    return true;
}

std::vector<std::string> ListDir(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Recursive over the tree: the simulator's trees are a few levels deep.
bool RemoveTree(const std::string& path, std::string* why)  // NOLINT(misc-no-recursion)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) {
        for (const auto& name : ListDir(path)) {
            if (!RemoveTree(path + "/" + name, why)) return false;
        }
        if (rmdir(path.c_str()) != 0) {
            SetWhy(why, Reason("cannot remove", path));
            return false;
        }
        return true;
    }
    if (unlink(path.c_str()) != 0) {
        SetWhy(why, Reason("cannot remove", path));
        return false;
    }
    return true;
}

bool CopyFileTo(const std::string& from, const std::string& to, std::string* why)
{
    struct stat st;
    if (stat(from.c_str(), &st) != 0) {
        SetWhy(why, Reason("cannot read", from));
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!ReadBytes(from, &bytes)) {
        SetWhy(why, Reason("cannot read", from));
        return false;
    }
    return WriteBytes(to, bytes.data(), bytes.size(), st.st_mode & 07777, why);
}

bool CopyTree(const std::string& from, const std::string& to, std::string* why)  // NOLINT(misc-no-recursion)
{
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) {
        SetWhy(why, Reason("cannot read", from));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        if (!MakeDirs(to, why)) return false;
        for (const auto& name : ListDir(from)) {
            if (!CopyTree(from + "/" + name, to + "/" + name, why)) return false;
        }
        return true;
    }
    if (S_ISREG(st.st_mode)) return CopyFileTo(from, to, why);
    if (S_ISLNK(st.st_mode)) {
        // A link is copied as a link, never followed: an instrument from
        // service may hold one, and it points where it pointed there.
        char target[4096];
        const ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
        if (n > 0 && symlink(std::string(target, static_cast<size_t>(n)).c_str(), to.c_str()) == 0) return true;
        SetWhy(why, Reason("cannot copy the link", from));
        return false;
    }
    return true;  // devices, sockets: not part of an instrument's data
}

std::string AbsolutePath(const std::string& path)
{
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr) return path;
        full = std::string(cwd) + "/" + path;
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= full.size()) {
        size_t next = full.find('/', pos);
        if (next == std::string::npos) next = full.size();
        std::string part = full.substr(pos, next - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = next + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string DirOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void FillPattern(uint64_t seed, uint8_t* data, size_t size)
{
    // xorshift64*: fast, and the same on every host.
    uint64_t x = seed ? seed : 0x9E3779B97F4A7C15ull;
    size_t i = 0;
    while (i < size) {
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        uint64_t v = x * 0x2545F4914F6CDD1Dull;
        for (int b = 0; b < 8 && i < size; ++b, ++i) data[i] = static_cast<uint8_t>(v >> (8 * b));
    }
}

uint64_t SeedOf(const std::string& text)
{
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

uint32_t Crc32(const uint8_t* data, size_t size)
{
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        ready = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string Hex(uint64_t value)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

std::string SizeText(uint64_t bytes)
{
    char buf[64];
    if (bytes % 1024 == 0 && bytes >= 1024) {
        std::snprintf(buf, sizeof buf, "%llu KiB", static_cast<unsigned long long>(bytes / 1024));
    } else {
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    }
    return buf;
}

std::string Fixed(double value, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

int CountOf(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

std::string Shown(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\0') out += "\\0";
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            // Invisible bytes (a no-break space after YES) made visible.
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace swsim
