// The fault file of the simulated chip: one fault a line, "#" starts a
// comment, numbers in decimal or 0x hex.
//
//   erase-status SECTOR STATUS      unlock-status STATUS
//   program-status SECTOR STATUS    never-ready erase SECTOR
//   never-ready program SECTOR      busy-polls N
//   map-fail SECTOR
#include "NorChip.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace norsim {
namespace {

// A whole token as an unsigned number no larger than `max`.
bool ParseNumber(const std::string& token, unsigned long max, unsigned long* value) {
    if (token.empty() || token[0] == '-' || token[0] == '+') return false;
    const char* s = token.c_str();
    int base = 10;
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        s += 2;
        base = 16;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s, &end, base);
    if (errno != 0 || end == s || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

}  // namespace

int ParseFaultText(const std::string& text, NorFaults* out, std::string* error) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream in(line);
        std::vector<std::string> t;
        for (std::string word; in >> word;) t.push_back(word);
        if (t.empty()) continue;

        unsigned long a = 0, b = 0;
        const unsigned long lastBlock = kBlockCount - 1;
        bool ok = false;
        if (t[0] == "erase-status" && t.size() == 3 && ParseNumber(t[1], lastBlock, &a) &&
            ParseNumber(t[2], 0xFFFF, &b)) {
            out->eraseStatus[a] = static_cast<int32_t>(b | 0x80);
            ok = true;
        } else if (t[0] == "program-status" && t.size() == 3 && ParseNumber(t[1], lastBlock, &a) &&
                   ParseNumber(t[2], 0xFFFF, &b)) {
            out->programStatus[a] = static_cast<int32_t>(b | 0x80);
            ok = true;
        } else if (t[0] == "unlock-status" && t.size() == 2 && ParseNumber(t[1], 0xFFFF, &b)) {
            out->unlockStatus = static_cast<int32_t>(b | 0x80);
            ok = true;
        } else if (t[0] == "never-ready" && t.size() == 3 && (t[1] == "erase" || t[1] == "program") &&
                   ParseNumber(t[2], lastBlock, &a)) {
            (t[1] == "erase" ? out->eraseNeverReady : out->programNeverReady)[a] = true;
            ok = true;
        } else if (t[0] == "busy-polls" && t.size() == 2 && ParseNumber(t[1], 0xFFFFFFFFul, &b)) {
            out->busyPolls = static_cast<uint32_t>(b);
            ok = true;
        } else if (t[0] == "map-fail" && t.size() == 2 && ParseNumber(t[1], lastBlock, &a)) {
            out->mapFail[a] = true;
            ok = true;
        }
        if (!ok) {
            if (error) *error = "line " + std::to_string(number) + ": not a fault: " + line;
            return -1;
        }
    }
    return 0;
}

}  // namespace norsim
