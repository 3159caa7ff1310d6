#include "UpgrtoStartUpHandler.h"

#include <cstring>
#include <mutex>

#include "SSConnectionMsg.h"
#include "Trace.h"

namespace {

// The connection to the start-up GUI, made once and held until the process
// ends. The server thread (connectUpgradeToStartUp) and the main thread (the
// requests) may both try to connect: the check-and-connect runs under
// `connectLock`, so the name is never looked up and stored by both at once.
std::mutex connectLock;
int IsConnectedwithGUI = 0;
char applicationToGUIName[43] = SS_CONNECTOR_SYSTEMSTARTUP;
PtConnectionClient_t* applicationToGUIconnection = nullptr;

static_assert(sizeof(applicationToGUIName) == 43, "start-up GUI's name array is 43 bytes");

// Returns the held connection, connecting first if none is held; nullptr
// when the start-up GUI could not be found.
PtConnectionClient_t* HeldConnection()
{
    std::lock_guard<std::mutex> guard(connectLock);
    if (IsConnectedwithGUI == 0) {
        getConnection(applicationToGUIName, &applicationToGUIconnection);
        if (applicationToGUIconnection != nullptr) {
            IsConnectedwithGUI = 1;
        }
    }
    return applicationToGUIconnection;
}

// Copies a version text into a 17-byte field: at most 16 characters, always
// terminated, the rest of the field zero. A null text gives an empty field.
void CopyRevision(char (&field)[17], const char* text)
{
    std::memset(field, 0, sizeof(field));
    if (text != nullptr) {
        std::memcpy(field, text, strnlen(text, sizeof(field) - 1));
    }
}

// Sends one zero-initialised request record and turns the outcome into the
// request's result.
int SendRequest(const void* record, std::size_t length)
{
    PtConnectionClient_t* connection = HeldConnection();
    if (connection == nullptr) {
        TRACE("Expectation failed: %s\n", "applicationToGUIconnection != NULL");
        return -1;
    }
    SSConnectionCommonMessage_t head;
    std::memcpy(&head, record, sizeof(head));
    SSConnectionCommonReplyMsg_t reply;
    std::memset(&reply, 0, sizeof(reply));
    int statusReplyLength =
        PtConnectionSend(connection, head.operation, record, &reply, length, sizeof(reply));
    if (statusReplyLength < 0) {
        TRACE("Expectation failed: %s\n", "statusReplyLength > 0");
        return statusReplyLength;
    }
    if (statusReplyLength == 0) {
        return 0;
    }
    return reply.status == SS_RPLTYPE_SUCCESS ? 0 : -2;
}

}  // namespace

void connectUpgradeToStartUp(void)
{
    HeldConnection();
}

int shSendInstrumentReady(const char* currentSWRevision)
{
    SSConnectionInstrumentReadyMessage_t msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.operation = SS_MSGTYPE_INSTRUMENTREADY;
    CopyRevision(msg.runningSWRevision, currentSWRevision);
    return SendRequest(&msg, sizeof(msg));
}

int shSendRequesttoUpgrade(const SoftwareRevisionNumber_t upgradeSWtoRevision)
{
    SSConnectionRequestUpgradeMessage_t msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.operation = SS_MSGTYPE_REQUESTSWUPGRADE;
    CopyRevision(msg.upgradeSWtoRevision, upgradeSWtoRevision);
    return SendRequest(&msg, sizeof(msg));
}

int shSendContinueUpgrade(SoftwareUpgradeState_t upgradeInProgressState,
                          const SoftwareRevisionNumber_t revertSWtoRevision)
{
    SSConnectionContinueUpgradeMessage_t msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.operation = SS_MSGTYPE_CONTINUEUPGRADE;
    msg.upgradeContinueState = static_cast<SSSWUpgradeState_t>(upgradeInProgressState);
    if (upgradeInProgressState == SWRevert) {
        CopyRevision(msg.revertSWtoRevision, revertSWtoRevision);
    }
    return SendRequest(&msg, sizeof(msg));
}

int shSendProgressTimers(shprogressValuesPtr_t times)
{
    SSConnectionSetTimersMessage_t msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.operation = SS_MSGTYPE_SETTIMERS;
    if (times != nullptr) {
        std::memcpy(msg.newTimers, times, sizeof(shprogressValues_t));
    }
    return SendRequest(&msg, sizeof(msg));
}

int shSendTurnOff(void)
{
    SSConnectionCommonMessage_t msg;
    msg.operation = SS_MSGTYPE_EXIT;
    return SendRequest(&msg, sizeof(msg));
}

int shSendError(unsigned int code)
{
    SSConnectionErrorMessage_t msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.operation = SS_MSGTYPE_ERRORCODE;
    msg.errorCode = code;
    return SendRequest(&msg, sizeof(msg));
}

namespace {

// A message-code request; the time-out counts only when tmeIsSet is 1.
int SendMessageCode(unsigned int code, unsigned int timeOuttime_s, unsigned int tmeIsSet)
{
    SSConnectionMessageTextMessage_t msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.operation = SS_MSGTYPE_MESSAGECODE;
    msg.messageCode = code;
    msg.tmeTimeInSec = timeOuttime_s;
    msg.tmeIsSet = tmeIsSet;
    return SendRequest(&msg, sizeof(msg));
}

}  // namespace

int shSendMessage(unsigned int code)
{
    return SendMessageCode(code, 0, 0);
}

int shSendMessageTme(unsigned int code, unsigned int timeOuttime_s)
{
    return SendMessageCode(code, timeOuttime_s, 1);
}
