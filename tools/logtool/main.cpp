// swlog: inspection of record log files (see LogInspect.h).
#include <cstdio>

#include "LogInspect.h"

int main(int argc, char** argv)
{
    return SwlogMain(argc, argv, stdout, stderr);
}
