// system() of the fuzz targets: the two shell commands the updater gives
// while it keeps a copy of a corrupt log, "mkdir DIR" and "cp SRC DST", are
// done in this process, as the shell's tools do them, instead of starting a
// shell and a tool per command: those processes were most of a record log
// case. Any other command, and any command with more than plain words (a
// character other than letters, digits and "/._-"), goes to the C library's
// own system().
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The command's words, or none when it has any character a shell would
// treat specially.
std::vector<std::string> PlainWords(const char* command)
{
    std::vector<std::string> words;
    std::string word;
    for (const char* c = command;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*c == '\0')
                return words;
            continue;
        }
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                           std::strchr("/._-", *c) != nullptr;
        if (!plain)
            return {};
        word += *c;
    }
}

// The exit status a tool ends with, as system() gives it.
int Exited(int code)
{
    return code << 8;
}

int Mkdir(const std::string& dir)
{
    if (::mkdir(dir.c_str(), 0777) == 0)
        return Exited(0);
    std::fprintf(stderr, "mkdir: cannot create directory '%s': %s\n", dir.c_str(), std::strerror(errno));
    return Exited(1);
}

// cp of a regular file onto a file name: the destination is truncated and
// keeps its mode, or is created with the source's mode under the umask.
int Copy(const std::string& from, const std::string& to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0 || ::fstat(in, &st) != 0) {
        std::fprintf(stderr, "cp: cannot stat '%s': %s\n", from.c_str(), std::strerror(errno));
        if (in >= 0)
            ::close(in);
        return Exited(1);
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        std::fprintf(stderr, "cp: cannot create regular file '%s': %s\n", to.c_str(), std::strerror(errno));
        ::close(in);
        return Exited(1);
    }
    char buf[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0 || ::write(out, buf, static_cast<size_t>(n)) != n) {
            ok = false;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0)
        ok = false;
    if (!ok) {
        std::fprintf(stderr, "cp: error copying '%s' to '%s': %s\n", from.c_str(), to.c_str(), std::strerror(errno));
        return Exited(1);
    }
    return Exited(0);
}

// The file type bits of what is at path (S_IFREG, S_IFDIR, ...), 0 when nothing is.
mode_t TypeOf(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

}  // namespace

extern "C" int system(const char* command)
{
    if (command != nullptr) {
        const std::vector<std::string> words = PlainWords(command);
        if (words.size() == 2 && words[0] == "mkdir" && words[1][0] != '-')
            return Mkdir(words[1]);
        // Only a regular file onto a name that is not a directory; cp's other
        // cases (into a directory, of a directory) go to the shell.
        if (words.size() == 3 && words[0] == "cp" && words[1][0] != '-' && words[2][0] != '-' &&
            TypeOf(words[1]) == S_IFREG && TypeOf(words[2]) != S_IFDIR)
            return Copy(words[1], words[2]);
    }
    using SystemFunction = int (*)(const char*);
    static const auto real = reinterpret_cast<SystemFunction>(dlsym(RTLD_NEXT, "system"));
    if (real == nullptr)
        return -1;
    return real(command);
}
