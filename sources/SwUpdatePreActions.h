// Hook run after the user agreed to the update and before anything is
// validated, backed up or unpacked. 0 on success; otherwise the update is
// abandoned.
#ifndef SW_UPDATE_PRE_ACTIONS_H
#define SW_UPDATE_PRE_ACTIONS_H

// Runs the repartition script delivered with the update; returns its raw
// command status.
int PerformPreUpdateActions(void);

#endif
