// swsim check --html: the verdict, the findings and the fleet as one
// self-contained page, with the picture of each instrument's flash after
// its run (the pieces of the report page).
#include <cstdio>
#include <set>
#include <sstream>

#include "HtmlReport.h"
#include "MediumCheck.h"

namespace swsim {

std::string CheckHtmlText(const CheckOutcome& o)
{
    std::ostringstream h;
    const bool ship = o.Errors() == 0;
    h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Check of "
      << HtmlEscape(o.medium) << "</title><style>" << HtmlReportStyle() << "</style></head>\n<body><main>\n"
      << "<h1>Is the medium safe to ship?</h1>\n<p class=\"meta\">" << HtmlEscape(o.medium) << ", version "
      << HtmlEscape(o.version.empty() ? "unknown" : o.version)
      << (o.previous.empty() ? "" : "; installed first on every instrument: " + HtmlEscape(UpgradePathText(o)))
      << "</p>\n"
      << "<p class=\"outcome " << (ship ? "good" : "bad") << "\" id=\"verdict\" data-errors=\"" << o.Errors()
      << "\" data-warnings=\"" << o.Warnings() << "\">" << HtmlEscape(VerdictLine(o)) << "</p>\n";
    h << "<h2>Findings</h2>\n<table id=\"findings\"><tr><th>severity</th><th>check</th><th>where</th>"
         "<th>what</th><th>effect</th></tr>\n";
    std::set<std::string> anchored;
    for (const auto& f : o.findings) {
        std::string where = f.instrument.empty() ? f.package : f.instrument;
        if (!f.file.empty()) where += (where.empty() ? "" : " ") + f.file;
        if (f.line > 0) where += " line " + std::to_string(f.line);
        // The first static finding of each check is the target of the
        // fleet findings it explains.
        const bool anchor = f.instrument.empty() && anchored.insert(f.check).second;
        h << "<tr" << (anchor ? " id=\"check-" + HtmlEscape(f.check) + "\"" : std::string()) << "><td class=\""
          << (f.severity == Finding::Error ? "notok" : "ok") << "\">" << SeverityName(f.severity) << "</td><td>"
          << HtmlEscape(f.check) << (f.invariant.empty() ? "" : "<br><span class=\"invariant\">" + HtmlEscape(f.invariant) + "</span>")
          << "</td><td>" << HtmlEscape(where) << "</td><td>" << HtmlEscape(f.what);
        for (const auto& key : f.explainedBy) {
            h << "<br>explained by <a class=\"explained-by\" href=\"#check-" << HtmlEscape(key) << "\">"
              << HtmlEscape(key) << "</a>";
        }
        if (!f.causeLines.empty()) {
            h << "<pre class=\"cause\">";
            for (const auto& line : f.causeLines) h << HtmlEscape(line) << "\n";
            h << "</pre>";
        }
        h << "</td><td>" << HtmlEscape(f.effect) << "</td></tr>\n";
    }
    if (o.findings.empty()) h << "<tr><td colspan=\"5\">none</td></tr>\n";
    h << "</table>\n";
    if (!o.fleetRun) {
        h << "<p>No fleet was run (static checks only).</p>\n";
    }
    if (!o.advice.empty()) {
        h << "<h2>Advice</h2>\n<p>The verdict does not depend on it.</p>\n<ul id=\"advice\">\n";
        for (const auto& a : o.advice) {
            h << "<li class=\"" << (a.offered ? "offered" : "not-offered") << "\">"
              << HtmlEscape(a.offered ? a.text : a.image + " (flashMap line " + std::to_string(a.line) + ")")
              << "<br><span class=\"meta\">" << HtmlEscape(a.detail) << "</span></li>\n";
        }
        h << "</ul>\n";
    }
    int n = 0;
    for (const auto& r : o.fleet) {
        ++n;
        h << "<h2>Instrument " << HtmlEscape(r.instrument.name) << "</h2>\n<p>running "
          << HtmlEscape(r.instrument.running) << ", market "
          << HtmlEscape(r.instrument.market.empty() ? "none (internal)" : r.instrument.market) << "; expected "
          << HtmlEscape(r.expected) << ", outcome " << HtmlEscape(r.outcome) << ": <span class=\""
          << (r.ok ? "ok" : "notok") << "\">" << HtmlEscape(r.verdict) << "</span>";
        if (r.durationSeconds >= 0) {
            char d[32];
            std::snprintf(d, sizeof d, "%.1f", r.durationSeconds);
            h << "; duration " << d << " s";
        }
        h << "</p>\n";
        if (!r.facts.causeLines.empty()) {
            h << "<p>" << (r.facts.outcome == Outcome::Unfinished ? "The trace's last lines" : "Cause in the trace")
              << ":</p>\n<pre class=\"cause\" id=\"i" << n << "-cause\">";
            for (const auto& line : r.facts.causeLines) h << HtmlEscape(line) << "\n";
            h << "</pre>\n";
        }
        const std::string mismatch = r.facts.outcome == Outcome::Done ? r.facts.FlashMismatch() : "";
        if (!mismatch.empty()) h << "<p class=\"notok\">" << HtmlEscape("The flash: " + mismatch) << ".</p>\n";
        if (r.ran && r.facts.flash.hasPicture) {
            h << FlashSvg(r.facts.flash.picture, "i" + std::to_string(n) + "-");
        } else {
            h << "<p>No picture of the flash: "
              << (r.ran ? "the flash or its copy from before the run is missing or not 16 MiB" : "no run") << ".</p>\n";
        }
    }
    h << "</main></body></html>\n";
    return h.str();
}

}  // namespace swsim
