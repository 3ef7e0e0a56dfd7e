/*
 * The encoders: threads that take frames off the queue, write them and
 * release their device buffers. After a failed write the rest of the queue
 * is released unwritten, and the reader is told to stop.
 */
#ifndef CAPTURE_ENCODER_POOL_H
#define CAPTURE_ENCODER_POOL_H

#include <pthread.h>

#include "frame_queue.h"
#include "frame_writer.h"

struct encoder_pool {
    struct frame_queue *queue;
    pthread_t *threads;
    struct frame_writer *writers;
    int count;              /* threads started */
    pthread_mutex_t mu;     /* guards what follows */
    long written[2];        /* frames written, per camera slot */
    long long bytes;        /* bytes written */
    long failures;          /* writes that failed */
};

/* Starts `jobs` encoders on `queue`; 0, or -1 when none could start. */
int encoder_pool_start(struct encoder_pool *pool, struct frame_queue *queue,
                       const struct frame_writer_config *config, int jobs);

/* Waits for the encoders to empty the closed queue and end. */
void encoder_pool_join(struct encoder_pool *pool);

/* Frames written so far from one camera slot. */
long encoder_pool_written(struct encoder_pool *pool, int slot);

/* True once a write has failed. */
int encoder_pool_failed(struct encoder_pool *pool);

#endif
