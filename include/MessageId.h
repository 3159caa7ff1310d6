// Instrument-wide message codes: texts the start-up GUI shows on request.
// Only the members the updater sends are listed here.
#ifndef MESSAGE_ID_H
#define MESSAGE_ID_H

enum MessageId {
    cSWUpdateRemoveMSD = 2000,     // "remove the update medium" screen
    cSWUpdateFailedGiveUp = 2006,  // update failed, nothing more will be tried
    cSWUpdateNotCompatible = 2008  // the update may not be installed on this instrument
};

// Name of a known code ("cSWUpdateRemoveMSD"), or nullptr.
const char* MessageIdName(int code);

#endif
