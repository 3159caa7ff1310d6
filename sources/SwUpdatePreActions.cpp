#include "SwUpdatePreActions.h"

#include "SwUpdateUtils.h"
#include "Trace.h"

namespace {

// Runs "/tmp/FlashRepartition.sh" by path (it must be present and
// executable) and returns its command status.
int FlashRepartition(void)
{
    TRACE("Flash repartition started\n");
    const int status = CmdRun("/tmp/FlashRepartition.sh");
    TRACE("Flash repartition done(%d)!\n", status);
    return status;
}

}  // namespace

int PerformPreUpdateActions(void)
{
    return FlashRepartition();
}
