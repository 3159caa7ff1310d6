// The classes of the points and the sweep's verdict, worked out once from
// the points; the text, the JSON, the page and the exit status render it.
#include "Sweep.h"

namespace swsim {

const char* PointClassKey(PointClass c)
{
    switch (c) {
    case PointClass::Recovered: return "recovered";
    case PointClass::LogHistoryLost: return "recovered-log-history-lost";
    case PointClass::LogsDiffer: return "recovered-logs-differ";
    case PointClass::BytesLost: return "recovered-bytes-lost";
    case PointClass::WouldNotStart: return "would-not-start";
    case PointClass::Other: return "other";
    case PointClass::NotChecked: return "could-not-check";
    }
    return "other";
}

const std::vector<PointClass>& PointClasses()
{
    static const std::vector<PointClass> all = {PointClass::Recovered,  PointClass::LogHistoryLost,
                                                PointClass::LogsDiffer, PointClass::BytesLost,
                                                PointClass::WouldNotStart, PointClass::Other,
                                                PointClass::NotChecked};
    return all;
}

const char* PointClassText(PointClass c)
{
    switch (c) {
    case PointClass::Recovered: return "recovered";
    case PointClass::LogHistoryLost: return "recovered, log history lost";
    case PointClass::LogsDiffer: return "recovered, logs differ from the reference run";
    case PointClass::BytesLost: return "recovered, bytes outside the images lost";
    case PointClass::WouldNotStart: return "would not start";
    case PointClass::Other: return "other";
    case PointClass::NotChecked: return "could not check";
    }
    return "other";
}

const char* VerdictKey(Verdict v)
{
    switch (v) {
    case Verdict::Safe: return "safe";
    case Verdict::Unsafe: return "unsafe";
    case Verdict::Unclear: return "unclear";
    }
    return "unclear";
}

namespace {

int ExitStatusOf(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Safe: return kPowercutSafe;
    case Verdict::Unsafe: return kPowercutUnsafe;
    case Verdict::Unclear: return kPowercutNoAnswer;
    }
    return kPowercutNoAnswer;
}

}  // namespace

int PowercutExitStatus(const PowercutResult& result)
{
    return ExitStatusOf(result.verdict);
}

int PowercutExitStatus(const MediumPowercutResult& result)
{
    return ExitStatusOf(result.verdict);
}

std::string UnclearReason(const PowercutResult& r)
{
    auto count = [&](PointClass c) {
        const auto it = r.counts.find(c);
        return it == r.counts.end() ? 0 : it->second;
    };
    const size_t total = r.points.size();
    std::vector<std::string> parts;
    if (count(PointClass::NotChecked) > 0) {
        std::string why;
        for (const auto& p : r.points) {
            if (p.cls == PointClass::NotChecked && !p.evidence.empty()) {
                why = p.evidence.front();
                break;
            }
        }
        parts.push_back(std::to_string(count(PointClass::NotChecked)) + " of " + std::to_string(total) +
                        " points could not be checked" + (why.empty() ? "" : " (" + why + ")"));
    }
    if (count(PointClass::Other) > 0) {
        parts.push_back(std::to_string(count(PointClass::Other)) + " of " + std::to_string(total) +
                        " points ended otherwise (see the table)");
    }
    if (!r.disagreements.empty()) {
        parts.push_back(std::to_string(r.disagreements.size()) + " points drawn to check a class disagree with it");
    }
    if (!r.safe) {
        parts.push_back("besides, " + std::to_string(count(PointClass::WouldNotStart)) +
                        " points would not start: the update is unsafe as far as it was checked");
    } else {
        parts.push_back("no point checked leaves the instrument unable to start");
    }
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? "" : i + 1 == parts.size() ? "; " : ", ") + parts[i];
    return text;
}

namespace sweep {

// Unclear when some point of any instrument could not be checked (as for one
// instrument: it may hide anything); else unsafe when the medium leaves any
// instrument unable to start; else unclear when any instrument's sweep gave
// no answer; else safe.
void ConcludeMedium(MediumPowercutResult* result)
{
    bool unsafe = false, unclear = false, notChecked = false;
    for (const auto& k : result->kinds) {
        unsafe = unsafe || k.verdict == Verdict::Unsafe;
        unclear = unclear || k.verdict == Verdict::Unclear;
        const auto it = k.counts.find(PointClass::NotChecked);
        notChecked = notChecked || (it != k.counts.end() && it->second > 0);
    }
    result->safe = !unsafe;
    result->verdict = notChecked ? Verdict::Unclear
                      : unsafe   ? Verdict::Unsafe
                      : unclear  ? Verdict::Unclear
                                 : Verdict::Safe;
}

// The verdict: the counts, whether it is safe, the points drawn inside a
// class whose class differs from their representative's; unclear when some
// point could not be checked (whatever the others found: a point the sweep
// could not answer may hide anything), or when it is safe but some point
// ended otherwise or disagrees with its class.
void MarkDrawn(const std::map<std::string, std::string>& representativeOf, PowercutResult* result)
{
    for (auto& r : result->points) {
        const auto it = representativeOf.find(SweepId(r.point));
        if (it != representativeOf.end()) r.representative = it->second;
    }
}

void Conclude(const std::map<std::string, std::string>& representativeOf, PowercutResult* result)
{
    result->counts.clear();
    result->disagreements.clear();
    MarkDrawn(representativeOf, result);
    std::map<std::string, const PointResult*> byId;
    for (const auto& r : result->points) byId[SweepId(r.point)] = &r;
    for (const auto& r : result->points) {
        ++result->counts[r.cls];
        if (r.representative.empty() || !byId.count(r.representative)) continue;
        const PointResult& rep = *byId[r.representative];
        if (rep.cls == r.cls) continue;
        result->disagreements.push_back(SweepId(r.point) + " (" + PointClassText(r.cls) + ") differs from " +
                                        r.representative + " (" + PointClassText(rep.cls) + ") in " + r.point.cls);
    }
    const auto unable = result->counts.find(PointClass::WouldNotStart);
    const auto other = result->counts.find(PointClass::Other);
    result->safe = (unable == result->counts.end() || unable->second == 0) && result->windowSeconds <= 0;
    const auto unchecked = result->counts.find(PointClass::NotChecked);
    const bool answered = (other == result->counts.end() || other->second == 0) && result->disagreements.empty();
    const bool checked = unchecked == result->counts.end() || unchecked->second == 0;
    result->verdict = !checked         ? Verdict::Unclear
                      : !result->safe ? Verdict::Unsafe
                      : answered      ? Verdict::Safe
                                      : Verdict::Unclear;
}

}  // namespace sweep
}  // namespace swsim
