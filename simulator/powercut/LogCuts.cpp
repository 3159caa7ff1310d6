// The record log library's writes in the reference run, as the sweep cuts
// them: the list the library gave, the bytes of each record a write
// changes, and the classes of a cut inside a write (before it, inside its
// CRC, its record number or its entry, the record complete).
#include "Sweep.h"

#include <algorithm>
#include <sstream>

#include "SimFiles.h"
#include "SimLogs.h"
#include "SimState.h"

namespace swsim {
namespace sweep {

std::vector<LogWrite> ReadLogWrites(const std::string& path)
{
    std::vector<LogWrite> writes;
    std::istringstream in(ReadTextOr(path, ""));
    std::string word;
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        LogWrite w;
        std::string recordNo;
        if (!(l >> word >> w.number >> w.file >> w.offset >> w.size >> w.busWritesBefore >> recordNo) ||
            word != "log-write") {
            continue;
        }
        w.entry = recordNo != "ffffffff";
        writes.push_back(w);
    }
    return writes;
}

// The bytes of each log write's record that it changes: the log before the
// update against the log after the reference run, for records only one write
// reaches.
void MarkLogChanges(const StatePaths& before, const StatePaths& after, std::vector<LogWrite>* writes)
{
    for (auto& w : *writes) {
        int writers = 0;
        for (const auto& other : *writes) {
            writers += other.file == w.file && other.offset < w.offset + w.size && w.offset < other.offset + other.size;
        }
        std::vector<uint8_t> old, now;
        if (writers != 1 || !ReadBytes(before.instrumentData() + "/" + w.file, &old) ||
            !ReadBytes(after.instrumentData() + "/" + w.file, &now) || old.size() < w.offset + w.size ||
            now.size() < w.offset + w.size) {
            continue;
        }
        for (uint64_t i = 0; i < w.size; ++i) {
            if (old[w.offset + i] == now[w.offset + i]) continue;
            if (w.firstDiff < 0) w.firstDiff = static_cast<int64_t>(i);
            w.lastDiff = static_cast<int64_t>(i);
        }
    }
}

namespace {

// Whether the log write `b` goes on the run of like empty records that `a`
// is in.
bool Continues(const std::vector<FileOp>& ops, const LogWrite& a, const LogWrite& b)
{
    if (b.number != a.number + 1 || a.entry || b.entry || a.file != b.file || a.size != b.size ||
        b.offset != a.offset + a.size || a.busWritesBefore != b.busWritesBefore || a.fileOp == 0 ||
        b.fileOp != a.fileOp + 1 || b.fileOp > ops.size()) {
        return false;
    }
    return ops[a.fileOp - 1].data == ops[b.fileOp - 1].data;
}

}  // namespace

void MarkLogRuns(const std::vector<FileOp>& ops, std::vector<LogWrite>* writes)
{
    // A run stands for its writes from three on: with two, both are its
    // first and last already.
    constexpr size_t kShortest = 3;
    auto& w = *writes;
    for (size_t first = 0; first < w.size();) {
        size_t last = first;
        while (last + 1 < w.size() && Continues(ops, w[last], w[last + 1])) ++last;
        if (last + 1 - first >= kShortest) {
            for (size_t i = first; i <= last; ++i) {
                w[i].runFirst = w[first].number;
                w[i].runLast = w[last].number;
            }
        }
        first = last + 1;
    }
}

// The class of a cut of a log write after `keep` of its bytes: the record
// as it was, its CRC, its record number or its entry cut short, or the
// record complete (the bytes after the last one the write changes are
// already right).
std::string LogClassOf(const LogWrite& w, uint64_t keep)
{
    const std::string head =
        w.runFirst != 0 ? w.file + " empty records (log writes " + std::to_string(w.runFirst) + "-" +
                              std::to_string(w.runLast) + ", the log written anew): "
                        : w.file + (w.entry ? " entry" : " empty record") + " (log write " + std::to_string(w.number) +
                              "): ";
    const int64_t k = static_cast<int64_t>(keep);
    if (k == 0 || (w.firstDiff >= 0 && k <= w.firstDiff)) return head + "cut before it";
    if (keep >= w.size || (w.lastDiff >= 0 && k > w.lastDiff)) return head + "record complete";
    if (k < 4) return head + "cut inside the CRC";
    if (k < 8) return head + "cut inside the record number";
    return head + "cut inside the entry";
}

// One point for every class of every log write: before it, inside each
// field it changes, the first length that completes it and its end. A run
// of like empty records gets them at its first and its last write, and a
// write inside it only for a class those two do not reach (the old bytes
// it overwrites differ from theirs).
std::vector<SweepPoint> ExhaustiveLogPoints(const std::vector<LogWrite>& writes)
{
    std::vector<SweepPoint> points;
    std::set<std::string> reached;   // the classes of the runs' first and last writes
    const auto inside = [](const LogWrite& w) { return w.runFirst != 0 && w.number != w.runFirst && w.number != w.runLast; };
    const auto add = [&](const LogWrite& w) {
        std::set<uint64_t> keeps = {0, w.size};
        for (uint64_t k : {uint64_t{2}, uint64_t{6}, uint64_t{8}}) {
            if (k < w.size) keeps.insert(k);
        }
        if (w.firstDiff >= 0) keeps.insert(static_cast<uint64_t>(w.firstDiff) + 1);
        if (w.lastDiff >= 0) keeps.insert(std::min<uint64_t>(w.size, static_cast<uint64_t>(w.lastDiff) + 1));
        std::set<std::string> classes;
        for (uint64_t k : keeps) {
            SweepPoint p;
            p.cut.kind = CutPoint::Log;
            p.cut.write = w.number;
            p.cut.keep = k;
            p.cls = LogClassOf(w, k);
            // The end stays beside the length that completes the record.
            if (!classes.insert(p.cls).second && k != w.size) continue;
            if (inside(w) && !reached.insert(p.cls).second) continue;
            if (w.runFirst != 0 && !inside(w)) reached.insert(p.cls);
            points.push_back(p);
        }
    };
    for (const auto& w : writes) {
        if (!inside(w)) add(w);
    }
    for (const auto& w : writes) {
        if (inside(w)) add(w);
    }
    std::stable_sort(points.begin(), points.end(),
                     [](const SweepPoint& a, const SweepPoint& b) { return a.cut.write < b.cut.write; });
    return points;
}

// What a cut of a log write after `keep` bytes was writing.
std::string LogWhere(const LogWrite& w, uint64_t keep)
{
    const LogSpec* spec = FindLog(w.file);
    const uint64_t size = spec ? RecordSize(spec->infoLength) : 0;
    std::string text = w.file + (w.entry ? " entry" : " empty record");
    if (size > 0) text += " at position " + std::to_string(w.offset / size);
    return text + ", " + std::to_string(std::min(keep, w.size)) + " of " + std::to_string(w.size) + " bytes written";
}

}  // namespace sweep
}  // namespace swsim
