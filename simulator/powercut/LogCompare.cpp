// The instrument's history after a restart against the reference run's: the
// entries of the four logs without their time of writing, what differs, what
// a restart that had to recreate a log kept of it, and the files the update
// removes once backed up.
#include "Sweep.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "SimFiles.h"
#include "SimLogs.h"
#include "SimState.h"

namespace swsim {
namespace sweep {

namespace {

// The valid entries of the log file `path`.
std::vector<LoggedEntry> EntriesIn(const std::string& path, const LogSpec& spec)
{
    std::vector<LoggedEntry> list;
    std::vector<uint8_t> bytes;
    const bool present = ReadBytes(path, &bytes);
    for (const auto& r : DecodeLog(bytes, present, spec).records) {
        if (r.empty() || !r.crcOk) continue;
        LoggedEntry e;
        e.content.assign(r.info.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(4, r.info.size())), r.info.end());
        e.text = DescribeRecord(spec, r);
        list.push_back(e);
    }
    return list;
}

// The contents of the entries of every copy of the log `spec` on the
// medium of `w`: files named as the log or as its copy set aside
// ("Corrupted" + name), wherever they lie.
std::set<std::vector<uint8_t>> OnMedium(const StatePaths& w, const LogSpec& spec)
{
    namespace fs = std::filesystem;
    std::set<std::vector<uint8_t>> found;
    const std::string name = spec.name, aside = "Corrupted" + name;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(w.usbdongle(), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if ((file != name && file != aside) || !it->is_regular_file(ec)) continue;
        for (const auto& e : EntriesIn(it->path().string(), spec)) found.insert(e.content);
    }
    return found;
}

}  // namespace

// The entries of the four logs of an instrument.
LogEntries EntriesOf(const StatePaths& w)
{
    LogEntries entries;
    for (const auto& spec : InstrumentLogs()) entries[spec.name] = EntriesIn(w.instrumentData() + "/" + spec.name, spec);
    return entries;
}

std::vector<LogHistory> HistoryOf(const StatePaths& before, const StatePaths& w)
{
    std::vector<LogHistory> histories;
    for (const auto& spec : InstrumentLogs()) {
        LogHistory h;
        h.log = spec.name;
        h.entries = EntriesIn(before.instrumentData() + "/" + spec.name, spec);
        histories.push_back(h);
    }
    return PlaceHistory(histories, w);
}

std::vector<LogHistory> PlaceHistory(const std::vector<LogHistory>& histories, const StatePaths& w)
{
    std::vector<LogHistory> placed = histories;
    for (auto& h : placed) {
        const LogSpec& spec = *FindLog(h.log);
        std::set<std::vector<uint8_t>> inLog;
        for (const auto& e : EntriesIn(w.instrumentData() + "/" + h.log, spec)) inLog.insert(e.content);
        const std::set<std::vector<uint8_t>> onMedium = OnMedium(w, spec);
        h.inLog.clear();
        h.onMedium.clear();
        for (const auto& e : h.entries) {
            h.inLog.push_back(inLog.count(e.content) ? 1 : 0);
            h.onMedium.push_back(onMedium.count(e.content) ? 1 : 0);
        }
    }
    return placed;
}

std::vector<std::string> HistoryLost(const std::vector<LogHistory>& reference, const StatePaths& w)
{
    std::vector<std::string> lost;
    const std::vector<LogHistory> now = PlaceHistory(reference, w);
    for (size_t i = 0; i < reference.size(); ++i) {
        const LogHistory& ref = reference[i];
        const LogHistory& have = now[i];
        std::string gone, fromLog;
        int goneCount = 0, fromLogCount = 0;
        for (size_t k = 0; k < ref.entries.size(); ++k) {
            const bool keptByRef = ref.inLog[k] || ref.onMedium[k];
            if (keptByRef && !have.inLog[k] && !have.onMedium[k]) {
                gone += (goneCount++ ? ", " : "") + ref.entries[k].text;
            } else if (ref.inLog[k] && !have.inLog[k]) {
                fromLog += (fromLogCount++ ? ", " : "") + ref.entries[k].text;
            }
        }
        if (goneCount > 0) {
            lost.push_back(ref.log + ": " + std::to_string(goneCount) + (goneCount == 1 ? " entry" : " entries") +
                           " of its history gone for good (neither in the log nor on the medium): " + gone);
        }
        if (fromLogCount > 0) {
            lost.push_back(ref.log + ": " + std::to_string(fromLogCount) + (fromLogCount == 1 ? " entry" : " entries") +
                           " of its history no longer in the log (only in the backup on the medium): " + fromLog);
        }
    }
    return lost;
}

namespace {

// The bytes of the regular files below `dir` (links not followed) whose
// size is one of `sizes`: the medium also holds the packages, megabytes
// that no removed file can match.
std::set<std::string> ContentsBelow(const std::string& dir, const std::set<uintmax_t>& sizes)
{
    namespace fs = std::filesystem;
    std::set<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec) || !sizes.count(it->file_size(ec))) continue;
        std::string bytes;
        if (ReadText(it->path().string(), &bytes)) found.insert(std::move(bytes));
    }
    return found;
}

std::set<uintmax_t> SizesOf(const std::vector<RemovedData>& removed)
{
    std::set<uintmax_t> sizes;
    for (const auto& r : removed) sizes.insert(r.bytes.size());
    return sizes;
}

}  // namespace

std::vector<RemovedData> RemovedDataOf(const StatePaths& before, const StatePaths& ref)
{
    const auto kept = InstalledFiles(ref.instrumentData());
    std::vector<RemovedData> removed;
    for (const auto& kv : InstalledFiles(before.instrumentData())) {
        if (!kept.count(kv.first)) removed.push_back({kv.first, kv.second});
    }
    const std::set<std::string> onMedium = ContentsBelow(ref.usbdongle(), SizesOf(removed));
    removed.erase(std::remove_if(removed.begin(), removed.end(),
                                 [&](const RemovedData& r) { return !onMedium.count(r.bytes); }),
                  removed.end());
    return removed;
}

std::vector<std::string> DataLost(const std::vector<RemovedData>& removed, const StatePaths& w)
{
    std::vector<std::string> lost;
    if (removed.empty()) return lost;
    const std::set<std::string> onMedium = ContentsBelow(w.usbdongle(), SizesOf(removed));
    const auto held = InstalledFiles(w.instrumentData());
    for (const auto& r : removed) {
        const auto it = held.find(r.path);
        if ((it != held.end() && it->second == r.bytes) || onMedium.count(r.bytes)) continue;
        lost.push_back("/instrumentData/" + r.path +
                       ": gone for good (the update removes it once backed up, and its bytes are neither at its "
                       "place nor on the medium)");
    }
    return lost;
}

// What differs between the entries of one log after a restart and after the
// reference run: entries repeated, missing, or not in the reference (a
// changed entry is one missing and one not in the reference).
std::vector<std::string> LogDifferences(const std::string& log, const std::vector<LoggedEntry>& reference,
                                        const std::vector<LoggedEntry>& after)
{
    std::map<std::vector<uint8_t>, int> want, have;
    for (const auto& e : reference) ++want[e.content];
    std::vector<std::string> differences;
    for (const auto& e : after) {
        const int n = ++have[e.content];
        const auto it = want.find(e.content);
        if (it == want.end()) differences.push_back(log + ": not in the reference run: " + e.text);
        else if (n > it->second) differences.push_back(log + ": repeated: " + e.text);
    }
    for (const auto& e : reference) {
        if (have[e.content]-- <= 0) differences.push_back(log + ": missing: " + e.text);
    }
    return differences;
}

LostLog DescribeLostLog(const StatePaths& w, const std::string& name)
{
    LostLog lost;
    lost.name = name;
    const std::string copy = w.tmp() + "/CorruptDiagnosticLogs/Corrupted" + name;
    lost.copyKept = PathExists(copy);
    lost.copyBackedUp = PathExists(w.usbdongle() + "/backup/CorruptDiagnosticLogs/Corrupted" + name);
    std::vector<uint8_t> bytes;
    const LogSpec* spec = FindLog(name);
    if (spec != nullptr && ReadBytes(copy, &bytes)) {
        const DecodedLog log = DecodeLog(bytes, true, *spec);
        for (const auto& r : log.records) {
            if (!r.crcOk) ++lost.copyBadRecords;
            else if (!r.empty()) ++lost.copyEntries;
        }
        lost.copyShort = !log.lengthOk;
    }
    return lost;
}

}  // namespace sweep
}  // namespace swsim
