// Fuzz target: the updater's handler of incoming messages from the start-up
// GUI link.
//
// The input is one request packet as it arrives on the connection: the
// message type (4 bytes, little-endian) followed by the record, of any length
// and content. Each input is handed to the handler twice: directly, in a
// block of exactly the record's size, and through the real server (the
// updater's server thread and connector, reached over a named connection).
// Expectations: the reply is one 4-byte record; it is success exactly for a
// record whose first word is an operation the updater serves and that is long
// enough for that operation, and "bad message" otherwise; the answer, back-
// light and turn-off callbacks run exactly for their operations, with the
// record's values. Exit requests are left out: they end the process, as they
// must.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "FuzzRoot.h"
#include "SSConnectionMsg.h"
#include "UpgrfromStartUpHandler.h"

namespace {

struct Calls {
    std::atomic<int> answers{0};
    std::atomic<int> lastAnswer{-1};
    std::atomic<int> dims{0};
    std::atomic<long long> lastDim{-1};
    std::atomic<int> turnOffs{0};
    std::atomic<int> foreignData{0};
};

Calls calls;

// cppcheck-suppress constParameter ; the callbacks' signatures
void OnAnswer(shUpgradeResponse_t reply, void* data)
{
    calls.foreignData += data != &calls;
    calls.lastAnswer = reply;
    ++calls.answers;
}

// cppcheck-suppress constParameter
void OnDim(shBackLigth_t set, void* data)
{
    calls.foreignData += data != &calls;
    calls.lastDim = static_cast<long long>(static_cast<uint32_t>(set));
    ++calls.dims;
}

// cppcheck-suppress constParameter
void OnTurnOff(void* data)
{
    calls.foreignData += data != &calls;
    ++calls.turnOffs;
}

void StartUpGuiAccepts(PtConnector_t*, PtConnectionServer_t*, void*) {}

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Record length an incoming operation needs, 0 for operations not served.
unsigned Needed(uint32_t operation)
{
    switch (operation) {
    case SS_MSGTYPE_REPLYONSWUPGRADE:
    case SS_MSGTYPE_DIMSCREEN: return 8;
    case SS_MSGTYPE_TURNOFF:
    case SS_MSGTYPE_TOFRONT:
    case SS_MSGTYPE_EXIT: return 4;
    default: return 0;
    }
}

void ResetCalls()
{
    calls.answers = 0;
    calls.lastAnswer = -1;
    calls.dims = 0;
    calls.lastDim = -1;
    calls.turnOffs = 0;
}

void CheckCalls(const char* path, const uint8_t* record, unsigned len, uint32_t status)
{
    const uint32_t operation = len >= 4 ? Le32(record) : 0;
    const bool served = Needed(operation) != 0 && len >= Needed(operation);
    FUZZ_CHECK(status == (served ? SS_RPLTYPE_SUCCESS : SS_RPLTYPE_BADMESSAGE),
               "%s: operation %u with %u bytes answered %u", path, operation, len, status);
    const bool answer = served && operation == SS_MSGTYPE_REPLYONSWUPGRADE;
    const bool dim = served && operation == SS_MSGTYPE_DIMSCREEN;
    const bool turnOff = served && operation == SS_MSGTYPE_TURNOFF;
    FUZZ_CHECK(calls.answers == (answer ? 1 : 0) && calls.dims == (dim ? 1 : 0) &&
                   calls.turnOffs == (turnOff ? 1 : 0),
               "%s: operation %u ran callbacks answer %d dim %d turn-off %d", path, operation,
               calls.answers.load(), calls.dims.load(), calls.turnOffs.load());
    if (answer) {
        const int expected = Le32(record + 4) == 1 ? ContinueUpgrade : TerminateUpgrade;
        FUZZ_CHECK(calls.lastAnswer == expected, "%s: doUpgrade %u gave answer %d", path, Le32(record + 4),
                   calls.lastAnswer.load());
    }
    if (dim)
        FUZZ_CHECK(calls.lastDim == Le32(record + 4), "%s: back-light %u handed on as %lld", path, Le32(record + 4),
                   calls.lastDim.load());
    FUZZ_CHECK(calls.foreignData == 0, "%s: a callback got other user data", path);
}

PtConnectionClient_t* client = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterFuzzRoot("guimessage", false);
    // A start-up GUI that only accepts the updater's connection, so that the
    // server thread connects at once and starts serving.
    FUZZ_CHECK(PtInit(nullptr) == 0, "PtInit failed");
    FUZZ_CHECK(PtConnectorCreate(SS_CONNECTOR_SYSTEMSTARTUP, StartUpGuiAccepts, nullptr) != nullptr,
               "cannot serve the start-up GUI's name");
    FUZZ_CHECK(shCreateInputMsgLoop(OnAnswer, OnDim, OnTurnOff, &calls) == 0, "no server thread");
    for (int i = 0; i < 1000 && client == nullptr; ++i) {
        client = PtConnectionFindName(SS_CONNECTOR_SOFTWAREUPGRADE, 0, 0);
        if (client == nullptr)
            usleep(10000);
    }
    FUZZ_CHECK(client != nullptr, "the updater's server did not come up");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;  // no message type: the connection layer drops such packets
    const unsigned long type = Le32(data);
    const unsigned len = static_cast<unsigned>(size - 4);
    if (len >= 4 && Le32(data + 4) == SS_MSGTYPE_EXIT)
        return 0;

    // Directly, with the record in a block of exactly its size.
    std::unique_ptr<uint8_t[]> record(len != 0 ? new uint8_t[len] : nullptr);
    if (len != 0)
        std::memcpy(record.get(), data + 4, len);
    ResetCalls();
    unsigned replyLen = 0;
    const void* reply = AppInputHandler(nullptr, &calls, type, record.get(), len, &replyLen);
    FUZZ_CHECK(reply != nullptr && replyLen == sizeof(SSConnectionCommonReplyMsg_t), "reply of %u bytes", replyLen);
    uint32_t status;
    // cppcheck-suppress nullPointerRedundantCheck ; FUZZ_CHECK does not return on a null reply
    std::memcpy(&status, reply, sizeof status);
    CheckCalls("direct", data + 4, len, status);

    // Through the server thread.
    ResetCalls();
    SSConnectionCommonReplyMsg_t answer;
    std::memset(&answer, 0xEE, sizeof answer);
    const int got = PtConnectionSend(client, type, data + 4, &answer, len, sizeof answer);
    FUZZ_CHECK(got == static_cast<int>(sizeof answer), "send of %u bytes returned %d", len, got);
    CheckCalls("server", data + 4, len, answer.status);
    return 0;
}
