// The files a command writes besides its text report (--json, --junit,
// --html), and its progress on standard error. Shared by check, powercut
// and report so that every command treats an output path the same way:
//
//   - "-" is standard output; the text report then goes to standard error,
//     so that standard output holds that one output alone;
//   - every path is tried before the work starts: a path that cannot be
//     written is a usage error, not a long run that fails at its end.
#ifndef SWSIM_OUTPUTS_H
#define SWSIM_OUTPUTS_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace swsim {

// The output path that means standard output.
constexpr const char* kStdoutPath = "-";

struct Output {
    std::string option;  // "--json"
    std::string path;    // empty: not asked for
};

// Checks the outputs asked for: at most one of them is "-", no path is
// given twice, and each other path can be written (its directory exists and
// a file can be made there, or the file exists and can be written; nothing
// is left behind by the trial). Returns true, or false with the reason,
// which names the option.
bool OutputsWritable(const std::vector<Output>& outputs, std::string* why);

// Where the text report goes: standard error when one of the outputs is
// standard output, else standard output.
std::FILE* ReportStream(const std::vector<Output>& outputs);

// Writes `text` to `path` ("-": standard output). Returns true, or false
// with the reason.
bool WriteOutput(const std::string& path, const std::string& text, std::string* why);

// Whether progress is shown: always when `forced` (--progress), else when
// standard error is a terminal.
bool ProgressWanted(bool forced);

// One line of progress on standard error: "swsim: instrument 2 of 3: lab".
void ShowProgress(const char* what, size_t n, size_t total, const std::string& detail);

}  // namespace swsim

#endif
