// Hook run after a successful update, before the medium is asked out.
// Always 0.
#ifndef SW_UPDATE_POST_ACTIONS_H
#define SW_UPDATE_POST_ACTIONS_H

int PerformPostUpdateActions(void);

#endif
