#include "HtmlReport.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "SimFiles.h"
#include "SimLogs.h"
#include "SimReport.h"
#include "SimState.h"

namespace swsim {

std::string HtmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            // Control characters (a corrupt record's text) would make the
            // page invalid; tabs and line ends stay.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                out += "&#xFFFD;";
            } else {
                out += c;
            }
        }
    }
    return out;
}

namespace {

constexpr int kColumns = 16;
constexpr int kCellW = 42, kCellH = 30, kGap = 2;
constexpr int kLeft = 78, kTop = 8;
constexpr int kBand = 20;  // partition band under each row
constexpr int kRowPitch = kCellH + kBand + 8;

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string HexAddress(uint64_t v)
{
    return Fmt("0x%06llx", static_cast<unsigned long long>(v));
}

// Fill of a sector of each state. Dark, light and textured fills keep the
// states apart in grey and for readers who do not tell red from green.
std::string Fill(SectorState s, const std::string& idPrefix)
{
    switch (s) {
    case SectorState::Written: return "#1d4e89";
    case SectorState::Partial: return "url(#" + idPrefix + "fill-partial)";
    case SectorState::Kept: return "#8cc084";
    case SectorState::Untouched: return "#f4f4f4";
    case SectorState::Unexpected: return "url(#" + idPrefix + "fill-unexpected)";
    case SectorState::Torn: return "url(#" + idPrefix + "fill-torn)";
    case SectorState::Overwritten: return "url(#" + idPrefix + "fill-overwritten)";
    case SectorState::NotWritten: return "url(#" + idPrefix + "fill-not-written)";
    }
    return "#000";
}

void CellOrigin(int sector, int* x, int* y)
{
    *x = kLeft + (sector % kColumns) * (kCellW + kGap);
    *y = kTop + (sector / kColumns) * kRowPitch;
}

// The fills of the states that are patterns, with ids of the picture's own.
void Patterns(const std::string& ip, std::ostringstream& o)
{
    o << "<defs>\n"
         "<pattern id=\"" << ip << "fill-partial\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(45)\"><rect width=\"8\" height=\"8\" fill=\"#ffffff\"/>"
         "<rect width=\"4\" height=\"8\" fill=\"#1d4e89\"/></pattern>\n"
         "<pattern id=\"" << ip << "fill-unexpected\" width=\"10\" height=\"10\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"10\" height=\"10\" fill=\"#c62828\"/>"
         "<path d=\"M0 0L10 10M10 0L0 10\" stroke=\"#ffffff\" stroke-width=\"2\"/></pattern>\n"
         "<pattern id=\"" << ip << "fill-torn\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"8\" height=\"8\" fill=\"#ffffff\"/><rect width=\"8\" height=\"4\" fill=\"#c62828\"/>"
         "</pattern>\n"
         "<pattern id=\"" << ip << "fill-overwritten\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(-45)\"><rect width=\"8\" height=\"8\" fill=\"#f2a541\"/>"
         "<rect width=\"3\" height=\"8\" fill=\"#5d3a00\"/></pattern>\n"
         "<pattern id=\"" << ip << "fill-not-written\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"8\" height=\"8\" fill=\"#fbe3e3\"/><circle cx=\"4\" cy=\"4\" r=\"1.8\" fill=\"#c62828\"/>"
         "</pattern>\n"
         "</defs>\n";
}

// The picture's legend: a swatch per state, three a row, then the
// partition outline, from `top` down over `rows` rows.
void Legend(int top, int rows, const std::string& ip, std::ostringstream& o)
{
    const auto& states = AllSectorStates();
    for (int i = 0; i < static_cast<int>(states.size()); ++i) {
        const int x = kLeft + (i % 3) * 230, y = top + (i / 3) * 22;
        o << Fmt("<g class=\"legend\" data-state=\"%s\"><rect x=\"%d\" y=\"%d\" width=\"24\" height=\"16\" "
                 "fill=\"%s\" stroke=\"#777\"/><text x=\"%d\" y=\"%d\">%s</text></g>\n",
                 SectorStateKey(states[i]), x, y, Fill(states[i], ip).c_str(), x + 30, y + 12, SectorStateText(states[i]));
    }
    const int y = top + (rows - 1) * 22;
    o << Fmt("<rect class=\"pbox\" x=\"%d\" y=\"%d\" width=\"24\" height=\"16\"/><text x=\"%d\" y=\"%d\">"
             "a partition of the flash map (bar: its exact extent)</text>\n",
             kLeft, y, kLeft + 30, y + 12);
}

}  // namespace

std::string FlashSvg(const FlashPicture& p, const std::string& idPrefix)
{
    const std::string& ip = idPrefix;
    const int rows = (kSectorCount + kColumns - 1) / kColumns;
    const int gridW = kLeft + kColumns * (kCellW + kGap);
    const int legendTop = kTop + rows * kRowPitch + 6;
    const auto& states = AllSectorStates();
    const int legendRows = static_cast<int>(states.size() + 2) / 3 + 1;  // and the partition's row
    const int height = legendTop + legendRows * 22 + 8;
    std::ostringstream o;
    o << Fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"flash\" id=\"%sflash-picture\" "
             "viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\" role=\"img\" "
             "aria-label=\"the flash's %d sectors of 128 KiB\">\n",
             ip.c_str(), gridW + 4, height, gridW + 4, height, kSectorCount);
    Patterns(ip, o);
    o << "<style>.flash text{font:11px sans-serif;fill:#222}.flash .addr{font:11px monospace;fill:#555}"
         ".flash .pname{font:bold 11px sans-serif}.flash .sector{stroke:#9a9a9a;stroke-width:1}"
         ".flash .pbox{fill:none;stroke:#111;stroke-width:2.5}.flash .pbar{fill:#444}"
         ".flash .pbar.kept{fill:#3f7a37}.flash .pbar.written{fill:#1d4e89}</style>\n";
    for (int r = 0; r < rows; ++r) {
        o << Fmt("<text class=\"addr\" x=\"2\" y=\"%d\">%s</text>\n", kTop + r * kRowPitch + 19,
                 HexAddress(static_cast<uint64_t>(r) * kColumns * kSectorSize).c_str());
    }
    for (int s = 0; s < kSectorCount && s < static_cast<int>(p.sectors.size()); ++s) {
        int x, y;
        CellOrigin(s, &x, &y);
        const uint64_t a = static_cast<uint64_t>(s) * kSectorSize;
        std::string title = Fmt("sector %d, %s-%s: %s", s, HexAddress(a).c_str(),
                                HexAddress(a + kSectorSize - 1).c_str(), SectorStateText(p.sectors[s]));
        if (p.coveredBytes[s] != 0) {
            title += Fmt("; %u of %u bytes from ", p.coveredBytes[s], kSectorSize) + p.imageOf[s];
        }
        for (const auto& ow : p.overwrites) {
            if (std::find(ow.sectors.begin(), ow.sectors.end(), s) == ow.sectors.end()) continue;
            title += "; the flash does not hold " + ow.image + (ow.by.empty() ? "" : " (overwritten by " + ow.by + ")");
        }
        o << Fmt("<rect class=\"sector\" id=\"%ssector-%d\" data-sector=\"%d\" data-state=\"%s\" "
                 "data-covered=\"%u\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\">"
                 "<title>%s</title></rect>\n",
                 ip.c_str(), s, s, SectorStateKey(p.sectors[s]), p.coveredBytes[s], x, y, kCellW, kCellH,
                 Fill(p.sectors[s], ip).c_str(), HtmlEscape(title).c_str());
        if (s % 4 == 0) {
            o << Fmt("<text x=\"%d\" y=\"%d\" style=\"font-size:9px;fill:%s\">%d</text>\n", x + 2, y + 10,
                     p.sectors[s] == SectorState::Written ? "#fff" : "#555", s);
        }
    }
    // Partitions: an outline over the sectors they reach, and a bar with the
    // name under each row they cover (the name on the first piece).
    for (const auto& box : p.partitions) {
        if (box.length == 0 || box.start >= kFlashSize) continue;
        const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(box.start) + box.length, kFlashSize);
        const int first = static_cast<int>(box.start / kSectorSize);
        const int last = static_cast<int>((end - 1) / kSectorSize);
        bool named = false;
        for (int s = first; s <= last;) {
            const int rowEnd = std::min(last, (s / kColumns) * kColumns + kColumns - 1);
            int x0, y0, x1, y1;
            CellOrigin(s, &x0, &y0);
            CellOrigin(rowEnd, &x1, &y1);
            const int w = x1 + kCellW - x0;
            o << Fmt("<rect class=\"pbox\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"/>\n", x0 - 1, y0 - 1,
                     w + 2, kCellH + 2);
            // The bar shows the partition's exact extent inside the row.
            const int rowFirst = s - s % kColumns;
            const double rowStart = static_cast<double>(rowFirst) * kSectorSize;
            const double perByte = static_cast<double>(kCellW + kGap) / kSectorSize;
            const double from = std::max<double>(box.start, rowStart);
            const double to = std::min<double>(static_cast<double>(end), rowStart + kColumns * kSectorSize);
            const double bx = kLeft + (from - rowStart) * perByte;
            const double bw = std::max(2.0, (to - from) * perByte - kGap);
            o << Fmt("<rect class=\"pbar %s\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"5\"/>\n",
                     HtmlEscape(box.decision == "not written" ? "other" : box.decision).c_str(), bx,
                     y0 + kCellH + 3, bw);
            if (!named) {
                o << Fmt("<text class=\"pname\" x=\"%.1f\" y=\"%d\">%s — %s</text>\n", bx, y0 + kCellH + 18,
                         HtmlEscape(box.name).c_str(), HtmlEscape(box.decision).c_str());
                named = true;
            }
            s = rowEnd + 1;
        }
    }
    Legend(legendTop, legendRows, ip, o);
    o << "</svg>\n";
    return o.str();
}

namespace {

const char* kStyle =
    "body{font:15px/1.45 sans-serif;color:#1a1a1a;margin:0;background:#fafafa}"
    "main{max-width:1060px;margin:0 auto;padding:16px 24px 48px}"
    "h1{font-size:22px;margin:8px 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ccc}"
    ".meta{color:#555}.outcome{font-size:19px;font-weight:bold;padding:10px 14px;border-left:8px solid;"
    "margin:14px 0;background:#fff}.outcome.good{border-color:#1d4e89}.outcome.bad{border-color:#c62828}"
    "table{border-collapse:collapse;background:#fff}td,th{border:1px solid #ccc;padding:3px 8px;text-align:left;"
    "vertical-align:top}th{background:#eee}td.num{text-align:right;font-variant-numeric:tabular-nums}"
    "ol.timeline{list-style:none;padding-left:0;border-left:3px solid #1d4e89;margin-left:8px}"
    "ol.timeline li{padding:2px 0 2px 14px;position:relative}"
    "ol.timeline li:before{content:'';position:absolute;left:-7px;top:9px;width:11px;height:11px;"
    "border-radius:50%;background:#fff;border:2px solid #1d4e89}"
    ".time{font-family:monospace;color:#555}.screen{display:inline-block;min-width:8.5em;font-weight:bold}"
    "pre{background:#fff;border:1px solid #ccc;padding:8px;overflow-x:auto;font-size:12px}"
    ".ok{font-weight:bold}.notok{font-weight:bold;color:#c62828}"
    "svg.bars text{font:12px sans-serif}";


// A check's cell: yes or no, "-" when it was not made.
std::string YesNoCell(bool made, bool yes)
{
    if (!made) return "<td>-</td>";
    return yes ? "<td class=\"ok\">yes</td>" : "<td class=\"notok\">no</td>";
}

const char* YesNo(bool yes)
{
    return yes ? "yes" : "no";
}

// Horizontal bars for the durations (seconds); a missing value is left out.
std::string DurationBars(const std::vector<std::pair<std::string, double>>& bars)
{
    double most = 1;
    for (const auto& b : bars) most = std::max(most, b.second);
    const int labelW = 330, barW = 480, pitch = 26;
    std::ostringstream o;
    o << Fmt("<svg class=\"bars\" xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\">\n",
             labelW + barW + 90, static_cast<int>(bars.size()) * pitch + 6);
    const char* fills[] = {"#1d4e89", "#8cc084", "#777777"};
    for (size_t i = 0; i < bars.size(); ++i) {
        const int y = static_cast<int>(i) * pitch + 4;
        const double w = std::max(1.0, bars[i].second / most * barW);
        o << Fmt("<text x=\"0\" y=\"%d\">%s</text><rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"18\" "
                 "fill=\"%s\" stroke=\"#333\"/><text x=\"%.1f\" y=\"%d\">%.1f s</text>\n",
                 y + 14, HtmlEscape(bars[i].first).c_str(), labelW, y, w, fills[i % 3], labelW + w + 6, y + 14,
                 bars[i].second);
    }
    o << "</svg>\n";
    return o.str();
}


std::string Esc(const std::string& text)
{
    return HtmlEscape(text);
}

std::string ListOrNone(const std::vector<std::string>& items)
{
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : ",") + i;
    return out.empty() ? "none" : out;
}

// The outcome's sentence of the text report, begun with a capital.
std::string Sentence(Outcome o)
{
    std::string text = OutcomeText(o);
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

void PageHead(const RunFacts& f, std::ostringstream& o)
{
    // The text report's headline: a done update that wrote nothing, or over
    // a flash that does not hold what the map demands, is no good news.
    const RunHeadline headline = HeadlineOf(f);
    const std::string mismatch = f.outcome == Outcome::Done ? f.FlashMismatch() : "";
    o << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width\">"
      << "<title>Update run on " << Esc(f.root) << "</title><style>" << kStyle << "</style></head>\n<body><main>\n";
    o << "<h1>Update run on the simulated instrument</h1>\n<p class=\"meta\">" << Esc(f.root) << "<br>started "
      << Esc(f.started) << ", answer " << Esc(f.answer) << ", " << Esc(MediumTakenOut(f))
      << ", flash faults: " << Esc(f.faults.empty() ? "none" : f.faults) << "</p>\n";
    o << "<p class=\"outcome " << (headline.good ? "good" : "bad") << "\" id=\"outcome\" data-outcome=\""
      << Esc(OutcomeKey(f.outcome)) << "\" data-flash-holds=\"" << (mismatch.empty() ? "yes" : "no") << "\">"
      << Esc(Sentence(f.outcome)) << Esc(headline.caveat)
      << "<br><span class=\"meta\" style=\"font-size:14px;font-weight:normal\">updater " << Esc(f.updaterResult)
      << (f.timedOut ? " (stopped after the time limit)" : "") << ", reboot requested: " << YesNo(f.reboot)
      << "</span></p>\n";
    if (!f.causeLines.empty()) {
        o << "<p>" << (f.outcome == Outcome::Unfinished ? "The trace's last lines" : "Cause in the trace")
          << ":</p>\n<pre id=\"cause\">";
        for (const auto& line : f.causeLines) o << Esc(line) << "\n";
        o << "</pre>\n";
    }
    // Screens as a timeline.
    o << "<h2>Screens</h2>\n<ol class=\"timeline\" id=\"timeline\">\n";
    for (const auto& line : f.guiLines) {
        std::istringstream in(line);
        std::string time, screen, rest;
        in >> time >> screen;
        std::getline(in, rest);
        const size_t first = rest.find_first_not_of(' ');
        rest = first == std::string::npos ? "" : rest.substr(first);
        o << "<li data-screen=\"" << Esc(screen) << "\"><span class=\"time\">" << Esc(time)
          << "</span> <span class=\"screen\">" << Esc(screen) << "</span> " << Esc(rest) << "</li>\n";
    }
    o << "</ol>\n";
}

void PageFlash(const RunFacts& f, std::ostringstream& o)
{
    o << "<h2>The flash: 128 sectors of 128 KiB</h2>\n";
    if (!f.flash.hasPicture) {
        o << "<p class=\"notok\">the flash or its copy from before the run is missing or not 16 MiB.</p>\n";
    } else {
        o << FlashSvg(f.flash.picture);
        std::map<SectorState, int> counts;
        for (const auto st : f.flash.picture.sectors) counts[st]++;
        o << "<p>Sectors: ";
        bool firstCount = true;
        for (const auto st : AllSectorStates()) {
            // The states of a faulty flash only when there are such sectors.
            if (SectorStateIsFault(st) && st != SectorState::Unexpected && counts[st] == 0) continue;
            o << (firstCount ? "" : ", ") << "<span data-count=\"" << SectorStateKey(st) << "\">" << counts[st] << " "
              << SectorStateText(st) << "</span>";
            firstCount = false;
        }
        o << ".</p>\n";
    }
    const auto& boxes = f.flash.picture.partitions;
    o << "<table id=\"partitions\"><tr><th>partition</th><th>start</th><th>length</th><th>decision</th></tr>\n";
    for (const auto& b : boxes) {
        o << "<tr><td>" << Esc(b.name) << "</td><td class=\"num\">" << Hex(b.start) << " (" << b.start / 1024
          << " KiB)</td><td class=\"num\">" << SizeText(b.length) << "</td><td>" << Esc(b.decision) << "</td></tr>\n";
    }
    if (boxes.empty()) {
        const std::string none = MapStateText(f.mapState);
        o << "<tr><td colspan=\"4\">" << Esc(none.empty() ? "the flash map names no partition" : none) << "</td></tr>\n";
    }
    o << "</table>\n";
    const FlashFacts& fl = f.flash;
    const ReplayFacts& r = f.replay;
    o << "<h3>Checks</h3>\n<table><tr><th>flash holds every written image</th>" << YesNoCell(true, f.FlashOk())
      << "</tr><tr><th>other bytes of touched sectors preserved</th>" << YesNoCell(fl.present, fl.restPreserved)
      << "</tr><tr><th>untouched sectors unchanged</th>" << YesNoCell(fl.present, fl.untouchedUnchanged)
      << "</tr><tr><th>replay through the flash module gives the same flash</th>" << YesNoCell(r.done, r.matchesFlash)
      << "</tr><tr><th>sectors erased / words programmed / bus accesses</th><td>";
    if (r.done) o << r.erases << " / " << r.programs << " / " << r.reads + r.writes;
    else o << " /  / ";
    o << "</td></tr></table>\n";
}

// The instrument's time as the text report gives it: the update's duration
// counted from what the run did and its parts, the medium's estimate, and
// at real time the run's clock beside it; the wall time and the real chip's
// time of the writing below.
void PageDurations(const RunFacts& f, std::ostringstream& o)
{
    o << "<h2>Duration</h2>\n";
    const RunTiming& t = f.timing;
    const UpdateDuration& d = t.duration;
    std::vector<std::pair<std::string, double>> bars;
    if (d.known) bars.emplace_back("the update on the instrument (counted)", Tenths(d.seconds));
    bars.emplace_back("of it the updater's fixed waits", Tenths(t.fixedSeconds));
    bars.emplace_back("of it the chip busy (chip timing " + (t.chipTiming.empty() ? std::string("off") : t.chipTiming) +
                          ")",
                      Tenths(t.chipSeconds));
    if (d.known) bars.emplace_back("of it the updater's own work (CPU time on this host)", Tenths(d.cpuSeconds));
    if (t.seconds >= 0 && t.speed == 1) bars.emplace_back("the run's clock (real time, a cross-check)", Tenths(t.seconds));
    if (t.estimate >= 0) bars.emplace_back("the medium's estimate (/tmp/estUpdateTime)", t.estimate);
    if (!d.known) o << "<p>The update's duration is not known: " << Esc(d.why) << ".</p>\n";
    o << DurationBars(bars);
    o << "<p>Not counted: the user's time to answer, the medium's transfer rate, the instrument's processor "
         "speed.</p>\n";
    if (t.estimate >= 0 && t.estimate < EstimateMeasure(t)) {
        o << "<p class=\"notok\" id=\"estimate-short\">The estimate is shorter than the update's duration: the "
             "GUI's progress runs out before the update ends.</p>\n";
    }
    o << "<p>Wall time of the run: " << Esc(f.wallSeconds) << " s";
    if (f.replay.done) o << Fmt("; the same writing on a real chip (typical): %.1f s", f.replay.estimateSeconds);
    o << ".</p>\n";
}

void PageFilesAndTools(const RunFacts& f, std::ostringstream& o)
{
    std::vector<std::string> crcs;
    crcs.reserve(f.crcFiles.size());
    for (const auto& c : f.crcFiles) crcs.push_back(c.name);
    o << "<h2>Installed version and logs</h2>\n<p>Installed version: "
      << Esc(VersionText(f.haveVersionBefore, f.versionBefore)) << " &rarr; " << Esc(VersionText(f.haveVersion, f.version))
      << "; CRC files: " << Esc(ListOrNone(crcs)) << "; extlog.dat " << (f.extlogAfter ? "present" : "absent")
      << ".</p>\n";
    o << "<table id=\"logs\"><tr><th>log</th><th>entries added</th></tr>\n";
    for (const auto& l : f.logs) {
        o << "<tr><td>" << Esc(l.name) << "</td><td>";
        if (l.added.empty()) o << "none";
        for (const auto& r : l.added) o << Esc(r) << "<br>";
        o << "</td></tr>\n";
    }
    o << "</table>\n";
    o << "<p>Copies of corrupt logs: " << Esc(ListOrNone(f.corruptCopies))
      << "; backup on the medium: " << Esc(ListOrNone(f.backup)) << ".</p>\n";
    o << "<h2>Board tools called</h2>\n<ol id=\"boardtools\">\n";
    for (const auto& line : f.boardTools) o << "<li><code>" << Esc(line) << "</code></li>\n";
    if (f.boardTools.empty()) o << "<li>none</li>\n";
    o << "</ol>\n<p>Medium presence checks while waiting for its removal: " << f.mediumChecks.all
      << "; reboot requested: " << YesNo(f.reboot) << ".</p>\n";
}

}  // namespace

const char* HtmlReportStyle()
{
    return kStyle;
}

std::string HtmlReportText(const RunFacts& facts)
{
    std::ostringstream o;
    PageHead(facts, o);
    PageFlash(facts, o);
    PageDurations(facts, o);
    PageFilesAndTools(facts, o);
    o << "<h2>The text report</h2>\n<details><summary>show</summary><pre>" << Esc(RunReportText(facts))
      << "</pre></details>\n</main></body></html>\n";
    return o.str();
}

int WriteHtmlReport(const RunFacts& facts, const std::string& file, std::string* why)
{
    return WriteText(file, HtmlReportText(facts), 0644, why) ? 0 : 1;
}

int WriteHtmlReport(const std::string& stateDir, const std::string& file, std::string* why)
{
    std::string text;
    RunFacts facts;
    if (MakeReport(stateDir, &text, why, &facts) != 0) return 1;
    return WriteHtmlReport(facts, file, why);
}

}  // namespace swsim
