// Helpers of the end-to-end tests: a state directory per test under the
// build directory, runs of the swsim tool, and its run summary.
#ifndef E2E_SUPPORT_H
#define E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "RootTest.h"
#include <vector>

// Runs swsim with `args`; its output (stdout and stderr) in *output.
// Returns its exit code, or -1 when it did not exit normally.
int Swsim(const std::vector<std::string>& args, std::string* output);

// The key=value summary the last report wrote.
std::map<std::string, std::string> Summary(const std::string& state);

// A trace of the updater with these lines (each with a source position
// before it, as the updater writes them).
std::string TraceOf(const std::vector<std::string>& lines);

#endif
