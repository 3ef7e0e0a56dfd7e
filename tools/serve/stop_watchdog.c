#define _POSIX_C_SOURCE 200809L

#include "stop_watchdog.h"

#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#define PROGRAM "boardcam-serve"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static pthread_t thread;
static int running, finished, cameras_closed;
static const char *stage = "the start of the stop";
static struct timespec deadline;

static void *watch(void *data) {
    (void)data;
    pthread_mutex_lock(&lock);
    while (!finished) {
        const int timed_out = pthread_cond_timedwait(&changed, &lock, &deadline) != 0;
        if (finished) break;
        if (timed_out && cameras_closed) {
            fprintf(stderr, PROGRAM ": the stop was held up for %d s in %s; ending without it. Stopped; every camera "
                            "is closed\n", STOP_WATCHDOG_MS / 1000, stage);
            fflush(stderr);
            _exit(0);
        }
        if (timed_out) {
            /* Closing a camera is not to be cut short: look again soon. */
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_nsec += 100 * 1000 * 1000;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec += 1;
                deadline.tv_nsec -= 1000000000L;
            }
        }
    }
    pthread_mutex_unlock(&lock);
    return NULL;
}

void stop_watchdog_start(long long started_us) {
    pthread_condattr_t attributes;
    const long long end_us = started_us + (long long)STOP_WATCHDOG_MS * 1000;
    pthread_mutex_lock(&lock);
    /* The deadline is on the monotonic clock, which g_get_monotonic_time() reads too. */
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_destroy(&changed);
    pthread_cond_init(&changed, &attributes);
    pthread_condattr_destroy(&attributes);
    deadline.tv_sec = (time_t)(end_us / 1000000);
    deadline.tv_nsec = (long)(end_us % 1000000) * 1000;
    finished = 0;
    running = pthread_create(&thread, NULL, watch, NULL) == 0;
    pthread_mutex_unlock(&lock);
    if (!running) fprintf(stderr, PROGRAM ": warning: no watchdog for the stop\n");
}

void stop_watchdog_stage(const char *now) {
    pthread_mutex_lock(&lock);
    stage = now;
    pthread_mutex_unlock(&lock);
}

void stop_watchdog_cameras_closed(void) {
    pthread_mutex_lock(&lock);
    cameras_closed = 1;
    pthread_mutex_unlock(&lock);
}

void stop_watchdog_finish(void) {
    pthread_mutex_lock(&lock);
    finished = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    if (running) pthread_join(thread, NULL);
    running = 0;
}
