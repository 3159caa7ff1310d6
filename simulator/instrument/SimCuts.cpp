#include "SimCuts.h"

#include <algorithm>
#include <random>
#include <set>
#include <tuple>

namespace swsim {

bool CutPoint::operator<(const CutPoint& o) const
{
    return std::tie(kind, write, keep) < std::tie(o.kind, o.write, o.keep);
}

bool CutPoint::operator==(const CutPoint& o) const
{
    return kind == o.kind && write == o.write && keep == o.keep;
}

std::string CutId(const CutPoint& p)
{
    if (p.kind == CutPoint::Flash) return "flash:" + std::to_string(p.write);
    if (p.kind == CutPoint::File) return "file:" + std::to_string(p.write);
    return "log:" + std::to_string(p.write) + ":" + std::to_string(p.keep);
}

namespace {

// A whole decimal number without sign or trailing text, at most 18 digits.
bool Number(const std::string& text, uint64_t* out)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::stoull(text);
    return true;
}

}  // namespace

bool ParseCutId(const std::string& id, CutPoint* out, std::string* why)
{
    CutPoint p;
    bool ok = false;
    if (id.compare(0, 6, "flash:") == 0) {
        p.kind = CutPoint::Flash;
        ok = Number(id.substr(6), &p.write);
    } else if (id.compare(0, 5, "file:") == 0) {
        p.kind = CutPoint::File;
        ok = Number(id.substr(5), &p.write);
    } else if (id.compare(0, 4, "log:") == 0) {
        p.kind = CutPoint::Log;
        const std::string rest = id.substr(4);
        const size_t colon = rest.find(':');
        ok = colon != std::string::npos && Number(rest.substr(0, colon), &p.write) &&
             Number(rest.substr(colon + 1), &p.keep);
    }
    if (!ok || p.write == 0) {
        *why = "\"" + id + "\" is no power-cut point (flash:N, log:N:K or file:N, N from 1)";
        return false;
    }
    *out = p;
    return true;
}

std::string CutEnvironment(const CutPoint& p)
{
    if (p.kind == CutPoint::Flash) return "NORFLASH_POWER_CUT=" + std::to_string(p.write);
    if (p.kind == CutPoint::File) return "SWSIM_FILE_CUT=" + std::to_string(p.write);
    return "RECORDLOG_POWER_CUT=" + std::to_string(p.write) + ":" + std::to_string(p.keep);
}

std::vector<uint64_t> ChoosePoints(uint64_t seed, int count, uint64_t total,
                                   const std::vector<uint64_t>& favoured)
{
    std::set<uint64_t> points;
    if (total == 0 || count <= 0) return {};
    const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(count), total);
    std::mt19937_64 random(seed);
    const uint64_t fromFavoured = favoured.empty() ? 0 : want / 5;
    for (uint64_t tries = 0; points.size() < fromFavoured && tries < 100 * want; ++tries)
        points.insert(favoured[random() % favoured.size()]);
    while (points.size() < want) points.insert(1 + random() % total);
    return std::vector<uint64_t>(points.begin(), points.end());
}

}  // namespace swsim
