// Shards: a long list of runs (the points of a power-cut sweep, the
// instruments of a fleet) split into N shares that separate machines run,
// every N-th item from the K-th on, and the shares' reports joined again.
#ifndef SWSIM_SIM_SHARDS_H
#define SWSIM_SIM_SHARDS_H

#include <cstddef>
#include <string>
#include <vector>

namespace swsim {

// "K/N" with 1 <= K <= N <= 100000.
bool ParseShard(const std::string& text, int* k, int* n);

// Whether the item at `index` (from 0) of the whole list is in share `k` of `n`.
bool InShard(size_t index, int k, int n);

// Whether the shares that the report files `parts` hold (`shardOf[i]` the
// share of parts[i]) are each of the `shards` shares exactly once. Returns
// false with the reason: a share given twice, or how many are missing.
bool ShardsComplete(const std::vector<std::string>& parts, const std::vector<int>& shardOf, int shards,
                    std::string* why);

}  // namespace swsim

#endif
