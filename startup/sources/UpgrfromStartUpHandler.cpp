#include "UpgrfromStartUpHandler.h"

#include <atomic>
#include <cstring>
#include <pthread.h>

#include "HostDelay.h"
#include "SSConnectionMsg.h"
#include "Trace.h"
#include "UpgrtoStartUpHandler.h"

namespace {

// Written by shCreateInputMsgLoop before the thread starts, only read after.
shReplyonRequesttoUpgrade_Cb_t replyonRequesttoUpgrade_Cb = nullptr;
shDimScreenCb_t dimScreenCb = nullptr;
shTurnOffSytemCb_t turnOffSytemCb = nullptr;

const char ApplicationConnectionName[46] = SS_CONNECTOR_SOFTWAREUPGRADE;
static_assert(sizeof(ApplicationConnectionName) == 46, "updater's name array is 46 bytes");

// Every message type reaches AppInputHandler, which dispatches on the
// record's own operation word.
const PtConnectionMsgHandler_t RAWidgetMsghandlers[1] = {{0, AppInputHandler}};

// The reply handed back to the library; handlers run on the one loop thread,
// so one record that lives for the process is enough.
SSConnectionCommonReplyMsg_t handlerReply;

std::atomic<int> serverEnded{0};

// Pause before looking at the name again when its holder did not agree to
// exit: a foreign program holding the name must not make this thread spin.
constexpr unsigned kRefusedExitPauseMs = 200;

void handleMsgReplyonUpgrade(const void* msg, SSConnectionCommonReplyMsg_t* /*reply*/, void* data)
{
    SSConnectionReplyonUpgradeMessage_t rec;
    std::memcpy(&rec, msg, sizeof(rec));
    shUpgradeResponse_t response = rec.doUpgrade == 1 ? ContinueUpgrade : TerminateUpgrade;
    if (replyonRequesttoUpgrade_Cb != nullptr) {
        replyonRequesttoUpgrade_Cb(response, data);
    }
}

void handleMsgDimScreen(const void* msg, SSConnectionCommonReplyMsg_t* /*reply*/, void* data)
{
    SSConnectionDimScreenMessage_t rec;
    std::memcpy(&rec, msg, sizeof(rec));
    if (dimScreenCb != nullptr) {
        dimScreenCb(static_cast<shBackLigth_t>(rec.setLigth), data);
    }
}

void handleMsgTurnOff(const void* /*msg*/, SSConnectionCommonReplyMsg_t* /*reply*/, void* data)
{
    if (turnOffSytemCb != nullptr) {
        turnOffSytemCb(data);
    }
}

// Length of the record an operation carries, 0 for operations not handled.
unsigned RecordLength(std::uint32_t operation)
{
    switch (operation) {
    case SS_MSGTYPE_REPLYONSWUPGRADE: return sizeof(SSConnectionReplyonUpgradeMessage_t);
    case SS_MSGTYPE_DIMSCREEN: return sizeof(SSConnectionDimScreenMessage_t);
    case SS_MSGTYPE_TURNOFF: return sizeof(SSConnectionTurnOffSystemMessage_t);
    case SS_MSGTYPE_TOFRONT:
    case SS_MSGTYPE_EXIT: return sizeof(SSConnectionCommonMessage_t);
    default: return 0;
    }
}

}  // namespace

int shCreateInputMsgLoop(shReplyonRequesttoUpgrade_Cb_t shReplyonRequesttoUpgrade_Cb,
                         shDimScreenCb_t shDimScreen_Cb, shTurnOffSytemCb_t shTurnOffSytem_Cb,
                         void* thread_data)
{
    replyonRequesttoUpgrade_Cb = shReplyonRequesttoUpgrade_Cb;
    dimScreenCb = shDimScreen_Cb;
    turnOffSytemCb = shTurnOffSytem_Cb;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_t thread;
    int result = pthread_create(&thread, &attr, inputHandlerLoop, thread_data);
    pthread_attr_destroy(&attr);
    if (result == 0) {
        pthread_detach(thread);
    }
    return result;
}

int shInputMsgLoopEnded(void)
{
    return serverEnded.load();
}

void* inputHandlerLoop(void* data)
{
    if (PtInit(nullptr) == -1) {
        PtExit(1);
    }
    // Claim the name. While an older updater holds it, ask that one to exit
    // and try again.
    while (PtConnectorCreate(ApplicationConnectionName, AppInputMsgconnector_cb, data) == nullptr) {
        PtConnectionClient_t* holder = PtConnectionFindName(ApplicationConnectionName, 0, 0);
        if (holder == nullptr) {
            continue;  // the holder has just gone: claim at once
        }
        SSConnectionCommonMessage_t exitMsg;
        exitMsg.operation = SS_MSGTYPE_EXIT;
        SSConnectionCommonReplyMsg_t reply;
        std::memset(&reply, 0, sizeof(reply));
        int result = PtConnectionSend(holder, SS_MSGTYPE_EXIT, &exitMsg, &reply, sizeof(exitMsg),
                                      sizeof(reply));
        PtConnectionClientDestroy(holder);
        if (result == 0) {
            TRACE("Expectation failed: %s\n", "result != 0");
            serverEnded.store(1);
            return nullptr;
        }
        // An older updater answers 0 and exits, freeing the name at once. A
        // holder that answers otherwise, or cannot be asked at all, is not
        // going away soon.
        if (result < 0 || reply.status != SS_RPLTYPE_SUCCESS) {
            delay(kRefusedExitPauseMs);
        }
    }
    connectUpgradeToStartUp();
    PtMainLoop();
    serverEnded.store(1);
    return nullptr;
}

void AppInputMsgconnector_cb(PtConnector_t* /*connector*/, PtConnectionServer_t* AppInputMsgconnection,
                             void* /*data*/)
{
    if (PtConnectionAddMsgHandlers(AppInputMsgconnection, RAWidgetMsghandlers, 1) != 0) {
        PtConnectionServerDestroy(AppInputMsgconnection);
    }
}

const void* AppInputHandler(PtConnectionServer_t* connection, void* data, unsigned long /*type*/,
                            const void* msgptr, unsigned msglen, unsigned* reply_len)
{
    handlerReply.status = SS_RPLTYPE_SUCCESS;
    // A record shorter than its operation's record lacks the fields its
    // handler reads: it is answered as an unknown message.
    std::uint32_t operation = SS_MSGTYPE_NONE;
    if (msgptr != nullptr && msglen >= sizeof(SSConnectionCommonMessage_t)) {
        SSConnectionCommonMessage_t head;
        std::memcpy(&head, msgptr, sizeof(head));
        operation = head.operation;
    }
    unsigned needed = RecordLength(operation);
    if (needed == 0 || msglen < needed) {
        handlerReply.status = SS_RPLTYPE_BADMESSAGE;
    } else {
        switch (operation) {
        case SS_MSGTYPE_REPLYONSWUPGRADE:
            handleMsgReplyonUpgrade(msgptr, &handlerReply, data);
            break;
        case SS_MSGTYPE_DIMSCREEN:
            handleMsgDimScreen(msgptr, &handlerReply, data);
            break;
        case SS_MSGTYPE_TURNOFF:
            handleMsgTurnOff(msgptr, &handlerReply, data);
            break;
        case SS_MSGTYPE_TOFRONT:
            break;
        case SS_MSGTYPE_EXIT:
            PtConnectionReply(connection, sizeof(handlerReply), &handlerReply);
            PtExit(0);
            break;
        default:
            break;
        }
    }
    PtConnectionReply(connection, sizeof(handlerReply), &handlerReply);
    *reply_len = sizeof(handlerReply);
    return &handlerReply;
}
