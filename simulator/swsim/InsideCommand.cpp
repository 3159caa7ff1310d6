// swsim _inside REQUEST: the part of a run inside the instrument root,
// started by the run (SimRun.h) with its request as JSON, never by a person.
#include <cstdio>
#include <string>

#include "RunJson.h"
#include "SimInside.h"
#include "SwsimCommands.h"

namespace swsim {

int InsideCommand(int argc, char** argv)
{
    InsideRequest request;
    std::string why;
    if (argc != 3 || !InsideRequestFromJson(argv[2], &request, &why) || !InsideRequestComplete(request)) {
        std::fprintf(stderr, "swsim: _inside is started by swsim run only\n");
        return 2;
    }
    return RunInside(request);
}

}  // namespace swsim
