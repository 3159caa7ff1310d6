// Small file and text helpers of the instrument simulator.
//
// Everything here works on host paths (the state directory), never on the
// instrument's fixed paths; the simulator enters an instrument root only to
// run the updater and its start-up.
#ifndef SWSIM_SIM_FILES_H
#define SWSIM_SIM_FILES_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Fd.h"
#include "Process.h"

namespace swsim {

// Owns one file descriptor; closes it when it goes out of scope.
using host::Fd;
// Processes are started as everywhere on the host side (Process.h).
using host::RunProgram;

// Sends the process's standard output into a file (created or truncated)
// while it is in scope, and gives the previous standard output back after
// it. When the file cannot be opened or the output cannot be kept aside, the
// output stays where it was: lines are never lost to a closed descriptor.
class StdoutTo {
public:
    explicit StdoutTo(const std::string& path);
    StdoutTo(const StdoutTo&) = delete;
    StdoutTo& operator=(const StdoutTo&) = delete;
    ~StdoutTo();

private:
    Fd saved_;
};

// Whole-file reads and writes. Read* return false when the file cannot be
// read completely; Write* create or truncate the file and return false (with
// the reason in *why when given) when it cannot be written completely.
bool ReadBytes(const std::string& path, std::vector<uint8_t>* out);
bool ReadText(const std::string& path, std::string* out);
std::string ReadTextOr(const std::string& path, const std::string& fallback);

// The lines of a text, without their line ends (a last line without one counts).
std::vector<std::string> Lines(const std::string& text);
bool WriteBytes(const std::string& path, const void* data, size_t size, mode_t mode = 0644,
                std::string* why = nullptr);
bool WriteText(const std::string& path, const std::string& text, mode_t mode = 0644,
               std::string* why = nullptr);
// All of `size` bytes to / from an open descriptor (a pipe, a file), however
// many calls it takes; false at an error or, reading, an early end.
bool WriteAll(int fd, const void* data, size_t size);
bool ReadAll(int fd, void* data, size_t size);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
off_t FileSizeOf(const std::string& path);  // -1 when missing

// mkdir -p. Returns false with the reason in *why.
bool MakeDirs(const std::string& path, std::string* why = nullptr);
// Removes a file or a whole tree; a missing path is no error.
bool RemoveTree(const std::string& path, std::string* why = nullptr);
// Copies a regular file (mode kept), or a whole tree (symbolic links as
// links, never followed).
bool CopyFileTo(const std::string& from, const std::string& to, std::string* why = nullptr);
bool CopyTree(const std::string& from, const std::string& to, std::string* why = nullptr);

// Names in a directory, sorted, without "." and "..". Empty when missing.
std::vector<std::string> ListDir(const std::string& dir);

// Absolute, lexically cleaned form of `path` (relative to the working
// directory); symbolic links are not resolved.
std::string AbsolutePath(const std::string& path);

// The directory part of a path ("." for a bare name, "/" for a name in /).
std::string DirOf(const std::string& path);

// Deterministic pseudo-random bytes: the same seed gives the same bytes.
void FillPattern(uint64_t seed, uint8_t* data, size_t size);
uint64_t SeedOf(const std::string& text);

// CRC-32 of zlib/Ethernet (reflected 0xEDB88320, preset and inverted).
uint32_t Crc32(const uint8_t* data, size_t size);

// "0x%x" / decimal / human size ("640 KiB").
std::string Hex(uint64_t value);
std::string SizeText(uint64_t bytes);
// A number with `decimals` digits after the point ("%.*f").
std::string Fixed(double value, int decimals);

// How often `part` stands in `text` (occurrences that do not overlap).
int CountOf(const std::string& text, const std::string& part);

// A text on one line: its CR, LF, tab and NUL shown as \r, \n, \t and \0.
std::string Shown(const std::string& text);

}  // namespace swsim

#endif
