#include "SwUpdatePostActions.h"

#include "SwUpdateUtils.h"

// The external log of the old software does not survive an update; a
// missing file is no error.
int PerformPostUpdateActions(void)
{
    RemoveFile("/instrumentData/extlog.dat");
    return 0;
}
