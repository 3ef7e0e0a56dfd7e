/*
 * A bounded queue of captured frames between the reading thread and the
 * encoders. What travels is the device buffer itself; whoever takes a frame
 * off the queue owns it and releases it with boardcam_mt_release_frame().
 */
#ifndef CAPTURE_FRAME_QUEUE_H
#define CAPTURE_FRAME_QUEUE_H

#include <pthread.h>
#include <stddef.h>

#include "boardcam-mt.h"

struct frame_job {
    int slot;          /* index of the camera in the options: 0 or 1 */
    int camera;        /* camera id */
    long index;        /* frame number of that camera, from 0 */
    boardcam_mt_frame frame; /* the device buffer, owned by the job */
};

struct frame_queue {
    pthread_mutex_t mu;
    pthread_cond_t not_empty, not_full;
    struct frame_job *jobs;
    size_t capacity, head, count;
    int closed;
};

/* 0, or -1 when memory runs out. */
int frame_queue_init(struct frame_queue *q, size_t capacity);
void frame_queue_destroy(struct frame_queue *q);

/* Waits for room; 0 when queued, -1 when the queue was closed (the caller keeps the frame). */
int frame_queue_push(struct frame_queue *q, const struct frame_job *job);

/* Waits for a frame; 0 when one was taken, -1 when the queue is closed and empty. */
int frame_queue_pop(struct frame_queue *q, struct frame_job *job);

/* No more frames will come; waiting encoders finish what is queued and return. */
void frame_queue_close(struct frame_queue *q);

#endif
