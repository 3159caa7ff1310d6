// Kept in a file of its own so that a test can link its own pause in place of
// this one (for example one that counts the pauses).
#include "HostDelay.h"

#include <cerrno>
#include <ctime>

unsigned int delay(unsigned int duration)
{
    struct timespec left;
    left.tv_sec = duration / 1000;
    left.tv_nsec = static_cast<long>(duration % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}
