// A fleet split over machines: which instruments a shard runs, what its
// JSON carries so that the parts can be joined, and the join itself, which
// gives the outcome of one run over the whole fleet (the findings in one
// run's order, the estimate judged over every instrument).
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include <nlohmann/json.hpp>

#include "MediumCheck.h"
#include "SimFiles.h"
#include "SimShards.h"
#include "SimState.h"

namespace swsim {

// The JSON of what a merge reads back: a finding, an instrument's
// definition and its result (with the run's facts, which the page draws).
void to_json(nlohmann::json& j, const Finding& f)
{
    j = {{"severity", SeverityName(f.severity)}, {"check", f.check}, {"what", f.what}, {"effect", f.effect},
         {"package", f.package}, {"file", f.file}, {"line", f.line}, {"instrument", f.instrument},
         {"invariant", f.invariant}, {"causeLines", f.causeLines}, {"explainedBy", f.explainedBy}};
}

void from_json(const nlohmann::json& j, Finding& f)
{
    f.severity = j.at("severity").get<std::string>() == SeverityName(Finding::Error) ? Finding::Error : Finding::Warning;
    j.at("check").get_to(f.check);
    j.at("what").get_to(f.what);
    j.at("effect").get_to(f.effect);
    j.at("package").get_to(f.package);
    j.at("file").get_to(f.file);
    j.at("line").get_to(f.line);
    j.at("instrument").get_to(f.instrument);
    j.at("invariant").get_to(f.invariant);
    j.at("causeLines").get_to(f.causeLines);
    j.at("explainedBy").get_to(f.explainedBy);
}

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(FleetInstrument, name, running, installed, market, corruptLogs, truncateLogs,
                                   mounted, line, dump, data, logs)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(InstrumentResult, instrument, expected, outcome, ok, verdict, durationSeconds,
                                   workSeconds, stateDir, ran, timedOut, facts);

namespace {

// FNV-1a, 64 bits: a digest that tells media and fleets apart (not a
// protection against a made-up collision).
struct Digest {
    uint64_t h = 1469598103934665603ull;
    void Add(const void* data, size_t size)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
    }
    void Add(const std::string& text)
    {
        Add(text.data(), text.size());
        Add("", 1);  // the end, so that "ab"+"c" differs from "a"+"bc"
    }
    // A file or a tree: each name below `path`, in order, and each
    // file's bytes or link's target.
    void AddTree(const std::string& path, const std::string& name)
    {
        std::vector<std::string> names = {name};
        while (!names.empty()) {
            const std::string n = names.back();
            names.pop_back();
            const std::string full = path + (n.empty() ? "" : "/" + n);
            struct stat st;
            if (lstat(full.c_str(), &st) != 0) continue;
            Add(n);
            std::vector<uint8_t> bytes;
            if (S_ISREG(st.st_mode) && ReadBytes(full, &bytes)) Add(bytes.data(), bytes.size());
            if (!S_ISDIR(st.st_mode)) continue;
            const auto below = ListDir(full);
            for (auto it = below.rbegin(); it != below.rend(); ++it) names.push_back(n.empty() ? *it : n + "/" + *it);
        }
    }
    std::string Text() const
    {
        char text[20];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
        return text;
    }
};

// The parts as read: the outcome each renders, and the instruments of the
// whole fleet's list that it ran.
struct Part {
    std::string path;
    CheckOutcome o;
};

// A part's JSON as its outcome.
bool ReadPart(const std::string& path, Part* p, std::string* why)
{
    p->path = path;
    try {
        const nlohmann::json j = nlohmann::json::parse(ReadTextOr(path, ""));
        const nlohmann::json& s = j.at("shard");
        if (s.is_null()) {
            *why = path + " is the JSON of a whole check, not of a shard (--shard K/N)";
            return false;
        }
        CheckOutcome& o = p->o;
        j.at("medium").get_to(o.medium);
        j.at("mediumDigest").get_to(o.mediumDigest);
        j.at("version").get_to(o.version);
        j.at("fleetRun").get_to(o.fleetRun);
        j.at("runLimitSeconds").get_to(o.runLimitSeconds);
        j.at("findings").get_to(o.findings);
        if (!j.at("couldNotCheck").is_null()) j["couldNotCheck"].at("reason").get_to(o.notChecked);
        s.at("index").get_to(o.shard.index);
        s.at("count").get_to(o.shard.count);
        s.at("fleetSize").get_to(o.shard.fleetSize);
        s.at("fleetDigest").get_to(o.shard.fleetDigest);
        s.at("staticFindings").get_to(o.shard.staticFindings);
        s.at("estimateSeconds").get_to(o.shard.estimateSeconds);
        s.at("indexes").get_to(o.shard.indexes);
        s.at("results").get_to(o.fleet);
    } catch (const nlohmann::json::exception& e) {
        *why = path + " is no JSON of swsim check --shard (" + e.what() + ")";
        return false;
    }
    if (p->o.shard.indexes.size() != p->o.fleet.size() || p->o.shard.staticFindings > p->o.findings.size()) {
        *why = path + " is no JSON of swsim check --shard (its instruments do not add up)";
        return false;
    }
    return true;
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// What makes part `p` another check than `first`; "" when it is a part of
// the same.
std::string Difference(const CheckOutcome& first, const CheckOutcome& p)
{
    if (p.mediumDigest != first.mediumDigest) return "another medium (digest " + p.mediumDigest + " against " + first.mediumDigest + ")";
    if (p.shard.fleetDigest != first.shard.fleetDigest || p.shard.fleetSize != first.shard.fleetSize) {
        return "another fleet (" + std::to_string(p.shard.fleetSize) + " instruments, digest " + p.shard.fleetDigest +
               ", against " + std::to_string(first.shard.fleetSize) + ", " + first.shard.fleetDigest + ")";
    }
    if (p.runLimitSeconds != first.runLimitSeconds) {
        return "another option: --run-limit " + Number(p.runLimitSeconds) + " against " + Number(first.runLimitSeconds);
    }
    if (p.shard.count != first.shard.count) {
        return "another split: " + std::to_string(p.shard.count) + " shards against " + std::to_string(first.shard.count);
    }
    return "";
}

}  // namespace

std::string FleetDigest(const std::vector<FleetInstrument>& fleet)
{
    Digest d;
    for (const auto& inst : fleet) {
        FleetInstrument definition = inst;
        definition.line = 0;  // a comment more or less in the file is the same fleet
        d.Add(nlohmann::json(definition).dump());
        if (inst.madeFrom.empty()) continue;
        const StatePaths s(inst.madeFrom);
        for (const char* part : {"norflash", "instrumentData", "log"}) d.AddTree(s.root, part);
    }
    return d.Text();
}

std::vector<FleetInstrument> ShardOfFleet(const std::vector<FleetInstrument>& fleet, int k, int n, CheckShard* shard)
{
    shard->split = true;
    shard->index = k;
    shard->count = n;
    shard->fleetSize = fleet.size();
    shard->fleetDigest = FleetDigest(fleet);
    shard->indexes.clear();
    std::vector<FleetInstrument> part;
    for (size_t i = 0; i < fleet.size(); ++i) {
        if (!InShard(i, k, n)) continue;
        part.push_back(fleet[i]);
        shard->indexes.push_back(i);
    }
    return part;
}

nlohmann::json ShardJson(const CheckOutcome& o)
{
    if (!o.shard.split) return nullptr;
    return {{"index", o.shard.index},
            {"count", o.shard.count},
            {"fleetSize", o.shard.fleetSize},
            {"fleetDigest", o.shard.fleetDigest},
            {"staticFindings", o.shard.staticFindings},
            {"estimateSeconds", o.shard.estimateSeconds},
            {"indexes", o.shard.indexes},
            {"results", o.fleet}};
}

int MergeCheckParts(const std::vector<std::string>& paths, CheckOutcome* out, std::string* why)
{
    std::vector<Part> parts(paths.size());
    std::vector<int> shardOf;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!ReadPart(paths[i], &parts[i], why)) return kCheckMergeRefused;
        const std::string difference = Difference(parts[0].o, parts[i].o);
        if (!difference.empty()) {
            *why = paths[i] + " is a part of " + difference + " than " + paths[0];
            return kCheckMergeRefused;
        }
        shardOf.push_back(parts[i].o.shard.index);
    }
    if (parts.empty()) return *why = "--merge needs the JSON of the shards", kCheckMergeRefused;
    if (!ShardsComplete(paths, shardOf, parts[0].o.shard.count, why)) return kCheckMergeRefused;
    const CheckOutcome& first = parts[0].o;
    *out = CheckOutcome();
    out->medium = first.medium;
    out->mediumDigest = first.mediumDigest;
    out->version = first.version;
    out->fleetRun = first.fleetRun;
    out->runLimitSeconds = first.runLimitSeconds;
    out->shard.fleetSize = first.shard.fleetSize;
    out->findings.assign(first.findings.begin(), first.findings.begin() + static_cast<std::ptrdiff_t>(first.shard.staticFindings));
    // Each instrument at its place in the whole fleet, with the fleet
    // findings its part gave it.
    std::vector<const Part*> from(first.shard.fleetSize, nullptr);
    out->fleet.resize(first.shard.fleetSize);
    for (const auto& p : parts) {
        for (size_t k = 0; k < p.o.shard.indexes.size(); ++k) {
            const size_t at = p.o.shard.indexes[k];
            if (at >= from.size() || from[at] != nullptr) return *why = p.path + " holds instruments no shard of this fleet holds", kCheckMergeRefused;
            from[at] = &p;
            out->fleet[at] = p.o.fleet[k];
        }
        if (out->notChecked.empty()) out->notChecked = p.o.notChecked;
        out->fleetRun = out->fleetRun && p.o.fleetRun;  // a part that could not check ran no whole fleet
    }
    for (size_t at = 0; at < from.size(); ++at) {
        if (from[at] == nullptr) return *why = "no part holds instrument " + std::to_string(at + 1) + " of the fleet", kCheckMergeRefused;
        const auto& fs = from[at]->o.findings;
        for (size_t k = from[at]->o.shard.staticFindings; k < fs.size(); ++k) {
            if (fs[k].check == "fleet" && fs[k].instrument == out->fleet[at].instrument.name) out->findings.push_back(fs[k]);
        }
    }
    const std::string stopped = StoppedRunsReason(out->fleet, out->runLimitSeconds);
    if (!stopped.empty()) out->notChecked = stopped;
    if (out->notChecked.empty() && out->fleetRun) JudgeEstimate(first.shard.estimateSeconds, out->fleet, &out->findings);
    return 0;
}

}  // namespace swsim
