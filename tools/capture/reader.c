#define _POSIX_C_SOURCE 200809L

#include "reader.h"

#include <stdio.h>

#include "library_log.h"

#define PROGRAM "boardcam-capture"

double seconds_since(const struct timespec *start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

static int should_stop(struct camera_reader *r) {
    int stop;
    pthread_mutex_lock(&r->group->mu);
    stop = r->group->stop;
    pthread_mutex_unlock(&r->group->mu);
    return stop || encoder_pool_failed(r->pool);
}

static void fail(struct camera_reader *r) {
    pthread_mutex_lock(&r->group->mu);
    r->group->failed = 1;
    pthread_mutex_unlock(&r->group->mu);
    readers_stop(r->group);
}

static void *read_camera(void *arg) {
    struct camera_reader *r = arg;
    const int id = boardcam_mt_camera_id(r->camera);
    long index;
    for (index = 0; r->opts->frames == 0 || index < r->opts->frames; ++index) {
        struct frame_job job;
        int result;
        if (should_stop(r)) break;
        job.slot = r->slot;
        job.camera = id;
        job.index = index;
        result = boardcam_mt_read(r->camera, &job.frame);
        if (result == BOARDCAM_MT_INTERRUPTED) break;
        if (result != 0) {
            fprintf(stderr, PROGRAM ": camera %d: reading frame %ld failed%s\n", id, index, library_log_hint());
            fail(r);
            break;
        }
        /* Waits while the encoders are behind: the queue bounds device memory. */
        if (frame_queue_push(r->queue, &job) != 0) {
            boardcam_mt_release_frame(job.frame.data);
            break;
        }
        /* Frames the sensor made before the first read were never asked for. */
        if (index > 0) r->dropped += job.frame.dropped;
        pthread_mutex_lock(&r->group->mu);
        ++r->read;
        pthread_mutex_unlock(&r->group->mu);
        if (r->timestamps->file != NULL && timestamps_append(r->timestamps, job.frame.monotonic_ns) != 0) {
            fprintf(stderr, PROGRAM ": cannot write cam%d.timestamps\n", id);
            fail(r);
            break;
        }
    }
    return NULL;
}

void readers_init(struct reader_group *group, const struct capture_options *opts, struct frame_queue *queue,
                  struct encoder_pool *pool, struct timestamps_file timestamps[2]) {
    int c;
    pthread_mutex_init(&group->mu, NULL);
    group->stop = group->failed = 0;
    group->count = opts->camera_count;
    for (c = 0; c < group->count; ++c) {
        struct camera_reader *r = &group->readers[c];
        r->slot = c;
        r->camera = NULL;
        r->opts = opts;
        r->queue = queue;
        r->pool = pool;
        r->timestamps = &timestamps[c];
        r->group = group;
        r->read = r->dropped = 0;
        r->started = 0;
    }
}

int reader_start(struct reader_group *group, int slot, boardcam_mt_camera *camera) {
    struct camera_reader *r = &group->readers[slot];
    int stopped;
    pthread_mutex_lock(&group->mu);
    r->camera = camera;
    stopped = group->stop;
    pthread_mutex_unlock(&group->mu);
    /* A stop that came before this camera was known must still reach it. */
    if (stopped) boardcam_mt_set_flushing(camera, true);
    r->started = pthread_create(&r->thread, NULL, read_camera, r) == 0;
    return r->started ? 0 : -1;
}

void readers_stop(struct reader_group *group) {
    boardcam_mt_camera *cameras[2] = {NULL, NULL};
    int c;
    pthread_mutex_lock(&group->mu);
    group->stop = 1;
    for (c = 0; c < group->count; ++c) cameras[c] = group->readers[c].camera;
    pthread_mutex_unlock(&group->mu);
    for (c = 0; c < group->count; ++c) boardcam_mt_set_flushing(cameras[c], true);
}

int readers_done(struct reader_group *group) {
    long total = 0, wanted = 0;
    int c, stop;
    pthread_mutex_lock(&group->mu);
    stop = group->stop;
    for (c = 0; c < group->count; ++c) total += group->readers[c].read;
    pthread_mutex_unlock(&group->mu);
    if (stop) return 1;
    if (group->readers[0].opts->frames == 0) return 0;
    wanted = group->readers[0].opts->frames * group->count;
    return total >= wanted;
}

void readers_join(struct reader_group *group) {
    int c;
    for (c = 0; c < group->count; ++c) {
        if (group->readers[c].started) pthread_join(group->readers[c].thread, NULL);
        group->readers[c].started = 0;
    }
}

long readers_total(struct reader_group *group) {
    long total = 0;
    int c;
    pthread_mutex_lock(&group->mu);
    for (c = 0; c < group->count; ++c) total += group->readers[c].read;
    pthread_mutex_unlock(&group->mu);
    return total;
}
