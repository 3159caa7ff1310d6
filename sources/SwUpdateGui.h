// The screen operations of the update sequence. The updater shows nothing
// itself: every operation is one request to the start-up GUI, and the question
// to the user waits until the start-up GUI's answer has come in through the
// updater's own server thread.
#ifndef SW_UPDATE_GUI_H
#define SW_UPDATE_GUI_H

#include "UpgrfromStartUpHandler.h"

enum updateResponse { UpdateTerminate = 0, UpdateContinue = 1 };

// Starts the server thread, then waits 3 s so that it can find the start-up
// GUI. Returns the thread-creation result: 0, or the error number.
int GUI_Initialize(void);

// The instrument is ready; shows the installed version text.
void GUI_SetCurrentVersion(const char* version);
// The estimated duration of the update in seconds, for the progress display.
void GUI_SetUpdateTimers(int time);
// Sends the progress values 60, 0, iSecToCompl, 65535 (the rest zero).
// Returns the request's result.
int GUI_SetProgressBar(int iSecToCompl);
// Asks the user whether to update to pNewVersion and waits, without a time
// limit, for the answer. Returns 1 when the user chose to update, else 0; also
// 0 at once when the question could not be delivered or no server runs that
// could deliver an answer.
int GUI_InquireUpdate(const char* pNewVersion);
// The update is in progress (the version text is not transmitted).
void GUI_SetUpdatingText(const char* toVersion);
// Message screens: remove the medium, update failed, not compatible.
void GUI_RemoveMsd(void);
void GUI_DisplayErrorScreen(void);
void GUI_DisplayNotCompatible(void);
// The failure screen followed by the log-CRC error code.
void GUI_DisplayCrcError(void);

// Callbacks run on the server thread.
void GUI_IcRequestUpgradeReply(shUpgradeResponse_t reply, void* data);
void GUI_IcDimScreen(shBackLigth_t set, void* data);
void GUI_IcTurnOffSytem(void* data);

#endif
