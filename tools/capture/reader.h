/*
 * The readers: one thread per camera, each reading its camera at its own rate
 * through libboardcam-mt and handing every frame to the encoders. A reader
 * that waits for room in the queue leaves its camera's frames unread; the
 * frame metadata counts them as dropped.
 *
 * Each reader starts as soon as its camera is open, since the sensor runs
 * from its opening. What it produced before the first read was never asked
 * for and is not a drop: only gaps between frames read are counted.
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
    long dropped;                  /* frames missed between frames read */
};

struct reader_group {
    struct camera_reader readers[2];
    int count;
    pthread_mutex_t mu;
    int stop;                      /* a reader failed or the capture was ended */
    int failed;                    /* a read or a write failed */
};

/* Prepares one reader per camera of the options; none runs yet. */
void readers_init(struct reader_group *group, const struct capture_options *opts, struct frame_queue *queue,
                  struct encoder_pool *pool, struct timestamps_file timestamps[2]);

/* Starts the reader of the camera in `slot`, now open as `camera`; 0, or -1
 * when its thread could not start. */
int reader_start(struct reader_group *group, int slot, boardcam_mt_camera *camera);

/* Tells every reader to stop after its current frame; a reader waiting for
 * its next frame stops at once. Safe to call more than once. */
void readers_stop(struct reader_group *group);

/* True once every reader has ended. */
int readers_done(struct reader_group *group);

/* Waits for every reader started to end. */
void readers_join(struct reader_group *group);

/* Frames read so far by all readers. */
long readers_total(struct reader_group *group);

double seconds_since(const struct timespec *start);

#endif
