#include "WebScreen.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "WebAssets.h"
#include "WebListen.h"

namespace startupgui {
namespace {

// httplib binds its own listening socket; this one serves a socket made by
// the caller (possibly in another network namespace), which the library
// keeps in a protected member.
struct AdoptingServer : httplib::Server {
    void Adopt(int fd) { svr_sock_ = fd; }
};

constexpr int kMaxStreams = 4;          // open event streams at a time
constexpr std::size_t kMaxEvents = 2000;  // events kept for late pages

struct Web {
    std::mutex mutex;
    std::vector<std::string> events;  // JSON objects, in order
    std::vector<std::string> commands;
    bool stopping = false;
    int streams = 0;
    std::set<std::string> hosts;  // accepted Host headers; empty: any
    int wakeFd = -1;
    AdoptingServer server;
    std::thread thread;
    bool running = false;
};

// Never destroyed: a stand-in ending on another path than WebScreenStop
// must not have a running server thread torn down under it at exit.
Web& State()
{
    static Web* web = new Web;
    return *web;
}

long long ClockMs()
{
    // The stand-in's own clock (simulated when the run's time is), which
    // drives the page's progress bar.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits about `ms` milliseconds, or less once `done` holds, with `lock`
// released meanwhile. Timed waits on a condition variable are avoided: they
// wait for an absolute moment of the monotonic clock, which a simulated
// clock (libfaketime) moves while the kernel does not, so they would last
// far longer than asked. Short relative sleeps are scaled like every other
// pause of the run.
template <typename Done>
void WaitFor(std::unique_lock<std::mutex>& lock, int ms, Done done)
{
    for (int waited = 0; !done() && waited < ms; waited += 20) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lock.lock();
    }
}

void Queue(const std::string& command)
{
    Web& w = State();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.commands.size() < 16) w.commands.push_back(command);
    }
    const uint64_t one = 1;
    if (write(w.wakeFd, &one, sizeof one) < 0) {
        // The counter cannot overflow with at most 16 waiting commands.
    }
}

void Refuse(httplib::Response& res, int status, const char* text)
{
    res.status = status;
    res.set_content(std::string(text) + "\n", "text/plain; charset=utf-8");
}

// Which routes exist, and with which method.
const char* MethodOf(const std::string& path)
{
    if (path == "/answer" || path == "/pull") return "POST";
    if (path == "/" || path == "/events" || path == "/state") return "GET";
    for (const auto& a : WebAssets()) {
        if (path == a.path) return "GET";
    }
    return nullptr;
}

void Routes(Web& w)
{
    httplib::Server& s = w.server;
    // Every request is checked before routing: unknown paths, other methods
    // and foreign Host headers (a page of another site reaching a loopback
    // server through a name it controls) are refused.
    s.set_pre_routing_handler([&w](const httplib::Request& req, httplib::Response& res) {
        const char* method = MethodOf(req.path);
        if (method == nullptr) {
            Refuse(res, 404, "not found");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != method) {
            res.set_header("Allow", method);
            Refuse(res, 405, "method not allowed");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!w.hosts.empty() && w.hosts.count(req.get_header_value("Host")) == 0) {
            Refuse(res, 403, "unexpected Host");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    for (const auto& a : WebAssets()) {
        const WebAsset asset = a;
        auto serve = [asset](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_content(asset.data, asset.size, asset.type);
        };
        s.Get(asset.path, serve);
        if (std::string(asset.path) == "/index.html") s.Get("/", serve);
    }
    s.Get("/state", [&w](const httplib::Request&, httplib::Response& res) {
        std::string body = "[";
        {
            std::lock_guard<std::mutex> lock(w.mutex);
            for (std::size_t i = 0; i < w.events.size(); ++i) body += (i ? "," : "") + w.events[i];
        }
        res.set_content(body + "]\n", "application/json");
    });
    s.Get("/events", [&w](const httplib::Request& req, httplib::Response& res) {
        auto next = std::make_shared<std::size_t>(0);
        const std::string last = req.get_header_value("Last-Event-ID");
        if (!last.empty()) *next = static_cast<std::size_t>(std::strtoull(last.c_str(), nullptr, 10)) + 1;
        {
            std::lock_guard<std::mutex> lock(w.mutex);
            if (w.streams >= kMaxStreams) {
                Refuse(res, 503, "too many open pages");
                return;
            }
            ++w.streams;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [&w, next](std::size_t, httplib::DataSink& sink) {
                std::unique_lock<std::mutex> lock(w.mutex);
                WaitFor(lock, 250, [&] { return w.stopping || *next < w.events.size(); });
                std::string out;
                for (; *next < w.events.size(); ++*next) {
                    out += "id: " + std::to_string(*next) + "\ndata: " + w.events[*next] + "\n\n";
                }
                const bool end = w.stopping;
                lock.unlock();
                if (out.empty()) {
                    out = "event: clock\ndata: {\"t\":" + std::to_string(ClockMs()) + "}\n\n";
                }
                if (end) out += "event: end\ndata: {}\n\n";
                if (!sink.write(out.data(), out.size())) return false;
                if (end) sink.done();
                return true;
            },
            [&w](bool) {
                std::lock_guard<std::mutex> lock(w.mutex);
                --w.streams;
            });
    });
    s.Post("/answer", [](const httplib::Request& req, httplib::Response& res) {
        std::string answer = req.has_param("answer") ? req.get_param_value("answer") : req.body;
        while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
        if (answer != "yes" && answer != "no" && answer != "never") {
            Refuse(res, 400, "answer must be yes, no or never");
            return;
        }
        Queue(answer);
        res.status = 202;
        res.set_content("queued\n", "text/plain");
    });
    s.Post("/pull", [](const httplib::Request&, httplib::Response& res) {
        Queue("pull");
        res.status = 202;
        res.set_content("queued\n", "text/plain");
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        // The library's own refusals (a malformed request: 400, too large:
        // 413, ...) get a short text; the run goes on.
        if (res.body.empty()) res.set_content("refused\n", "text/plain");
    });
}

}  // namespace

bool WebScreenOpen(const std::string& address, int listenFd, std::string* why)
{
    Web& w = State();
    if (listenFd < 0) {
        std::string host;
        int port = 0;
        if (!ParseWebAddress(address, &host, &port, why)) return false;
        listenFd = OpenWebListener(host, port, why);
        if (listenFd < 0) return false;
        std::fprintf(stderr, "startup-gui: web screen on %s\n", WebUrlOf(listenFd).c_str());
    }
    if (w.running) {
        *why = "the web screen runs already";
        return false;
    }
    const std::string url = WebUrlOf(listenFd);
    if (url.empty()) {
        *why = "the web screen's descriptor is no listening socket";
        return false;
    }
    fcntl(listenFd, F_SETFD, FD_CLOEXEC);  // not for the stand-in's children
    w.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w.wakeFd < 0) {
        *why = "eventfd failed";
        return false;
    }
    // "http://HOST:PORT/": on a loopback address only the names of this
    // machine are accepted as Host.
    const std::string hostPort = url.substr(7, url.size() - 8);
    const std::string host = hostPort.substr(0, hostPort.rfind(':'));
    const std::string port = hostPort.substr(hostPort.rfind(':') + 1);
    if (IsLoopbackHost(host) || host == "[::1]") {
        w.hosts = {hostPort, "localhost:" + port, "127.0.0.1:" + port, "[::1]:" + port};
    }
    Routes(w);
    w.server.set_payload_max_length(1024);
    w.server.set_read_timeout(5, 0);
    w.server.set_keep_alive_timeout(1);
    w.server.Adopt(listenFd);
    w.running = true;
    w.thread = std::thread([&w] { w.server.listen_after_bind(); });
    return true;
}

int WebScreenWakeFd()
{
    return State().running ? State().wakeFd : -1;
}

std::vector<std::string> WebScreenTakeCommands()
{
    Web& w = State();
    uint64_t count = 0;
    if (read(w.wakeFd, &count, sizeof count) < 0) {
        // Nothing waited (non-blocking counter): no commands either.
    }
    std::lock_guard<std::mutex> lock(w.mutex);
    std::vector<std::string> out;
    out.swap(w.commands);
    return out;
}

void WebScreenShow(const char* screen, const std::string& content)
{
    Web& w = State();
    if (!w.running) return;
    nlohmann::json e = {{"screen", screen}, {"text", content}, {"t", ClockMs()}};
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.events.size() >= kMaxEvents) return;
    e["seq"] = w.events.size();
    w.events.push_back(e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void WebScreenStop()
{
    Web& w = State();
    if (!w.running) return;
    {
        std::unique_lock<std::mutex> lock(w.mutex);
        w.stopping = true;
        WaitFor(lock, 2000, [&] { return w.streams == 0; });
    }
    w.server.stop();
    w.thread.join();
    close(w.wakeFd);
    w.wakeFd = -1;
    w.running = false;
}

}  // namespace startupgui
