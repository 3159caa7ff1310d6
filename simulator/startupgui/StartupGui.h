// The start-up GUI stand-in's parts, shared by its files:
//  - GuiOptions.cpp: the command line (CLI11);
//  - GuiWire.cpp: the connection wire format, replies, and the messages the
//    stand-in sends to the updater;
//  - GuiScreens.cpp: the output lines, the screens the updater's requests
//    show, and the question's answers and the commands;
//  - GuiMedium.cpp: taking the update medium out at the updater's looks;
//  - StartupGui.cpp: the loop (signals, timers, clients, standard input).
#ifndef STARTUPGUI_STARTUP_GUI_H
#define STARTUPGUI_STARTUP_GUI_H

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "SSConnectionMsg.h"

namespace startupgui {

// ---------------------------------------------------------------------------
// Options

enum class Answer { Yes, No, Never, Ask };

struct PlannedSend {
    std::string kind;  // dim-off, dim-on, turn-off, to-front, exit
    double afterSeconds;
};

struct Options {
    Answer answer = Answer::Yes;
    double answerDelay = 0;
    bool answerBeforeReply = false;
    bool interactive = false;
    double pullMedium = -1;  // < 0: never
    std::string medium = "/usbdongle/file0";
    std::uint32_t replyStatus = SS_RPLTYPE_SUCCESS;
    std::vector<PlannedSend> sends;
    std::string serveName = SS_CONNECTOR_SYSTEMSTARTUP;
    std::string updaterName = SS_CONNECTOR_SOFTWAREUPGRADE;
    std::string web;   // --web [ADDR:]PORT
    int webFd = -1;    // --web-fd N: a listening socket made by the caller
};

// Reads the command line into *o. Returns 0, 1 when the help was asked for
// (and shown on standard output), or 2 for a usage error (reported on
// standard error).
int ParseOptions(int argc, char** argv, Options* o);

bool KnownSendKind(const std::string& kind);

// ---------------------------------------------------------------------------
// The stand-in's state

struct Timer {
    struct timespec due;
    std::function<void()> action;
};

// The updater's looks at the medium while it waits for its removal: each
// opens the medium file, and a lease on it holds the look until this
// process has counted it. See PlanPull.
struct MediumWatch {
    int file = -1;         // the medium file, open for the lease
    int leaseSignal = -1;  // signalfd of SIGIO: a look is held by the lease
    int looks = 0;         // looks seen so far
    int pullAt = 0;        // the look the medium is taken out at
    bool leased = false;
};

struct Gui {
    Options opt;
    int sigFd = -1;              // SIGTERM and SIGINT, read through a signalfd
    unsigned stopSignal = 0;     // set once one of them has come: end now
    int listenFd = -1;
    std::vector<int> clients;
    int updaterFd = -1;          // client connection to the updater's connector
    int heldQuestionFd = -1;     // client whose question's reply is held back
    bool questionPending = false;  // a question waits for an interactive answer
    bool firstRequestSeen = false;
    bool pullScheduled = false;  // the medium will be taken out (a timer or the updater's looks)
    std::vector<Timer> timers;
    MediumWatch watch;           // the updater's looks at the medium
};

// ---------------------------------------------------------------------------
// The loop's services (StartupGui.cpp)

void Schedule(Gui& g, double seconds, std::function<void()> action);
// Takes a pending SIGTERM or SIGINT. True when one has come (now or before).
bool StopRequested(Gui& g);
// Waits until `fd` is ready for `events` or `ms` milliseconds have passed
// (-1: no limit; fd -1: just the pause), while watching for a stop signal, so
// that no wait of the stand-in outlasts SIGTERM or SIGINT. Returns 1 ready,
// 0 time is up, -1 a stop signal came.
int WaitReady(Gui& g, int fd, short events, int ms);

// ---------------------------------------------------------------------------
// Output: one line per event, "HH:MM:SS.mmm screen content" (GuiScreens.cpp)

void Line(const char* screen, const std::string& content);
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// Wire format and sending (GuiWire.cpp)

constexpr std::size_t kMaxPacket = 4 + 65536;

// The abstract socket address of a connector name; 0 when it does not fit.
socklen_t Address(const std::string& name, sockaddr_un* addr);
std::uint32_t Le32(const unsigned char* p);
// Replies `status` to the request on `fd`; never waits.
void Reply(int fd, std::uint32_t status);
void SendAnswer(Gui& g, Answer a);
// Sends dim-off, dim-on, turn-off, to-front or exit to the updater.
void SendKind(Gui& g, const std::string& kind);

// ---------------------------------------------------------------------------
// Screens and commands (GuiScreens.cpp)

// Reads one request from a client and shows and answers it. Returns false
// when the client has gone.
bool ServeClient(Gui& g, int fd);
// Runs one command typed or sent by the web page.
void Command(Gui& g, std::string line);

// ---------------------------------------------------------------------------
// The medium (GuiMedium.cpp)

// Plans the medium's removal after a remove-medium or failure screen.
void PlanPull(Gui& g);
void PullMedium(Gui& g);
// Ends the watch on the updater's looks; a look held by the lease goes on.
void EndWatch(MediumWatch& w);
// A look is held by the lease: counts it, takes the medium out at the
// last one, leases the next.
void LookHeld(Gui& g);

}  // namespace startupgui

#endif
