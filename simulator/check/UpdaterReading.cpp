// The updater's own readings of the control files, for the check and the
// fleet: the version compared as a number and split into the revision
// history's parts, the number of packages it unpacks, the estimate and the
// market rule, each by the updater's function (SwUpdateUtils.h) on the text
// the instrument reads.
#include <algorithm>

#include "StaticScan.h"
#include "SwUpdateUtils.h"

namespace swsim {

VersionParts SplitVersion(const std::string& text)
{
    VersionParts v;
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    const size_t dot = t.find('.');
    const std::string major = t.substr(0, dot);
    v.minorText = dot == std::string::npos ? "" : t.substr(dot + 1);
    const auto digits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    v.ok = digits(major) && (dot == std::string::npos || digits(v.minorText));
    SplitVersionNumbers(t.c_str(), &v.major, &v.minor);
    return v;
}

float VersionValue(const std::string& text)
{
    return StringToFloat(text.c_str());
}

bool MarketIsInternal(const std::string& market)
{
    // The simulated instrument's Market.ini holds "Market=" + the market;
    // without a market there is no Market.ini, which counts as internal.
    return market.empty() || IsMarketTextInternal(("Market=" + market).c_str()) == 1;
}

namespace scan {

// The control files as the updater reads them at the start-up (file0's
// copies): the version decides how many packages it unpacks.
void ReadControlFiles(Scan& s)
{
    MediumFacts* facts = s.facts;
    const StartupCopy& version = s.startup["swVersion"];
    facts->haveVersion = version.present && !version.text.empty();
    facts->versionText = facts->haveVersion ? version.text : "";
    const char* text = facts->haveVersion ? facts->versionText.c_str() : NoVersionFound;
    facts->unpacked = GetExpectedNoOfPartFiles(text);
    s.zeroVersion = facts->unpacked == 1;
    if (facts->haveVersion) {
        const std::string core = Trimmed(facts->versionText);
        s.version = SplitVersion(core);
        if (core.find_first_of("0123456789") != 0) s.version.ok = false;
        facts->versionValue = StringToFloat(text);
        SplitVersionNumbers(text, &facts->versionMajor, &facts->versionMinor);
        // The revision log refuses a part above 99 (and one that does not
        // fit an int, which reads as INT_MAX).
        facts->versionParts = facts->versionMajor <= 99 && facts->versionMinor <= 99;
    }
    const StartupCopy& estimate = s.startup["estUpdateTime"];
    if (estimate.present && !estimate.text.empty()) {
        s.estimateText = estimate.text;
        facts->haveEstimate = true;
        facts->estimateSeconds = EstimateFromText(estimate.text.c_str());
    }
}

}  // namespace scan
}  // namespace swsim
