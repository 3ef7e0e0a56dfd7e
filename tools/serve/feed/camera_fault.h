/*
 * What a failing camera tells its users: the last error, since when the
 * camera has been failing, how often it failed, and when to try it again.
 *
 * The retries back off, 1 s after the first failure and doubling up to 30 s,
 * so that a camera that is gone for good costs the board one attempt every
 * half minute. Frames flowing again clear the error and the back-off; the
 * count of failures is kept for the program's life.
 *
 * Not locked: the feed that owns one guards it with its own lock.
 */
#ifndef SERVE_CAMERA_FAULT_H
#define SERVE_CAMERA_FAULT_H

#include <stdint.h>

#include <glib.h>

#define CAMERA_FAULT_FIRST_RETRY_MS 1000u
#define CAMERA_FAULT_LAST_RETRY_MS 30000u

struct camera_fault {
    gchar *message;      /* the newest error while failing, else NULL */
    gint64 since_us;     /* wall time (g_get_real_time()) of the first failure of this outage */
    uint64_t total;      /* failures since the program started */
    unsigned attempts;   /* failures in a row, since frames last flowed */
};

/* Records one failure with its message (copied); returns how many
 * milliseconds to wait before the next attempt. */
guint camera_fault_failed(struct camera_fault *fault, const char *message, gint64 now_real_us);

/* Frames flow again; returns the failures in a row that this ends (0 when
 * the camera was not failing). */
unsigned camera_fault_recovered(struct camera_fault *fault);

/* "2026-12-09T01:02:03Z": since_us as UTC, for status; the caller frees it. */
gchar *camera_fault_since_text(const struct camera_fault *fault);

void camera_fault_clear(struct camera_fault *fault);

#endif
