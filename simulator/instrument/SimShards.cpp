#include "SimShards.h"

#include <cstdio>
#include <set>

namespace swsim {

bool ParseShard(const std::string& text, int* k, int* n)
{
    int used = 0;
    return std::sscanf(text.c_str(), "%d/%d%n", k, n, &used) == 2 && used == static_cast<int>(text.size()) &&
           *k >= 1 && *k <= *n && *n <= 100000;
}

bool InShard(size_t index, int k, int n)
{
    return static_cast<int>(index % static_cast<size_t>(n)) == k - 1;
}

bool ShardsComplete(const std::vector<std::string>& parts, const std::vector<int>& shardOf, int shards,
                    std::string* why)
{
    std::set<int> seen;
    for (size_t i = 0; i < parts.size() && i < shardOf.size(); ++i) {
        if (!seen.insert(shardOf[i]).second) {
            *why = parts[i] + ": shard " + std::to_string(shardOf[i]) + " is given twice";
            return false;
        }
    }
    if (static_cast<int>(seen.size()) != shards) {
        *why = std::to_string(seen.size()) + " of the " + std::to_string(shards) + " shards given";
        return false;
    }
    return true;
}

}  // namespace swsim
