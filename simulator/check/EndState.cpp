// The end-state invariants of a fleet instrument (EndState.h).
#include "EndState.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

#include "SimFiles.h"
#include "SimLogs.h"
#include "SimState.h"

namespace swsim {

namespace {

using Files = std::map<std::string, std::vector<uint8_t>>;

// Every regular file below `root`, by its path relative to it.
void ReadTree(const std::string& root, Files* files)
{
    std::vector<std::string> dirs = {""};
    while (!dirs.empty()) {
        const std::string rel = dirs.back();
        dirs.pop_back();
        for (const auto& name : ListDir(rel.empty() ? root : root + "/" + rel)) {
            const std::string r = rel.empty() ? name : rel + "/" + name;
            // Links are not followed: on the host they would lead out of
            // the state directory, or round in a loop.
            struct stat st;
            const std::string path = root + "/" + r;
            if (lstat(path.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                dirs.push_back(r);
            } else if (S_ISREG(st.st_mode)) {
                ReadBytes(path, &(*files)[r]);
            }
        }
    }
}

// [start, end) of a byte range in the flash.
struct Extent {
    uint32_t start = 0, end = 0;
    bool Holds(uint32_t a) const { return a >= start && a < end; }
};

Extent ExtentOf(uint64_t start, uint64_t length)
{
    const uint64_t s = std::min<uint64_t>(start, kFlashSize);
    return {static_cast<uint32_t>(s), static_cast<uint32_t>(std::min<uint64_t>(s + length, kFlashSize))};
}

std::string RangeText(uint32_t first, uint32_t last)
{
    return first == last ? Hex(first) : Hex(first) + "-" + Hex(last);
}

std::string BaseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// An image the update writes on this instrument, in map order.
struct Written {
    const MapPartition* line = nullptr;
    std::vector<uint8_t> bytes;
    Extent extent;
};

// What the updater's walk writes on an instrument of `kind`: every line
// whose flag is YES or whose mount directory it does not find, and whose
// image it can open (one it cannot open leaves the partition alone).
std::vector<Written> WrittenOn(const MediumFacts& medium, const InstrumentKind& kind)
{
    std::vector<Written> written;
    for (const auto& p : medium.partitions) {
        if (!p.overwrite && InstrumentHasDirectory(p.mountDir, kind.mountDirs)) continue;
        Written w;
        w.line = &p;
        if (p.hostPath.empty() || !ReadBytes(p.hostPath, &w.bytes)) continue;
        w.extent = ExtentOf(static_cast<uint64_t>(p.startKiB) * 1024, w.bytes.size());
        written.push_back(std::move(w));
    }
    return written;
}

std::string LineText(const Written& w)
{
    return w.line->name + " (flashMap line " + std::to_string(w.line->line) + ")";
}

// The last written image that reaches `a`; null when none does.
const Written* WrittenAt(const std::vector<Written>& written, uint32_t a)
{
    const Written* at = nullptr;
    for (const auto& w : written) {
        if (w.extent.Holds(a)) at = &w;
    }
    return at;
}

bool RewrittenUnderOwnName(const std::vector<Written>& written, const PartitionSpec& p)
{
    return std::any_of(written.begin(), written.end(),
                       [&](const Written& w) { return BaseName(w.line->name) == p.name && !w.bytes.empty(); });
}

// The first and last byte of [e.start, e.end) where `a` and `b` differ and
// `skip` does not hold; false when there is none.
template <typename Skip>
bool Differs(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, Extent e, Skip skip, uint32_t* first,
             uint32_t* last)
{
    bool any = false;
    constexpr uint32_t kBlock = 4096;
    for (uint32_t block = e.start; block < e.end; block += kBlock - block % kBlock) {
        const uint32_t end = std::min(e.end, block + kBlock - block % kBlock);
        if (std::equal(a.begin() + block, a.begin() + end, b.begin() + block)) continue;
        for (uint32_t i = block; i < end; ++i) {
            if (a[i] == b[i] || skip(i)) continue;
            if (!any) *first = i;
            *last = i;
            any = true;
        }
    }
    return any;
}

struct Judgement {
    const MediumFacts& medium;
    const InstrumentKind& kind;
    Outcome outcome;
    const Holding& before;
    const Holding& after;
    std::vector<Written> written;
    bool dataLost = false;
    std::vector<Broken> broken;

    void Add(const char* key, const std::string& what, const std::string& effect,
             std::vector<std::string> related = {})
    {
        broken.push_back({key, what, effect, std::move(related)});
    }
    // /instrumentData after the run: gone when an image was written over
    // the file system that holds it.
    const Files& DataAfter() const
    {
        static const Files none;
        return dataLost ? none : after.data;
    }
};

bool Flashing(Outcome o)
{
    return o == Outcome::FlashFailed || o == Outcome::Done || o == Outcome::Unfinished;
}

bool BackedUp(Outcome o)
{
    return o == Outcome::UnpackingFailed || Flashing(o);
}

void JudgeImages(Judgement& j)
{
    if (j.outcome != Outcome::Done) return;
    for (const auto& w : j.written) {
        const uint64_t wanted = static_cast<uint64_t>(w.line->startKiB) * 1024 + w.bytes.size();
        if (wanted > kFlashSize) {
            j.Add(kInvImages,
                  LineText(w) + " reaches " + std::to_string(wanted - kFlashSize) +
                      " bytes beyond the flash's end: only its first " +
                      std::to_string(w.extent.end - w.extent.start) + " bytes are in the flash",
                  "the instrument runs a partition that is not the delivered one", {"map-fit", "map-start"});
            continue;
        }
        for (uint32_t a = w.extent.start; a < w.extent.end; ++a) {
            if (j.after.flash[a] == w.bytes[a - w.extent.start]) continue;
            const Written* over = WrittenAt(j.written, a);
            j.Add(kInvImages,
                  "the flash does not hold " + LineText(w) + " as delivered at " + Hex(w.extent.start) +
                      ": first difference at " + Hex(a) +
                      (over && over != &w ? ", where " + LineText(*over) + " is written over it" : ""),
                  "the instrument runs a partition that is not the delivered one",
                  {"map-overlap", "map-fit", "package-duplicates"});
            break;
        }
    }
}

// Every partition of the instrument's layout that the map does not rewrite
// under its own name keeps every byte, and so do the bytes outside every
// partition and every written image.
void JudgeKept(Judgement& j)
{
    const bool writes = Flashing(j.outcome);
    const auto inWritten = [&](uint32_t a) { return writes && WrittenAt(j.written, a) != nullptr; };
    const PartitionSpec* data = DataPartitionOf(j.kind.layout);
    std::vector<Extent> kept;
    for (const auto& p : j.kind.layout) {
        const Extent e = ExtentOf(static_cast<uint64_t>(p.startKiB) * 1024, p.size);
        const bool isData = &p == data;
        if (!isData && writes && RewrittenUnderOwnName(j.written, p)) continue;
        kept.push_back(e);
        uint32_t first = 0, last = 0;
        if (!Differs(j.before.flash, j.after.flash, e, [](uint32_t) { return false; }, &first, &last)) continue;
        const Written* by = writes ? WrittenAt(j.written, first) : nullptr;
        const std::string where = by ? ", where " + LineText(*by) + " is written" : ", though no image is written there";
        if (isData) {
            j.dataLost = true;
            j.Add(kInvData,
                  "the data partition " + p.name + " (" + RangeText(e.start, e.end - 1) + ", mounted at /instrumentData) "
                      "changed at " + RangeText(first, last) + where,
                  "the instrument's own data is overwritten: its logs, settings, version and CRC files are lost",
                  {"map-overlap", "map-start"});
        } else {
            j.Add(kInvKept,
                  "the kept partition " + p.name + " (" + RangeText(e.start, e.end - 1) + ") changed at " +
                      RangeText(first, last) + where,
                  "a partition the update keeps is damaged", {"map-overlap", "map-start", "map-fit"});
        }
    }
    const auto elsewhere = [&](uint32_t a) {
        if (inWritten(a)) return true;
        return std::any_of(kept.begin(), kept.end(), [&](const Extent& e) { return e.Holds(a); });
    };
    uint32_t first = 0, last = 0;
    if (Differs(j.before.flash, j.after.flash, {0, kFlashSize}, elsewhere, &first, &last)) {
        j.Add(kInvKept, "bytes outside every image the update writes changed at " + RangeText(first, last),
              "flash the update does not concern is damaged");
    }
}

// The extent a CRC file's partition has after the update: the image when
// one was written under that name, else the layout's partition.
bool PartitionExtent(const Judgement& j, const std::string& crcName, Extent* e, std::string* name, bool* isData)
{
    const Written* found = nullptr;
    if (Flashing(j.outcome)) {
        for (const auto& w : j.written) {
            if (CrcFileName(BaseName(w.line->name)) == crcName && !w.bytes.empty()) found = &w;
        }
    }
    const PartitionSpec* data = DataPartitionOf(j.kind.layout);
    if (found) {
        *e = found->extent;
        *name = found->line->name + " (written)";
        *isData = data && BaseName(found->line->name) == data->name;
        return true;
    }
    for (const auto& p : j.kind.layout) {
        if (CrcFileName(p.name) != crcName) continue;
        *e = ExtentOf(static_cast<uint64_t>(p.startKiB) * 1024, p.size);
        *name = p.name + " (kept)";
        *isData = &p == data;
        return true;
    }
    return false;
}

void JudgeCrcFiles(Judgement& j)
{
    for (const auto& f : j.DataAfter()) {
        const std::string& crcName = f.first;
        if (crcName.find('/') != std::string::npos || crcName.size() <= 4 ||
            crcName.compare(crcName.size() - 4, 4, ".crc") != 0) {
            continue;
        }
        Extent e;
        std::string partition;
        bool isData = false;
        if (!PartitionExtent(j, crcName, &e, &partition, &isData)) {
            j.Add(kInvCrc, "/instrumentData/" + crcName + " belongs to no partition the instrument has",
                  "the instrument's start-up check looks for a partition it does not have",
                  {"map-unnamed-files", "crc-written"});
            continue;
        }
        // The data partition is a live file system: no CRC file can match it.
        if (isData) continue;
        const std::string text(f.second.begin(), f.second.end());
        uint32_t value = 0;
        std::string written;
        const uint32_t flash = Crc32(j.after.flash.data() + e.start, e.end - e.start);
        if (!ReadCrcWriting(text, &value, &written)) {
            j.Add(kInvCrc, "/instrumentData/" + crcName + " holds no CRC-32 (\"" + written + "\")",
                  "the instrument's start-up check cannot verify " + partition, {"crc-written"});
        } else if (value != flash) {
            char text2[160];
            std::snprintf(text2, sizeof text2, " holds %08x, the flash's %s at %s has CRC-32 %08x", value,
                          partition.c_str(), RangeText(e.start, e.end - 1).c_str(), flash);
            j.Add(kInvCrc, "/instrumentData/" + crcName + text2,
                  "the instrument's start-up check finds the partition corrupt",
                  {"crc-written", "map-image-missing", "image-empty", "map-ignored-lines",
                   "map-line-ends", "package-duplicates"});
        }
    }
    if (j.outcome != Outcome::Done || j.dataLost) return;
    for (const auto& c : j.medium.crcFiles) {
        if (!j.after.data.count(c)) {
            j.Add(kInvCrc, c + " was not installed into /instrumentData", "the instrument lacks a CRC file",
                  {"crc-written"});
        }
    }
}

// The version as the updater records it in the revision history:
// MAJOR.MINOR without leading zeros (a minor of zero keeps its zeros, which
// read the same), MAJOR alone for a text without a point.
std::string VersionAsRecorded(const MediumFacts& m)
{
    const std::string t = Trimmed(m.versionText);
    const size_t dot = t.find('.');
    const std::string minorText = dot == std::string::npos ? "" : t.substr(dot + 1);
    const bool zeros = !minorText.empty() && minorText.find_first_not_of('0') == std::string::npos;
    const std::string minor = m.versionMinor == 0 && zeros ? minorText : std::to_string(m.versionMinor);
    return std::to_string(m.versionMajor) + (dot == std::string::npos ? "" : "." + minor);
}

void JudgeVersion(Judgement& j)
{
    if (j.outcome != Outcome::Done || !j.medium.haveVersion || j.dataLost) return;
    const auto it = j.after.data.find("swVersion/swVersion");
    if (it == j.after.data.end()) {
        j.Add(kInvVersion, "no installed version file", "the instrument reports no installed version",
              {"version-file"});
        return;
    }
    if (!j.medium.versionParts) return;  // no revision entry to agree with
    const std::string installed(it->second.begin(), it->second.end());
    const std::string wanted = VersionAsRecorded(j.medium);
    if (installed == wanted || installed == wanted + "\n") return;
    j.Add(kInvVersion,
          "the installed version file holds \"" + Shown(installed) + "\" while the updater reads the medium's "
              "version as " + wanted + " and records that in the revision history",
          "the instrument's version file and its revision history disagree",
          {"version-file", "version-text", "version-leading-zero"});
}

std::string FileList(const std::vector<std::string>& names)
{
    std::string text;
    for (size_t i = 0; i < names.size() && i < 6; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > 6) text += " and " + std::to_string(names.size() - 6) + " more";
    return text;
}

// The files of one directory that differ between `before` and `after`
// (changed, added or removed), with `dir` before their names.
void ChangedFiles(const Files& before, const Files& after, const std::string& dir, std::vector<std::string>* changed)
{
    std::set<std::string> names;
    for (const auto& f : before) names.insert(f.first);
    for (const auto& f : after) names.insert(f.first);
    for (const auto& n : names) {
        const auto a = before.find(n), b = after.find(n);
        if (a == before.end() || b == after.end() || a->second != b->second) changed->push_back(dir + n);
    }
}

void JudgeUnchanged(Judgement& j)
{
    if (j.outcome != Outcome::NotAllowed && j.outcome != Outcome::Declined) return;
    std::vector<std::string> changed;
    ChangedFiles(j.before.data, j.after.data, "/instrumentData/", &changed);
    ChangedFiles(j.before.log, j.after.log, "/log/", &changed);
    if (changed.empty()) return;
    j.Add(kInvUnchanged, "the update was not installed, yet " + FileList(changed) + " changed",
          "an instrument that keeps its software has its data changed");
}

bool IsLog(const std::string& rel)
{
    return rel.find('/') == std::string::npos && FindLog(rel) != nullptr;
}

// The entries of a log (records holding one, with a valid CRC).
std::vector<const LogRecord*> Entries(const DecodedLog& log)
{
    std::vector<const LogRecord*> out;
    for (const auto& r : log.records) {
        if (!r.empty() && r.crcOk) out.push_back(&r);
    }
    return out;
}

// The entries of `had` that `bytes` (a log of the same kind) does not hold.
size_t MissingEntries(const DecodedLog& had, const std::vector<uint8_t>& bytes, const LogSpec& spec)
{
    const DecodedLog now = DecodeLog(bytes, true, spec);
    size_t missing = 0;
    for (const LogRecord* r : Entries(had)) {
        const bool held = std::any_of(now.records.begin(), now.records.end(), [&](const LogRecord& x) {
            return x.crcOk && x.recordNo == r->recordNo && x.info == r->info;
        });
        if (!held) ++missing;
    }
    return missing;
}

// Every file of /instrumentData (and the copies of the corrupt logs in
// /tmp/CorruptDiagnosticLogs, which are the corrupt logs as they were) is
// on the medium afterwards, wherever the script put it: byte for byte, or
// for a valid log, which the update may have added to before the backup,
// holding every entry it had.
void JudgeBackup(Judgement& j)
{
    if (!BackedUp(j.outcome)) return;
    std::set<std::vector<uint8_t>> onMedium;
    for (const auto& f : j.after.medium) onMedium.insert(f.second);
    std::vector<std::string> missing;
    for (const auto& f : j.before.data) {
        if (onMedium.count(f.second)) continue;
        const LogSpec* spec = IsLog(f.first) ? FindLog(f.first) : nullptr;
        if (spec) {
            const DecodedLog had = DecodeLog(f.second, true, *spec);
            const bool valid = had.lengthOk && had.badCrcs == 0;
            const bool saved = valid && std::any_of(j.after.medium.begin(), j.after.medium.end(), [&](const auto& m) {
                                   return MissingEntries(had, m.second, *spec) == 0;
                               });
            if (saved) continue;
        }
        missing.push_back("/instrumentData/" + f.first);
    }
    if (missing.empty()) return;
    j.Add(kInvBackup,
          "the backup left no copy of " + FileList(missing) + " on the medium (" + std::to_string(missing.size()) +
              " of " + std::to_string(j.before.data.size()) + " files handed to it)",
          "the instrument's data and logs are not saved: a failed update or a later fault loses them for good",
          {"backup-script"});
}

// The logs keep every entry the instrument had (a corrupt log's live on in
// its copy, judged with the backup) and the revision history gains the
// installed version.
void JudgeLogs(Judgement& j)
{
    for (const auto& f : j.before.data) {
        const LogSpec* spec = IsLog(f.first) ? FindLog(f.first) : nullptr;
        if (!spec) continue;
        const DecodedLog had = DecodeLog(f.second, true, *spec);
        if (!had.lengthOk || had.badCrcs != 0) continue;
        const auto now = j.DataAfter().find(f.first);
        const std::vector<uint8_t> none;
        const std::vector<uint8_t>& bytes = now == j.DataAfter().end() ? none : now->second;
        const size_t missing = MissingEntries(had, bytes, *spec);
        if (missing == 0) continue;
        // A full ring gives up its oldest entries to new ones, one each.
        const bool full = std::none_of(had.records.begin(), had.records.end(), [](const LogRecord& r) { return r.empty(); });
        if (full && missing <= AddedRecords(had, DecodeLog(bytes, true, *spec)).size()) continue;
        j.Add(kInvLogs,
              f.first + " lost " + std::to_string(missing) + " of its " + std::to_string(Entries(had).size()) +
                  " entries" + (j.dataLost ? " (its file system was overwritten)" : ""),
              "the instrument's history is lost");
    }
    if (j.outcome != Outcome::Done || !j.medium.versionParts || j.dataLost) return;
    if (j.medium.versionMajor < 0 || j.medium.versionMajor > 99 || j.medium.versionMinor < 0 ||
        j.medium.versionMinor > 99) {
        return;
    }
    const LogSpec* spec = FindLog("RevHistory.log");
    const auto b = j.before.data.find("RevHistory.log");
    const auto a = j.after.data.find("RevHistory.log");
    const std::vector<uint8_t> none;
    const DecodedLog before = DecodeLog(b == j.before.data.end() ? none : b->second, b != j.before.data.end(), *spec);
    const DecodedLog after = DecodeLog(a == j.after.data.end() ? none : a->second, a != j.after.data.end(), *spec);
    std::string got;
    for (const auto& r : AddedRecords(before, after)) {
        if (r.info.size() < 8) continue;
        got += (got.empty() ? "" : ",") + std::string(r.info.begin() + 4, r.info.begin() + 8);
    }
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, "%02d%02d", j.medium.versionMajor, j.medium.versionMinor);
    if (got != wanted) {
        j.Add(kInvLogs, "the revision history gained \"" + got + "\" instead of the entry " + wanted,
              "the revision history does not record the update", {"version-range"});
    }
}

}  // namespace

bool InstrumentHasDirectory(const std::string& dir, const std::vector<std::string>& mountDirs)
{
    static const std::set<std::string> fixed = {"/", "/tmp", "/usbdongle", "/instrumentData", "/log", "/proc",
                                                "/proc/boot", "/dev", "/usr", "/etc", "/bin", "/lib", "/lib64",
                                                "/sbin"};
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return fixed.count(d) > 0 || std::find(mountDirs.begin(), mountDirs.end(), d) != mountDirs.end();
}

bool ReadHolding(const StatePaths& s, bool withMedium, Holding* h, std::string* why)
{
    if (!ReadBytes(s.flash(), &h->flash) || h->flash.size() != kFlashSize) {
        *why = "cannot read the flash " + s.flash();
        return false;
    }
    ReadTree(s.instrumentData(), &h->data);
    ReadTree(s.log(), &h->log);
    if (withMedium) ReadTree(s.usbdongle(), &h->medium);
    return true;
}

void FollowWrittenImages(const MediumFacts& medium, InstrumentKind* kind)
{
    for (const auto& w : WrittenOn(medium, *kind)) {
        if (w.bytes.empty()) continue;
        const std::string name = BaseName(w.line->name);
        auto p = std::find_if(kind->layout.begin(), kind->layout.end(),
                              [&](const PartitionSpec& x) { return x.name == name; });
        if (p == kind->layout.end()) {
            kind->layout.push_back({name, 0, 0, w.line->overwrite ? "YES" : "NO", false});
            p = kind->layout.end() - 1;
        }
        p->startKiB = static_cast<int>(w.extent.start / 1024);
        p->size = w.extent.end - w.extent.start;
    }
}

std::vector<Broken> JudgeEndState(const MediumFacts& medium, const InstrumentKind& kind, Outcome outcome,
                                  const Holding& before, const Holding& after)
{
    Judgement j{medium, kind, outcome, before, after, WrittenOn(medium, kind), false, {}};
    JudgeKept(j);
    JudgeImages(j);
    JudgeCrcFiles(j);
    JudgeVersion(j);
    JudgeUnchanged(j);
    JudgeBackup(j);
    JudgeLogs(j);
    return j.broken;
}

void to_json(nlohmann::json& j, const Broken& b)
{
    j = {{"invariant", b.invariant}, {"what", b.what}, {"effect", b.effect}, {"related", b.related}};
}

void from_json(const nlohmann::json& j, Broken& b)
{
    j.at("invariant").get_to(b.invariant);
    j.at("what").get_to(b.what);
    j.at("effect").get_to(b.effect);
    j.at("related").get_to(b.related);
}

}  // namespace swsim
