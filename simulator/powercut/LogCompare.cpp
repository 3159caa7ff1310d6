// The logs after a restart against the reference run's: the entries of the
// four logs without their time of writing, what differs, and what a restart
// that had to recreate a log kept of it.
#include "Sweep.h"

#include <algorithm>

#include "SimFiles.h"
#include "SimLogs.h"
#include "SimState.h"

namespace swsim {
namespace sweep {

// The entries of the four logs of an instrument.
LogEntries EntriesOf(const StatePaths& w)
{
    LogEntries entries;
    for (const auto& spec : InstrumentLogs()) {
        std::vector<uint8_t> bytes;
        const bool present = ReadBytes(w.instrumentData() + "/" + spec.name, &bytes);
        auto& list = entries[spec.name];
        for (const auto& r : DecodeLog(bytes, present, spec).records) {
            if (r.empty() || !r.crcOk) continue;
            LoggedEntry e;
            e.content.assign(r.info.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(4, r.info.size())), r.info.end());
            e.text = DescribeRecord(spec, r);
            list.push_back(e);
        }
    }
    return entries;
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
