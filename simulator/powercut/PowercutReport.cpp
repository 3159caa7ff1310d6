// The report of a power-cut sweep: the verdict, the findings (counts per
// class, the window in which a cut leaves the instrument unable to start),
// then the table of points; and the same as JSON.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "Powercut.h"
#include "SimFiles.h"
#include "ToolVersion.h"

namespace swsim {

namespace {

int CountOf(const PowercutResult& r, PointClass c)
{
    const auto it = r.counts.find(c);
    return it == r.counts.end() ? 0 : it->second;
}

double Share(const PowercutResult& r)
{
    return r.updateSeconds > 0 ? r.windowSeconds / r.updateSeconds : 0;
}

}  // namespace

std::string PointDetail(const PointResult& p)
{
    std::string text;
    auto add = [&](const std::string& t) { text += (text.empty() ? "" : "; ") + t; };
    for (const auto& kv : p.lostBytes) {
        add("sector " + std::to_string(kv.first) + ": " + std::to_string(kv.second) + " bytes outside the images lost");
    }
    for (const auto& log : p.logs) {
        std::string t = log.name + " recreated; the copy aside keeps " + std::to_string(log.copyEntries) +
                        " valid entries, " + std::to_string(log.copyBadRecords) + " with a wrong CRC" +
                        (log.copyShort ? ", cut short" : "");
        t += log.copyKept ? (log.copyBackedUp ? " (in /tmp and in the backup on the medium)" : " (in /tmp only)")
                          : " (no copy found)";
        add(t);
    }
    for (const auto& h : p.historyLost) add(h);
    for (const auto& e : p.evidence) add(e);
    for (const auto& d : p.logDifferences) add(d);
    if (!p.representative.empty()) add("drawn to check the class of " + p.representative);
    if (!p.sameStateAs.empty()) add("the same cut state as " + p.sameStateAs + ", whose restarts these are");
    if (!p.sameRestartAs.empty()) {
        add("the restart of " + p.sameRestartAs +
            ", whose flash differs from this one only in image bytes that restart erased and wrote anew");
    }
    if (p.cls != PointClass::WouldNotStart && p.restarts > 0 && p.cls != PointClass::Other &&
        p.cls != PointClass::NotChecked) {
        add(std::to_string(p.restarts) + (p.restarts == 1 ? " restart" : " restarts"));
    }
    return text;
}

std::string PowercutText(const PowercutResult& r)
{
    std::ostringstream out;
    const int unable = CountOf(r, PointClass::WouldNotStart);
    const int other = CountOf(r, PointClass::Other);
    std::string parts;
    for (const auto& w : r.window) parts += (parts.empty() ? "" : ", ") + w.partition;
    switch (r.verdict) {
    case Verdict::Unsafe:
        out << "UNSAFE TO LOSE POWER: for " << Fixed(r.windowSeconds, 1) << " s of the update's "
            << Fixed(r.updateSeconds, 1) << " s (" << Fixed(100 * Share(r), 1)
            << " %) a power failure leaves the instrument unable to start (" << (parts.empty() ? "none" : parts)
            << "); " << unable << " of " << r.points.size() << " points would not start\n";
        if (other > 0) out << "  and " << other << " points ended otherwise (see the table)\n";
        break;
    case Verdict::Unclear:
        out << "UNCLEAR: " << UnclearReason(r) << "\n";
        break;
    case Verdict::Safe:
        out << "RECOVERS: every one of " << r.points.size() << " points recovered"
            << (r.window.empty() ? "; the update writes no critical partition" : "") << "\n";
        break;
    }
    for (const auto& d : r.disagreements) out << "  CLASS DISAGREES: " << d << "\n";

    out << "\nFindings (" << (r.kind.empty() ? r.state : "instrument " + r.kind) << ", " << (r.mode == "exhaustive" ? "every distinct cut state" : r.mode)
        << ", seed " << r.seed << ", " << r.points.size() << " points over " << r.busWrites
        << " flash bus writes and " << r.logWrites << " log writes):\n";
    if (r.mode == "exhaustive") {
        size_t drawn = 0;
        for (const auto& p : r.points) drawn += !p.representative.empty();
        out << "  " << r.stateClasses << " classes of cut states in " << r.points.size() - drawn
            << " points (some classes with their first and last word, or an erase at several lengths)";
        if (drawn > 0) out << "; " << drawn << " further points drawn inside the classes to check them";
        out << "\n";
    }
    for (PointClass c : PointClasses()) {
        char line[128];
        std::snprintf(line, sizeof line, "  %-42s %d\n", PointClassText(c), CountOf(r, c));
        out << line;
    }
    out << "  window in which a power failure leaves the instrument unable to start: " << Fixed(r.windowSeconds, 2)
        << " s of " << Fixed(r.updateSeconds, 2) << " s (" << Fixed(100 * Share(r), 1) << " %)\n";
    if (r.modelledSeconds > 0 && r.modelledSeconds != r.updateSeconds) {
        out << "    (the chip model and the fixed waits alone give the update " << Fixed(r.modelledSeconds, 2)
            << " s, a share of " << Fixed(100 * r.windowSeconds / r.modelledSeconds, 1)
            << " %; the update's duration also holds the updater's own work and every medium check)\n";
    }
    for (const auto& w : r.window) {
        out << "    " << w.partition << " (sectors " << w.firstSector << "-" << w.lastSector << "): from "
            << Fixed(w.from, 2) << " s to " << Fixed(w.to, 2) << " s\n";
    }
    if (r.window.empty()) out << "    no critical partition is written\n";
    out << "  critical partitions: ";
    for (size_t i = 0; i < r.critical.size(); ++i) out << (i ? ", " : "") << r.critical[i];
    out << (r.critical.empty() ? "none" : "") << "\n";
    out << "  flash writing from " << Fixed(r.flashFrom, 2) << " s to " << Fixed(r.flashTo, 2) << " s\n";
    out << "  instrument's time: " << r.timeSource << "\n";
    out << "  flash cuts: " << (r.statesBuilt ? "built from the recorded writes (checked against real cuts)"
                                              : "each cut for real") << "\n";
    out << "  wall time: " << Fixed(r.wallSeconds, 1) << " s\n";

    // A cut at an erased length of its own is built by the sweep only; the
    // chip model, the record log library and the file recorder cut the
    // others.
    out << "\nPoints (replay one with swsim powercut STATE --replay ID; flash:N, log:N:K and file:N also with swsim "
           "run STATE --power-cut ID):\n";
    // Each column as wide as its longest entry, so that long ids and places
    // keep the columns aligned.
    std::vector<std::string> times;
    size_t idWidth = 2, timeWidth = 8, whereWidth = 6, classWidth = 5;
    for (const auto& p : r.points) {
        times.push_back(Fixed(p.seconds, 3));
        idWidth = std::max(idWidth, SweepId(p.point).size());
        timeWidth = std::max(timeWidth, times.back().size());
        whereWidth = std::max(whereWidth, p.where.size());
        classWidth = std::max(classWidth, std::strlen(PointClassText(p.cls)));
    }
    const auto pad = [](const std::string& text, size_t width) { return text + std::string(width - text.size(), ' '); };
    const auto right = [](const std::string& text, size_t width) { return std::string(width - text.size(), ' ') + text; };
    out << "  " << pad("id", idWidth) << "  " << right("time (s)", timeWidth) << "  " << pad("cut in", whereWidth) << "  "
        << pad("class", classWidth) << "  detail\n";
    for (size_t i = 0; i < r.points.size(); ++i) {
        const PointResult& p = r.points[i];
        out << "  " << pad(SweepId(p.point), idWidth) << "  " << right(times[i], timeWidth) << "  "
            << pad(p.where, whereWidth) << "  " << pad(PointClassText(p.cls), classWidth) << "  " << PointDetail(p)
            << "\n";
    }
    return out.str();
}

// The JSON layout of simulator/schemas/powercut.schema.json, through the
// type mappings; what the report works out from the points (the verdict,
// the counts, the share) is written, not read back: a merge concludes anew.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(WindowPart, partition, from, to, firstSector, lastSector)

void to_json(nlohmann::json& j, const LostLog& l)
{
    j = {{"log", l.name},
         {"copyKept", l.copyKept},
         {"copyBackedUp", l.copyBackedUp},
         {"copyEntries", l.copyEntries},
         {"copyBadRecords", l.copyBadRecords},
         {"copyShort", l.copyShort}};
}

void from_json(const nlohmann::json& j, LostLog& l)
{
    j.at("log").get_to(l.name);
    j.at("copyKept").get_to(l.copyKept);
    j.at("copyBackedUp").get_to(l.copyBackedUp);
    j.at("copyEntries").get_to(l.copyEntries);
    j.at("copyBadRecords").get_to(l.copyBadRecords);
    j.at("copyShort").get_to(l.copyShort);
}

void to_json(nlohmann::json& e, const PointResult& p)
{
    e["id"] = SweepId(p.point);
    e["sequence"] = p.point.sequence;
    if (!p.point.cls.empty()) e["stateClass"] = p.point.cls;
    if (!p.representative.empty()) e["representative"] = p.representative;
    e["logDifferences"] = p.logDifferences;
    if (!p.sameStateAs.empty()) e["sameStateAs"] = p.sameStateAs;
    if (!p.sameRestartAs.empty()) e["sameRestartAs"] = p.sameRestartAs;
    e["seconds"] = p.seconds;
    e["where"] = p.where;
    e["class"] = PointClassKey(p.cls);
    e["restarts"] = p.restarts;
    e["lastOutcome"] = p.lastOutcome;
    e["evidence"] = p.evidence;
    nlohmann::json lost = nlohmann::json::array();
    for (const auto& kv : p.lostBytes) lost.push_back({{"sector", kv.first}, {"bytes", kv.second}});
    e["bytesLost"] = lost;
    e["logsRecreated"] = p.logs;
    e["historyLost"] = p.historyLost;
}

void from_json(const nlohmann::json& e, PointResult& p)
{
    std::string why;
    if (!ParseSweepId(e.at("id").get<std::string>(), &p.point, &why)) throw std::runtime_error(why);
    p.point.cls = e.value("stateClass", "");
    e.at("sequence").get_to(p.point.sequence);
    p.representative = e.value("representative", "");
    p.sameStateAs = e.value("sameStateAs", "");
    p.sameRestartAs = e.value("sameRestartAs", "");
    e.at("seconds").get_to(p.seconds);
    e.at("where").get_to(p.where);
    for (PointClass c : PointClasses()) {
        if (e.at("class").get<std::string>() == PointClassKey(c)) p.cls = c;
    }
    e.at("restarts").get_to(p.restarts);
    e.at("lastOutcome").get_to(p.lastOutcome);
    e.at("evidence").get_to(p.evidence);
    e.at("logDifferences").get_to(p.logDifferences);
    for (const auto& b : e.at("bytesLost")) p.lostBytes[b.at("sector").get<int>()] = b.at("bytes").get<uint32_t>();
    e.at("logsRecreated").get_to(p.logs);
    p.historyLost = e.value("historyLost", std::vector<std::string>());
}

void to_json(nlohmann::json& j, const PowercutResult& r)
{
    // The layout's version (simulator/schemas/powercut.schema.json) and the tool's.
    j["schemaVersion"] = kPowercutSchemaVersion;
    j["swsimVersion"] = SWU_TOOL_VERSION;
    j["state"] = r.state;
    j["medium"] = r.medium;
    j["kind"] = r.kind.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.kind);
    j["options"] = {{"points", r.pointsAsked},
                    {"verifyClasses", r.verifyClasses},
                    {"replay", r.replay},
                    {"runLimitSeconds", r.runLimitSeconds}};
    j["verdict"] = VerdictKey(r.verdict);
    j["safe"] = r.safe;
    j["mode"] = r.mode;
    j["stateClasses"] = r.stateClasses;
    j["statesBuilt"] = r.statesBuilt;
    j["shard"] = {{"index", r.shard}, {"count", r.shards}};
    j["disagreements"] = r.disagreements;
    j["seed"] = r.seed;
    j["busWrites"] = r.busWrites;
    j["logWrites"] = r.logWrites;
    j["critical"] = r.critical;
    nlohmann::json counts = nlohmann::json::object();
    for (PointClass c : PointClasses()) counts[PointClassKey(c)] = CountOf(r, c);
    j["counts"] = counts;
    j["window"] = {{"seconds", r.windowSeconds},   {"updateSeconds", r.updateSeconds},
                   {"modelledSeconds", r.modelledSeconds}, {"share", Share(r)},
                   {"flashFrom", r.flashFrom},     {"flashTo", r.flashTo},
                   {"timeSource", r.timeSource},   {"partitions", r.window},
                   {"writing", r.writing}};
    j["points"] = r.points;
    j["wallSeconds"] = r.wallSeconds;
}

void from_json(const nlohmann::json& j, PowercutResult& r)
{
    j.at("state").get_to(r.state);
    // Reports of the first layout name neither the medium nor the options.
    r.medium = j.value("medium", "");
    r.kind = j.contains("kind") && j.at("kind").is_string() ? j.at("kind").get<std::string>() : "";
    if (j.contains("options")) {
        const auto& o = j.at("options");
        o.at("points").get_to(r.pointsAsked);
        o.at("verifyClasses").get_to(r.verifyClasses);
        o.at("replay").get_to(r.replay);
        o.at("runLimitSeconds").get_to(r.runLimitSeconds);
    }
    j.at("seed").get_to(r.seed);
    j.at("mode").get_to(r.mode);
    j.at("stateClasses").get_to(r.stateClasses);
    j.at("statesBuilt").get_to(r.statesBuilt);
    j.at("shard").at("index").get_to(r.shard);
    j.at("shard").at("count").get_to(r.shards);
    j.at("busWrites").get_to(r.busWrites);
    j.at("logWrites").get_to(r.logWrites);
    j.at("critical").get_to(r.critical);
    const auto& w = j.at("window");
    w.at("seconds").get_to(r.windowSeconds);
    w.at("updateSeconds").get_to(r.updateSeconds);
    w.at("modelledSeconds").get_to(r.modelledSeconds);
    w.at("flashFrom").get_to(r.flashFrom);
    w.at("flashTo").get_to(r.flashTo);
    w.at("timeSource").get_to(r.timeSource);
    w.at("partitions").get_to(r.window);
    w.at("writing").get_to(r.writing);
    j.at("points").get_to(r.points);
    j.at("wallSeconds").get_to(r.wallSeconds);
}

std::string PowercutJson(const PowercutResult& r)
{
    return nlohmann::json(r).dump(2) + "\n";
}

bool PowercutFromJson(const std::string& text, PowercutResult* result, std::string* why)
{
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object()) {
        *why = "not a JSON object";
        return false;
    }
    try {
        j.get_to(*result);
    } catch (const std::exception& e) {
        *why = std::string("not a power-cut report: ") + e.what();
        return false;
    }
    return true;
}

}  // namespace swsim
