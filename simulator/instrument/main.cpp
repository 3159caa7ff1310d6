// swsim: the simulated instrument for the engineers who prepare updates.
//
//   swsim create STATE [--version V] [--installed V] [--market NAME]
//                      [--corrupt-log NAME]... [--truncate-log NAME]... [--force]
//   swsim sample DIR [--version V]
//   swsim medium STATE (--from DIR | --sample [--version V])
//   swsim run STATE [--answer yes|no|never] [--answer-delay S] [--pull-after S|never]
//                   [--interactive] [--faults FILE] [--timeout S] [--show-trace] [--quiet]
//                   [--no-report] [--updater PATH] [--gui PATH] [--updater-cwd DIR] [--speed N]
//                   [--chip-timing typical|off|E,P,U]
//   swsim report STATE [--trace]
//
// See simulator/README.md.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SimFiles.h"
#include "SimMedium.h"
#include "SimReport.h"
#include "SimRun.h"
#include "SimState.h"

using namespace swsim;

namespace {

const char kUsage[] =
    "usage:\n"
    "  swsim create STATE [--version V] [--installed V] [--market NAME]\n"
    "                     [--corrupt-log NAME]... [--truncate-log NAME]... [--force]\n"
    "      a new instrument in the state directory STATE (running version V, default 2.3)\n"
    "  swsim sample DIR [--version V]\n"
    "      the source directory of the built-in sample update (default version 2.4)\n"
    "  swsim medium STATE (--from DIR | --sample [--version V])\n"
    "      build the update medium from DIR (or the sample) and insert it\n"
    "  swsim run STATE [--answer yes|no|never] [--answer-delay S] [--pull-after S|never]\n"
    "                  [--interactive] [--faults FILE] [--timeout S] [--show-trace]\n"
    "                  [--quiet] [--no-report] [--updater PATH] [--gui PATH]\n"
    "                  [--updater-cwd DIR] [--speed N] [--chip-timing T]\n"
    "      start the updater with the start-up GUI stand-in inside an instrument root\n"
    "  swsim report STATE [--trace]\n"
    "      the report on the last run (--trace: the updater's full trace too)\n";

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "swsim: %s\n%s", text.c_str(), kUsage);
    return 64;
}

std::string SelfExe()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

bool ParseSeconds(const std::string& text, double* out)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || v < 0 || v > 86400) return false;
    *out = v;
    return true;
}

int Fail(const std::string& why, int status = 1)
{
    std::fprintf(stderr, "swsim: %s\n", why.c_str());
    return status;
}

int PrintReport(const std::string& state, bool withTrace)
{
    std::string text, why;
    if (MakeReport(state, &text, &why) != 0) return Fail(why);
    std::fputs(text.c_str(), stdout);
    if (withTrace) {
        std::printf("\n--- trace ---\n%s", ReadTextOr(StatePaths(state).trace(), "").c_str());
    }
    return 0;
}

int Create(const std::vector<std::string>& a)
{
    if (a.empty() || a[0].compare(0, 2, "--") == 0) return UsageError("create needs a state directory");
    CreateOptions o;
    for (size_t i = 1; i < a.size(); ++i) {
        const bool hasValue = i + 1 < a.size();
        if (a[i] == "--version" && hasValue) o.version = a[++i];
        else if (a[i] == "--installed" && hasValue) o.installed = a[++i];
        else if (a[i] == "--market" && hasValue) o.market = a[++i];
        else if (a[i] == "--corrupt-log" && hasValue) o.corruptLogs.push_back(a[++i]);
        else if (a[i] == "--truncate-log" && hasValue) o.truncateLogs.push_back(a[++i]);
        else if (a[i] == "--force") o.force = true;
        else return UsageError("create: unknown or incomplete option " + a[i]);
    }
    std::string why;
    if (CreateInstrument(a[0], o, &why) != 0) return Fail(why);
    std::printf("instrument created in %s: running version %s, installed %s, %s\n", AbsolutePath(a[0]).c_str(),
                o.version.c_str(), (o.installed.empty() ? o.version : o.installed).c_str(),
                o.market.empty() ? "no Market.ini (internal)" : ("market " + o.market).c_str());
    return 0;
}

int Sample(const std::vector<std::string>& a)
{
    if (a.empty()) return UsageError("sample needs a directory");
    SampleOptions o;
    for (size_t i = 1; i < a.size(); ++i) {
        if (a[i] == "--version" && i + 1 < a.size()) o.version = a[++i];
        else return UsageError("sample: unknown or incomplete option " + a[i]);
    }
    std::string why;
    if (WriteSampleUpdate(a[0], o, &why) != 0) return Fail(why);
    std::printf("sample update %s written to %s\n", o.version.c_str(), AbsolutePath(a[0]).c_str());
    return 0;
}

int Medium(const std::vector<std::string>& a)
{
    if (a.empty() || a[0].compare(0, 2, "--") == 0) return UsageError("medium needs a state directory");
    const StatePaths s(a[0]);
    std::string from;
    bool sample = false;
    SampleOptions so;
    for (size_t i = 1; i < a.size(); ++i) {
        if (a[i] == "--from" && i + 1 < a.size()) from = a[++i];
        else if (a[i] == "--sample") sample = true;
        else if (a[i] == "--version" && i + 1 < a.size()) so.version = a[++i];
        else return UsageError("medium: unknown or incomplete option " + a[i]);
    }
    if (sample == !from.empty()) return UsageError("medium needs exactly one of --from DIR and --sample");
    if (!PathExists(s.marker())) return Fail(s.root + " holds no simulated instrument (swsim create first)");
    std::string why;
    if (sample) {
        from = s.sim() + "/sample";
        RemoveTree(from);
        if (WriteSampleUpdate(from, so, &why) != 0) return Fail(why);
        std::printf("sample update %s written to %s\n", so.version.c_str(), from.c_str());
    }
    std::vector<std::string> lines;
    if (BuildMedium(from, s.medium(), &lines, &why) != 0) return Fail(why);
    if (InsertMedium(s.medium(), s.usbdongle(), &why) != 0) return Fail(why);
    std::printf("medium built in %s and inserted:\n", s.medium().c_str());
    for (const auto& l : lines) std::printf("  %s\n", l.c_str());
    return 0;
}

int Run(const std::vector<std::string>& a)
{
    if (a.empty() || a[0].compare(0, 2, "--") == 0) return UsageError("run needs a state directory");
    RunOptions o;
    bool report = true;
    for (size_t i = 1; i < a.size(); ++i) {
        const bool hasValue = i + 1 < a.size();
        if (a[i] == "--answer" && hasValue) o.answer = a[++i];
        else if (a[i] == "--answer-delay" && hasValue) {
            if (!ParseSeconds(a[++i], &o.answerDelay)) return UsageError("bad --answer-delay");
        } else if (a[i] == "--pull-after" && hasValue) {
            if (a[++i] == "never") o.pullAfter = -1;
            else if (!ParseSeconds(a[i], &o.pullAfter)) return UsageError("bad --pull-after");
        } else if (a[i] == "--timeout" && hasValue) {
            if (!ParseSeconds(a[++i], &o.timeout)) return UsageError("bad --timeout");
        } else if (a[i] == "--speed" && hasValue) {
            if (!ParseSeconds(a[++i], &o.speed) || o.speed < 1) return UsageError("bad --speed (1 is real time)");
        } else if (a[i] == "--chip-timing" && hasValue) {
            o.chipTiming = a[++i];
        } else if (a[i] == "--interactive") o.interactive = true;
        else if (a[i] == "--faults" && hasValue) o.faultsFile = AbsolutePath(a[++i]);
        else if (a[i] == "--show-trace") o.showTrace = true;
        else if (a[i] == "--quiet") o.showGui = false;
        else if (a[i] == "--no-report") report = false;
        else if (a[i] == "--updater" && hasValue) o.updater = a[++i];
        else if (a[i] == "--gui" && hasValue) o.gui = a[++i];
        else if (a[i] == "--updater-cwd" && hasValue) o.updaterCwd = a[++i];
        else return UsageError("run: unknown or incomplete option " + a[i]);
    }
    if (o.answer != "yes" && o.answer != "no" && o.answer != "never") {
        return UsageError("--answer must be yes, no or never");
    }
    std::string why;
    const int rc = RunUpdate(a[0], o, SelfExe(), &why);
    if (rc == 2) return Fail(why, 77);  // no instrument root here: a skip, not a failure
    if (rc != 0) return Fail(why);
    if (!report) return 0;
    std::printf("\n");
    return PrintReport(a[0], false);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 64 : 0;
    }
    const std::string cmd = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (cmd == "create") return Create(rest);
    if (cmd == "sample") return Sample(rest);
    if (cmd == "medium") return Medium(rest);
    if (cmd == "run") return Run(rest);
    if (cmd == "report") {
        if (rest.empty()) return UsageError("report needs a state directory");
        return PrintReport(rest[0], rest.size() > 1 && rest[1] == "--trace");
    }
    if (cmd == "_inside") return RunInside(rest);
    return UsageError("unknown command " + cmd);
}
