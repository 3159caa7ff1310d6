// The updater's own server: receives the start-up GUI's messages (the user's
// answer, back-light changes, turn-off) and exit requests from any client.
//
// A thread of its own starts the connection library, claims the updater's
// connector name (making an older updater that holds it exit), connects the
// request side to the start-up GUI and runs the event loop. The callbacks run
// on that thread, before the message is replied to.
#ifndef UPGR_FROM_STARTUP_HANDLER_H
#define UPGR_FROM_STARTUP_HANDLER_H

#include <cstdint>

#include "PtConnection.h"

enum shUpgradeResponse_t { TerminateUpgrade = 0, ContinueUpgrade = 1 };
// Numerically equal to the record's back-light value. The record's 32-bit
// value is handed on unchanged, whatever the peer sent: the fixed underlying
// type makes every such value a valid shBackLigth_t (without it, a value
// other than 0 or 1 would be undefined behaviour as soon as it is loaded).
enum shBackLigth_t : std::uint32_t { Ligth_Off = 0, Ligth_On = 1 };

typedef void (*shReplyonRequesttoUpgrade_Cb_t)(shUpgradeResponse_t reply, void* data);
typedef void (*shDimScreenCb_t)(shBackLigth_t set, void* data);
typedef void (*shTurnOffSytemCb_t)(void* data);

// Stores the callbacks and starts the server thread with `thread_data` as the
// user data handed to every callback. Returns pthread_create's result: 0, or
// the error number when no thread could be started.
int shCreateInputMsgLoop(shReplyonRequesttoUpgrade_Cb_t shReplyonRequesttoUpgrade_Cb,
                         shDimScreenCb_t shDimScreen_Cb, shTurnOffSytemCb_t shTurnOffSytem_Cb,
                         void* thread_data);

// 1 once the server thread has ended (it then serves nothing), else 0.
int shInputMsgLoopEnded(void);

// The server thread's body.
void* inputHandlerLoop(void* data);

// Run for every client that connects: registers the message handler.
void AppInputMsgconnector_cb(PtConnector_t* connector, PtConnectionServer_t* AppInputMsgconnection,
                             void* data);

// Run for every message: dispatches on the record's operation word, replies,
// and returns the reply record (valid after the call) with its length.
const void* AppInputHandler(PtConnectionServer_t* connection, void* data, unsigned long type,
                            const void* msgptr, unsigned msglen, unsigned* reply_len);

#endif
