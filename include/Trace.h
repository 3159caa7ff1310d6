// Trace lines of the updater.
//
// Every progress or error message is written to standard output as
// "<file:line>" followed by the message, then standard output is flushed, so
// that the order of the updater's lines and the output of the shell commands
// it runs is kept. The file is the emitting source file's path relative to the
// project root: the build maps the source directory prefix of __FILE__ away.
//
// TRACE_RAW is the plain printf without prefix and flush, used by the few
// messages that are written that way (the flash module's progress lines and two
// messages of the log modules).
#ifndef SWUPDATE_TRACE_H
#define SWUPDATE_TRACE_H

#include <cstdio>

#define TRACE(...)                                   \
    do {                                             \
        std::printf("<%s:%d>", __FILE__, __LINE__);  \
        std::printf(__VA_ARGS__);                    \
        std::fflush(stdout);                         \
    } while (0)

#define TRACE_RAW(...) std::printf(__VA_ARGS__)

#endif
