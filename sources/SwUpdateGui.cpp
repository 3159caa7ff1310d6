#include "SwUpdateGui.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "ErrorDefinition.h"
#include "MessageId.h"
#include "Trace.h"
#include "UpgrtoStartUpHandler.h"

namespace {

// The user's answer, handed from the server thread to the main thread.
// `answerDelivered` marks an answer given since the question was sent, so an
// answer that arrives before the main thread waits is not lost and a wake-up
// without an answer does not end the wait. All three under `mutex`.
updateResponse updateRsp = UpdateTerminate;
bool answerDelivered = false;
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t cond = PTHREAD_COND_INITIALIZER;

// Set by GUI_Initialize once the server thread exists; only the main thread
// reads and writes it.
bool serverStarted = false;

// How often the wait for the answer looks whether the server thread is still
// there to deliver it.
constexpr int kServerCheckSeconds = 1;

int sThreadData;  // the user data given to the server; read by nobody

// Waits until an answer has been delivered. Returns 1 with the answer
// delivered, 0 when the server thread has ended and no answer can come.
int GUI_BlockExecution()
{
    int delivered = 1;
    pthread_mutex_lock(&mutex);
    while (!answerDelivered) {
        if (shInputMsgLoopEnded() != 0) {
            delivered = 0;
            break;
        }
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += kServerCheckSeconds;
        pthread_cond_timedwait(&cond, &mutex, &until);
    }
    pthread_mutex_unlock(&mutex);
    return delivered;
}

void GUI_UnblockExecution(updateResponse answer)
{
    pthread_mutex_lock(&mutex);
    updateRsp = answer;
    answerDelivered = true;
    pthread_cond_signal(&cond);
    pthread_mutex_unlock(&mutex);
}

}  // namespace

int GUI_Initialize(void)
{
    int result = shCreateInputMsgLoop(GUI_IcRequestUpgradeReply, GUI_IcDimScreen,
                                      GUI_IcTurnOffSytem, &sThreadData);
    serverStarted = result == 0;
    sleep(3);
    return result;
}

void GUI_SetCurrentVersion(const char* version)
{
    shSendInstrumentReady(version);
}

void GUI_SetUpdateTimers(int time)
{
    GUI_SetProgressBar(time);
}

int GUI_SetProgressBar(int iSecToCompl)
{
    shprogressValues_t values = {};  // values 4 to 9 are zero
    values[0] = 60;
    values[1] = 0;
    values[2] = static_cast<std::uint32_t>(iSecToCompl);
    values[3] = 65535;
    return shSendProgressTimers(values);
}

int GUI_InquireUpdate(const char* pNewVersion)
{
    // Only an answer to this question counts.
    pthread_mutex_lock(&mutex);
    answerDelivered = false;
    pthread_mutex_unlock(&mutex);

    // Without a server, or with a question that never reached the start-up
    // GUI, no answer can come: the update is declined instead of waiting for
    // ever.
    if (!serverStarted || shInputMsgLoopEnded() != 0) {
        TRACE("No server for the answer: update declined\n");
        return 0;
    }
    if (shSendRequesttoUpgrade(pNewVersion) < 0) {
        TRACE("Question not delivered: update declined\n");
        return 0;
    }
    if (GUI_BlockExecution() == 0) {
        TRACE("Server ended before the answer: update declined\n");
        return 0;
    }
    pthread_mutex_lock(&mutex);
    int result = updateRsp == UpdateContinue ? 1 : 0;
    pthread_mutex_unlock(&mutex);
    return result;
}

void GUI_SetUpdatingText(const char* toVersion)
{
    shSendContinueUpgrade(SWUpgrade, toVersion);
}

void GUI_RemoveMsd(void)
{
    shSendMessageTme(cSWUpdateRemoveMSD, 0);
}

void GUI_DisplayErrorScreen(void)
{
    shSendMessageTme(cSWUpdateFailedGiveUp, 0);
}

void GUI_DisplayNotCompatible(void)
{
    shSendMessageTme(cSWUpdateNotCompatible, 0);
}

void GUI_DisplayCrcError(void)
{
    shSendMessageTme(cSWUpdateFailedGiveUp, 0);
    shSendError(SelfTestLogCRCErr);
}

void GUI_IcRequestUpgradeReply(shUpgradeResponse_t reply, void* /*data*/)
{
    if (reply == TerminateUpgrade) {
        TRACE("user chose terminate upgrade\n");
        GUI_UnblockExecution(UpdateTerminate);
    } else if (reply == ContinueUpgrade) {
        TRACE("user chose continue upgrade\n");
        GUI_UnblockExecution(UpdateContinue);
    }
}

void GUI_IcDimScreen(shBackLigth_t /*set*/, void* /*data*/)
{
}

void GUI_IcTurnOffSytem(void* /*data*/)
{
}
