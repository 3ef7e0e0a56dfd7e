#define _POSIX_C_SOURCE 200809L

#include "reader.h"

#include <stdio.h>

#include "boardcam.h"
#include "vekpimo.h"

#define PROGRAM "boardcam-capture"

double seconds_since(const struct timespec *start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

/* A camera delivers a frame per period; a read that comes more than 1.5
 * periods after the previous one has missed the periods in between. */
static long missed_periods(double gap, double period) {
    if (gap <= 1.5 * period) return 0;
    return (long)(gap / period + 0.5) - 1;
}

void read_cameras(const struct capture_options *opts, struct frame_queue *queue, struct encoder_pool *pool,
                  volatile sig_atomic_t *interrupted, const struct progress *progress,
                  const struct timespec *start, struct read_outcome *out) {
    const double period = 1.0 / opts->fps;
    double last_read[2] = {-1.0, -1.0};
    long round;
    int c;

    out->read[0] = out->read[1] = 0;
    out->dropped[0] = out->dropped[1] = 0;
    out->failed = 0;
    for (round = 0; round < opts->frames && !out->failed && !*interrupted && !encoder_pool_failed(pool);
         ++round) {
        for (c = 0; c < opts->camera_count; ++c) {
            struct frame_job job;
            double now;
            job.slot = c;
            job.camera = opts->cameras[c];
            job.index = round;
            if (ReadCameraFrame(job.camera, &job.frame) != 0) {
                fprintf(stderr, PROGRAM ": camera %d: reading frame %ld failed\n", job.camera, round);
                out->failed = 1;
                break;
            }
            now = seconds_since(start);
            if (last_read[c] >= 0) out->dropped[c] += missed_periods(now - last_read[c], period);
            last_read[c] = now;
            /* Waits while the encoders are behind: the queue bounds device memory. */
            if (frame_queue_push(queue, &job) != 0) {
                vekpimoFree(job.frame.data);
                out->failed = 1;
                break;
            }
            ++out->read[c];
        }
        progress_update(progress, encoder_pool_written(pool, 0), seconds_since(start));
    }
}
