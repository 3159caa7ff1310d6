// Hook run on every start, after the GUI link is up and before the version
// check, whether or not an update is made. 0 on success.
#ifndef SW_UPDATE_INDEPENDENT_ACTIONS_H
#define SW_UPDATE_INDEPENDENT_ACTIONS_H

int PerformUpdateIndependentActions(void);

#endif
