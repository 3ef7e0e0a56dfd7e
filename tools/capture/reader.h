/*
 * The readers: one thread per camera, each reading its camera at its own rate
 * through libboardcam-mt and handing every frame to the encoders. A reader
 * that waits for room in the queue leaves its camera's frames unread; the
 * frame metadata counts them as dropped.
 */
#ifndef CAPTURE_READER_H
#define CAPTURE_READER_H

#include <pthread.h>
#include <time.h>

#include "boardcam-mt.h"
#include "encoder_pool.h"
#include "frame_queue.h"
#include "options.h"
#include "timestamps_file.h"

struct camera_reader {
    int slot;                      /* index of the camera in the options */
    boardcam_mt_camera *camera;    /* the open camera */
    const struct capture_options *opts;
    struct frame_queue *queue;
    struct encoder_pool *pool;
    struct timestamps_file *timestamps;
    struct reader_group *group;
    pthread_t thread;
    int started;
    long read;                     /* frames read and queued */
    long dropped;                  /* frames the camera produced that were never read */
};

struct reader_group {
    struct camera_reader readers[2];
    int count;
    pthread_mutex_t mu;
    int stop;                      /* a reader failed or the capture was ended */
    int failed;                    /* a read or a write failed */
};

/* Starts one reader per open camera; 0, or -1 when a thread could not start
 * (the readers already started are stopped and joined). */
int readers_start(struct reader_group *group, const struct capture_options *opts, boardcam_mt_camera *cameras[2],
                  struct frame_queue *queue, struct encoder_pool *pool, struct timestamps_file timestamps[2]);

/* Tells every reader to stop after its current frame; a reader waiting for
 * its next frame stops at once. Safe to call more than once. */
void readers_stop(struct reader_group *group);

/* True once every reader has ended. */
int readers_done(struct reader_group *group);

/* Waits for every reader to end. */
void readers_join(struct reader_group *group);

/* Frames read so far by all readers. */
long readers_total(struct reader_group *group);

double seconds_since(const struct timespec *start);

#endif
