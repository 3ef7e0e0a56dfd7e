/*
 * The reading thread: reads every camera in turn, which keeps calls into the
 * library on one thread, and hands each frame to the encoders.
 */
#ifndef CAPTURE_READER_H
#define CAPTURE_READER_H

#include <signal.h>
#include <time.h>

#include "encoder_pool.h"
#include "frame_queue.h"
#include "options.h"
#include "progress.h"

struct read_outcome {
    long read[2];    /* frames read, per camera slot */
    long dropped[2]; /* frame periods that passed without a read */
    int failed;      /* a read failed */
};

/* Reads until every frame is read, a read or a write fails, or *interrupted. */
void read_cameras(const struct capture_options *opts, struct frame_queue *queue, struct encoder_pool *pool,
                  volatile sig_atomic_t *interrupted, const struct progress *progress,
                  const struct timespec *start, struct read_outcome *out);

double seconds_since(const struct timespec *start);

#endif
