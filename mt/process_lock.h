/*
 * The one lock of the process under which every call into the camera library
 * and every release of a frame is made, and the clocks reads are timed on.
 */
#ifndef BOARDCAM_MT_PROCESS_LOCK_H
#define BOARDCAM_MT_PROCESS_LOCK_H

#include <stdint.h>

void process_lock(void);
void process_unlock(void);

/* CLOCK_MONOTONIC and CLOCK_REALTIME in nanoseconds. */
int64_t monotonic_ns(void);
int64_t realtime_ns(void);

#endif
