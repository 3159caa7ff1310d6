#ifndef UTILS_TEST_SUPPORT_H
#define UTILS_TEST_SUPPORT_H

#include <string>
#include <sys/stat.h>

#include "RootTest.h"

// Everything the call writes to standard output (its own printf and the
// commands it runs), as one text.
template <typename F>
std::string CaptureOutput(F&& call)
{
    return CaptureStdoutOf(call);
}

// Creates the directories above `path`.
inline void MakeParentDirs(const std::string& path)
{
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

#endif
