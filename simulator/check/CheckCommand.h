// Registers "swsim check MEDIUM [--fleet FILE] [--json FILE] [--junit FILE]
// [--jobs N] [--no-fleet] [--work DIR] [--keep]" with swsim's command line.
#ifndef SWSIM_CHECK_COMMAND_H
#define SWSIM_CHECK_COMMAND_H

#include "SimCli.h"

namespace swsim {

void AddCheckCommand(Commands& commands);

}  // namespace swsim

#endif
