// The report on a run as one self-contained HTML page, rendered from its
// facts: the outcome, the screens as a timeline, a picture of the flash's
// 128 sectors with the flash map's partitions drawn over them, the
// instrument's time, the log entries added and the board tools called.
// Inline CSS and SVG only: it reads without script, offline, and prints.
//
// Commands other than "report" (check, powercut, ...) reuse FlashSvg and
// the style sheet.
#ifndef SWSIM_HTML_REPORT_H
#define SWSIM_HTML_REPORT_H

#include <string>

#include "FlashPicture.h"
#include "RunFacts.h"

namespace swsim {

// The picture as an inline <svg> element with its legend: one rectangle per
// sector (id "sector-N", data-state the state's key, a <title> telling it).
// Several pictures on one page each get an `idPrefix` of their own, which
// starts every id of theirs ("i1-sector-5", "i1-flash-picture").
std::string FlashSvg(const FlashPicture& picture, const std::string& idPrefix = "");

// The page's style sheet, for other pages built from these pieces.
const char* HtmlReportStyle();

// Text made safe for HTML element content and attribute values.
std::string HtmlEscape(const std::string& text);

// The page on a run.
std::string HtmlReportText(const RunFacts& facts);

// Writes the page on a run to `file`. Returns 0, or 1 with the reason.
int WriteHtmlReport(const RunFacts& facts, const std::string& file, std::string* why);

// Reads the last run of the instrument in `stateDir` (writing its summary
// on the way) and writes its page to `file`. Returns 0, or 1 with the reason.
int WriteHtmlReport(const std::string& stateDir, const std::string& file, std::string* why);

}  // namespace swsim

#endif
