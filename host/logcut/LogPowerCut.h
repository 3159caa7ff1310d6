// Power cuts in the record log library's writes, for the real updater on a
// host (the counterpart of the chip model's NORFLASH_POWER_CUT).
//
// Linked into the host build of the updater, this part installs its own file
// calls into the record log library at program start (logSetFileIo) when
// either variable below is set; otherwise the library keeps its plain calls
// and nothing changes.
//
//   RECORDLOG_POWER_CUT=N:K   the N-th write of the record log library
//                             (1 = first) since the program started writes
//                             only its first K bytes, then the process ends
//                             with SIGKILL, as at a power loss. N and K are
//                             whole decimal numbers (N >= 1, K >= 0; a K
//                             beyond the write's length keeps all of it).
//   RECORDLOG_WRITES_FD=FD    every write is described on the open
//                             descriptor FD, one line each:
//                               "log-write N FILE OFFSET SIZE BUSWRITES RECORDNO"
//                             FILE the name of the file in /instrumentData
//                             ("?" when it is not found there), OFFSET the
//                             file offset, SIZE the bytes asked for,
//                             BUSWRITES the simulated flash chip's bus writes
//                             so far (where the write falls among the flash
//                             writing), RECORDNO the record number field of
//                             the written record (bytes 4 to 7) in hex.
//
// A malformed value is reported on standard error and ignored.
//
// Not modelled: a write the kernel accepted is kept whole, as if the file
// system wrote through; a real power loss can also lose writes that were
// still in a cache, or tear them at a block boundary of the medium.
#ifndef HOST_LOG_POWER_CUT_H
#define HOST_LOG_POWER_CUT_H

#include <cstdint>
#include <string>

namespace logcut {

struct CutSpec {
    uint64_t write = 0;  // the write that is cut (1 = first); 0: none
    uint64_t keep = 0;   // bytes of it that reach the file
};

// Parses "N:K". Returns false for anything else (N = 0 included).
bool ParseCut(const std::string& text, CutSpec* out);

}  // namespace logcut

#endif
