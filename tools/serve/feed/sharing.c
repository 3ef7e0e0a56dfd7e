#include "sharing.h"

#include <pthread.h>
#include <string.h>

#include <glib.h>

/* Often enough for a page that polls every second. */
#define SHARING_POLL_US (1000 * 1000)

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
static boardcam_mt_camera_status last[2];
static bool known[2];
static bool watched[2];
static bool running;
static GThread *thread;

static gpointer watch(gpointer data) {
    (void)data;
    pthread_mutex_lock(&lock);
    while (running) {
        int camera;
        for (camera = 0; camera < 2; ++camera) {
            boardcam_mt_camera_status status;
            int32_t result;
            if (!watched[camera]) continue;
            /* Asked with the lock released: an owner may take a while. */
            pthread_mutex_unlock(&lock);
            result = boardcam_mt_status(camera, &status);
            pthread_mutex_lock(&lock);
            known[camera] = result == 0;
            if (result == 0) last[camera] = status;
        }
        {
            const gint64 until = g_get_monotonic_time() + SHARING_POLL_US;
            struct timespec deadline;
            while (running && g_get_monotonic_time() < until) {
                /* A real-time deadline for the condition variable's clock. */
                const gint64 at = g_get_real_time() + (until - g_get_monotonic_time());
                deadline.tv_sec = (time_t)(at / G_USEC_PER_SEC);
                deadline.tv_nsec = (long)(at % G_USEC_PER_SEC) * 1000;
                pthread_cond_timedwait(&wake, &lock, &deadline);
            }
        }
    }
    pthread_mutex_unlock(&lock);
    return NULL;
}

void sharing_watch_start(const bool served[2]) {
    pthread_mutex_lock(&lock);
    watched[0] = served[0];
    watched[1] = served[1];
    if (!running) {
        running = true;
        thread = g_thread_new("sharing-watch", watch, NULL);
    }
    pthread_mutex_unlock(&lock);
}

void sharing_watch_stop(void) {
    GThread *ending;
    pthread_mutex_lock(&lock);
    running = false;
    ending = thread;
    thread = NULL;
    pthread_cond_broadcast(&wake);
    pthread_mutex_unlock(&lock);
    if (ending != NULL) g_thread_join(ending);
}

bool sharing_status(int camera, boardcam_mt_camera_status *out) {
    bool have;
    if (camera < 0 || camera > 1) return false;
    pthread_mutex_lock(&lock);
    have = known[camera];
    if (have) *out = last[camera];
    pthread_mutex_unlock(&lock);
    return have;
}
