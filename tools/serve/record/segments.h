/*
 * The recorded segments on disk: DIR/cam<id>/YYYY-MM-DD/HH-MM-SS.mp4, named
 * by the UTC wall time of the segment's first frame. A name already taken
 * (the clock stepped back) gets a suffix, HH-MM-SS-2.mp4, and so on: a
 * segment is never overwritten.
 *
 * Threads: none of these keeps state; any thread may call them.
 */
#ifndef SERVE_SEGMENTS_H
#define SERVE_SEGMENTS_H

#include <stdint.h>

#include <glib.h>

struct segment {
    gchar *path;       /* DIR/cam<id>/YYYY-MM-DD/HH-MM-SS[-k].mp4 */
    gchar *relative;   /* cam<id>/YYYY-MM-DD/HH-MM-SS[-k].mp4 */
    int camera;
    gint64 start_us;   /* wall time of its first frame, from its name */
    int suffix;        /* 0, or the k of a name taken twice */
    uint64_t bytes;
    gint64 modified_us; /* the file's last write, as the filesystem has it */
};

/* Every segment of `camera` (-1: of every camera) under `dir`, oldest first
 * (by start, then suffix). Files whose names do not parse are left out. The
 * array frees its segments. Never NULL. */
GPtrArray *segments_list(const char *dir, int camera);

/* A new segment's path for a first frame at `start_us` (wall time): the
 * directories are made, and the name is one no file has. NULL with errno
 * set when the directories cannot be made. The caller frees the path. */
gchar *segments_new_path(const char *dir, int camera, gint64 start_us);

/* Parses a relative name as segments_list() gives it; 0 on success. */
int segments_parse(const char *relative, int *camera, gint64 *start_us, int *suffix);

#endif
