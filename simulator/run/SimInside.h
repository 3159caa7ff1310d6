// The part of a run inside the instrument root (the hidden command
// "swsim _inside"): the start-up's unpacking of file0, then the start-up GUI
// stand-in and the updater on the run's clock, their output into the run's
// records, until the updater ends or its time is up.
//
// The run (SimRun.h) hands the request over as JSON on the command line and
// gets the result back as JSON in a file it opened for it (RunJson.h).
#ifndef SWSIM_SIM_INSIDE_H
#define SWSIM_SIM_INSIDE_H

#include <string>
#include <vector>

#include "SimRun.h"

namespace swsim {

struct InsideRequest {
    // The run's options as the run resolved them: the updater's and the
    // GUI's paths, the speed (>= 1), the chip timing and the time limit
    // (0: none) are set.
    RunOptions run;
    // The run's records, open in this process: the updater's output, the
    // GUI's lines and the file that receives the result.
    int traceFd = -1;
    int guiFd = -1;
    int resultFd = -1;
    // NAME=VALUE entries added to the updater's environment (a power cut,
    // the record log library's write list); a bare NAME= empties one.
    std::vector<std::string> updaterEnv;
    // The record of the updater's pauses, open in this process, and the
    // recorder preloaded into the updater to write it (RunCounts.h); -1 or
    // "": the pauses are not recorded.
    int waitRecordFd = -1;
    std::string waitRecorder;
};

// What the part inside found, as the run record shows it.
struct InsideResult {
    bool medium = false;           // /usbdongle/file0 was there
    std::string file0Names;        // what tar unpacked from it, on one line
    int file0Status = -1;          // tar's wait status
    double updaterSeconds = 0;     // simulated seconds from the updater's start to its end
    double rebootSeconds = -1;     // simulated seconds to the reboot request; < 0: none
    int updaterStatus = -1;        // wait statuses; -1: not started
    int guiStatus = -1;
    bool timedOut = false;         // the updater was stopped at the time limit
    int updaterPid = 0;            // inside the root (the pause record's numbers)
    bool waitsRecorded = false;    // the recorder was preloaded into the updater
    // CPU time of the updater and the programs it started and waited for.
    bool cpuMeasured = false;
    double cpuUserSeconds = 0;
    double cpuSystemSeconds = 0;
};

// Whether `r` can be run: the records open, both programs named, a speed of
// at least 1.
bool InsideRequestComplete(const InsideRequest& r);

// Runs the part inside and writes its result to request.resultFd. Returns
// the process exit status: 0, or 3 when the programs could not be started
// (no result is written then).
int RunInside(const InsideRequest& request);

// "exit N", "killed by signal N", "not started" (-1) for a wait status.
std::string StatusText(int status);

}  // namespace swsim

#endif
