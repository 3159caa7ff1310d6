// Power-cut points of an update run: which write the power goes at, as a
// replayable id, and the seeded choice of points.
//
//   "flash:N"    the simulated chip's N-th bus write since it started (the
//                updater's NORFLASH_POWER_CUT=N, host/flash/NorChip.h)
//   "log:N:K"    the record log library's N-th write, of which only the
//                first K bytes reach the file (RECORDLOG_POWER_CUT=N:K,
//                host/logcut/LogPowerCut.h)
//   "file:N"     right after the N-th file operation of the update, counted
//                over all its processes (SWSIM_FILE_CUT=N, the file
//                operation recorder of host/waitrecord/FileRecord.cpp)
#ifndef SWSIM_SIM_CUTS_H
#define SWSIM_SIM_CUTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace swsim {

struct CutPoint {
    enum Kind { Flash, Log, File } kind = Flash;
    uint64_t write = 0;  // 1-based number of the bus write, log write or file operation
    uint64_t keep = 0;   // log writes: bytes that reach the file
    bool operator<(const CutPoint& o) const;
    bool operator==(const CutPoint& o) const;
};

std::string CutId(const CutPoint& point);
// Parses an id; false (with the reason) for anything malformed, a write
// number 0 included.
bool ParseCutId(const std::string& id, CutPoint* out, std::string* why);

// The environment entry that makes the updater cut the power there.
std::string CutEnvironment(const CutPoint& point);

// `count` distinct numbers from 1 to `total`: about a fifth drawn from
// `favoured` (moments of special interest), the rest uniform; sorted. The
// same seed gives the same numbers.
std::vector<uint64_t> ChoosePoints(uint64_t seed, int count, uint64_t total,
                                   const std::vector<uint64_t>& favoured);

}  // namespace swsim

#endif
