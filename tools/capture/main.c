/*
 * boardcam-capture: capture frames from the board's cameras into files.
 *
 * The model application of the library: open the cameras, read each frame
 * into device memory, hand it on, release it with vekpimoFree(), and close
 * every camera that was opened, whatever fails on the way.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "boardcam.h"
#include "nv12_to_rgb.h"
#include "options.h"
#include "png_file.h"
#include "progress.h"
#include "vekpimo.h"

#define PROGRAM "boardcam-capture"

static volatile sig_atomic_t interrupted = 0;

static void on_interrupt(int signo) {
    (void)signo;
    interrupted = 1;
}

static double seconds_since(const struct timespec *start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

/* mkdir -p */
static int make_directory(const char *path) {
    char buf[4096];
    size_t i, len = strlen(path);
    if (len >= sizeof buf) return -1;
    memcpy(buf, path, len + 1);
    for (i = 1; i <= len; ++i) {
        if (buf[i] == '/' || buf[i] == '\0') {
            const char saved = buf[i];
            buf[i] = '\0';
            if (mkdir(buf, 0777) != 0 && errno != EEXIST) return -1;
            buf[i] = saved;
        }
    }
    return 0;
}

static int write_raw(const char *path, const void *data, size_t size) {
    FILE *file = fopen(path, "wb");
    int ok;
    if (file == NULL) return -1;
    ok = fwrite(data, 1, size, file) == size;
    return (fclose(file) == 0 && ok) ? 0 : -1;
}

/* Writes one frame in the chosen format; returns bytes written or -1. */
static long save_frame(const struct capture_options *opts, int camera, long index, const CameraFrame *frame,
                       uint8_t *rgb) {
    char path[4200];
    struct stat st;
    snprintf(path, sizeof path, "%s/cam%d_%04ld.%s", opts->out_dir, camera, index,
             opts->format == CAPTURE_PNG ? "png" : "nv12");
    if (opts->format == CAPTURE_PNG) {
        nv12_to_rgb(frame->data, opts->width, opts->height, rgb);
        if (write_png(path, rgb, opts->width, opts->height) != 0) goto failed;
    } else if (write_raw(path, frame->data, (size_t)frame->size) != 0) {
        goto failed;
    }
    if (stat(path, &st) != 0) goto failed;
    return (long)st.st_size;
failed:
    fprintf(stderr, PROGRAM ": cannot write %s: %s\n", path, errno != 0 ? strerror(errno) : "write failed");
    return -1;
}

int main(int argc, char **argv) {
    struct capture_options opts;
    char error[256];
    int opened[2] = {0, 0};
    long captured[2] = {0, 0};
    long long bytes_written = 0;
    long failures = 0, round = 0;
    uint8_t *rgb = NULL;
    struct progress progress;
    struct timespec start;
    struct sigaction action;
    double elapsed;
    int c, status;

    switch (parse_options(argc, argv, &opts, error, sizeof error)) {
    case PARSE_HELP:
        print_usage(PROGRAM);
        return 0;
    case PARSE_ERROR:
        fprintf(stderr, PROGRAM ": %s\nTry '" PROGRAM " --help' for usage.\n", error);
        return 2;
    case PARSE_OK:
        break;
    }
    if (opts.format == CAPTURE_PNG && (opts.width % 2 != 0 || opts.height % 2 != 0)) {
        fprintf(stderr, PROGRAM ": size %dx%d: width and height must be even\nTry '" PROGRAM
                        " --help' for usage.\n", opts.width, opts.height);
        return 2;
    }
    if (make_directory(opts.out_dir) != 0) {
        fprintf(stderr, PROGRAM ": cannot create %s: %s\n", opts.out_dir, strerror(errno));
        return 1;
    }
    if (opts.format == CAPTURE_PNG) {
        rgb = malloc((size_t)opts.width * (size_t)opts.height * 3);
        if (rgb == NULL) {
            fprintf(stderr, PROGRAM ": out of memory for a %dx%d image\n", opts.width, opts.height);
            return 1;
        }
    }

    memset(&action, 0, sizeof action);
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    for (c = 0; c < opts.camera_count; ++c) {
        const int id = opts.cameras[c];
        if (OpenCameraEx(id, opts.fps, opts.width, opts.height) != 0) {
            fprintf(stderr, PROGRAM ": camera %d failed to open at %dx%d, %d fps\n", id, opts.width,
                    opts.height, opts.fps);
            ++failures;
            break;
        }
        opened[c] = 1;
    }

    progress_start(&progress, opts.frames);
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (round = 0; failures == 0 && !interrupted && round < opts.frames; ++round) {
        for (c = 0; c < opts.camera_count && failures == 0; ++c) {
            const int id = opts.cameras[c];
            CameraFrame frame = {0, NULL};
            long written;
            if (ReadCameraFrame(id, &frame) != 0) {
                fprintf(stderr, PROGRAM ": camera %d: reading frame %ld failed\n", id, round);
                ++failures;
                break;
            }
            written = save_frame(&opts, id, round, &frame, rgb);
            /* The frame is ours: release it whether or not it was written. */
            vekpimoFree(frame.data);
            if (written < 0) {
                ++failures;
                break;
            }
            bytes_written += written;
            ++captured[c];
        }
        progress_update(&progress, captured[0], seconds_since(&start));
    }
    elapsed = seconds_since(&start);
    progress_finish(&progress);

    for (c = 0; c < opts.camera_count; ++c) {
        if (opened[c] && CloseCameraEx(opts.cameras[c]) != 0) {
            fprintf(stderr, PROGRAM ": camera %d failed to close\n", opts.cameras[c]);
            ++failures;
        }
    }
    free(rgb);
    fflush(stdout);

    if (opts.camera_count == 2) {
        fprintf(stderr, PROGRAM ": captured %ld frames from cam0 and %ld from cam1", captured[0], captured[1]);
    } else {
        fprintf(stderr, PROGRAM ": captured %ld frames from cam%d", captured[0], opts.cameras[0]);
    }
    fprintf(stderr, " in %.2f s (%.1f fps), %lld bytes written to %s, %ld failure%s%s\n", elapsed,
            elapsed > 0 ? (double)captured[0] / elapsed : 0.0, bytes_written, opts.out_dir, failures,
            failures == 1 ? "" : "s", interrupted ? ", interrupted" : "");

    status = failures != 0 ? 1 : interrupted ? 130 : 0;
    return status;
}
