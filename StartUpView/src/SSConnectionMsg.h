// Records exchanged between the updater and the start-up GUI, shared by both.
//
// Every exchange is one request record answered by one 4-byte reply record.
// Encoding: little-endian; every enumeration and integer field is an unsigned
// 32-bit value; fields are naturally aligned (a 17-byte text field is followed
// by 3 bytes of padding); text fields are NUL-terminated. Sizes and offsets are
// part of the format and checked at compile time below.
#ifndef SS_CONNECTION_MSG_H
#define SS_CONNECTION_MSG_H

#include <cstddef>
#include <cstdint>

#include "PtConnection.h"

// Operation codes: the first word of every request record, and also the
// message type of its send.
enum SSConnectionMessageType_t : std::uint32_t {
    SS_MSGTYPE_NONE = 0,
    SS_MSGTYPE_DIMSCREEN = 22,          // start-up GUI to updater
    SS_MSGTYPE_INSTRUMENTREADY = 23,    // updater to start-up GUI
    SS_MSGTYPE_SETTIMERS = 51,          // updater to start-up GUI
    SS_MSGTYPE_ERRORCODE = 52,          // updater to start-up GUI
    SS_MSGTYPE_MESSAGECODE = 54,        // updater to start-up GUI
    SS_MSGTYPE_REQUESTSWUPGRADE = 88,   // updater to start-up GUI: the question
    SS_MSGTYPE_REPLYONSWUPGRADE = 89,   // start-up GUI to updater: the answer
    SS_MSGTYPE_CONTINUEUPGRADE = 90,    // updater to start-up GUI
    SS_MSGTYPE_TOFRONT = 100,           // start-up GUI to updater
    SS_MSGTYPE_TURNOFF = 899,           // start-up GUI to updater
    SS_MSGTYPE_EXIT = 999               // to the updater, from any client; also updater to GUI
};

// Reply status: the only field of the reply record.
enum SSConnectionReplyType_t : std::uint32_t {
    SS_RPLTYPE_SUCCESS = 0,
    SS_RPLTYPE_BADSTATE = 196,
    SS_RPLTYPE_BADVALUE = 197,
    SS_RPLTYPE_BADASSAYID = 198,
    SS_RPLTYPE_BADMESSAGE = 199
};

// A version text of at most 16 characters and its terminator.
typedef char SSSoftWareRevision_t[17];
typedef char SSMarketInfoDisplayText_t[17];
typedef std::uint32_t SSTimersData_t[11];

enum SSDimScreen_t : std::uint32_t { SSScreenOff = 0, SSScreenOn = 1 };
enum SSSWUpgradeState_t : std::uint32_t { SSSWNone = 0, SSUpgrade = 1, SSRevert = 2 };

// SS_MSGTYPE_TOFRONT and SS_MSGTYPE_EXIT; also the view of the first word of
// any incoming request.
typedef struct {
    SSConnectionMessageType_t operation;
} SSConnectionCommonMessage_t;

// The reply to every request, in both directions.
typedef struct {
    SSConnectionReplyType_t status;
} SSConnectionCommonReplyMsg_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 23
    SSSoftWareRevision_t runningSWRevision;
} SSConnectionInstrumentReadyMessage_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 22
    SSDimScreen_t setLigth;
} SSConnectionDimScreenMessage_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 51
    SSTimersData_t newTimers;
} SSConnectionSetTimersMessage_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 88
    SSSoftWareRevision_t upgradeSWtoRevision;
} SSConnectionRequestUpgradeMessage_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 89
    std::uint32_t doUpgrade;              // 1: update; any other value: declined
} SSConnectionReplyonUpgradeMessage_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 90
    SSSoftWareRevision_t revertSWtoRevision;  // meaningful only for SSRevert
    SSSWUpgradeState_t upgradeContinueState;
} SSConnectionContinueUpgradeMessage_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 52
    std::uint32_t errorCode;              // an ErrorId value
} SSConnectionErrorMessage_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 54
    std::uint32_t messageCode;            // a MessageId value
    std::uint32_t tmeTimeInSec;           // meaningful only when tmeIsSet is 1
    std::uint32_t tmeIsSet;
} SSConnectionMessageTextMessage_t;

typedef struct {
    SSConnectionMessageType_t operation;  // 899
} SSConnectionTurnOffSystemMessage_t;

#define SS_CHECK_FIELD(rec, field, off) \
    static_assert(offsetof(rec, field) == (off), #rec "." #field " at offset " #off)

static_assert(sizeof(SSConnectionCommonMessage_t) == 4, "common record is 4 bytes");
static_assert(sizeof(SSConnectionCommonReplyMsg_t) == 4, "reply record is 4 bytes");
static_assert(sizeof(SSConnectionInstrumentReadyMessage_t) == 24, "instrument-ready is 24 bytes");
static_assert(sizeof(SSConnectionDimScreenMessage_t) == 8, "dim-screen is 8 bytes");
static_assert(sizeof(SSConnectionSetTimersMessage_t) == 48, "set-timers is 48 bytes");
static_assert(sizeof(SSConnectionRequestUpgradeMessage_t) == 24, "request-upgrade is 24 bytes");
static_assert(sizeof(SSConnectionReplyonUpgradeMessage_t) == 8, "reply-on-upgrade is 8 bytes");
static_assert(sizeof(SSConnectionContinueUpgradeMessage_t) == 28, "continue-upgrade is 28 bytes");
static_assert(sizeof(SSConnectionErrorMessage_t) == 8, "error-code is 8 bytes");
static_assert(sizeof(SSConnectionMessageTextMessage_t) == 16, "message-code is 16 bytes");
static_assert(sizeof(SSConnectionTurnOffSystemMessage_t) == 4, "turn-off is 4 bytes");
SS_CHECK_FIELD(SSConnectionCommonReplyMsg_t, status, 0);
SS_CHECK_FIELD(SSConnectionInstrumentReadyMessage_t, runningSWRevision, 4);
SS_CHECK_FIELD(SSConnectionDimScreenMessage_t, setLigth, 4);
SS_CHECK_FIELD(SSConnectionSetTimersMessage_t, newTimers, 4);
SS_CHECK_FIELD(SSConnectionRequestUpgradeMessage_t, upgradeSWtoRevision, 4);
SS_CHECK_FIELD(SSConnectionReplyonUpgradeMessage_t, doUpgrade, 4);
SS_CHECK_FIELD(SSConnectionContinueUpgradeMessage_t, revertSWtoRevision, 4);
SS_CHECK_FIELD(SSConnectionContinueUpgradeMessage_t, upgradeContinueState, 24);
SS_CHECK_FIELD(SSConnectionErrorMessage_t, errorCode, 4);
SS_CHECK_FIELD(SSConnectionMessageTextMessage_t, messageCode, 4);
SS_CHECK_FIELD(SSConnectionMessageTextMessage_t, tmeTimeInSec, 8);
SS_CHECK_FIELD(SSConnectionMessageTextMessage_t, tmeIsSet, 12);
static_assert(sizeof(SSSoftWareRevision_t) == 17, "revision text is 17 bytes");
static_assert(sizeof(SSTimersData_t) == 44, "timers are 11 values");

#undef SS_CHECK_FIELD

// Connector names: the vendor domain prefix followed by a fixed path. The
// updater serves the first; the start-up GUI serves the second.
#define SS_CONNECTOR_DOMAIN "/instrument.example"
#define SS_CONNECTOR_SOFTWAREUPGRADE SS_CONNECTOR_DOMAIN "/Vestrel/SoftWareUppgrade"
#define SS_CONNECTOR_SYSTEMSTARTUP SS_CONNECTOR_DOMAIN "/Vestrel/SystemStartUp"

static_assert(sizeof(SS_CONNECTOR_SOFTWAREUPGRADE) == 45, "updater's name is 44 characters");
static_assert(sizeof(SS_CONNECTOR_SYSTEMSTARTUP) == 42, "start-up GUI's name is 41 characters");

// Looks `connectionName` up, retrying while nobody serves it: at most 102
// look-ups, 200 ms apart (about 20.2 s in all). Stores the client connection,
// or nullptr, in *clientToServerConnector. Returns 0 when a connection was
// obtained, -1 when none was found.
int getConnection(const char* connectionName, PtConnectionClient_t** clientToServerConnector);

// Closes a client connection obtained from getConnection.
void destroyConnection(PtConnectionClient_t* clientToServerConnector);

#endif
