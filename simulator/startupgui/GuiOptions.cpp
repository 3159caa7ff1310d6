// The stand-in's command line (CLI11). The values are taken as texts and
// checked here, so that a wrong one is named as before ("bad delay '-1'").
#include "StartupGui.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>

namespace startupgui {

namespace {

bool ParseSeconds(const char* text, double* out)
{
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 86400) {
        return false;
    }
    *out = v;
    return true;
}

// The option texts as given; empty: not given.
struct Given {
    std::string answer, answerDelay, pullMedium, replyStatus, webFd;
    std::vector<std::string> sends;
};

void AddOptions(CLI::App& app, Given* v, Options* o)
{
    app.add_option("--answer", v->answer, "answer to the update question (default yes)")
        ->type_name("yes|no|never|ask");
    app.add_option("--answer-delay", v->answerDelay, "wait before answering (default 0)")->type_name("SECONDS");
    app.add_flag("--answer-before-reply", o->answerBeforeReply, "answer before replying to the question");
    app.add_flag("--interactive", o->interactive, "read answers and commands from standard input");
    app.add_option("--pull-medium", v->pullMedium,
                   "take the medium away SECONDS after a remove-medium or failure screen")
        ->type_name("SECONDS");
    app.add_option("--medium", o->medium, "the medium's file (default /usbdongle/file0)")->type_name("PATH");
    app.add_option("--reply-status", v->replyStatus, "status replied to every request (default 0)")
        ->type_name("N");
    app.add_option("--send", v->sends,
                   "send dim-off, dim-on, turn-off, to-front or exit to the updater SECONDS after the first "
                   "request")
        ->type_name("KIND[@SECONDS]")
        ->allow_extra_args(false)
        ->take_all();
    app.add_option("--web", o->web,
                   "show the screen as a web page (address default 127.0.0.1); its answer and pull count")
        ->type_name("[ADDR:]PORT");
    app.add_option("--web-fd", v->webFd, "the same on a listening socket made by the caller")->type_name("N");
}

// Checks the texts given and puts them into *o. Returns "", or what is wrong.
std::string TakeValues(const Given& v, Options* o)
{
    if (!v.answer.empty()) {
        const std::string& s = v.answer;
        if (s == "yes") o->answer = Answer::Yes;
        else if (s == "no") o->answer = Answer::No;
        else if (s == "never") o->answer = Answer::Never;
        else if (s == "ask") o->answer = Answer::Ask;
        else return "unknown answer '" + s + "'";
    }
    if (!v.answerDelay.empty() && !ParseSeconds(v.answerDelay.c_str(), &o->answerDelay)) {
        return "bad delay '" + v.answerDelay + "'";
    }
    if (!v.pullMedium.empty() && !ParseSeconds(v.pullMedium.c_str(), &o->pullMedium)) {
        return "bad delay '" + v.pullMedium + "'";
    }
    if (!v.replyStatus.empty()) {
        char* end = nullptr;
        const unsigned long s = std::strtoul(v.replyStatus.c_str(), &end, 0);
        if (end == v.replyStatus.c_str() || *end != '\0' || s > 0xFFFFFFFFul) {
            return "bad status '" + v.replyStatus + "'";
        }
        o->replyStatus = static_cast<std::uint32_t>(s);
    }
    for (const std::string& s : v.sends) {
        PlannedSend p{s, 0};
        const std::size_t at = s.find('@');
        if (at != std::string::npos) {
            p.kind = s.substr(0, at);
            if (!ParseSeconds(s.c_str() + at + 1, &p.afterSeconds)) return "bad delay in '" + s + "'";
        }
        if (!KnownSendKind(p.kind)) return "unknown message '" + p.kind + "'";
        o->sends.push_back(p);
    }
    if (!v.webFd.empty()) {
        char* end = nullptr;
        const long fd = std::strtol(v.webFd.c_str(), &end, 10);
        if (end == v.webFd.c_str() || *end != '\0' || fd < 3 || fd > 65535) {
            return "bad descriptor '" + v.webFd + "'";
        }
        o->webFd = static_cast<int>(fd);
    }
    return "";
}

}  // namespace

bool KnownSendKind(const std::string& kind)
{
    return kind == "dim-off" || kind == "dim-on" || kind == "turn-off" || kind == "to-front" ||
           kind == "exit";
}

int ParseOptions(int argc, char** argv, Options* o)
{
    CLI::App app{"startup-gui: the start-up GUI stand-in", "startup-gui"};
    // An option given twice takes its last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    Given v;
    AddOptions(app, &v, o);
    std::string why;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 1;
    } catch (const CLI::ParseError& e) {
        why = e.what();
    }
    if (why.empty()) why = TakeValues(v, o);
    if (!why.empty()) {
        std::fprintf(stderr, "startup-gui: %s\n%s", why.c_str(), app.help().c_str());
        return 2;
    }
    const bool answerGiven = !v.answer.empty();
    if (o->interactive && !answerGiven) {
        o->answer = Answer::Ask;
    }
    if (o->answer == Answer::Ask && !o->interactive) {
        o->interactive = true;
    }
    return 0;
}

}  // namespace startupgui
