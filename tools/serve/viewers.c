#include "viewers.h"

static int limit;
static int admitted;
static int watching[2][VIEWER_PROTOCOLS];
static uint64_t drops[2];

void viewers_init(int max_clients) { limit = max_clients; }

int viewers_admit(void) {
    if (admitted >= limit) return -1;
    ++admitted;
    return 0;
}

void viewers_leave(void) {
    if (admitted > 0) --admitted;
}

void viewers_watch(int camera, enum viewer_protocol protocol, int delta) {
    if (camera < 0 || camera > 1) return;
    watching[camera][protocol] += delta;
    if (watching[camera][protocol] < 0) watching[camera][protocol] = 0;
}

int viewers_watching(int camera, enum viewer_protocol protocol) {
    return camera < 0 || camera > 1 ? 0 : watching[camera][protocol];
}

void viewers_count_drop(int camera) {
    if (camera >= 0 && camera <= 1) ++drops[camera];
}

uint64_t viewers_drops(int camera) { return camera < 0 || camera > 1 ? 0 : drops[camera]; }
