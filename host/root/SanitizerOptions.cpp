// Default sanitizer options for programs that run inside an instrument root.
//
// A root has no procfs, so a sanitizer runtime can neither read its options
// from the environment (it reads /proc/self/environ) nor stop the threads for
// its exit-time leak check (it lists /proc/PID/task): every such program would
// end with a fatal leak-checker error instead of its own exit status. Linked
// into those programs in sanitizer builds, this turns the leak check off for
// them; the address and undefined-behaviour checks stay on. Test processes
// that enter a root themselves keep their leak check (see InstrumentRoot.cpp).
#include "Sanitizers.h"

#if defined(SWU_ASAN)
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif
