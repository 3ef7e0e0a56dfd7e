/*
 * Camera handles: ownership of a camera within the process, reads scheduled
 * outside the process-wide lock, and the flushing switch that interrupts them.
 *
 * Each handle has a mutex of its own that guards its schedule, its switch and
 * its count of reads in progress. It is never held across a library call, and
 * the process-wide lock is never held across a wait.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "boardcam-mt.h"
#include "process_lock.h"
#include "read_schedule.h"

#define CAMERA_COUNT 2

struct boardcam_mt_camera {
    int32_t id;
    pthread_mutex_t mu;
    pthread_cond_t changed; /* flushing switched, or a read ended */
    bool flushing;
    int reads_in_progress;
    bool configured;        /* the last open or reconfiguration succeeded */
    struct read_schedule schedule;
};

/* The handle that owns each camera; guarded by the process-wide lock. */
static boardcam_mt_camera *owners[CAMERA_COUNT];

static int64_t period_of(int32_t fps) { return fps > 0 ? 1000000000LL / fps : 0; }

static boardcam_mt_camera *new_handle(int32_t id) {
    boardcam_mt_camera *camera = calloc(1, sizeof *camera);
    pthread_condattr_t attr;
    if (camera == NULL) return NULL;
    camera->id = id;
    if (pthread_mutex_init(&camera->mu, NULL) != 0) {
        free(camera);
        return NULL;
    }
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (pthread_cond_init(&camera->changed, &attr) != 0) {
        pthread_condattr_destroy(&attr);
        pthread_mutex_destroy(&camera->mu);
        free(camera);
        return NULL;
    }
    pthread_condattr_destroy(&attr);
    return camera;
}

static void free_handle(boardcam_mt_camera *camera) {
    pthread_cond_destroy(&camera->changed);
    pthread_mutex_destroy(&camera->mu);
    free(camera);
}

BOARDCAM_MT_API int32_t boardcam_mt_open(int32_t id, int32_t fps, int32_t width, int32_t height,
                                         boardcam_mt_camera **out) {
    boardcam_mt_camera *camera;
    const int owned = id >= 0 && id < CAMERA_COUNT;
    int64_t opened;
    int32_t result;

    if (out == NULL) return BOARDCAM_MT_ERROR;
    camera = new_handle(id);
    if (camera == NULL) return BOARDCAM_MT_ERROR;
    read_schedule_init(&camera->schedule, period_of(fps), BOARDCAM_MT_GUARD_NS);

    process_lock();
    if (owned && owners[id] != NULL) {
        process_unlock();
        free_handle(camera);
        return BOARDCAM_MT_BUSY;
    }
    /* An id outside 0 and 1 still reaches the library, which reports it.
     * The sensor starts somewhere inside the call: take its middle. */
    opened = monotonic_ns();
    result = OpenCameraEx(id, fps, width, height);
    opened += (monotonic_ns() - opened) / 2;
    if (result == 0 && owned) owners[id] = camera;
    process_unlock();

    if (result != 0 || !owned) {
        free_handle(camera);
        return BOARDCAM_MT_ERROR;
    }
    camera->configured = true;
    read_schedule_opened(&camera->schedule, opened);
    *out = camera;
    return 0;
}

BOARDCAM_MT_API int32_t boardcam_mt_reconfigure(boardcam_mt_camera *camera, int32_t fps, int32_t width,
                                                int32_t height) {
    int64_t opened;
    int32_t result;
    if (camera == NULL) return BOARDCAM_MT_ERROR;
    process_lock();
    opened = monotonic_ns();
    result = OpenCameraEx(camera->id, fps, width, height);
    opened += (monotonic_ns() - opened) / 2;
    process_unlock();

    pthread_mutex_lock(&camera->mu);
    camera->configured = result == 0;
    read_schedule_restart(&camera->schedule, period_of(fps));
    if (result == 0) read_schedule_opened(&camera->schedule, opened);
    pthread_mutex_unlock(&camera->mu);
    return result == 0 ? 0 : BOARDCAM_MT_ERROR;
}

/* Waits, holding only the handle's mutex (released while asleep), until
 * `until` or until the handle flushes. Returns false when it flushes. */
static bool wait_until(boardcam_mt_camera *camera, int64_t until) {
    struct timespec deadline;
    deadline.tv_sec = (time_t)(until / 1000000000);
    deadline.tv_nsec = (long)(until % 1000000000);
    while (!camera->flushing && monotonic_ns() < until) {
        const int rc = pthread_cond_timedwait(&camera->changed, &camera->mu, &deadline);
        if (rc == ETIMEDOUT) break;
    }
    return !camera->flushing;
}

static void end_read(boardcam_mt_camera *camera) {
    if (--camera->reads_in_progress == 0) pthread_cond_broadcast(&camera->changed);
    pthread_mutex_unlock(&camera->mu);
}

BOARDCAM_MT_API int32_t boardcam_mt_read(boardcam_mt_camera *camera, boardcam_mt_frame *frame) {
    CameraFrame record = {0, NULL};
    int64_t start, end, wall;
    int64_t wake;
    int32_t result;
    uint64_t sequence;
    uint32_t dropped;

    if (camera == NULL || frame == NULL) return BOARDCAM_MT_ERROR;
    pthread_mutex_lock(&camera->mu);
    ++camera->reads_in_progress;
    wake = read_schedule_next_read(&camera->schedule);
    if (camera->flushing || (wake != INT64_MIN && !wait_until(camera, wake))) {
        end_read(camera);
        return BOARDCAM_MT_INTERRUPTED;
    }
    pthread_mutex_unlock(&camera->mu);

    process_lock();
    start = monotonic_ns();
    result = ReadCameraFrame(camera->id, &record);
    end = monotonic_ns();
    wall = realtime_ns();
    process_unlock();

    pthread_mutex_lock(&camera->mu);
    if (result != 0) {
        end_read(camera);
        return BOARDCAM_MT_ERROR;
    }
    read_schedule_frame_read(&camera->schedule, wake, start, end, &sequence, &dropped);
    end_read(camera);

    frame->data = record.data;
    frame->size = record.size;
    frame->sequence = sequence;
    frame->dropped = dropped;
    frame->monotonic_ns = end;
    frame->realtime_ns = wall;
    return 0;
}

BOARDCAM_MT_API void boardcam_mt_set_flushing(boardcam_mt_camera *camera, bool flushing) {
    if (camera == NULL) return;
    pthread_mutex_lock(&camera->mu);
    camera->flushing = flushing;
    pthread_cond_broadcast(&camera->changed);
    pthread_mutex_unlock(&camera->mu);
}

BOARDCAM_MT_API int32_t boardcam_mt_close(boardcam_mt_camera *camera) {
    int32_t result = 0;
    bool configured;
    if (camera == NULL) return 0;

    /* Interrupt a waiting read and wait out one inside the library. */
    pthread_mutex_lock(&camera->mu);
    camera->flushing = true;
    pthread_cond_broadcast(&camera->changed);
    while (camera->reads_in_progress > 0) pthread_cond_wait(&camera->changed, &camera->mu);
    configured = camera->configured;
    pthread_mutex_unlock(&camera->mu);

    process_lock();
    /* A refused configuration has already closed the camera. */
    if (configured) result = CloseCameraEx(camera->id);
    owners[camera->id] = NULL;
    process_unlock();

    free_handle(camera);
    return result == 0 ? 0 : BOARDCAM_MT_ERROR;
}

BOARDCAM_MT_API int32_t boardcam_mt_camera_id(const boardcam_mt_camera *camera) {
    return camera != NULL ? camera->id : -1;
}
