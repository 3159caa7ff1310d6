// What swsim check prints and writes: the verdict and the findings for
// people, JSON for scripts, JUnit XML for release pipelines.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

#include "MediumCheck.h"
#include "ToolVersion.h"

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
    return (where.empty() ? "" : "[" + where + "] ") + (f.invariant.empty() ? "" : "invariant " + f.invariant + ": ") +
           f.what + "; " + f.effect + ".";
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

std::string UpgradePathText(const CheckOutcome& o)
{
    std::string text;
    for (size_t i = 0; i < o.previous.size(); ++i) {
        text += (i ? ", then " : "") + o.previous[i] + " (" + o.previousVersions[i] + ")";
    }
    return text;
}

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
    if (!o.previous.empty()) out << "Installed first on every instrument: " << UpgradePathText(o) << "\n";
    if (o.shard.split) {
        out << "Shard " << o.shard.index << " of " << o.shard.count << ": " << o.fleet.size() << " of the fleet's "
            << o.shard.fleetSize << " instruments (swsim check --merge joins the shards' JSON)\n";
    }
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
    if (!o.advice.empty()) {
        out << "\nAdvice (" << o.advice.size() << "; the verdict does not depend on it):\n";
        for (const auto& a : o.advice) {
            out << "  " << (a.offered ? a.text : a.image + " (flashMap line " + std::to_string(a.line) + ")") << "\n"
                << "      " << a.detail << "\n";
        }
    }
    return out.str();
}

std::string JsonText(const CheckOutcome& o)
{
    nlohmann::json j;
    // The layout's version (simulator/schemas/check.schema.json) and the tool's.
    j["schemaVersion"] = 2;
    j["swsimVersion"] = SWU_TOOL_VERSION;
    j["verdict"] = VerdictLine(o);
    j["ship"] = o.Errors() == 0 && o.notChecked.empty();
    j["medium"] = o.medium;
    j["version"] = o.version;
    j["errors"] = o.Errors();
    j["warnings"] = o.Warnings();
    j["fleetRun"] = o.fleetRun;
    j["runLimitSeconds"] = o.runLimitSeconds;
    j["previous"] = nlohmann::json::array();
    for (size_t i = 0; i < o.previous.size(); ++i) {
        j["previous"].push_back({{"medium", o.previous[i]}, {"version", o.previousVersions[i]}});
    }
    j["advice"] = nlohmann::json::array();
    for (const auto& a : o.advice) {
        nlohmann::json x = {{"image", a.image},   {"line", a.line},   {"since", a.since},
                            {"change", a.change}, {"boot", a.boot},   {"offered", a.offered},
                            {"text", a.text},     {"detail", a.detail}};
        x["savedSeconds"] = a.offered ? nlohmann::json(a.savedSeconds) : nlohmann::json(nullptr);
        x["windowBeforeSeconds"] = a.offered && a.boot ? nlohmann::json(a.windowBefore) : nlohmann::json(nullptr);
        x["windowAfterSeconds"] = a.offered && a.boot ? nlohmann::json(a.windowAfter) : nlohmann::json(nullptr);
        j["advice"].push_back(x);
    }
    // A check that gave no verdict: why, and the instruments whose runs
    // were stopped at the run limit.
    if (o.notChecked.empty()) {
        j["couldNotCheck"] = nullptr;
    } else {
        nlohmann::json instruments = nlohmann::json::array();
        for (const auto& r : o.fleet) {
            if (r.timedOut || !r.previousFailed.empty()) instruments.push_back(r.instrument.name);
        }
        j["couldNotCheck"] = {{"reason", o.notChecked}, {"instruments", instruments}};
    }
    j["findings"] = nlohmann::json::array();
    for (const auto& f : o.findings) j["findings"].push_back(f);
    j["mediumDigest"] = o.mediumDigest;
    j["shard"] = ShardJson(o);
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
                            {"mounted", i.mounted},
                            {"expected", r.expected},
                            {"outcome", r.outcome},
                            {"ok", r.ok},
                            {"result", r.verdict},
                            {"timedOut", r.timedOut},
                            {"causeLines", r.facts.causeLines}};
        // An instrument from service: the files it was made from, as the
        // fleet file names them.
        if (i.dump.empty()) {
            x["from"] = nullptr;
        } else {
            x["from"] = {{"flash", i.dump}, {"data", i.data}, {"logs", i.logs}};
        }
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

namespace {

// Where a finding applies, compactly, for a test case's name:
// "file1/flashMap:4", "eu-2.9", or "" for the medium as a whole.
std::string Place(const Finding& f)
{
    std::string p = f.instrument;
    for (const std::string* part : {&f.package, &f.file}) {
        if (!part->empty()) p += (p.empty() ? "" : "/") + *part;
    }
    if (f.line > 0) p += ":" + std::to_string(f.line);
    return p;
}

// The test cases of a JUnit file, and their counts.
struct JunitCases {
    std::ostringstream text;
    int tests = 0, failures = 0, skipped = 0;

    // A test case: errors among `fs` fail it (the message is the first
    // one's text, every one in the body), warnings and `out` are its output.
    void Add(const std::string& cls, const std::string& name, double time, const std::vector<const Finding*>& fs,
             const std::string& skipWhy, std::string out)
    {
        ++tests;
        char t[32];
        std::snprintf(t, sizeof t, "%.3f", time);
        text << "    <testcase classname=\"" << XmlEscaped(cls) << "\" name=\"" << XmlEscaped(name) << "\" time=\""
             << t << "\"";
        std::string errors, message;
        int nErrors = 0;
        for (const Finding* f : fs) {
            const bool error = f->severity == Finding::Error;
            (error ? errors : out) += FindingLine(*f) + "\n";
            if (error && nErrors++ == 0) message = FindingLine(*f);
        }
        if (skipWhy.empty() && nErrors == 0 && out.empty()) {
            text << "/>\n";
            return;
        }
        text << ">\n";
        if (!skipWhy.empty()) {
            ++skipped;
            text << "      <skipped message=\"" << XmlEscaped(skipWhy) << "\"/>\n";
        } else if (nErrors > 0) {
            ++failures;
            if (nErrors > 1) message += " (and " + Plural(nErrors - 1, "more error", "more errors") + ")";
            text << "      <failure type=\"error\" message=\"" << XmlEscaped(message) << "\">" << XmlEscaped(errors)
                 << "</failure>\n";
        }
        if (!out.empty()) text << "      <system-out>" << XmlEscaped(out) << "</system-out>\n";
        text << "    </testcase>\n";
    }
};

// The test cases of one check: the check's key alone when it found nothing
// (or nothing tied to a place), else one per place it found something at,
// "KEY PLACE". Names never carry a finding's wording, so a test keeps its
// identity from one medium to the next.
void AddCheckCases(const CheckOutcome& o, const CheckInfo& c, JunitCases* cases)
{
    std::vector<std::string> places;
    std::vector<std::vector<const Finding*>> found;
    for (const auto& f : o.findings) {
        if (f.check != c.key) continue;
        const std::string place = Place(f);
        const auto at = std::find(places.begin(), places.end(), place);
        if (at == places.end()) {
            places.push_back(place);
            found.push_back({&f});
        } else {
            found[static_cast<size_t>(at - places.begin())].push_back(&f);
        }
    }
    const std::string skipWhy = c.dynamic && !o.fleetRun ? "the fleet was not run" : "";
    if (places.empty()) cases->Add("swsim.check.static", c.key, 0, {}, skipWhy, "");
    for (size_t i = 0; i < places.size(); ++i) {
        const std::string name = places[i].empty() ? c.key : std::string(c.key) + " " + places[i];
        cases->Add("swsim.check.static", name, 0, found[i], skipWhy, "");
    }
}

// The suite's properties: the upgrade path's media and the advice offered
// (each its own property, as pipelines list them).
std::string JunitProperties(const CheckOutcome& o)
{
    std::vector<std::pair<std::string, std::string>> props;
    props.reserve(o.previous.size() + o.advice.size());
    for (size_t i = 0; i < o.previous.size(); ++i) {
        props.emplace_back("previous", o.previous[i] + " (" + o.previousVersions[i] + ")");
    }
    for (const auto& a : o.advice) {
        if (a.offered) props.emplace_back("advice", a.text);
    }
    if (props.empty()) return "";
    std::string text = "    <properties>\n";
    for (const auto& p : props) {
        text += "      <property name=\"" + XmlEscaped(p.first) + "\" value=\"" + XmlEscaped(p.second) + "\"/>\n";
    }
    return text + "    </properties>\n";
}

}  // namespace

std::string JunitText(const CheckOutcome& o)
{
    // Test cases per check (and place) and one per instrument of the fleet;
    // errors are failures, warnings the test case's output, checks that need
    // the fleet runs are skipped without them. An instrument's time is its
    // duration of the update (in the instrument's time, as the report gives
    // it); the static checks take no time worth telling. The suite has no
    // time: the instruments run at once, so theirs do not add up.
    JunitCases cases;
    for (const auto& c : AllChecks()) AddCheckCases(o, c, &cases);
    for (const auto& r : o.fleet) {
        std::vector<const Finding*> fs;
        for (const auto& f : o.findings) {
            if (f.check == "fleet" && f.instrument == r.instrument.name) fs.push_back(&f);
        }
        cases.Add("swsim.check.fleet", r.instrument.name, std::max(0.0, r.durationSeconds), fs, "",
                  "expected " + r.expected + ", outcome " + r.outcome + ": " + r.verdict + "\n");
    }
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<testsuites name=\"swsim check\" tests=\"" << cases.tests << "\" failures=\"" << cases.failures
        << "\" skipped=\"" << cases.skipped << "\">\n"
        << "  <testsuite name=\"" << XmlEscaped("swsim check " + o.medium) << "\" tests=\"" << cases.tests
        << "\" failures=\"" << cases.failures << "\" errors=\"0\" skipped=\"" << cases.skipped << "\">\n"
        << JunitProperties(o) << cases.text.str() << "  </testsuite>\n</testsuites>\n";
    return out.str();
}

}  // namespace swsim
