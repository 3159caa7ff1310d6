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
    }
    return "other";
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

int PowercutExitStatus(const PowercutResult& result)
{
    switch (result.verdict) {
    case Verdict::Safe: return kPowercutSafe;
    case Verdict::Unsafe: return kPowercutUnsafe;
    case Verdict::Unclear: return kPowercutNoAnswer;
    }
    return kPowercutNoAnswer;
}

namespace sweep {

// The verdict: the counts, whether it is safe, the points drawn inside a
// class whose class differs from their representative's; unclear when it is
// safe but some point ended otherwise or disagrees with its class.
void Conclude(const std::map<std::string, std::string>& representativeOf, PowercutResult* result)
{
    result->counts.clear();
    result->disagreements.clear();
    std::map<std::string, const PointResult*> byId;
    for (auto& r : result->points) {
        const auto it = representativeOf.find(SweepId(r.point));
        if (it != representativeOf.end()) r.representative = it->second;
        byId[SweepId(r.point)] = &r;
    }
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
    const bool answered = (other == result->counts.end() || other->second == 0) && result->disagreements.empty();
    result->verdict = !result->safe ? Verdict::Unsafe : answered ? Verdict::Safe : Verdict::Unclear;
}

}  // namespace sweep
}  // namespace swsim
