/*
 * What the program reports about itself: /api/status as JSON for the page
 * and for scripts, /metrics in Prometheus' text format for monitoring.
 */
#ifndef SERVE_STATUS_H
#define SERVE_STATUS_H

#include <glib.h>

#include "feed.h"
#include "recordings.h"

/* feeds are by camera id, NULL where a camera is not served; recordings is
 * NULL when nothing is recorded; started is the monotonic time
 * (g_get_monotonic_time()) the program started. The strings are the
 * caller's to g_free(). */
gchar *status_json(struct feed *const feeds[2], struct recordings *recordings, gint64 started);
gchar *status_metrics(struct feed *const feeds[2], struct recordings *recordings);

#endif
