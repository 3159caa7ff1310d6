// What swsim check prints and writes: the verdict and the findings for
// people, JSON for scripts, JUnit XML for release pipelines.
#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

#include "MediumCheck.h"

namespace swsim {

int CheckOutcome::Errors() const
{
    int n = 0;
    for (const auto& f : findings) n += f.severity == Finding::Error ? 1 : 0;
    return n;
}

int CheckOutcome::Warnings() const
{
    return static_cast<int>(findings.size()) - Errors();
}

namespace {

std::string Plural(int n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "file1 flashMap line 4" / "instrument market-2.3"
std::string Where(const Finding& f)
{
    std::string w;
    if (!f.instrument.empty()) w = "instrument " + f.instrument;
    if (!f.package.empty()) w += (w.empty() ? "" : ", ") + f.package;
    if (!f.file.empty()) w += (w.empty() ? "" : " ") + f.file;
    if (f.line > 0) w += " line " + std::to_string(f.line);
    return w;
}

std::string Duration(double seconds)
{
    if (seconds < 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f s", seconds);
    return text;
}

std::string XmlEscaped(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            // XML 1.0 allows no other control characters than tab, LF and
            // CR; bytes above ASCII are shown escaped as well, since names
            // from a package need not be UTF-8.
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

std::string FindingLine(const Finding& f)
{
    const std::string where = Where(f);
    return (where.empty() ? "" : "[" + where + "] ") + f.what + "; " + f.effect + ".";
}

std::string Joined(const std::vector<std::string>& items)
{
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : ", ") + i;
    return out;
}

std::string Market(const FleetInstrument& i)
{
    return i.market.empty() ? "internal (no Market.ini)" : i.market;
}

}  // namespace

std::string VerdictLine(const CheckOutcome& o)
{
    if (!o.notChecked.empty()) return "COULD NOT CHECK: " + o.notChecked;
    const int errors = o.Errors(), warnings = o.Warnings();
    if (errors > 0) return "DO NOT SHIP: " + Plural(errors, "error", "errors") + ", " + Plural(warnings, "warning", "warnings");
    std::string text = "SHIP: no errors, " + Plural(warnings, "warning", "warnings");
    if (o.fleetRun) {
        text += "; " + Plural(static_cast<int>(o.fleet.size()), "instrument", "instruments") +
                " behaved as expected";
    } else {
        text += "; static checks only (no fleet runs)";
    }
    return text;
}

std::string ReportText(const CheckOutcome& o)
{
    std::ostringstream out;
    out << VerdictLine(o) << "\n\nMedium " << o.medium << ", version "
        << (o.version.empty() ? "(none)" : o.version) << "\n";
    for (const auto severity : {Finding::Error, Finding::Warning}) {
        int n = 0;
        for (const auto& f : o.findings) n += f.severity == severity ? 1 : 0;
        if (n == 0) continue;
        out << "\n" << (severity == Finding::Error ? "Errors" : "Warnings") << " (" << n << "):\n";
        for (const auto& f : o.findings) {
            if (f.severity != severity) continue;
            out << "  " << f.check << ": " << FindingLine(f) << "\n";
            if (!f.explainedBy.empty()) out << "      explained by the static finding of " << Joined(f.explainedBy) << "\n";
            for (const auto& line : f.causeLines) out << "      trace: " << line << "\n";
        }
    }
    if (o.fleetRun) {
        out << "\nFleet (" << o.fleet.size() << " instruments; answer yes, medium pulled when asked):\n";
        char line[512];
        std::snprintf(line, sizeof line, "  %-20s %-8s %-9s %-24s %-12s %-12s %-8s %s\n", "instrument", "running",
                      "installed", "market", "expected", "outcome", "duration", "result");
        out << line;
        for (const auto& r : o.fleet) {
            const auto& i = r.instrument;
            std::snprintf(line, sizeof line, "  %-20s %-8s %-9s %-24s %-12s %-12s %-8s %s\n", i.name.c_str(),
                          i.running.c_str(), (i.installed.empty() ? i.running : i.installed).c_str(),
                          Market(i).c_str(), r.expected.c_str(), r.outcome.c_str(),
                          Duration(r.durationSeconds).c_str(), r.verdict.c_str());
            out << line;
        }
    }
    return out.str();
}

std::string JsonText(const CheckOutcome& o)
{
    nlohmann::json j;
    j["verdict"] = VerdictLine(o);
    j["ship"] = o.Errors() == 0 && o.notChecked.empty();
    j["medium"] = o.medium;
    j["version"] = o.version;
    j["errors"] = o.Errors();
    j["warnings"] = o.Warnings();
    j["fleetRun"] = o.fleetRun;
    j["runLimitSeconds"] = o.runLimitSeconds;
    // A check that gave no verdict: why, and the instruments whose runs
    // were stopped at the run limit.
    if (o.notChecked.empty()) {
        j["couldNotCheck"] = nullptr;
    } else {
        nlohmann::json instruments = nlohmann::json::array();
        for (const auto& r : o.fleet) {
            if (r.timedOut) instruments.push_back(r.instrument.name);
        }
        j["couldNotCheck"] = {{"reason", o.notChecked}, {"instruments", instruments}};
    }
    j["findings"] = nlohmann::json::array();
    for (const auto& f : o.findings) {
        nlohmann::json x = {{"severity", SeverityName(f.severity)}, {"check", f.check}, {"what", f.what},
                            {"effect", f.effect}};
        x["package"] = f.package;
        x["file"] = f.file;
        x["line"] = f.line;
        x["instrument"] = f.instrument;
        x["causeLines"] = f.causeLines;
        x["explainedBy"] = f.explainedBy;
        j["findings"].push_back(x);
    }
    j["fleet"] = nlohmann::json::array();
    for (const auto& r : o.fleet) {
        const auto& i = r.instrument;
        nlohmann::json x = {{"name", i.name},
                            {"running", i.running},
                            {"installed", i.installed.empty() ? i.running : i.installed},
                            {"market", i.market},
                            {"internal", MarketIsInternal(i.market)},
                            {"corruptLogs", i.corruptLogs},
                            {"truncateLogs", i.truncateLogs},
                            {"expected", r.expected},
                            {"outcome", r.outcome},
                            {"ok", r.ok},
                            {"result", r.verdict},
                            {"timedOut", r.timedOut},
                            {"causeLines", r.facts.causeLines}};
        if (r.workSeconds >= 0) {
            x["workSeconds"] = r.workSeconds;
        } else {
            x["workSeconds"] = nullptr;
        }
        if (r.durationSeconds >= 0) {
            x["durationSeconds"] = r.durationSeconds;
        } else {
            x["durationSeconds"] = nullptr;
        }
        j["fleet"].push_back(x);
    }
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string JunitText(const CheckOutcome& o)
{
    // One test case per check and one per instrument; errors are failures,
    // warnings the test case's output, checks that need the fleet runs are
    // skipped without them.
    std::ostringstream cases;
    int tests = 0, failures = 0, skipped = 0;
    const auto testCase = [&](const std::string& cls, const std::string& name, const std::vector<const Finding*>& fs,
                              bool skip, const std::string& skipWhy, const std::string& extra) {
        ++tests;
        cases << "    <testcase classname=\"" << XmlEscaped(cls) << "\" name=\"" << XmlEscaped(name) << "\"";
        std::string errors, warnings = extra;
        int nErrors = 0;
        for (const Finding* f : fs) {
            (f->severity == Finding::Error ? errors : warnings) += FindingLine(*f) + "\n";
            nErrors += f->severity == Finding::Error ? 1 : 0;
        }
        if (!skip && nErrors == 0 && warnings.empty()) {
            cases << "/>\n";
            return;
        }
        cases << ">\n";
        if (skip) {
            ++skipped;
            cases << "      <skipped message=\"" << XmlEscaped(skipWhy) << "\"/>\n";
        } else if (nErrors > 0) {
            ++failures;
            cases << "      <failure message=\"" << XmlEscaped(Plural(nErrors, "error", "errors")) << "\">"
                  << XmlEscaped(errors) << "</failure>\n";
        }
        if (!warnings.empty()) cases << "      <system-out>" << XmlEscaped(warnings) << "</system-out>\n";
        cases << "    </testcase>\n";
    };
    for (const auto& c : AllChecks()) {
        std::vector<const Finding*> fs;
        for (const auto& f : o.findings) {
            if (f.check == c.key) fs.push_back(&f);
        }
        testCase("swsim.check.static", std::string(c.key) + ": " + c.title, fs, c.dynamic && !o.fleetRun,
                 "the fleet was not run", "");
    }
    for (const auto& r : o.fleet) {
        std::vector<const Finding*> fs;
        for (const auto& f : o.findings) {
            if (f.check == "fleet" && f.instrument == r.instrument.name) fs.push_back(&f);
        }
        testCase("swsim.check.fleet", r.instrument.name, fs, false, "",
                 "expected " + r.expected + ", outcome " + r.outcome + ": " + r.verdict + "\n");
    }
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<testsuites name=\"swsim check\" tests=\"" << tests << "\" failures=\"" << failures << "\" skipped=\""
        << skipped << "\">\n"
        << "  <testsuite name=\"" << XmlEscaped("swsim check " + o.medium) << "\" tests=\"" << tests
        << "\" failures=\"" << failures << "\" errors=\"0\" skipped=\"" << skipped << "\">\n"
        << cases.str() << "  </testsuite>\n</testsuites>\n";
    return out.str();
}

}  // namespace swsim
