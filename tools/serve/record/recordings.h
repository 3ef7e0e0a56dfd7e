/*
 * Every recorded camera and the retention over DIR: retention runs at the
 * start and at each segment's end. A write that fails, or a disk that stays
 * short of the free space asked for once retention has freed what it may,
 * pauses that camera's recording with an error; it is tried again every few
 * seconds and resumes in a new segment when space returns. Streaming goes
 * on meanwhile. A camera that fails ends its segment, and recording goes on
 * in a new one when its frames return; a recorded camera is held open (and
 * retried) for as long as it is recorded.
 *
 * Threads: the main loop, except recordings_stats(), which any thread may
 * call.
 */
#ifndef SERVE_RECORDINGS_H
#define SERVE_RECORDINGS_H

#include <stdint.h>

#include <glib.h>

#include "feed/feed.h"
#include "retention.h"

struct recordings_config {
    const char *dir;
    int segment_s;
    struct retention_policy retention;
};

struct recording_stats {
    int on;                /* recording now */
    gchar *segment;        /* relative to DIR; NULL if none */
    uint64_t bytes_total;  /* written since start-up */
    gchar *error;          /* why recording is paused, else NULL */
    uint64_t errors_total;
};

struct recordings;

/* Records feeds[i] for each i where feeds[i] is not NULL. */
struct recordings *recordings_start(struct feed *const feeds[2], const struct recordings_config *config);
/* Closes every segment properly, waiting up to `wait_us` for each. NULL is
 * ignored. */
void recordings_stop(struct recordings *recordings, gint64 wait_us);
/* 0 and `out` filled for a recorded camera; -1 for one not recorded. The
 * strings are the caller's: recording_stats_clear(). */
int recordings_stats(struct recordings *recordings, int camera, struct recording_stats *out);
void recording_stats_clear(struct recording_stats *stats);
/* DIR; NULL for `recordings` NULL. */
const char *recordings_dir(const struct recordings *recordings);
/* The disk under DIR; 0 on success. */
int recordings_disk(struct recordings *recordings, uint64_t *free_bytes, uint64_t *total_bytes);

#endif
