// The system library's millisecond pause, which the host's C library lacks.
#ifndef HOST_DELAY_H
#define HOST_DELAY_H

// Suspends the calling thread for `duration` milliseconds. Returns 0 (the
// host has no signal-shortened pauses to report: an interrupted pause is
// resumed for the time left).
unsigned int delay(unsigned int duration);

#endif
