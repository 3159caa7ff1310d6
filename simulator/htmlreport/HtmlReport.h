// The report on a run as one self-contained HTML page: the outcome, the
// screens as a timeline, a picture of the flash's 128 sectors with the flash
// map's partitions drawn over them, the durations, the log entries added and
// the board tools called. Inline CSS and SVG only: it reads without script,
// offline, and prints.
//
// The picture is built from the same pieces as the text report (the flash
// before and after the run, the images the updater wrote); commands other
// than "report" (check, powercut, ...) reuse PictureFlash and FlashSvg.
#ifndef SWSIM_HTML_REPORT_H
#define SWSIM_HTML_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "SimFlash.h"

namespace swsim {

// What happened to one 128-KiB sector in a run, judged against the flash
// the written images demand (the flash before, overlaid with each image).
enum class SectorState {
    Written,     // wholly covered by images, holds them
    Partial,     // partly covered: holds the image and kept its other bytes
    Kept,        // in a partition the update kept, unchanged
    Untouched,   // no image reached it, unchanged
    Unexpected,  // differs from what the writing demands
};
const char* SectorStateKey(SectorState s);   // "written", "partial", ...
const char* SectorStateText(SectorState s);  // legend text

// A partition of the flash map as drawn over the sectors.
struct PartitionBox {
    std::string name;
    uint32_t start = 0;   // byte address
    uint32_t length = 0;  // bytes
    std::string decision;  // "written", "kept", "rejected", "not written"
    bool kept = false;     // its sectors count as kept when unchanged
};

struct FlashPicture {
    std::vector<SectorState> sectors;     // kSectorCount entries
    std::vector<uint32_t> coveredBytes;   // bytes of each sector that images cover
    std::vector<std::string> imageOf;     // names of the images reaching each sector
    std::vector<PartitionBox> partitions;
};

// Classifies every sector. `before` and `after` are whole flashes
// (kFlashSize bytes); images in the order they were written.
FlashPicture PictureFlash(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                          const std::vector<WrittenImage>& images,
                          const std::vector<PartitionBox>& partitions);

// The picture as an inline <svg> element with its legend: one rectangle per
// sector (id "sector-N", data-state the state's key, a <title> telling it).
// Several pictures on one page each get an `idPrefix` of their own, which
// starts every id of theirs ("i1-sector-5", "i1-flash-picture").
std::string FlashSvg(const FlashPicture& picture, const std::string& idPrefix = "");

// The picture of the last run of the instrument in `stateDir`, after its
// report was made (MakeReport: the partitions' decisions come from its
// summary). Returns false with the reason when the flash or its copy from
// before the run is missing.
bool PictureOfRun(const std::string& stateDir, FlashPicture* picture, std::string* why);

// The page's style sheet, for other pages built from these pieces.
const char* HtmlReportStyle();

// Text made safe for HTML element content and attribute values.
std::string HtmlEscape(const std::string& text);

// Writes the page on the last run of the instrument in `stateDir` to `file`
// (the text report and summary.txt are made on the way, so the figures are
// the same). Returns 0, or 1 with the reason.
int WriteHtmlReport(const std::string& stateDir, const std::string& file, std::string* why);

}  // namespace swsim

#endif
