/*
 * A span of one camera's recordings as one MP4, made from the stored
 * fragments without decoding anything: the samples of the segments it
 * crosses are put in fragments of their own, on one time line, behind the
 * first segment's movie header. It starts at the last key frame at or
 * before the span's start, so that it plays from its first picture, and
 * ends with the last frame that starts before the span's end.
 *
 * Segments whose pictures differ from the first one's (the camera was
 * reconfigured in between) end the span there. A gap between segments
 * (a pause, a fault) is closed up: the export plays on.
 *
 * Threads: the main loop (the body is served there).
 */
#ifndef SERVE_EXPORT_H
#define SERVE_EXPORT_H

#include <stdint.h>

#include <glib.h>

#include "http/ranged_body.h"

struct export_info {
    gint64 start_us;    /* the wall time of its first frame */
    gint64 duration_us; /* of what it plays */
    guint frames;
    guint segments;     /* how many segments it draws on */
};

/* The recordings of `camera` under `dir` from `start_us` (wall time) for
 * `duration_us`. NULL with `error` G_IO_ERROR_NOT_FOUND when nothing was
 * recorded then. */
struct ranged_body *export_span(const char *dir, int camera, gint64 start_us, gint64 duration_us,
                                struct export_info *info, GError **error);

#endif
