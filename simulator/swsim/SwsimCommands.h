// The commands of swsim, one file each; main registers every one of them
// with the command line and dispatches the hidden "_inside" itself.
#ifndef SWSIM_COMMANDS_H
#define SWSIM_COMMANDS_H

#include <cstdio>
#include <string>

#include "SimCli.h"

namespace swsim {

// swsim create STATE [--version V] [--installed V] [--market NAME]
//                    [--corrupt-log NAME]... [--truncate-log NAME]... [--mounted] [--force]
// swsim create STATE --from-dump FLASH --data DIR|ARCHIVE [--logs DIR|ARCHIVE] [--mounted] [--force]
void AddCreateCommand(Commands& commands);
// swsim sample DIR [--version V]
void AddSampleCommand(Commands& commands);
// swsim medium STATE (--from DIR | --sample [--version V])
void AddMediumCommand(Commands& commands);
// swsim run STATE [...]: the options in RunCommand.cpp.
void AddRunCommand(Commands& commands);
// swsim report STATE [--trace] [--html FILE]
void AddReportCommand(Commands& commands);
// swsim check MEDIUM [--fleet FILE] [--json FILE] [--junit FILE] [--html FILE] [--jobs N]
//                    [--no-fleet] [--work DIR] [--keep] [--progress]
void AddCheckCommand(Commands& commands);
// swsim powercut STATE [--points N] [--seed S] [--critical NAME]... [--replay ID]...
//                      [--json FILE] [--html FILE] [--jobs N] [--progress]
void AddPowercutCommand(Commands& commands);

// The part of a run inside the instrument root ("swsim _inside REQUEST"),
// started by the run, never by a person. Returns the process exit status.
int InsideCommand(int argc, char** argv);

// Prints the text report on the last run of `state` (and the updater's
// trace after it when `withTrace`) to `out`; returns the exit status.
// The facts read for it go to *facts when given (for the page).
struct RunFacts;
int PrintReport(const std::string& state, bool withTrace, RunFacts* facts = nullptr, std::FILE* out = stdout);

}  // namespace swsim

#endif
