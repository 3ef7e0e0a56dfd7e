/*
 * Records one camera's H.264, the access units every client gets, into
 * segments of fragmented MP4 (segments.h names them). Fragments are half a
 * second long, and a power cut loses about the last second; a segment
 * ends on a key frame the encoder is asked for at the boundary, so that the
 * next one starts with the frame after it.
 *
 * The recorder holds the camera open while it records: the linger never
 * closes a recorded camera.
 *
 * Threads: the main loop, except recorder_stats(), which any thread may
 * call.
 */
#ifndef SERVE_RECORDER_H
#define SERVE_RECORDER_H

#include <stdint.h>

#include <glib.h>

#include "feed/feed.h"

struct recorder_config {
    const char *dir;  /* DIR: segments go in DIR/cam<id>/ */
    int segment_s;    /* segment length */
    /* On the main loop: a segment was closed; a write failed (the recorder
     * records nothing more; free it). Either may be NULL. */
    void (*on_segment_closed)(void *user);
    void (*on_failure)(void *user);
    void *user;
};

struct recorder_stats {
    int on;                 /* recording, not paused */
    gchar *segment;         /* the segment being written, relative to DIR; NULL if none */
    uint64_t bytes_total;   /* bytes of every segment written since start-up */
    gchar *error;           /* why recording is paused, else NULL */
    uint64_t errors_total;  /* write failures since start-up */
};

struct recorder;

/* Starts recording `feed` (acquiring it). NULL with `error` set when the
 * pipeline cannot be made. */
struct recorder *recorder_new(struct feed *feed, const struct recorder_config *config, GError **error);
/* Ends the segment being written properly (its last fragment and index on
 * disk), waiting up to `wait_us`, then frees everything and releases the
 * feed. NULL is ignored. */
void recorder_free(struct recorder *recorder, gint64 wait_us);
/* Fills `out`; its strings are the caller's, freed by recorder_stats_clear(). */
void recorder_stats(struct recorder *recorder, struct recorder_stats *out);
void recorder_stats_clear(struct recorder_stats *stats);
/* The path of the segment being written, for retention to spare; the
 * caller frees it. NULL if none. */
gchar *recorder_current_path(struct recorder *recorder);

#endif
