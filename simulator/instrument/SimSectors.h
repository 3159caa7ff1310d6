// A sector's content after an interrupted or finished update, judged against
// the flash before the update and the flash the update leaves when nothing
// goes wrong: still old, already new, or torn (neither).
#ifndef SWSIM_SIM_SECTORS_H
#define SWSIM_SIM_SECTORS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace swsim {

// Same: the update leaves the bytes as they were (old and new are equal).
enum class SectorContent { Same, Old, New, Torn };

// "same", "old", "new", "torn".
const char* SectorContentText(SectorContent c);

// The content of the bytes [at, at + length) of `after`, compared with
// `before` and `done` (flash images; a range that does not lie inside all
// three is torn).
SectorContent ContentOf(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done,
                        const std::vector<uint8_t>& after, uint32_t at, uint32_t length);

// The content of `length` bytes `after`, compared with the same bytes
// `before` and `done`.
SectorContent BytesContentOf(const uint8_t* before, const uint8_t* done, const uint8_t* after, size_t length);

// The content of sector `sector` of `after`.
SectorContent SectorContentOf(const std::vector<uint8_t>& before, const std::vector<uint8_t>& done,
                              const std::vector<uint8_t>& after, int sector);

}  // namespace swsim

#endif
