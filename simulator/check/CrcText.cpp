// CRC-32 values as people write them into CRC files and flash maps.
#include <cstdlib>

#include "MediumCheck.h"

namespace swsim {

// A CRC-32 as people write it into a CRC file or the flash map's column:
// hex in either letter case, with "0x" or without, up to eight digits, and
// an LF or CR LF end. *written receives the text without its line end.
bool ReadCrcWriting(const std::string& text, uint32_t* value, std::string* written)
{
    std::string t = text;
    if (!t.empty() && t.back() == '\n') t.pop_back();
    if (!t.empty() && t.back() == '\r') t.pop_back();
    *written = t;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.erase(0, 2);
    if (t.empty() || t.size() > 8 || t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    *value = static_cast<uint32_t>(std::strtoul(t.c_str(), nullptr, 16));
    return true;
}

}  // namespace swsim
