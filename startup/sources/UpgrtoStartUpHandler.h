// Requests from the updater to the start-up GUI.
//
// Each request builds its record, sends it over the updater's client
// connection to the start-up GUI's connector and waits for the 4-byte reply.
// The connection is made by the first request (or by connectUpgradeToStartUp)
// and held until the process ends. Results: 0 accepted (or a send that
// completed without a reply to examine), -1 no connection (nothing sent), -2
// the start-up GUI replied with a status other than success, or the send's own
// negative result.
#ifndef UPGR_TO_STARTUP_HANDLER_H
#define UPGR_TO_STARTUP_HANDLER_H

#include <cstdint>

// A version text of at most 16 characters and its terminator. Longer texts
// given to a request are cut to their first 16 characters.
typedef char SoftwareRevisionNumber_t[17];

// Numerically equal to the record's upgrade state and copied into it unchanged.
enum SoftwareUpgradeState_t { SWNone = 0, SWUpgrade = 1, SWRevert = 2 };

typedef std::uint32_t shprogressValues_t[10];
typedef std::uint32_t* shprogressValuesPtr_t;

// Makes the connection to the start-up GUI if none is held (up to 102
// look-ups, 200 ms apart). Safe to call from any thread.
void connectUpgradeToStartUp(void);

// The instrument is ready; `currentSWRevision` is the installed version text.
int shSendInstrumentReady(const char* currentSWRevision);
// Asks the user whether to update to `upgradeSWtoRevision`.
int shSendRequesttoUpgrade(const SoftwareRevisionNumber_t upgradeSWtoRevision);
// The update is in progress. The version text is sent only with SWRevert.
int shSendContinueUpgrade(SoftwareUpgradeState_t upgradeInProgressState,
                          const SoftwareRevisionNumber_t revertSWtoRevision);
// The 10 progress values, sent as they are.
int shSendProgressTimers(shprogressValuesPtr_t times);
// Asks the start-up GUI to exit (operation SS_MSGTYPE_EXIT).
int shSendTurnOff(void);
// Shows an ErrorId code.
int shSendError(unsigned int code);
// Shows a MessageId code without a time-out.
int shSendMessage(unsigned int code);
// Shows a MessageId code with a time-out in seconds.
int shSendMessageTme(unsigned int code, unsigned int timeOuttime_s);

#endif
