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

const char* SectorStateKey(SectorState s)
{
    switch (s) {
    case SectorState::Written: return "written";
    case SectorState::Partial: return "partial";
    case SectorState::Kept: return "kept";
    case SectorState::Untouched: return "untouched";
    case SectorState::Unexpected: return "unexpected";
    }
    return "unexpected";
}

const char* SectorStateText(SectorState s)
{
    switch (s) {
    case SectorState::Written: return "written and verified";
    case SectorState::Partial: return "written, rest of sector kept";
    case SectorState::Kept: return "kept (partition left alone)";
    case SectorState::Untouched: return "untouched";
    case SectorState::Unexpected: return "changed unexpectedly / not as written";
    }
    return "";
}

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

FlashPicture PictureFlash(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                          const std::vector<WrittenImage>& images,
                          const std::vector<PartitionBox>& partitions)
{
    FlashPicture p;
    p.partitions = partitions;
    p.sectors.assign(kSectorCount, SectorState::Untouched);
    p.coveredBytes.assign(kSectorCount, 0);
    p.imageOf.assign(kSectorCount, "");
    const bool whole = before.size() == kFlashSize && after.size() == kFlashSize;
    const std::vector<uint8_t> expected = whole ? ExpectedFlash(before, images) : std::vector<uint8_t>();

    // Image extents inside the flash, cut at its end.
    struct Extent {
        uint64_t start, end;
        const std::string* name;
    };
    std::vector<Extent> extents;
    for (const auto& img : images) {
        const uint64_t start = static_cast<uint64_t>(img.startKiB) * 1024;
        if (img.startKiB < 0 || start >= kFlashSize || img.bytes.empty()) continue;
        extents.push_back({start, std::min<uint64_t>(start + img.bytes.size(), kFlashSize), &img.name});
    }
    for (int s = 0; s < kSectorCount; ++s) {
        const uint64_t a = static_cast<uint64_t>(s) * kSectorSize, b = a + kSectorSize;
        // Covered bytes: the union of the images' ranges in this sector (a
        // later image may overlap an earlier one).
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (const auto& e : extents) {
            const uint64_t from = std::max(a, e.start), to = std::min(b, e.end);
            if (from >= to) continue;
            ranges.emplace_back(from, to);
            if (p.imageOf[s].find(*e.name) == std::string::npos) {
                p.imageOf[s] += (p.imageOf[s].empty() ? "" : ", ") + *e.name;
            }
        }
        std::sort(ranges.begin(), ranges.end());
        uint64_t covered = 0, reach = a;
        for (const auto& r : ranges) {
            const uint64_t from = std::max(r.first, reach);
            if (r.second > from) covered += r.second - from;
            reach = std::max(reach, r.second);
        }
        p.coveredBytes[s] = static_cast<uint32_t>(covered);

        bool asDemanded = whole && std::memcmp(after.data() + a, expected.data() + a, kSectorSize) == 0;
        if (!asDemanded) {
            p.sectors[s] = SectorState::Unexpected;
        } else if (covered == kSectorSize) {
            p.sectors[s] = SectorState::Written;
        } else if (covered > 0) {
            p.sectors[s] = SectorState::Partial;
        } else {
            bool kept = false;
            for (const auto& box : partitions) {
                const uint64_t end = static_cast<uint64_t>(box.start) + box.length;
                kept = kept || (box.kept && box.start < b && end > a);
            }
            p.sectors[s] = kept ? SectorState::Kept : SectorState::Untouched;
        }
    }
    return p;
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
    }
    return "#000";
}

void CellOrigin(int sector, int* x, int* y)
{
    *x = kLeft + (sector % kColumns) * (kCellW + kGap);
    *y = kTop + (sector / kColumns) * kRowPitch;
}

}  // namespace

std::string FlashSvg(const FlashPicture& p, const std::string& idPrefix)
{
    const std::string& ip = idPrefix;
    const int rows = (kSectorCount + kColumns - 1) / kColumns;
    const int gridW = kLeft + kColumns * (kCellW + kGap);
    const int legendTop = kTop + rows * kRowPitch + 6;
    const int height = legendTop + 3 * 22 + 8;
    std::ostringstream o;
    o << Fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"flash\" id=\"%sflash-picture\" "
             "viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\" role=\"img\" "
             "aria-label=\"the flash's %d sectors of 128 KiB\">\n",
             ip.c_str(), gridW + 4, height, gridW + 4, height, kSectorCount);
    o << "<defs>\n"
         "<pattern id=\"" << ip << "fill-partial\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(45)\"><rect width=\"8\" height=\"8\" fill=\"#ffffff\"/>"
         "<rect width=\"4\" height=\"8\" fill=\"#1d4e89\"/></pattern>\n"
         "<pattern id=\"" << ip << "fill-unexpected\" width=\"10\" height=\"10\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"10\" height=\"10\" fill=\"#c62828\"/>"
         "<path d=\"M0 0L10 10M10 0L0 10\" stroke=\"#ffffff\" stroke-width=\"2\"/></pattern>\n"
         "</defs>\n";
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
    // Legend.
    const SectorState states[] = {SectorState::Written, SectorState::Partial, SectorState::Kept,
                                  SectorState::Untouched, SectorState::Unexpected};
    for (int i = 0; i < 5; ++i) {
        const int x = kLeft + (i % 3) * 230, y = legendTop + (i / 3) * 22;
        o << Fmt("<g class=\"legend\" data-state=\"%s\"><rect x=\"%d\" y=\"%d\" width=\"24\" height=\"16\" "
                 "fill=\"%s\" stroke=\"#777\"/><text x=\"%d\" y=\"%d\">%s</text></g>\n",
                 SectorStateKey(states[i]), x, y, Fill(states[i], ip).c_str(), x + 30, y + 12, SectorStateText(states[i]));
    }
    const int y = legendTop + 2 * 22;
    o << Fmt("<rect class=\"pbox\" x=\"%d\" y=\"%d\" width=\"24\" height=\"16\"/><text x=\"%d\" y=\"%d\">"
             "a partition of the flash map (bar: its exact extent)</text>\n",
             kLeft, y, kLeft + 30, y + 12);
    o << "</svg>\n";
    return o.str();
}

namespace {

std::vector<std::string> SplitList(const std::string& text)
{
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        if (!item.empty()) out.push_back(item);
    }
    return out;
}

bool Contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// The host path of an image the updater read from its working directory
// /tmp (or by an absolute path under the instrument's writable paths).
std::string ImagePath(const StatePaths& s, const std::string& name)
{
    if (name.empty()) return "";
    if (name[0] != '/') return s.tmp() + "/" + name;
    for (const char* dir : {"/tmp/", "/usbdongle/", "/instrumentData/", "/log/"}) {
        if (name.compare(0, std::strlen(dir), dir) == 0) return s.root + name;
    }
    return "";
}

// The partitions of the flash map with the decisions the text report took
// from the trace. A length comes from the delivered image, else from the
// factory layout, else it reaches the next partition.
std::vector<PartitionBox> Partitions(const StatePaths& s, const std::map<std::string, std::string>& summary)
{
    std::vector<PartitionBox> boxes;
    std::string mapText;
    if (!ReadText(s.tmp() + "/flashMap", &mapText)) return boxes;
    const auto get = [&](const char* k) {
        const auto it = summary.find(k);
        return it == summary.end() ? std::string() : it->second;
    };
    const auto written = SplitList(get("written")), kept = SplitList(get("kept")),
               rejected = SplitList(get("rejected"));
    for (const auto& line : ParseFlashMap(mapText)) {
        if (line.kind != MapLine::Partition || !line.valid) continue;
        PartitionBox b;
        b.name = line.partition;
        b.start = static_cast<uint32_t>(line.startKiB) * 1024;
        const off_t size = FileSizeOf(ImagePath(s, line.partition));
        if (size > 0) b.length = static_cast<uint32_t>(std::min<off_t>(size, kFlashSize));
        for (const auto& f : FactoryLayout()) {
            if (b.length == 0 && f.name == b.name) b.length = f.size;
        }
        b.decision = Contains(written, b.name)    ? "written"
                     : Contains(kept, b.name)     ? "kept"
                     : Contains(rejected, b.name) ? "rejected"
                                                  : "not written";
        b.kept = b.decision == "kept";
        boxes.push_back(b);
    }
    for (auto& b : boxes) {
        if (b.length != 0) continue;
        uint32_t next = kFlashSize;
        for (const auto& o : boxes) {
            if (o.start > b.start) next = std::min(next, o.start);
        }
        b.length = next > b.start ? next - b.start : 0;
    }
    return boxes;
}

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

std::map<std::string, std::string> SummaryOf(const StatePaths& s)
{
    std::map<std::string, std::string> summary;
    for (const auto& line : Lines(ReadTextOr(s.summary(), ""))) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) summary[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return summary;
}

std::string YesNoCell(const std::string& v)
{
    if (v.empty()) return "<td>-</td>";
    return "<td class=\"" + std::string(v == "yes" ? "ok" : "notok") + "\">" + HtmlEscape(v) + "</td>";
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

}  // namespace

const char* HtmlReportStyle()
{
    return kStyle;
}

bool PictureOfRun(const std::string& stateDir, FlashPicture* picture, std::string* why)
{
    const StatePaths s(stateDir);
    std::vector<uint8_t> before, after;
    if (!ReadBytes(s.flashBefore(), &before) || !ReadBytes(s.flash(), &after) || before.size() != kFlashSize ||
        after.size() != kFlashSize) {
        *why = "the flash or its copy from before the run is missing or not 16 MiB";
        return false;
    }
    std::vector<WrittenImage> images;
    for (const auto& a : FlashAttempts(ReadTextOr(s.trace(), ""))) {
        WrittenImage w;
        w.name = a.name;
        w.startKiB = static_cast<int>(a.address / 1024);
        if (ReadBytes(ImagePath(s, a.name), &w.bytes)) images.push_back(std::move(w));
    }
    *picture = PictureFlash(before, after, images, Partitions(s, SummaryOf(s)));
    return true;
}

int WriteHtmlReport(const std::string& stateDir, const std::string& file, std::string* why)
{
    const StatePaths s(stateDir);
    std::string text;
    if (MakeReport(stateDir, &text, why) != 0) return 1;
    const std::map<std::string, std::string> summary = SummaryOf(s);
    const auto get = [&](const char* k) {
        const auto it = summary.find(k);
        return it == summary.end() ? std::string() : it->second;
    };
    const std::string run = ReadTextOr(s.runRecord(), "");
    const std::string gui = ReadTextOr(s.guiRecord(), "");

    static const std::map<std::string, std::string> outcomeText = {
        {"not-allowed", "Update not allowed (not-compatible screen)"},
        {"declined", "The user declined the update"},
        {"pre-update-failed", "Pre-update actions failed (failure screen)"},
        {"unpacking-failed", "Unpacking failed (failure screen)"},
        {"flash-failed", "Writing the flash failed, update not installed (failure screen)"},
        {"done", "Update done (remove-medium screen)"},
        {"unfinished", "The updater did not finish"},
    };
    const std::string outcome = get("outcome");
    const auto ot = outcomeText.find(outcome);
    const bool good = outcome == "done" || outcome == "declined" || outcome == "not-allowed";

    std::ostringstream o;
    o << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width\">"
      << "<title>Update run on " << HtmlEscape(s.root) << "</title><style>" << kStyle
      << "</style></head>\n<body><main>\n";
    o << "<h1>Update run on the simulated instrument</h1>\n<p class=\"meta\">" << HtmlEscape(s.root)
      << "<br>started " << HtmlEscape(RecordValue(run, "started")) << ", answer "
      << HtmlEscape(RecordValue(run, "answer")) << ", medium taken out after "
      << HtmlEscape(RecordValue(run, "pull-after")) << " s, flash faults: "
      << HtmlEscape(RecordValue(run, "faults").empty() ? "none" : RecordValue(run, "faults")) << "</p>\n";
    o << "<p class=\"outcome " << (good ? "good" : "bad") << "\" id=\"outcome\" data-outcome=\""
      << HtmlEscape(outcome) << "\">" << HtmlEscape(ot != outcomeText.end() ? ot->second : outcome)
      << "<br><span class=\"meta\" style=\"font-size:14px;font-weight:normal\">updater "
      << HtmlEscape(get("updater")) << ", reboot requested: " << HtmlEscape(get("reboot")) << "</span></p>\n";

    // Screens as a timeline.
    o << "<h2>Screens</h2>\n<ol class=\"timeline\" id=\"timeline\">\n";
    double estimate = -1;
    for (const auto& line : Lines(gui)) {
        std::istringstream in(line);
        std::string time, screen;
        in >> time >> screen;
        std::string rest;
        std::getline(in, rest);
        const size_t first = rest.find_first_not_of(' ');
        rest = first == std::string::npos ? "" : rest.substr(first);
        if (screen == "timers") {
            const size_t at = rest.find("estimated duration ");
            if (at != std::string::npos) estimate = std::atof(rest.c_str() + at + 19);
        }
        o << "<li data-screen=\"" << HtmlEscape(screen) << "\"><span class=\"time\">" << HtmlEscape(time)
          << "</span> <span class=\"screen\">" << HtmlEscape(screen) << "</span> " << HtmlEscape(rest)
          << "</li>\n";
    }
    o << "</ol>\n";

    // The flash.
    o << "<h2>The flash: 128 sectors of 128 KiB</h2>\n";
    const std::vector<PartitionBox> boxes = Partitions(s, summary);
    FlashPicture picture;
    std::string pictureWhy;
    if (!PictureOfRun(stateDir, &picture, &pictureWhy)) {
        o << "<p class=\"notok\">" << HtmlEscape(pictureWhy) << ".</p>\n";
    } else {
        o << FlashSvg(picture);
        std::map<std::string, int> counts;
        for (const auto st : picture.sectors) counts[SectorStateKey(st)]++;
        o << "<p>Sectors: ";
        bool firstCount = true;
        for (const auto st : {SectorState::Written, SectorState::Partial, SectorState::Kept,
                              SectorState::Untouched, SectorState::Unexpected}) {
            o << (firstCount ? "" : ", ") << counts[SectorStateKey(st)] << " " << SectorStateText(st);
            firstCount = false;
        }
        o << ".</p>\n";
    }
    o << "<table id=\"partitions\"><tr><th>partition</th><th>start</th><th>length</th><th>decision</th></tr>\n";
    for (const auto& b : boxes) {
        o << "<tr><td>" << HtmlEscape(b.name) << "</td><td class=\"num\">" << Hex(b.start) << " ("
          << b.start / 1024 << " KiB)</td><td class=\"num\">" << SizeText(b.length) << "</td><td>"
          << HtmlEscape(b.decision) << "</td></tr>\n";
    }
    if (boxes.empty()) o << "<tr><td colspan=\"4\">no flash map in /tmp (the packages were not unpacked)</td></tr>\n";
    o << "</table>\n";
    o << "<h3>Checks</h3>\n<table><tr><th>flash holds every written image</th>" << YesNoCell(get("flash-ok"))
      << "</tr><tr><th>other bytes of touched sectors preserved</th>" << YesNoCell(get("rest-preserved"))
      << "</tr><tr><th>untouched sectors unchanged</th>" << YesNoCell(get("untouched-unchanged"))
      << "</tr><tr><th>replay through the flash module gives the same flash</th>"
      << YesNoCell(get("replay-matches")) << "</tr><tr><th>sectors erased / words programmed / bus accesses</th><td>"
      << HtmlEscape(get("erases")) << " / " << HtmlEscape(get("programs")) << " / "
      << HtmlEscape(get("bus-accesses")) << "</td></tr></table>\n";

    // Durations.
    o << "<h2>Duration</h2>\n";
    std::vector<std::pair<std::string, double>> bars;
    if (estimate >= 0) bars.emplace_back("estimate sent to the start-up GUI", estimate);
    if (!get("estimate-seconds").empty()) {
        bars.emplace_back("the flash writing on a real chip (typical)", std::atof(get("estimate-seconds").c_str()));
    }
    if (!get("wall-seconds").empty()) {
        bars.emplace_back("this run on the simulator (wall time)", std::atof(get("wall-seconds").c_str()));
    }
    o << DurationBars(bars);

    // Installed files and logs.
    o << "<h2>Installed version and logs</h2>\n<p>Installed version: " << HtmlEscape(get("installed-before"))
      << " &rarr; " << HtmlEscape(get("installed")) << "; CRC files: "
      << HtmlEscape(get("crc-files").empty() ? "none" : get("crc-files")) << "; extlog.dat "
      << HtmlEscape(get("extlog")) << ".</p>\n";
    o << "<table id=\"logs\"><tr><th>log</th><th>entries added</th></tr>\n";
    for (const auto& spec : InstrumentLogs()) {
        std::vector<uint8_t> b, a;
        const bool hadBefore = ReadBytes(s.dataBefore() + "/" + spec.name, &b);
        const bool hasAfter = ReadBytes(s.instrumentData() + "/" + spec.name, &a);
        const auto added = AddedRecords(DecodeLog(b, hadBefore, spec), DecodeLog(a, hasAfter, spec));
        o << "<tr><td>" << HtmlEscape(spec.name) << "</td><td>";
        if (added.empty()) o << "none";
        for (const auto& r : added) o << HtmlEscape(DescribeRecord(spec, r)) << "<br>";
        o << "</td></tr>\n";
    }
    o << "</table>\n";
    o << "<p>Copies of corrupt logs: " << HtmlEscape(get("corrupt-copies").empty() ? "none" : get("corrupt-copies"))
      << "; backup on the medium: " << HtmlEscape(get("backup").empty() ? "none" : get("backup")) << ".</p>\n";

    // Board tools.
    o << "<h2>Board tools called</h2>\n<ol id=\"boardtools\">\n";
    const std::string tools = ReadTextOr(s.boardTools(), "");
    for (const auto& line : Lines(tools)) o << "<li><code>" << HtmlEscape(line) << "</code></li>\n";
    if (Trim(tools).empty()) o << "<li>none</li>\n";
    o << "</ol>\n<p>Medium presence checks while waiting for its removal: " << HtmlEscape(get("medium-polls"))
      << "; reboot requested: " << HtmlEscape(get("reboot")) << ".</p>\n";

    o << "<h2>The text report</h2>\n<details><summary>show</summary><pre>" << HtmlEscape(text)
      << "</pre></details>\n</main></body></html>\n";
    return WriteText(file, o.str(), 0644, why) ? 0 : 1;
}

}  // namespace swsim
