#include "TraceFacts.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "SimFiles.h"
#include "SimLogs.h"
#include "SimState.h"
#include "TraceTexts.h"

namespace swsim {

namespace {

bool Has(const std::string& text, const char* needle)
{
    return text.find(needle) != std::string::npos;
}

constexpr Outcome kOutcomes[] = {Outcome::NotAllowed,      Outcome::Declined,    Outcome::PreUpdateFailed,
                                 Outcome::UnpackingFailed, Outcome::FlashFailed, Outcome::Done,
                                 Outcome::Unfinished};

}  // namespace

const char* OutcomeKey(Outcome o)
{
    switch (o) {
    case Outcome::NotAllowed: return "not-allowed";
    case Outcome::Declined: return "declined";
    case Outcome::PreUpdateFailed: return "pre-update-failed";
    case Outcome::UnpackingFailed: return "unpacking-failed";
    case Outcome::FlashFailed: return "flash-failed";
    case Outcome::Done: return "done";
    case Outcome::Unfinished: return "unfinished";
    }
    return "unfinished";
}

const char* OutcomeText(Outcome o)
{
    switch (o) {
    case Outcome::NotAllowed: return "update not allowed (not-compatible screen)";
    case Outcome::Declined: return "the user declined";
    case Outcome::PreUpdateFailed: return "pre-update actions failed (failure screen)";
    case Outcome::UnpackingFailed: return "unpacking failed (failure screen)";
    case Outcome::FlashFailed: return "writing the flash failed, update not installed (failure screen)";
    case Outcome::Done: return "update done (remove-medium screen)";
    case Outcome::Unfinished: return "the updater did not finish";
    }
    return "the updater did not finish";
}

Outcome OutcomeOfKey(const std::string& key)
{
    for (const Outcome o : kOutcomes) {
        if (key == OutcomeKey(o)) return o;
    }
    return Outcome::Unfinished;
}

Outcome OutcomeOf(const std::string& trace, bool updaterEnded)
{
    namespace t = tracetext;
    if (!updaterEnded) return Outcome::Unfinished;
    if (Has(trace, t::kNotAllowed)) return Outcome::NotAllowed;
    if (Has(trace, t::kPreUpdateFailed)) return Outcome::PreUpdateFailed;
    if (Has(trace, t::kUnpackingFailed)) return Outcome::UnpackingFailed;
    if (Has(trace, t::kFlashFailed)) return Outcome::FlashFailed;
    if (Has(trace, t::kPostUpdate)) return Outcome::Done;
    if (Has(trace, t::kGuiInitialized) && !Has(trace, t::kPerformingUpdate)) return Outcome::Declined;
    return Outcome::Unfinished;
}

namespace {

// The trace's text that tells outcome `o`, or nullptr.
const char* OutcomeLineText(Outcome o)
{
    namespace t = tracetext;
    switch (o) {
    case Outcome::NotAllowed: return t::kNotAllowed;
    case Outcome::PreUpdateFailed: return t::kPreUpdateFailed;
    case Outcome::UnpackingFailed: return t::kUnpackingFailed;
    case Outcome::FlashFailed: return t::kFlashFailed;
    default: return nullptr;
    }
}

// A line that tells a cause: a command's complaint or the updater's word on
// a failure (for a refusal: the versions and the market it compared).
bool TellsCause(const std::string& line, Outcome o)
{
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const char* const causes[] = {"fail",      "fault",   "error",   "no such", "not found", "denied",
                                         "could not", "cannot",  "missing", "invalid", "corrupt",   "syntax"};
    for (const char* c : causes) {
        if (lower.find(c) != std::string::npos) return true;
    }
    return o == Outcome::NotAllowed && (lower.find("version is") != std::string::npos || lower.find("market") != std::string::npos);
}

bool StartsPhase(const std::string& line)
{
    namespace t = tracetext;
    if (Has(line, t::kPreUpdateFailed)) return false;
    return Has(line, t::kEnteringUpdate) || Has(line, t::kPreUpdateStart) || Has(line, t::kBackupComplete);
}

std::string WithoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

}  // namespace

std::vector<std::string> CauseLines(const std::string& trace, Outcome o)
{
    const auto lines = Lines(trace);
    std::vector<std::string> cause;
    if (o == Outcome::Unfinished) {
        for (size_t i = lines.size(); i > 0 && cause.size() < 3; --i) {
            const std::string line = WithoutLineEnd(lines[i - 1]);
            if (!line.empty()) cause.insert(cause.begin(), line);
        }
        return cause;
    }
    const char* text = OutcomeLineText(o);
    if (!text) return cause;
    size_t at = 0;
    while (at < lines.size() && !Has(lines[at], text)) ++at;
    if (at == lines.size()) return cause;
    for (size_t i = at; i > 0 && !StartsPhase(lines[i - 1]); --i) {
        const std::string line = WithoutLineEnd(lines[i - 1]);
        if (!line.empty() && TellsCause(line, o)) cause.insert(cause.begin(), line);
    }
    constexpr size_t kMost = 8;
    if (cause.size() > kMost) cause.erase(cause.begin(), cause.end() - kMost);
    cause.push_back(WithoutLineEnd(lines[at]));
    return cause;
}

bool UpdaterEnded(const std::string& run)
{
    return RecordValue(run, "timed-out") == "0" && RecordValue(run, "updater-result").compare(0, 5, "exit ") == 0;
}

Outcome OutcomeOfRun(const StatePaths& s)
{
    std::string run;
    if (!ReadText(s.runRecord(), &run)) return Outcome::Unfinished;
    return OutcomeOf(ReadTextOr(s.trace(), ""), UpdaterEnded(run));
}

std::vector<std::string> RecreatedLogsOf(const std::string& trace)
{
    std::vector<std::string> logs;
    for (const auto& spec : InstrumentLogs()) {
        const std::string line = std::string(tracetext::kRecreating) + spec.name + tracetext::kRecreatingSince;
        if (trace.find(line) != std::string::npos) logs.push_back(spec.name);
    }
    return logs;
}

std::vector<FlashAttempt> FlashAttempts(const std::string& trace)
{
    std::vector<FlashAttempt> attempts;
    const std::string key = tracetext::kFlashingFile, to = tracetext::kToAddress;
    for (const auto& line : Lines(trace)) {
        const size_t at = line.find(key);
        if (at == std::string::npos) continue;
        const std::string rest = line.substr(at + key.size());
        const size_t toAt = rest.rfind(to);
        if (toAt == std::string::npos) continue;
        FlashAttempt a;
        a.name = rest.substr(0, toAt);
        a.address = static_cast<unsigned>(std::strtoul(rest.c_str() + toAt + to.size(), nullptr, 16));
        attempts.push_back(a);
    }
    return attempts;
}

std::vector<std::string> ScreensOf(const std::string& guiRecord)
{
    static const char* const requests[] = {"ready", "timers", "question", "in-progress", "message",
                                           "error", "exit", "unknown", "bad-record"};
    std::vector<std::string> screens;
    for (const auto& line : Lines(guiRecord)) {
        std::istringstream in(line);
        std::string time, screen, first;
        in >> time >> screen >> first;
        for (const char* r : requests) {
            if (screen != r) continue;
            screens.push_back(screen == "message" ? screen + " " + first : screen);
        }
    }
    return screens;
}

MediumChecks MediumChecksOf(const std::string& trace)
{
    MediumChecks m;
    m.all = CountOf(trace, tracetext::kMediumCheck);
    m.gone = CountOf(trace, tracetext::kMediumGone);
    return m;
}

std::string HostPathOf(const StatePaths& s, const std::string& path)
{
    if (path.empty()) return "";
    if (path[0] != '/') return s.tmp() + "/" + path;  // the updater works in /tmp
    for (const char* dir : {"/tmp", "/usbdongle", "/instrumentData", "/log"}) {
        const size_t n = std::strlen(dir);
        if (path.compare(0, n, dir) == 0 && (path.size() == n || path[n] == '/')) {
            return s.root + path;
        }
    }
    return "";
}

}  // namespace swsim
