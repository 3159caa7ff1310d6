// The checks of the control files read at the start-up: the version (as the
// updater reads it, and the traps of its numbering) and the estimate.
#include <cstdio>

#include "SimFiles.h"
#include "StaticScan.h"

namespace swsim {
namespace scan {

namespace {

// The version as the updater reads it: "2 (compared as the number 2,
// recorded as 2.0)".
std::string ReadingOf(const MediumFacts& facts)
{
    char text[160];
    std::snprintf(text, sizeof text, "compared as the number %g and recorded in the revision history as %d.%d",
                  static_cast<double>(facts.versionValue), facts.versionMajor, facts.versionMinor);
    return text;
}

}  // namespace

void CheckVersionFile(Scan& s, const char* key)
{
    const MediumFacts& facts = *s.facts;
    // A later package that brings its own swVersion replaces file0's in /tmp:
    // the updater compares and asks with one version and installs the other.
    std::string later;
    const std::string laterOwner = s.OwnerOf("swVersion");
    const std::string laterPath = s.ScratchPath("swVersion");
    if (facts.haveVersion && laterOwner != "file0" && !laterPath.empty() && ReadText(laterPath, &later) &&
        later != facts.versionText) {
        Report(s, E, key, laterOwner, "swVersion", 0,
               laterOwner + " replaces file0's swVersion " + FirstLine(facts.versionText) + " with " +
                   Shown(FirstLine(later)),
               "the updater decides and asks with " + FirstLine(facts.versionText) + " but installs " +
                   Shown(FirstLine(later)) + " as the instrument's version");
    }
    if (!s.haveFile0) return;
    const std::string v = FirstLine(facts.versionText);
    const std::string stated = Trimmed(facts.versionText);
    if (!facts.haveVersion) {
        Report(s, E, key, "file0", "swVersion", 0, "swVersion is missing or empty",
               "the updater reads \"No version found\": market instruments refuse the update, internal ones "
               "install it and keep their old version file");
    } else if (stated.find_first_of("0123456789") != 0) {
        Report(s, E, key, "file0", "swVersion", 0, "swVersion \"" + Shown(v) + "\" does not begin with a number",
               "the updater compares it as 0.0, so market instruments refuse the update");
    } else if (!s.version.ok) {
        // Not MAJOR.MINOR: the updater reads another version than the text
        // states (a decimal comma, a patch level, words after it).
        char read[40];
        std::snprintf(read, sizeof read, "%g", static_cast<double>(facts.versionValue));
        Report(s, E, key, "file0", "swVersion", 0,
               "swVersion states " + Shown(stated) + ", which is not MAJOR.MINOR: the updater reads it as " + read +
                   " (" + ReadingOf(facts) + ")",
               "market instruments decide whether they may install it with " + std::string(read) +
                   ", and its revision history records " + std::to_string(facts.versionMajor) + "." +
                   std::to_string(facts.versionMinor) + ", not the version " + Shown(stated) +
                   " the medium states and the installed version file keeps");
    }
}

void CheckEstimateFile(Scan& s, const char* key)
{
    if (!s.haveFile0) return;
    if (!s.facts->haveEstimate) {
        Report(s, W, key, "file0", "estUpdateTime", 0, "estUpdateTime is missing or empty",
               "the start-up GUI's progress display gets no estimate of the update's duration");
    } else {
        std::string t = FirstLine(s.estimateText);
        while (!t.empty() && (t.back() == '\r' || t.back() == ' ')) t.pop_back();
        if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || s.facts->estimateSeconds <= 0) {
            Report(s, W, key, "file0", "estUpdateTime", 0,
                   "estUpdateTime \"" + Shown(t) + "\" is not a positive whole number of seconds",
                   "the updater reads it as " + std::to_string(s.facts->estimateSeconds) +
                       " s for the start-up GUI's progress display");
        }
    }
    ReportUnusedCopies(s, key, "estUpdateTime", "the start-up GUI's progress display takes file0's estimate");
}

void CheckVersionOrder(Scan& s, const char* key)
{
    if (!s.version.ok) return;
    const std::string v = FirstLine(s.facts->versionText);
    const size_t k = s.version.minorText.size();
    if (k < 2 || s.version.minorText[0] == '0') return;
    // The highest minor with one digit fewer compares higher as a number:
    // 2.9 > 2.10, 2.99 > 2.100.
    const std::string before = std::to_string(s.version.major) + "." + std::string(k - 1, '9');
    if (VersionValue(before) <= VersionValue(v)) return;
    char text[200];
    std::snprintf(text, sizeof text, "version %s compares as the number %g, below %s which it follows", v.c_str(),
                  static_cast<double>(VersionValue(v)), before.c_str());
    Report(s, E, key, "file0", "swVersion", 0, text,
           "market instruments running " + before + " refuse the update as not compatible");
}

void CheckVersionLeadingZero(Scan& s, const char* key)
{
    if (!s.version.ok) return;
    const std::string v = Trimmed(s.facts->versionText);
    const std::string majorText = v.substr(0, v.find('.'));
    const bool majorZero = majorText.size() >= 2 && majorText[0] == '0';
    const bool minorZero = s.version.minorText.size() >= 2 && s.version.minorText[0] == '0' && s.version.minor != 0;
    if (!majorZero && !minorZero) return;
    const std::string part = majorZero && minorZero ? "the major and the minor part" : majorZero ? "the major part"
                                                                                           : "the minor part";
    Report(s, E, key, "file0", "swVersion", 0, part + " of " + v + " has a leading zero",
           "the installed version file says " + v + " while the revision history of every instrument records " +
               std::to_string(s.version.major) + "." + std::to_string(s.version.minor) + ", a different version");
}

// What the installed version file holds and what the revision history
// records must agree: a CR, blanks or further lines around MAJOR.MINOR stay
// in the file.
void CheckVersionText(Scan& s, const char* key)
{
    if (!s.version.ok) return;
    const std::string& t = s.facts->versionText;
    const std::string v = Trimmed(t);
    if (t == v || t == v + "\n") return;
    const std::string extra = t.find('\r') != std::string::npos   ? "a CR"
                              : t.find_first_of(" \t") != std::string::npos ? "blanks"
                                                                            : "more than one line end";
    Report(s, E, key, "file0", "swVersion", 0, "swVersion \"" + Shown(t) + "\" holds " + extra + " besides " + v,
           "the start-up GUI asks to update to version \"" + Shown(t) +
               "\" and the installed version file keeps that text, while the revision history records " +
               std::to_string(s.version.major) + "." + std::to_string(s.version.minor));
}

void CheckVersionRange(Scan& s, const char* key)
{
    if (!s.version.ok || (s.version.major <= 99 && s.version.minor <= 99)) return;
    Report(s, E, key, "file0", "swVersion", 0, "version " + FirstLine(s.facts->versionText) + " has a part above 99",
           "the update installs, but the revision history gets no entry for it");
}

void CheckVersionZero(Scan& s, const char* key)
{
    if (!s.zeroVersion) return;
    for (const auto& f : s.walk) {
        if (!Written(f) || !f.hostPath.empty()) continue;
        const std::string& name = f.map->partition;
        const std::string heldBy = HeldByUnread(s, name);
        if (heldBy.empty()) continue;
        Report(s, E, key, heldBy, name, 0,
               name + " is in " + heldBy + ", but for a version beginning \"0.\" the updater unpacks file1 alone "
                   "(flashMap line " + std::to_string(f.map->lineNo) + " writes it)",
               "the updater cannot open " + name + ": the partition keeps its old content");
    }
}

}  // namespace scan
}  // namespace swsim
