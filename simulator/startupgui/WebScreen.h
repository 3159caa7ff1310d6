// The web screen of the start-up GUI stand-in (--web, --web-fd): a small
// web server that shows, live in a browser, the screen the instrument would
// show, and takes the user's answer and the removal of the medium from it.
//
// Routes (anything else is refused):
//   GET  /, /index.html, /screen.css, /screen.js   the page
//   GET  /events    server-sent events: every screen event so far, then each
//                   new one, and the stand-in's clock a few times a second
//   GET  /state     the screen events so far as one JSON array
//   POST /answer    answer=yes|no|never   the answer to the open question
//   POST /pull      take the medium out
//
// The server runs in a thread of its own; the stand-in's loop stays the
// only one that acts: it polls WebScreenWakeFd and takes the page's commands
// ("yes", "no", "never", "pull") with WebScreenTakeCommands, as if typed.
#ifndef STARTUPGUI_WEB_SCREEN_H
#define STARTUPGUI_WEB_SCREEN_H

#include <string>
#include <vector>

namespace startupgui {

// Serves on the listening socket `listenFd` (taken over), or, when it is
// negative, on a socket bound to `address` ("[ADDR:]PORT"), whose page
// address is then told on standard error. Returns false with the reason
// (also in a build without the web server).
bool WebScreenOpen(const std::string& address, int listenFd, std::string* why);

// Readable while commands from the page wait; -1 when no web screen runs.
int WebScreenWakeFd();
std::vector<std::string> WebScreenTakeCommands();

// One event of the stand-in (the screen and the content of its line).
void WebScreenShow(const char* screen, const std::string& content);

// Lets the open pages receive the events so far (at most about 2 s), then
// stops the server. Nothing happens when none runs.
void WebScreenStop();

}  // namespace startupgui

#endif
