// swsim _inside: the part of a run inside the instrument root, started by
// "swsim run" (SimRun.h) with the run's request, never by a person.
#include <string>
#include <vector>

#include "SimRun.h"
#include "SwsimCommands.h"

namespace swsim {

int InsideCommand(int argc, char** argv)
{
    return RunInside(std::vector<std::string>(argv + 2, argv + argc));
}

}  // namespace swsim
