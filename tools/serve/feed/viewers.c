#include "viewers.h"

#include <pthread.h>

/* RTSP clients come and go on gst-rtsp-server's threads, HTTP ones on the
 * main loop: every count is taken under this lock (a pthread mutex, so that
 * ThreadSanitizer sees it). */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int limit;
static int admitted;
static int watching[2][VIEWER_PROTOCOLS];
static uint64_t drops[2];
static int tiers[2][VIEWER_PROTOCOLS][2];

void viewers_init(int max_clients) {
    pthread_mutex_lock(&lock);
    limit = max_clients;
    pthread_mutex_unlock(&lock);
}

int viewers_admit(void) {
    int result = -1;
    pthread_mutex_lock(&lock);
    if (admitted < limit) {
        ++admitted;
        result = 0;
    }
    pthread_mutex_unlock(&lock);
    return result;
}

void viewers_leave(void) {
    pthread_mutex_lock(&lock);
    if (admitted > 0) --admitted;
    pthread_mutex_unlock(&lock);
}

void viewers_watch(int camera, enum viewer_protocol protocol, int delta) {
    if (camera < 0 || camera > 1) return;
    pthread_mutex_lock(&lock);
    watching[camera][protocol] += delta;
    if (watching[camera][protocol] < 0) watching[camera][protocol] = 0;
    pthread_mutex_unlock(&lock);
}

int viewers_watching(int camera, enum viewer_protocol protocol) {
    int count;
    if (camera < 0 || camera > 1) return 0;
    pthread_mutex_lock(&lock);
    count = watching[camera][protocol];
    pthread_mutex_unlock(&lock);
    return count;
}

void viewers_count_drop(int camera) {
    if (camera < 0 || camera > 1) return;
    pthread_mutex_lock(&lock);
    ++drops[camera];
    pthread_mutex_unlock(&lock);
}

uint64_t viewers_drops(int camera) {
    uint64_t count;
    if (camera < 0 || camera > 1) return 0;
    pthread_mutex_lock(&lock);
    count = drops[camera];
    pthread_mutex_unlock(&lock);
    return count;
}

void viewers_tier(int camera, enum viewer_protocol protocol, int tier, int delta) {
    if (camera < 0 || camera > 1 || tier < 0 || tier > 1) return;
    pthread_mutex_lock(&lock);
    tiers[camera][protocol][tier] += delta;
    if (tiers[camera][protocol][tier] < 0) tiers[camera][protocol][tier] = 0;
    pthread_mutex_unlock(&lock);
}

int viewers_on_tier(int camera, enum viewer_protocol protocol, int tier) {
    int count;
    if (camera < 0 || camera > 1 || tier < 0 || tier > 1) return 0;
    pthread_mutex_lock(&lock);
    count = tiers[camera][protocol][tier];
    pthread_mutex_unlock(&lock);
    return count;
}
