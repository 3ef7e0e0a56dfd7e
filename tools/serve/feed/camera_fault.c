#include "camera_fault.h"

guint camera_fault_failed(struct camera_fault *fault, const char *message, gint64 now_real_us) {
    guint delay = CAMERA_FAULT_FIRST_RETRY_MS;
    unsigned i;
    if (fault->message == NULL) fault->since_us = now_real_us;
    g_free(fault->message);
    fault->message = g_strdup(message != NULL ? message : "the capture failed");
    ++fault->total;
    ++fault->attempts;
    for (i = 1; i < fault->attempts && delay < CAMERA_FAULT_LAST_RETRY_MS; ++i) delay *= 2;
    return delay < CAMERA_FAULT_LAST_RETRY_MS ? delay : CAMERA_FAULT_LAST_RETRY_MS;
}

unsigned camera_fault_recovered(struct camera_fault *fault) {
    const unsigned ended = fault->attempts;
    /* Called for every frame: nothing to do while none failed. */
    if (fault->message == NULL) return 0;
    g_free(fault->message);
    fault->message = NULL;
    fault->attempts = 0;
    return ended;
}

gchar *camera_fault_since_text(const struct camera_fault *fault) {
    GDateTime *when = g_date_time_new_from_unix_utc(fault->since_us / G_USEC_PER_SEC);
    gchar *text = when != NULL ? g_date_time_format(when, "%Y-%m-%dT%H:%M:%SZ") : g_strdup("");
    if (when != NULL) g_date_time_unref(when);
    return text;
}

void camera_fault_clear(struct camera_fault *fault) {
    g_free(fault->message);
    fault->message = NULL;
}
