// The power-cut sweep as one self-contained HTML page: the update's timeline
// in the instrument's time with the phases, every image's writing, the
// window in which a power failure leaves the instrument unable to start and
// the points; then the counts and the table of points. Inline CSS and SVG
// only, like the run's HTML report.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "HtmlReport.h"
#include "Powercut.h"

namespace swsim {

namespace {


const char* ClassColour(PointClass c)
{
    switch (c) {
    case PointClass::Recovered: return "#2e7d32";
    case PointClass::LogHistoryLost: return "#f9a825";
    case PointClass::LogsDiffer: return "#c0ca33";
    case PointClass::BytesLost: return "#ef6c00";
    case PointClass::WouldNotStart: return "#c62828";
    case PointClass::Other: return "#6a1b9a";
    case PointClass::NotChecked: return "#757575";
    }
    return "#000";
}

std::string Num(double v, int decimals = 2)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

constexpr double kWidth = 1000, kLeft = 10;

// The timeline: axis, phases, image writing, window, points.
// Its element ids begin with `idPrefix` (one page may hold several).
std::string TimelineSvg(const PowercutResult& r, const std::string& idPrefix)
{
    const double total = std::max(r.updateSeconds, 1e-6);
    auto x = [&](double t) { return kLeft + kWidth * std::min(std::max(t, 0.0), total) / total; };
    std::ostringstream o;
    o << "<svg class=\"timeline\" width=\"" << kWidth + 2 * kLeft << "\" height=\"190\" role=\"img\" "
      << "aria-label=\"the update's timeline\">";
    // Phases.
    auto box = [&](double from, double to, int y, int h, const char* fill, const std::string& id,
                   const std::string& title) {
        o << "<rect id=\"" << idPrefix << id << "\" x=\"" << Num(x(from)) << "\" y=\"" << y << "\" width=\""
          << Num(std::max(0.5, x(to) - x(from))) << "\" height=\"" << h << "\" fill=\"" << fill
          << "\" stroke=\"#fff\"><title>" << HtmlEscape(title) << "</title></rect>";
    };
    box(0, r.flashFrom, 20, 26, "#b0bec5", "phase-before", "before the flash writing: 0 to " + Num(r.flashFrom) + " s");
    box(r.flashFrom, r.flashTo, 20, 26, "#90caf9", "phase-flash",
        "flash writing: " + Num(r.flashFrom) + " to " + Num(r.flashTo) + " s");
    box(r.flashTo, r.updateSeconds, 20, 26, "#b0bec5", "phase-after",
        "driver restart, installation, medium: " + Num(r.flashTo) + " to " + Num(r.updateSeconds) + " s");
    o << "<text x=\"" << kLeft << "\" y=\"14\">phases</text>";
    // Images.
    int n = 0;
    for (const auto& w : r.writing) {
        const bool critical = std::find(r.critical.begin(), r.critical.end(), w.partition) != r.critical.end();
        box(w.from, w.to, 62, 26, critical ? "#ef9a9a" : "#64b5f6", "image-" + std::to_string(n++),
            w.partition + " (sectors " + std::to_string(w.firstSector) + "-" + std::to_string(w.lastSector) +
                "): " + Num(w.from) + " to " + Num(w.to) + " s" + (critical ? ", critical" : ""));
        if (x(w.to) - x(w.from) > 60) {
            o << "<text x=\"" << Num(x(w.from) + 3) << "\" y=\"80\">" << HtmlEscape(w.partition) << "</text>";
        }
    }
    o << "<text x=\"" << kLeft << "\" y=\"58\">images written</text>";
    // The window.
    n = 0;
    for (const auto& w : r.window) {
        o << "<rect id=\"" << idPrefix << "window-" << n++ << "\" class=\"window\" x=\"" << Num(x(w.from)) << "\" y=\"96\" width=\""
          << Num(std::max(0.5, x(w.to) - x(w.from))) << "\" height=\"22\" fill=\"#c62828\"><title>"
          << HtmlEscape("a power failure leaves the instrument unable to start (" + w.partition + "): " +
                        Num(w.from) + " to " + Num(w.to) + " s")
          << "</title></rect>";
    }
    o << "<text x=\"" << kLeft << "\" y=\"92\">unable to start</text>";
    // Points.
    for (const auto& p : r.points) {
        o << "<circle class=\"point\" data-class=\"" << PointClassKey(p.cls) << "\" cx=\"" << Num(x(p.seconds))
          << "\" cy=\"140\" r=\"4\" fill=\"" << ClassColour(p.cls) << "\" fill-opacity=\"0.75\"><title>"
          << HtmlEscape(SweepId(p.point) + " at " + Num(p.seconds, 3) + " s, " + p.where + ": " +
                        PointClassText(p.cls))
          << "</title></circle>";
    }
    o << "<text x=\"" << kLeft << "\" y=\"130\">points</text>";
    // Axis.
    const double step = total > 100 ? 20 : total > 40 ? 5 : total > 10 ? 2 : 1;
    o << "<line x1=\"" << kLeft << "\" y1=\"160\" x2=\"" << kLeft + kWidth << "\" y2=\"160\" stroke=\"#555\"/>";
    const int ticks = static_cast<int>(std::floor(total / step + 1e-9));
    for (int k = 0; k <= ticks; ++k) {
        const double t = k * step;
        o << "<line x1=\"" << Num(x(t)) << "\" y1=\"160\" x2=\"" << Num(x(t)) << "\" y2=\"165\" stroke=\"#555\"/>"
          << "<text x=\"" << Num(x(t) - 6) << "\" y=\"180\">" << Num(t, 0) << "</text>";
    }
    o << "</svg>";
    return o.str();
}

const char kStyle[] =
    "body{font:15px/1.45 sans-serif;color:#1a1a1a;margin:0 20px;background:#fafafa}"
    "h1{font-size:20px}h2{font-size:17px;margin-top:24px}h3{font-size:15px;margin-top:18px}"
    ".verdict{border-left:6px solid #c62828;padding:8px 12px;background:#fff}.verdict.good{border-color:#2e7d32}"
    ".verdict.unclear{border-color:#f9a825}"
    "table{border-collapse:collapse;background:#fff}td,th{border:1px solid #ccc;padding:3px 8px;"
    "text-align:left;vertical-align:top}th{background:#eee}td.num{text-align:right}"
    ".timeline text{font:11px sans-serif;fill:#222}.swatch{display:inline-block;width:10px;height:10px;"
    "border-radius:50%;margin-right:4px}code{font-size:13px}";

std::string PageHead(const std::string& title)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
           "</title><style>" + kStyle + "</style></head><body>\n<h1>" + HtmlEscape(title) + "</h1>\n";
}

// The verdict's paragraph: its look and its key for scripts and tests.
std::string VerdictStart(Verdict v)
{
    const char* const look[] = {" good", "", " unclear"};
    return std::string("<p class=\"verdict") + look[static_cast<int>(v)] + "\" data-verdict=\"" + VerdictKey(v) +
           "\">";
}

// One sweep: its verdict, the timeline, the counts and the points, under
// headings of level `h` (2 on a page of its own, 3 inside a medium's page).
std::string SweepSections(const PowercutResult& r, int h, const std::string& idPrefix)
{
    std::ostringstream o;
    const std::string open = "<h" + std::to_string(h) + ">", close = "</h" + std::to_string(h) + ">\n";
    const double share = r.updateSeconds > 0 ? r.windowSeconds / r.updateSeconds : 0;
    o << VerdictStart(r.verdict);
    switch (r.verdict) {
    case Verdict::Unsafe:
        o << "For <b>" << Num(r.windowSeconds, 1) << " s</b> of the update's " << Num(r.updateSeconds, 1) << " s ("
          << Num(100 * share, 1) << " %) a power failure leaves the instrument unable to start.";
        break;
    case Verdict::Unclear:
        o << "<b>No answer:</b> " << HtmlEscape(UnclearReason(r)) << ".";
        break;
    case Verdict::Safe:
        o << "No moment of the update leaves the instrument unable to start.";
        break;
    }
    o << "</p>\n" << open << "Timeline (instrument's time, seconds since the updater started)" << close
      << TimelineSvg(r, idPrefix) << "\n<p>";
    for (PointClass c : PointClasses()) {
        o << "<span class=\"swatch\" style=\"background:" << ClassColour(c) << "\"></span>" << PointClassText(c)
          << " &nbsp; ";
    }
    o << "</p>\n<p>Times: " << HtmlEscape(r.timeSource) << ".</p>\n";
    o << open << "Counts" << close << "<table><tr><th>class</th><th>points</th></tr>";
    for (PointClass c : PointClasses()) {
        const auto it = r.counts.find(c);
        o << "<tr><td>" << PointClassText(c) << "</td><td class=\"num\">" << (it == r.counts.end() ? 0 : it->second)
          << "</td></tr>";
    }
    o << "</table>\n<p>Seed " << r.seed << ", " << r.points.size() << " points over " << r.busWrites
      << " flash bus writes and " << r.logWrites << " log writes; critical partitions: ";
    for (size_t i = 0; i < r.critical.size(); ++i) o << (i ? ", " : "") << HtmlEscape(r.critical[i]);
    o << "; wall time " << Num(r.wallSeconds, 1) << " s.</p>\n";
    o << open << "Points" << close
      << "<table><tr><th>id</th><th>time (s)</th><th>cut in</th><th>class</th><th>evidence</th></tr>";
    for (const auto& p : r.points) {
        const std::string detail = PointDetail(p);
        o << "<tr><td><code>" << HtmlEscape(SweepId(p.point)) << "</code></td><td class=\"num\">" << Num(p.seconds, 3)
          << "</td><td>" << HtmlEscape(p.where) << "</td><td><span class=\"swatch\" style=\"background:"
          << ClassColour(p.cls) << "\"></span>" << PointClassText(p.cls) << "</td><td>" << HtmlEscape(detail)
          << "</td></tr>";
    }
    o << "</table>\n";
    return o.str();
}

}  // namespace

std::string PowercutHtml(const PowercutResult& r)
{
    return PageHead("Power cuts during the update on " + r.state) + SweepSections(r, 2, "") + "</body></html>\n";
}

std::string MediumPowercutHtml(const MediumPowercutResult& m)
{
    std::ostringstream o;
    o << PageHead("Power cuts during the update of " + m.medium + " on the fleet") << VerdictStart(m.verdict);
    switch (m.verdict) {
    case Verdict::Unsafe: o << "A power failure during the update can leave an instrument unable to start."; break;
    case Verdict::Unclear: o << "<b>No answer</b> for some instrument (see its section)."; break;
    case Verdict::Safe: o << "No moment of the update leaves any instrument unable to start."; break;
    }
    o << "</p>\n<p>Medium <code>" << HtmlEscape(m.mediumDigest) << "</code>, fleet " << HtmlEscape(m.fleetSource)
      << "; wall time " << Num(m.wallSeconds, 1) << " s.</p>\n<ul>";
    for (const auto& k : m.kinds) {
        o << "<li><a href=\"#kind-" << HtmlEscape(k.kind) << "\">" << HtmlEscape(k.kind) << "</a>: "
          << VerdictKey(k.verdict) << "</li>";
    }
    for (const auto& s : m.skipped) o << "<li>" << HtmlEscape(s.name) << ": skipped, " << HtmlEscape(s.reason) << "</li>";
    o << "</ul>\n";
    for (const auto& k : m.kinds) {
        o << "<section id=\"kind-" << HtmlEscape(k.kind) << "\"><h2>Instrument " << HtmlEscape(k.kind) << "</h2>\n"
          << SweepSections(k, 3, k.kind + "-") << "</section>\n";
    }
    o << "</body></html>\n";
    return o.str();
}

}  // namespace swsim
