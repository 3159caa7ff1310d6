// swsim check --sarif: the findings as one SARIF 2.1.0 log, the format in
// which code-scanning systems take the results of an analysis.
//
// One run of one tool ("swsim check"). Its driver describes every check
// once as a rule, with the text of the table of checks in
// simulator/README.md (compiled in from there: CheckTable.h is generated at
// configure time), so that a pipeline shows the same words people read.
// Every finding, static or from the fleet, is a result in the JSON's order:
// the check's key as ruleId, its severity as level, what is wrong and what
// the instrument does as the message, and where it is:
//
//   - a member of a package (file1's flashMap): the member's path relative
//     to the directory the packages were built from (uriBaseId SRCROOT, which
//     the pipeline knows: the medium's source), the line as the region; the
//     artifact's parent is the package, relative to the medium (MEDIUM);
//   - a package alone: the package under MEDIUM;
//   - a fleet instrument, or the medium as a whole: a logical location.
#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "CheckTable.h"
#include "MediumCheck.h"
#include "ToolVersion.h"

namespace swsim {

namespace {

// The key of the fleet's findings, and its rule's short description.
constexpr const char* kFleetCheck = "fleet";
constexpr const char* kFleetTitle = "every instrument of the fleet installs or refuses as it should";

// One row of the table of checks: "| `key` | severity | finding | what the
// instrument does |".
struct TableRow {
    std::string severity, finding, effect;
};

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The table's rows by check key, in the table's order.
const std::map<std::string, std::vector<TableRow>>& TableRows()
{
    static const std::map<std::string, std::vector<TableRow>> rows = [] {
        std::map<std::string, std::vector<TableRow>> byKey;
        const std::string table = kCheckTable;
        for (size_t at = 0; at < table.size();) {
            size_t end = table.find('\n', at);
            if (end == std::string::npos) end = table.size();
            const std::string line = table.substr(at, end - at);
            at = end + 1;
            if (line.compare(0, 3, "| `") != 0) continue;
            std::vector<std::string> cells;
            for (size_t c = 1; c < line.size();) {
                const size_t next = line.find(" |", c);
                if (next == std::string::npos) break;
                cells.push_back(Trim(line.substr(c, next - c)));
                c = next + 2;
            }
            if (cells.size() != 4 || cells[0].size() < 3) continue;
            byKey[cells[0].substr(1, cells[0].size() - 2)].push_back({cells[1], cells[2], cells[3]});
        }
        return byKey;
    }();
    return rows;
}

// Markdown's code marks left out, for the plain text of a message.
std::string Plain(const std::string& markdown)
{
    std::string out;
    for (char c : markdown) {
        if (c != '`') out += c;
    }
    return out;
}

const char* Level(Finding::Severity s)
{
    return s == Finding::Error ? "error" : "warning";
}

// A path as a relative URI reference: every byte but the unreserved ones and
// "/" percent-encoded (member names come from the packages and may hold
// anything).
std::string UriPath(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// A member path that names a place in the medium's source: relative, no
// ".." component. Others (the unsafe members a finding reports) are named
// by the package and a logical location only.
bool SourcePath(const std::string& path)
{
    if (path.empty() || path[0] == '/') return false;
    return ("/" + path + "/").find("/../") == std::string::npos;
}

// The rule's friendly name: its key in Pascal case ("map-line-ends":
// "MapLineEnds").
std::string PascalCase(const std::string& key)
{
    std::string out;
    bool upper = true;
    for (char c : key) {
        if (c == '-') {
            upper = true;
            continue;
        }
        out += upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        upper = false;
    }
    return out;
}

nlohmann::json Rule(const CheckInfo& c)
{
    std::string text, markdown;
    Finding::Severity level = Finding::Warning;
    const auto& rows = TableRows();
    const auto found = rows.find(c.key);
    if (found != rows.end()) {
        markdown = "| severity | finding | what the instrument does |\n|---|---|---|\n";
        for (const auto& r : found->second) {
            if (r.severity.compare(0, 5, "error") == 0) level = Finding::Error;
            text += (text.empty() ? "" : "\n") + Plain(r.severity + ": " + r.finding + ". The instrument: " + r.effect +
                                                       ".");
            markdown += "| " + r.severity + " | " + r.finding + " | " + r.effect + " |\n";
        }
    }
    nlohmann::json rule = {{"id", c.key}, {"name", PascalCase(c.key)}, {"shortDescription", {{"text", c.title}}}};
    if (!text.empty()) {
        rule["fullDescription"] = {{"text", text}};
        rule["help"] = {{"text", text}, {"markdown", markdown}};
    }
    rule["defaultConfiguration"] = {{"level", Level(level)}};
    rule["properties"] = {{"needsFleet", c.dynamic}};
    return rule;
}

// The run's artifacts: the packages, and the members under them.
struct Artifacts {
    nlohmann::json list = nlohmann::json::array();
    std::map<std::string, size_t> index;

    size_t Add(const std::string& key, nlohmann::json artifact)
    {
        const auto at = index.find(key);
        if (at != index.end()) return at->second;
        list.push_back(std::move(artifact));
        return index[key] = list.size() - 1;
    }
    size_t Package(const std::string& package)
    {
        return Add(package, {{"location", {{"uri", UriPath(package)}, {"uriBaseId", "MEDIUM"}}},
                             {"roles", {"analysisTarget"}}});
    }
    size_t Member(const std::string& package, const std::string& member)
    {
        const size_t parent = Package(package);
        return Add(package + "\n" + member,
                   {{"location", {{"uri", UriPath(member)}, {"uriBaseId", "SRCROOT"}}}, {"parentIndex", parent}});
    }
};

nlohmann::json Location(const Finding& f, Artifacts* artifacts)
{
    nlohmann::json location = nlohmann::json::object();
    if (!f.package.empty() && !f.file.empty() && SourcePath(f.file)) {
        const size_t i = artifacts->Member(f.package, f.file);
        nlohmann::json physical = {{"artifactLocation", artifacts->list[i]["location"]}};
        physical["artifactLocation"]["index"] = i;
        if (f.line > 0) physical["region"] = {{"startLine", f.line}};
        location["physicalLocation"] = physical;
    } else if (!f.package.empty()) {
        const size_t i = artifacts->Package(f.package);
        nlohmann::json physical = {{"artifactLocation", artifacts->list[i]["location"]}};
        physical["artifactLocation"]["index"] = i;
        location["physicalLocation"] = physical;
    }
    nlohmann::json logical = nlohmann::json::array();
    if (!f.instrument.empty()) {
        logical.push_back({{"name", f.instrument}, {"fullyQualifiedName", "fleet/" + f.instrument}, {"kind", "object"}});
    } else if (!f.file.empty()) {
        const std::string name = f.package + "/" + f.file;
        logical.push_back({{"name", f.file}, {"fullyQualifiedName", name}, {"kind", "resource"}});
    } else if (f.package.empty()) {
        logical.push_back({{"name", "medium"}, {"kind", "resource"}});
    }
    if (!logical.empty()) location["logicalLocations"] = logical;
    return location;
}

std::string Message(const Finding& f)
{
    std::string text = f.what + "; " + f.effect + ".";
    if (!f.explainedBy.empty()) {
        text += " Explained by the static finding of";
        for (size_t i = 0; i < f.explainedBy.size(); ++i) text += (i == 0 ? " " : ", ") + f.explainedBy[i];
        text += ".";
    }
    return text;
}

// The advice offered, as the run's property: it is no finding (no result)
// and never changes the verdict.
nlohmann::json AdviceOffered(const CheckOutcome& o)
{
    nlohmann::json advice = nlohmann::json::array();
    for (const auto& a : o.advice) {
        if (!a.offered) continue;
        nlohmann::json x = {{"image", a.image}, {"line", a.line}, {"change", a.change}, {"text", a.text},
                            {"savedSeconds", a.savedSeconds}};
        if (a.boot) {
            x["windowBeforeSeconds"] = a.windowBefore;
            x["windowAfterSeconds"] = a.windowAfter;
        }
        advice.push_back(x);
    }
    return advice;
}

}  // namespace

std::string SarifText(const CheckOutcome& o)
{
    std::vector<CheckInfo> checks = AllChecks();
    checks.push_back({kFleetCheck, kFleetTitle, true});
    std::map<std::string, size_t> ruleIndex;
    nlohmann::json rules = nlohmann::json::array();
    for (const auto& c : checks) {
        ruleIndex[c.key] = rules.size();
        rules.push_back(Rule(c));
    }

    Artifacts artifacts;
    nlohmann::json results = nlohmann::json::array();
    for (const auto& f : o.findings) {
        nlohmann::json r = {{"ruleId", f.check}, {"level", Level(f.severity)}, {"message", {{"text", Message(f)}}}};
        const auto rule = ruleIndex.find(f.check);
        if (rule != ruleIndex.end()) r["ruleIndex"] = rule->second;
        r["locations"] = nlohmann::json::array({Location(f, &artifacts)});
        nlohmann::json properties = {{"what", f.what}, {"effect", f.effect}};
        if (!f.instrument.empty()) properties["instrument"] = f.instrument;
        if (!f.causeLines.empty()) properties["causeLines"] = f.causeLines;
        if (!f.explainedBy.empty()) properties["explainedBy"] = f.explainedBy;
        r["properties"] = properties;
        results.push_back(r);
    }

    nlohmann::json invocation = {{"executionSuccessful", o.notChecked.empty()}};
    if (!o.notChecked.empty()) {
        invocation["toolExecutionNotifications"] =
            nlohmann::json::array({{{"level", "error"}, {"message", {{"text", "could not check: " + o.notChecked}}}}});
    }
    nlohmann::json run = {
        {"tool",
         {{"driver",
           {{"name", "swsim check"},
            {"fullName", "swsim check: is an update medium safe to ship?"},
            {"version", SWU_TOOL_VERSION},
            {"semanticVersion", SWU_TOOL_VERSION},
            {"rules", rules}}}}},
        {"originalUriBaseIds",
         {{"MEDIUM",
           {{"uri", "file://" + UriPath(o.medium.empty() || o.medium.back() == '/' ? o.medium : o.medium + "/")},
            {"description", {{"text", "the medium's directory, holding the packages file0, file1, ..."}}}}},
          {"SRCROOT",
           {{"description",
             {{"text", "the directory the medium's packages were built from: a member's path is relative to it"}}}}}}},
        {"invocations", nlohmann::json::array({invocation})},
        {"results", results},
        // The check's verdict, as the JSON output gives it.
        {"properties",
         {{"verdict", VerdictLine(o)},
          {"ship", o.Errors() == 0 && o.notChecked.empty()},
          {"errors", o.Errors()},
          {"warnings", o.Warnings()},
          {"version", o.version},
          {"fleetRun", o.fleetRun},
          {"previous", o.previous},
          {"previousVersions", o.previousVersions},
          {"advice", AdviceOffered(o)}}}};
    if (!artifacts.list.empty()) run["artifacts"] = artifacts.list;
    const nlohmann::json log = {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
                                {"version", "2.1.0"},
                                {"runs", nlohmann::json::array({run})}};
    return log.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace swsim
