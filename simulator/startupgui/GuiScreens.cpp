// What the stand-in shows: one line per event, the screens the updater's
// requests ask for (and their answers), and the commands typed or sent by
// the web page.
#include "StartupGui.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <sys/socket.h>

#include "ErrorDefinition.h"
#include "MessageId.h"
#include "WebScreen.h"

namespace startupgui {

void Line(const char* screen, const std::string& content)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    std::printf("%02d:%02d:%02d.%03ld %-12s %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                now.tv_nsec / 1000000L, screen, content.c_str());
    std::fflush(stdout);
    startupgui::WebScreenShow(screen, content);
}

std::string Format(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

namespace {

// A 17-byte text field as a quoted, escaped text (up to its terminator).
std::string Quoted(const char* field, std::size_t size)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < size && field[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '"' || c == '\\') { out += '\\'; out += static_cast<char>(c); }
        else if (c < 0x20 || c >= 0x7F) out += Format("\\x%02x", c);
        else out += static_cast<char>(c);
    }
    return out + "\"";
}

const char* Named(const char* name)
{
    return name != nullptr ? name : "unknown code";
}

void ReleaseHeldQuestion(Gui& g)
{
    if (g.heldQuestionFd >= 0) {
        Reply(g.heldQuestionFd, g.opt.replyStatus);
        g.heldQuestionFd = -1;
    }
}

void AnswerQuestion(Gui& g, Answer a)
{
    g.questionPending = false;
    SendAnswer(g, a);
    ReleaseHeldQuestion(g);
}

// The question's prompt, a line of its own like every other event.
void Prompt()
{
    Line("prompt", "answer with yes, no or never");
}

// The sends planned on the command line, timed from the first request.
void PlanSends(Gui& g)
{
    for (const PlannedSend& p : g.opt.sends) {
        std::string kind = p.kind;
        Schedule(g, p.afterSeconds, [&g, kind] { SendKind(g, kind); });
    }
}

// Shows the update question and answers it as the options say. Returns true
// when the question is replied to like any other request, false when the
// reply is held back (the question answered before its reply) or was
// already sent.
bool ShowQuestion(Gui& g, int fd, const unsigned char* rec, const std::string& note)
{
    Line("question",
         "update to version " + Quoted(reinterpret_cast<const char*>(rec + 4), 17) + "?" + note);
    if (g.opt.answer == Answer::Ask) {
        g.questionPending = true;
        Prompt();
        if (g.opt.answerBeforeReply) {
            g.heldQuestionFd = fd;
            return false;
        }
        return true;
    }
    Answer a = g.opt.answer;
    if (g.opt.answerBeforeReply) {
        g.heldQuestionFd = fd;
        if (g.opt.answerDelay <= 0) {
            AnswerQuestion(g, a);
            return false;
        }
        Schedule(g, g.opt.answerDelay, [&g, a] { AnswerQuestion(g, a); });
        return false;
    }
    Reply(fd, g.opt.replyStatus);
    Schedule(g, g.opt.answerDelay, [&g, a] { SendAnswer(g, a); });
    return false;  // already replied
}

void ShowInProgress(const unsigned char* rec, const std::string& note)
{
    std::uint32_t state = Le32(rec + 24);
    const char* name = state == SSSWNone ? "SSSWNone" : state == SSUpgrade ? "SSUpgrade"
                     : state == SSRevert ? "SSRevert" : "unknown state";
    std::string revert = state == SSRevert
                             ? " to version " + Quoted(reinterpret_cast<const char*>(rec + 4), 17)
                             : "";
    Line("in-progress",
         Format("update in progress (state %u %s)", state, name) + revert + note);
}

// Shows a message screen; the medium is taken out after the remove-medium
// and failure screens when the options say so.
void ShowMessage(Gui& g, const unsigned char* rec, const std::string& note)
{
    std::uint32_t code = Le32(rec + 4);
    std::uint32_t isSet = Le32(rec + 12);
    std::string timeout = isSet == 1 ? Format("time-out %u s", Le32(rec + 8)) : "no time-out";
    Line("message", Format("%u %s (%s)%s", code, Named(MessageIdName(static_cast<int>(code))),
                           timeout.c_str(), note.c_str()));
    if (g.opt.pullMedium >= 0 && !g.pullScheduled &&
        (code == cSWUpdateRemoveMSD || code == cSWUpdateFailedGiveUp)) {
        PlanPull(g);
    }
}

// Shows one request and answers it. Returns false when the reply is held
// back (the question answered before its reply).
bool ShowRequest(Gui& g, int fd, std::uint32_t type, const unsigned char* rec, std::size_t len)
{
    std::uint32_t op = len >= 4 ? Le32(rec) : 0;
    std::string note = op != type ? Format(" [message type %u]", type) : "";
    auto need = [&](std::size_t size, const char* name) {
        if (len >= size) return true;
        Line("bad-record", Format("%s (operation %u) of %zu bytes, %zu expected%s", name, op, len,
                                  size, note.c_str()));
        Reply(fd, SS_RPLTYPE_BADMESSAGE);
        return false;
    };
    if (!g.firstRequestSeen) {
        g.firstRequestSeen = true;
        PlanSends(g);
    }
    switch (op) {
    case SS_MSGTYPE_INSTRUMENTREADY: {
        if (!need(sizeof(SSConnectionInstrumentReadyMessage_t), "instrument-ready")) return true;
        Line("ready", "running version " + Quoted(reinterpret_cast<const char*>(rec + 4), 17) + note);
        break;
    }
    case SS_MSGTYPE_SETTIMERS: {
        if (!need(sizeof(SSConnectionSetTimersMessage_t), "set-timers")) return true;
        std::string values;
        for (std::size_t i = 0; i < 11; ++i) {
            values += Format("%s%u", i != 0 ? " " : "", Le32(rec + 4 + 4 * i));
        }
        Line("timers", Format("estimated duration %u s (values %s)%s", Le32(rec + 12),
                              values.c_str(), note.c_str()));
        break;
    }
    case SS_MSGTYPE_REQUESTSWUPGRADE: {
        if (!need(sizeof(SSConnectionRequestUpgradeMessage_t), "question")) return true;
        if (!ShowQuestion(g, fd, rec, note)) return false;
        break;
    }
    case SS_MSGTYPE_CONTINUEUPGRADE: {
        if (!need(sizeof(SSConnectionContinueUpgradeMessage_t), "in-progress")) return true;
        ShowInProgress(rec, note);
        break;
    }
    case SS_MSGTYPE_MESSAGECODE: {
        if (!need(sizeof(SSConnectionMessageTextMessage_t), "message")) return true;
        ShowMessage(g, rec, note);
        break;
    }
    case SS_MSGTYPE_ERRORCODE: {
        if (!need(sizeof(SSConnectionErrorMessage_t), "error")) return true;
        std::uint32_t code = Le32(rec + 4);
        Line("error", Format("%u %s%s", code, Named(ErrorIdName(static_cast<int>(code))), note.c_str()));
        break;
    }
    case SS_MSGTYPE_EXIT:
        Line("exit", "the updater asks the start-up GUI to exit" + note);
        break;
    default:
        Line("unknown", Format("operation %u of %zu bytes, answered %u%s", op, len,
                               static_cast<unsigned>(SS_RPLTYPE_BADMESSAGE), note.c_str()));
        Reply(fd, SS_RPLTYPE_BADMESSAGE);
        return true;
    }
    Reply(fd, g.opt.replyStatus);
    return true;
}

}  // namespace

// Reads one request from a client. Returns false when the client has gone.
bool ServeClient(Gui& g, int fd)
{
    std::vector<unsigned char> packet(kMaxPacket + 1);
    ssize_t n = recv(fd, packet.data(), packet.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    if (n <= 0) {
        return false;
    }
    if (n < 4 || static_cast<std::size_t>(n) > kMaxPacket) {
        Line("bad-record", Format("packet of %zd bytes dropped", n));
        return false;
    }
    std::uint32_t type = Le32(packet.data());
    std::vector<unsigned char> rec(packet.begin() + 4, packet.begin() + n);
    ShowRequest(g, fd, type, rec.data(), rec.size());
    return true;
}

void Command(Gui& g, std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    if (line.empty()) {
        return;
    }
    if (line == "y" || line == "yes" || line == "n" || line == "no" || line == "never") {
        if (!g.questionPending) {
            Line("input", "no question is open");
            return;
        }
        Answer a = line[0] == 'y' ? Answer::Yes : line == "never" ? Answer::Never : Answer::No;
        AnswerQuestion(g, a);
    } else if (KnownSendKind(line)) {
        SendKind(g, line);
    } else if (line == "pull") {
        PullMedium(g);
    } else {
        Line("input", "commands: yes, no, never, dim-off, dim-on, turn-off, to-front, exit, pull");
        if (g.questionPending) Prompt();
    }
}

}  // namespace startupgui
