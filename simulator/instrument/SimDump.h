// An instrument from service: the flash image and the copies of
// /instrumentData and /log that a service engineer brings back from an
// instrument, checked and made into a state directory.
#ifndef SWSIM_SIM_DUMP_H
#define SWSIM_SIM_DUMP_H

#include <string>

namespace swsim {

struct DumpOptions {
    std::string flash;    // the 16 MiB flash image
    std::string data;     // /instrumentData: a directory or a tar archive (gzip-compressed or not)
    std::string logs;     // /log, the same; empty: none brought back
    bool mounted = false; // the layout's file systems mounted: their mount directories exist
    bool force = false;   // replace an earlier simulated instrument
};

// CreateFromDump's results besides 0: the state directory cannot take the
// instrument (1), or what was brought back is wrong (2: a usage error).
constexpr int kDumpNotMade = 1;
constexpr int kDumpWrong = 2;

// Makes the instrument in `dir` from a dump: the flash image as its flash,
// the copies as its /instrumentData and /log (the running version is
// /log/swVersion/swVersion; without logs, the installed version, written
// there), Market.ini as it is, an empty medium slot and /tmp. Everything is
// checked and made in a scratch directory beside `dir` and moved into place
// at the end, so a refused dump leaves `dir` as it was. `*made` receives
// the running version, the installed one and the market (as the
// instrument's Market.ini decides it; "" for none). Returns 0, kDumpNotMade
// or kDumpWrong, with the reason.
struct DumpMade {
    std::string running, installed, market;
};
int CreateFromDump(const std::string& dir, const DumpOptions& options, DumpMade* made, std::string* why);

}  // namespace swsim

#endif
