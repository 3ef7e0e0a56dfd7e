/*
 * What the program reports about itself: /api/status as JSON for the page
 * and for scripts, /metrics in Prometheus' text format for monitoring.
 */
#ifndef SERVE_STATUS_H
#define SERVE_STATUS_H

#include <glib.h>
#include <json-glib/json-glib.h>

#include "feed/feed.h"

/* What another part of the program adds to status and metrics. Any member
 * may be NULL. Called on the main loop. */
struct status_source {
    /* Members of camera `camera`'s object in /api/status. */
    void (*camera_json)(JsonBuilder *builder, int camera, void *data);
    /* Members of the top-level object, after the cameras. */
    void (*json)(JsonBuilder *builder, void *data);
    /* Metrics, appended after the cameras' own. */
    void (*metrics)(GString *out, void *data);
    void *data;
};

#define STATUS_MAX_SOURCES 4

/* feeds are by camera id, NULL where a camera is not served; `sources` add
 * their parts in order; started is the monotonic time
 * (g_get_monotonic_time()) the program started. The strings are the
 * caller's to g_free(). */
gchar *status_json(struct feed *const feeds[2], const struct status_source *sources, int source_count,
                   gint64 started);
gchar *status_metrics(struct feed *const feeds[2], const struct status_source *sources, int source_count);

#endif
