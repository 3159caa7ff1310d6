// The web screen's functions in a build without the web server (no
// cpp-httplib for the target): --web is refused with the reason.
#include "WebScreen.h"

namespace startupgui {

bool WebScreenOpen(const std::string&, int, std::string* why)
{
    *why = "this build has no web screen (cpp-httplib was not found)";
    return false;
}

int WebScreenWakeFd()
{
    return -1;
}

std::vector<std::string> WebScreenTakeCommands()
{
    return {};
}

void WebScreenShow(const char*, const std::string&) {}

void WebScreenStop() {}

}  // namespace startupgui
