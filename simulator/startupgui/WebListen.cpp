#include "WebListen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace startupgui {

bool ParseWebAddress(const std::string& text, std::string* host, int* port, std::string* why)
{
    std::string h = "127.0.0.1", p = text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos) {
            *why = "an IPv6 address is written [ADDR]:PORT";
            return false;
        }
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon != std::string::npos) {
            h = text.substr(0, colon);
            p = text.substr(colon + 1);
        }
    }
    if (h == "localhost") h = "127.0.0.1";
    unsigned char probe[sizeof(in6_addr)];
    if (inet_pton(AF_INET, h.c_str(), probe) != 1 && inet_pton(AF_INET6, h.c_str(), probe) != 1) {
        *why = "'" + h + "' is not a numeric address (use e.g. 127.0.0.1:8080)";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(p.c_str(), &end, 10);
    if (p.empty() || *end != '\0' || errno != 0 || n < 0 || n > 65535) {
        *why = "'" + p + "' is not a port (0 to 65535)";
        return false;
    }
    *host = h;
    *port = static_cast<int>(n);
    return true;
}

int OpenWebListener(const std::string& host, int port, std::string* why)
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    int family = AF_INET;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof(*v4);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        family = AF_INET6;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof(*v6);
    } else {
        *why = "'" + host + "' is not a numeric address";
        return -1;
    }
    const int fd = socket(family, SOCK_STREAM, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 16) != 0) {
        *why = "cannot serve the web screen on " + host + ":" + std::to_string(port) + ": " +
               std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

std::string WebUrlOf(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "";
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return "http://" + std::string(text) + ":" + std::to_string(ntohs(v4->sin_port)) + "/";
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return "http://[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port)) + "/";
}

bool IsLoopbackHost(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0;
}

}  // namespace startupgui
