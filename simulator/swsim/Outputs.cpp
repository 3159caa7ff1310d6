#include "Outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "SimFiles.h"

namespace swsim {

namespace {

// Whether a file can be written at `path`, tried by opening it: an existing
// file is opened for writing without being changed, a new one is made and
// removed again. Access bits alone would not do: root passes them on a
// read-only file system or in /proc.
bool CanWrite(const std::string& path, std::string* why)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *why = "is a directory";
            return false;
        }
        Fd fd(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd) {
            *why = std::strerror(errno);
            return false;
        }
        return true;
    }
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) {
        *why = std::strerror(errno);
        return false;
    }
    unlink(path.c_str());
    return true;
}

}  // namespace

bool OutputsWritable(const std::vector<Output>& outputs, std::string* why)
{
    std::string toStdout;
    std::set<std::string> paths;
    for (const auto& o : outputs) {
        if (o.path.empty()) continue;
        if (o.path == kStdoutPath) {
            if (!toStdout.empty()) {
                *why = toStdout + " and " + o.option + " both write to standard output (-); give one of them a file";
                return false;
            }
            toStdout = o.option;
            continue;
        }
        const std::string abs = AbsolutePath(o.path);
        if (!paths.insert(abs).second) {
            *why = o.option + " " + o.path + ": the same file is given for another output";
            return false;
        }
        std::string reason;
        if (!CanWrite(abs, &reason)) {
            *why = o.option + " " + o.path + ": cannot be written (" + reason + ")";
            return false;
        }
    }
    return true;
}

std::FILE* ReportStream(const std::vector<Output>& outputs)
{
    for (const auto& o : outputs) {
        if (o.path == kStdoutPath) return stderr;
    }
    return stdout;
}

bool WriteOutput(const std::string& path, const std::string& text, std::string* why)
{
    if (path != kStdoutPath) return WriteText(path, text, 0644, why);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        *why = std::string("cannot write to standard output: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool ProgressWanted(bool forced)
{
    return forced || isatty(STDERR_FILENO) == 1;
}

void ShowProgress(const char* what, size_t n, size_t total, const std::string& detail)
{
    std::fprintf(stderr, "swsim: %s %zu of %zu%s%s\n", what, n, total, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stderr);
}

}  // namespace swsim
