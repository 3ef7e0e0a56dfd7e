/*
 * cam<id>.timestamps: each frame's arrival, one line per frame in order, in
 * mkvmerge's "timestamp format v2" (milliseconds from the first frame), so
 * that a Y4M file with a nominal rate can be muxed with its true timing.
 */
#ifndef CAPTURE_TIMESTAMPS_FILE_H
#define CAPTURE_TIMESTAMPS_FILE_H

#include <stdint.h>
#include <stdio.h>

struct timestamps_file {
    FILE *file;
    int64_t first_ns; /* arrival of the first frame; -1 before it */
};

/* Creates the file with its header; 0, or -1 with errno set. */
int timestamps_open(struct timestamps_file *t, const char *path);

/* Appends the frame that arrived at arrival_ns (CLOCK_MONOTONIC); 0, or -1. */
int timestamps_append(struct timestamps_file *t, int64_t arrival_ns);

/* Flushes and closes; 0, or -1 when something was not written. */
int timestamps_close(struct timestamps_file *t);

#endif
