#include "SSConnectionMsg.h"

#include "HostDelay.h"

namespace {
// The look-up is retried while the counter is not above this value: 102
// look-ups with 101 pauses between them.
constexpr int kLastRetry = 100;
constexpr unsigned kRetryPauseMs = 200;
}  // namespace

int getConnection(const char* connectionName, PtConnectionClient_t** clientToServerConnector)
{
    int attempts = 0;
    *clientToServerConnector = nullptr;
    for (;;) {
        *clientToServerConnector = PtConnectionFindName(connectionName, 0, 0);
        if (*clientToServerConnector != nullptr || attempts > kLastRetry) {
            break;
        }
        delay(kRetryPauseMs);
        ++attempts;
    }
    return *clientToServerConnector != nullptr ? 0 : -1;
}

void destroyConnection(PtConnectionClient_t* clientToServerConnector)
{
    PtConnectionClientDestroy(clientToServerConnector);
}
