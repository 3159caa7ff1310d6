// The report of a medium's sweep over a fleet: the verdict over every
// instrument that installs it, the instruments left out, then each
// instrument's own report; and the same as JSON.
#include <nlohmann/json.hpp>

#include <sstream>

#include "Powercut.h"
#include "SimFiles.h"
#include "ToolVersion.h"

namespace swsim {

namespace {

// The instruments of the sweep whose verdict is `v`, by name.
std::string KindsWith(const MediumPowercutResult& r, Verdict v)
{
    std::string names;
    for (const auto& k : r.kinds) {
        if (k.verdict == v) names += (names.empty() ? "" : ", ") + k.kind;
    }
    return names;
}

}  // namespace

std::string MediumPowercutText(const MediumPowercutResult& r)
{
    std::ostringstream out;
    const size_t n = r.kinds.size();
    switch (r.verdict) {
    case Verdict::Unsafe:
        out << "UNSAFE TO LOSE POWER: on " << KindsWith(r, Verdict::Unsafe)
            << " a power failure during the update can leave the instrument unable to start\n";
        break;
    case Verdict::Unclear:
        out << "UNCLEAR: no point leaves an instrument unable to start, but the sweep on "
            << KindsWith(r, Verdict::Unclear) << " gave no answer (see its report)\n";
        break;
    case Verdict::Safe:
        out << "RECOVERS: on every one of the " << n << " instruments that install the medium\n";
        break;
    }
    out << "\nMedium " << r.medium << " (" << r.mediumDigest << ") on the fleet " << r.fleetSource;
    if (!r.previousVersions.empty()) {
        out << " after the upgrade path";
        for (const auto& v : r.previousVersions) out << " " << v;
    }
    out << ": " << n << (n == 1 ? " instrument" : " instruments") << " swept";
    if (r.shards > 1) out << ", shard " << r.shard << " of " << r.shards;
    out << ", wall time " << Fixed(r.wallSeconds, 1) << " s\n";
    for (const auto& k : r.kinds) {
        out << "  " << k.kind << ": " << VerdictKey(k.verdict) << ", " << k.points.size() << " points, window "
            << Fixed(k.windowSeconds, 2) << " s, wall time " << Fixed(k.wallSeconds, 1) << " s\n";
    }
    for (const auto& s : r.skipped) out << "  " << s.name << ": skipped, " << s.reason << "\n";
    for (const auto& k : r.kinds) {
        out << "\n=== Instrument " << k.kind << " ===\n" << PowercutText(k);
    }
    return out.str();
}

void to_json(nlohmann::json& j, const MediumPowercutResult& r)
{
    j["schemaVersion"] = kPowercutSchemaVersion;
    j["swsimVersion"] = SWU_TOOL_VERSION;
    j["verdict"] = VerdictKey(r.verdict);
    j["safe"] = r.safe;
    j["mediumDir"] = r.medium;
    j["medium"] = r.mediumDigest;
    j["fleetSource"] = r.fleetSource;
    j["fleet"] = r.fleet;
    j["previous"] = r.previous;
    j["previousVersions"] = r.previousVersions;
    nlohmann::json skipped = nlohmann::json::array();
    for (const auto& s : r.skipped) skipped.push_back({{"kind", s.name}, {"reason", s.reason}});
    j["skipped"] = skipped;
    j["shard"] = {{"index", r.shard}, {"count", r.shards}};
    j["wallSeconds"] = r.wallSeconds;
    j["kinds"] = r.kinds;
}

void from_json(const nlohmann::json& j, MediumPowercutResult& r)
{
    j.at("mediumDir").get_to(r.medium);
    j.at("medium").get_to(r.mediumDigest);
    j.at("fleetSource").get_to(r.fleetSource);
    j.at("fleet").get_to(r.fleet);
    r.previous = j.value("previous", std::vector<std::string>());
    r.previousVersions = j.value("previousVersions", std::vector<std::string>());
    r.skipped.clear();
    for (const auto& s : j.at("skipped")) r.skipped.push_back({s.at("kind").get<std::string>(), s.at("reason").get<std::string>()});
    j.at("shard").at("index").get_to(r.shard);
    j.at("shard").at("count").get_to(r.shards);
    j.at("wallSeconds").get_to(r.wallSeconds);
    j.at("kinds").get_to(r.kinds);
}

std::string MediumPowercutJson(const MediumPowercutResult& result)
{
    return nlohmann::json(result).dump(2) + "\n";
}

bool IsMediumPowercutJson(const std::string& text)
{
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    return j.is_object() && j.contains("kinds");
}

}  // namespace swsim
