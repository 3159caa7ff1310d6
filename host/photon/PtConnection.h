// Named request-and-reply connections between processes, under the names the
// target platform's windowing library gives them.
//
// Host implementation: a connector name N is served on the abstract Unix
// socket address "\0N" (no terminating zero) of type SOCK_SEQPACKET. A
// request is one packet holding the message type as a 4-byte little-endian
// unsigned integer followed by the record; a reply is one packet holding the
// reply record. A name is served by one process at most; a look-up is a
// connect to the address; every request is answered by exactly one reply, in
// the order received, from the thread running PtMainLoop.
//
// Not modelled: the windowing side of the library (widgets, regions, draw
// events), connection user data other than the connector's, event handlers
// other than the message handlers, and connections between machines.
#ifndef PT_CONNECTION_H
#define PT_CONNECTION_H

#include <cstddef>

struct PtConnector;
struct PtConnectionServer;
struct PtConnectionClient;
typedef struct PtConnector PtConnector_t;
typedef struct PtConnectionServer PtConnectionServer_t;
typedef struct PtConnectionClient PtConnectionClient_t;

// Run on the event-loop thread once per connecting client, with the
// connector's user data. The callback registers message handlers on the new
// server connection, or destroys it to refuse the client.
typedef void PtConnectorCallbackFunc_t(PtConnector_t* connector, PtConnectionServer_t* connection,
                                       void* data);

// Run on the event-loop thread once per request. `data` is the user data of
// the connector that accepted the client. The handler either replies itself
// with PtConnectionReply, or returns the reply record and stores its length
// through reply_len; the returned record must stay valid after the handler
// returns. When the handler has replied itself, the returned record is not
// sent again. Returning nullptr without replying leaves the client blocked
// until PtConnectionReply is called for the connection later.
typedef const void* PtConnectionMsgFunc_t(PtConnectionServer_t* connection, void* data,
                                          unsigned long type, const void* msgptr,
                                          unsigned msglen, unsigned* reply_len);

// One entry of a handler table. Type 0 receives every message type that no
// other entry of the connection names.
typedef struct {
    unsigned long type;
    PtConnectionMsgFunc_t* fun;
} PtConnectionMsgHandler_t;

// Starts the library on the calling process. Returns 0, or -1 when it cannot
// start. Must be called before connectors are created or the loop is run.
int PtInit(const char* display);

// Runs the event loop on the calling thread: accepts clients (connector
// callbacks) and runs message handlers, all on this thread. Returns only after
// PtQuitMainLoop.
void PtMainLoop(void);

// Makes PtMainLoop return after the event it is handling. Any thread.
void PtQuitMainLoop(void);

// Ends the process with `status` (standard streams are flushed first; other
// threads are not waited for and no destructors run).
void PtExit(int status);

// Serves `name`. Returns the connector, or nullptr when another process (or
// this one) already serves the name, the name is too long, or PtInit has not
// been called.
PtConnector_t* PtConnectorCreate(const char* name, PtConnectorCallbackFunc_t* cb, void* data);

// Adds `count` entries to the connection's handler table. Returns 0, or -1
// for a null connection or table.
int PtConnectionAddMsgHandlers(PtConnectionServer_t* connection,
                               const PtConnectionMsgHandler_t* handlers, unsigned count);

// Sends the reply to the request the connection is handling. Returns 0, or -1
// when there is no request to answer or the client has gone.
int PtConnectionReply(PtConnectionServer_t* connection, std::size_t len, const void* reply);

// Drops a client's connection; a client blocked in a send gets a negative
// result. May be called from a connector callback or a handler.
int PtConnectionServerDestroy(PtConnectionServer_t* connection);

// Looks `name` up. Returns a client connection to the process serving it, or
// nullptr when nobody serves it. `flags` and `timeout` must be 0 here.
PtConnectionClient_t* PtConnectionFindName(const char* name, int flags, int timeout);

// Sends one request of `type` holding the `msglen` bytes of `msg` and blocks
// until its reply is in `reply` (at most `replylen` bytes). Returns the length
// of the reply received (> 0), 0 when the reply was empty, or -1 with errno
// set when the send failed or the server dropped the connection before
// replying. Sends over one connection from several threads are serialised.
int PtConnectionSend(PtConnectionClient_t* connection, unsigned long type, const void* msg,
                     void* reply, std::size_t msglen, std::size_t replylen);

// Closes a client connection. Returns 0, or -1 for a null connection.
int PtConnectionClientDestroy(PtConnectionClient_t* connection);

#endif
