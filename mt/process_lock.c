#define _POSIX_C_SOURCE 200809L

#include "process_lock.h"

#include <pthread.h>
#include <string.h>
#include <time.h>

#include "boardcam-mt.h"

static pthread_mutex_t library_lock = PTHREAD_MUTEX_INITIALIZER;

void process_lock(void) { pthread_mutex_lock(&library_lock); }

void process_unlock(void) { pthread_mutex_unlock(&library_lock); }

static int64_t clock_ns(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

int64_t monotonic_ns(void) { return clock_ns(CLOCK_MONOTONIC); }

int64_t realtime_ns(void) { return clock_ns(CLOCK_REALTIME); }

BOARDCAM_MT_API void boardcam_mt_lock(void) { process_lock(); }

BOARDCAM_MT_API void boardcam_mt_unlock(void) { process_unlock(); }

BOARDCAM_MT_API void boardcam_mt_table(CameraMgr *out) {
    if (out == NULL) return;
    process_lock();
    memcpy(out, &g_CameraMgr, sizeof *out);
    process_unlock();
}
