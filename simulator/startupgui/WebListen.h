// The listening socket of the start-up GUI's web screen.
//
// swsim makes it on the host before it enters the instrument root and hands
// it to the stand-in inside (a socket keeps the network it was made in, so
// the host's browser reaches a page served from the root's own network);
// the stand-in makes it itself when started with --web outside a root.
#ifndef STARTUPGUI_WEB_LISTEN_H
#define STARTUPGUI_WEB_LISTEN_H

#include <string>

namespace startupgui {

// Splits "[ADDR:]PORT" (ADDR a numeric IPv4 address or "localhost"; IPv6 in
// brackets, "[::1]:8080"); the address defaults to 127.0.0.1. PORT 0 lets
// the system choose. Returns false with the reason.
bool ParseWebAddress(const std::string& text, std::string* host, int* port, std::string* why);

// A TCP socket bound to exactly that address and listening, without
// close-on-exec (it is meant to be passed on). Returns the descriptor, or -1
// with the reason.
int OpenWebListener(const std::string& host, int port, std::string* why);

// The page's address of a listening socket, "http://127.0.0.1:8080/".
std::string WebUrlOf(int fd);

// Whether a host name or address is a loopback one (127.0.0.0/8, ::1,
// localhost).
bool IsLoopbackHost(const std::string& host);

}  // namespace startupgui

#endif
