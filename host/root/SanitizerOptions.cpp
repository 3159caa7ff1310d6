// Default sanitizer options for programs that run inside an instrument root.
//
// A root has no procfs, so a sanitizer runtime can neither read its options
// from the environment (it reads /proc/self/environ) nor stop the threads for
// its exit-time leak check (it lists /proc/PID/task): every such program would
// end with a fatal leak-checker error instead of its own exit status. Linked
// into those programs in sanitizer builds, this turns the leak check off for
// them; the address and undefined-behaviour checks stay on. Test processes
// that enter a root themselves keep their leak check (see InstrumentRoot.cpp).
//
// A run on the simulated clock preloads libfaketime into these programs (and
// into the shell and tools they start, which are not sanitizer builds). The
// address sanitizer's runtime, linked into the program, then no longer comes
// first in the library list; it refuses to start in that case unless told
// that this is intended. Preloading the runtime itself instead would load it
// into the shell and the tools too, where it and libfaketime's clock
// deadlock while starting.
#include "Sanitizers.h"

#if defined(SWU_ASAN)
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0:verify_asan_link_order=0";
}
#endif
