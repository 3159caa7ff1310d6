// Running an update on the simulated instrument.
//
// The run enters an instrument root over the state directory and, inside it,
// does what the instrument's start-up does: unpacks file0 of the medium into
// /tmp, starts the start-up GUI stand-in and then the updater, without
// arguments. The updater's standard output and error are kept in
// sim/trace.txt, the GUI's lines in sim/gui.txt. The options go to the part
// inside the root as JSON (SimInside.h, RunJson.h), and what it found comes
// back as JSON and is written, with the options, to sim/run.txt; the pauses
// and the CPU time the run counted go to sim/counts.json (RunCounts.h).
#ifndef SWSIM_SIM_RUN_H
#define SWSIM_SIM_RUN_H

#include <string>

namespace swsim {

struct RunResult;

struct RunOptions {
    std::string answer = "yes";     // yes, no, never, or web (from the web screen)
    double answerDelay = 0;         // seconds before the GUI answers
    // Seconds after the remove/failure screen the medium is taken out, tied
    // to the updater's looks (startup-gui --pull-medium); < 0: never.
    double pullAfter = 1;
    bool interactive = false;       // the user answers and pulls on the terminal
    std::string faultsFile;         // flash faults for this run
    double timeout = 300;           // the updater is stopped after this; <= 0: no limit
    bool showTrace = false;         // echo the updater's trace on the terminal
    bool showGui = true;            // echo the GUI's lines on the terminal
    // The run's own lines (the start-up's, the medium put back) and those of
    // the part inside the root go to this file instead of standard output
    // and error; "": there. Runs made side by side each keep their own.
    std::string outputFile;
    std::string updater;            // the updater executable (default: beside the build)
    std::string gui;                // the start-up GUI stand-in
    std::string updaterCwd;         // directory the updater is started in (default /tmp)
    int webFd = -1;                 // listening socket of the GUI's web screen (--web)
    // A power cut in this run (a cut id, SimCuts.h: "flash:N", "log:N:K" or "file:N"):
    // the chip model or the record log library cuts the power at that write
    // and the updater is killed; then its process group and the GUI are
    // killed at once too, as nothing runs on after a power loss. Empty: none.
    std::string powerCut;
    // Host file that receives a line for every write of the record log
    // library (host/logcut/LogPowerCut.h); empty: none.
    std::string logWritesFile;
    // Host file that receives a line for every file operation of the update
    // in the instrument's directories, from every process of it
    // (host/waitrecord/FileRecord.cpp); empty: none (a file cut records into
    // sim/file-ops.txt).
    std::string fileOpsFile;
    // Host file made into the chip model's first-touch map of the run, every
    // process of it recording into it (NorChip.h); empty: none.
    std::string firstTouchFile;
    // Simulated seconds per real second for the updater and the GUI stand-in
    // (SimClock.h); 1 is real time. 0: the default, fast (kDefaultSpeed)
    // unless interactive. The delays and the time limit above are simulated
    // seconds.
    double speed = 0;
    // How long the chip's operations take (a timing text of host/flash
    // NorChip.h: "typical", "off" or "ERASE,PROGRAM,UNLOCK" seconds); "":
    // typical in real time, off on a fast clock and for a power cut (the
    // chip's time is then modelled, not waited for).
    std::string chipTiming;
    // Whether the flash and /instrumentData as they were before the run are
    // kept for its report (sim/flash.before, sim/instrumentData.before).
    // Runs nobody reports on (a power-cut sweep's restarts) skip the 16 MiB
    // copy; the copies of an earlier run are removed, so that no report
    // compares against them.
    bool keepBefore = true;
};

// Runs one update; what it gave goes to *result (RunResult.h) when given.
// Returns 0 when the run took place (whatever its outcome), 2 when the
// instrument root could not be made (the reason in *why), 1 for other
// failures (among them a speed other than 1 asked for where there is no
// simulated time). Without simulated time here the default speed falls
// back to real time, with a notice on standard error.
int RunUpdate(const std::string& stateDir, const RunOptions& options, const std::string& selfExe,
              RunResult* result, std::string* why);


}  // namespace swsim

#endif
