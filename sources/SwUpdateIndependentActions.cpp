#include "SwUpdateIndependentActions.h"

// Nothing needs doing on every start in this release.
int PerformUpdateIndependentActions(void)
{
    return 0;
}
