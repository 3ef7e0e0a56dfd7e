/*
 * boardcam-capture: capture frames from the board's cameras into files.
 *
 * The model application of the library: open the cameras, read each frame
 * into device memory, hand it on, release it, and close every camera that was
 * opened, whatever fails on the way. One thread per camera reads it at its own
 * rate through libboardcam-mt (reader.c); a pool of encoders writes and
 * releases (encoder_pool.c), so that encoding never holds up a camera.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "boardcam-mt.h"
#include "encoder_pool.h"
#include "frame_size.h"
#include "frame_queue.h"
#include "frame_writer.h"
#include "library_log.h"
#include "options.h"
#include "progress.h"
#include "reader.h"
#include "sim_pattern.h"
#include "timestamps_file.h"
#include "y4m_file.h"

#define PROGRAM "boardcam-capture"

static volatile sig_atomic_t interrupted = 0;

static void on_interrupt(int signo) {
    (void)signo;
    interrupted = 1;
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

/* Creates cam<id>.y4m for each camera; returns the header bytes, or -1. */
static long open_videos(const struct capture_options *opts, struct y4m_file videos[2], int *opened) {
    long bytes = 0;
    for (*opened = 0; *opened < opts->camera_count; ++*opened) {
        char path[4200];
        long header;
        snprintf(path, sizeof path, "%s/cam%d.y4m", opts->out_dir, opts->cameras[*opened]);
        header = y4m_open(&videos[*opened], path, opts->width, opts->height, opts->fps[*opened]);
        if (header < 0) {
            fprintf(stderr, PROGRAM ": cannot write %s: %s\n", path, strerror(errno));
            return -1;
        }
        bytes += header;
    }
    return bytes;
}

/* "30" when the cameras share a rate, "5 and 60" when they do not. */
static const char *rates_text(const struct capture_options *opts, char *buf, size_t size) {
    if (opts->camera_count == 2 && opts->fps[0] != opts->fps[1]) {
        snprintf(buf, size, "%d and %d", opts->fps[0], opts->fps[1]);
    } else {
        snprintf(buf, size, "%d", opts->fps[0]);
    }
    return buf;
}

/* Creates cam<id>.timestamps for the camera in `slot`; 0, or -1. */
static int open_timestamps(const struct capture_options *opts, int slot, struct timestamps_file *file) {
    char path[4200];
    snprintf(path, sizeof path, "%s/cam%d.timestamps", opts->out_dir, opts->cameras[slot]);
    if (timestamps_open(file, path) != 0) {
        fprintf(stderr, PROGRAM ": cannot write %s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

/* What to try when the encoders fell behind: only ways out that the run did
 * not already take. Raw NV12 is the cheapest to write; Y4M is NV12 split
 * into planes; JPEG and then PNG cost more per frame. */
static void advise(const struct capture_options *opts, char *buf, size_t size) {
    switch (opts->format) {
    case CAPTURE_PNG:
        snprintf(buf, size, "try --format jpeg or --format nv12");
        break;
    case CAPTURE_JPEG:
    case CAPTURE_Y4M:
        snprintf(buf, size, "try --format nv12%s", opts->jobs < CAPTURE_MAX_JOBS ? ", or more --jobs" : "");
        break;
    case CAPTURE_NV12:
        snprintf(buf, size, "try a lower --fps, a smaller --size%s, or a faster disk",
                 opts->jobs < CAPTURE_MAX_JOBS ? ", more --jobs" : "");
        break;
    }
}

static void report(const struct capture_options *opts, const long captured[2], double elapsed,
                   long long bytes_written, long failures, const long dropped_by[2]) {
    const long dropped = dropped_by[0] + (opts->camera_count == 2 ? dropped_by[1] : 0);
    char rates[32], advice[128];
    rates_text(opts, rates, sizeof rates);
    if (dropped > 0) {
        advise(opts, advice, sizeof advice);
        fprintf(stderr, PROGRAM ": %s at %dx%d, %s fps outran %d encoder%s, which dropped %ld frame%s; %s\n",
                format_name(opts->format), opts->width, opts->height, rates, opts->jobs,
                opts->jobs == 1 ? "" : "s", dropped, dropped == 1 ? "" : "s", advice);
    }
    if (opts->camera_count == 2) {
        fprintf(stderr, PROGRAM ": captured %ld frames from cam%d and %ld from cam%d", captured[0], opts->cameras[0],
                captured[1], opts->cameras[1]);
        fprintf(stderr, " in %.2f s (%.1f and %.1f fps)", elapsed, elapsed > 0 ? (double)captured[0] / elapsed : 0.0,
                elapsed > 0 ? (double)captured[1] / elapsed : 0.0);
    } else {
        fprintf(stderr, PROGRAM ": captured %ld frames from cam%d", captured[0], opts->cameras[0]);
        fprintf(stderr, " in %.2f s (%.1f fps)", elapsed, elapsed > 0 ? (double)captured[0] / elapsed : 0.0);
    }
    fprintf(stderr, ", %lld bytes written to %s, %ld failure%s, %ld dropped", bytes_written, opts->out_dir,
            failures, failures == 1 ? "" : "s", dropped);
    if (opts->camera_count == 2)
        fprintf(stderr, " (%ld from cam%d, %ld from cam%d)", dropped_by[0], opts->cameras[0], dropped_by[1],
                opts->cameras[1]);
    fprintf(stderr, "%s\n", interrupted ? ", interrupted" : "");
}

/* Frames the progress bar counts to. */
static long expected_frames(const struct capture_options *opts) {
    long total = 0;
    int c;
    for (c = 0; c < opts->camera_count; ++c) {
        total += opts->frames > 0 ? opts->frames : (long)(opts->fps[c] * opts->duration + 0.5);
    }
    return total;
}

/* Draws progress until the readers are done, the duration is over or the
 * user interrupts; then stops the readers. */
static void watch_readers(const struct capture_options *opts, struct reader_group *readers,
                          const struct progress *progress, const struct timespec *start) {
    const struct timespec tick = {0, 50000000};
    while (!readers_done(readers)) {
        const double elapsed = seconds_since(start);
        if (interrupted || (opts->duration > 0 && elapsed >= opts->duration)) break;
        progress_update(progress, readers_total(readers), elapsed);
        nanosleep(&tick, NULL);
    }
    readers_stop(readers);
    readers_join(readers);
}

int main(int argc, char **argv) {
    struct capture_options opts;
    char error[256];
    boardcam_mt_camera *cameras[2] = {NULL, NULL};
    int videos_open = 0;
    struct y4m_file videos[2];
    struct timestamps_file timestamps[2] = {{NULL, -1}, {NULL, -1}};
    struct frame_writer_config writer_config;
    struct frame_queue queue;
    struct encoder_pool pool;
    struct reader_group readers;
    long long bytes_written = 0;
    long failures = 0, captured[2], dropped[2] = {0, 0};
    struct progress progress;
    struct timespec start;
    struct sigaction action;
    double elapsed;
    int c, opened = 0;

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
    /* Before anything is allocated for a frame of that size. Raw NV12 is
     * written as the library hands it over, odd sizes included. */
    if (frame_size_check(opts.width, opts.height, opts.format == CAPTURE_NV12, error, sizeof error) != 0) {
        fprintf(stderr, PROGRAM ": %s\nTry '" PROGRAM " --help' for usage.\n", error);
        return 2;
    }
    if (make_directory(opts.out_dir) != 0) {
        fprintf(stderr, PROGRAM ": cannot create %s: %s\n", opts.out_dir, strerror(errno));
        return 1;
    }
    if (opts.format == CAPTURE_Y4M) {
        const long header = open_videos(&opts, videos, &videos_open);
        if (header < 0) {
            for (c = 0; c < videos_open; ++c) y4m_close(&videos[c]);
            return 1;
        }
        bytes_written += header;
    }
    if (!opts.verbose) {
        char path[4200];
        const char *log = opts.library_log;
        if (log == NULL) {
            snprintf(path, sizeof path, "%s/boardcam.log", opts.out_dir);
            log = path;
        }
        if (library_log_redirect(log) != 0) {
            fprintf(stderr, PROGRAM ": cannot write the library's log %s: %s; its reports stay on standard output\n",
                    log, strerror(errno));
        }
    }
    if (opts.pattern != NULL && sim_pattern_select(opts.pattern) != 0) {
        fprintf(stderr, PROGRAM ": --pattern %s means nothing on the board's own cameras; ignored\n", opts.pattern);
    }
    writer_config.opts = &opts;
    writer_config.y4m[0] = &videos[0];
    writer_config.y4m[1] = &videos[1];
    if (frame_queue_init(&queue, (size_t)queue_length(opts.jobs)) != 0 ||
        encoder_pool_start(&pool, &queue, &writer_config, opts.jobs) != 0) {
        fprintf(stderr, PROGRAM ": cannot start %d encoder%s\n", opts.jobs, opts.jobs == 1 ? "" : "s");
        return 1;
    }

    memset(&action, 0, sizeof action);
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    readers_init(&readers, &opts, &queue, &pool, timestamps);
    /* Every camera is opened before any is read. An opening holds the
     * library for as long as the sensor takes to start, hundreds of
     * milliseconds on a board: a camera already reading would miss its
     * frames meanwhile. Each sensor runs from its opening, and what it made
     * before its first read is not counted as dropped. */
    for (c = 0; c < opts.camera_count; ++c) {
        const int id = opts.cameras[c];
        if (open_timestamps(&opts, c, &timestamps[c]) != 0) {
            ++failures;
            break;
        }
        {
            const int32_t result = boardcam_mt_open(id, opts.fps[c], opts.width, opts.height, &cameras[c]);
            if (result == BOARDCAM_MT_BUSY || result == BOARDCAM_MT_DENIED) {
                /* Another program has the camera: it says who and how to share it. */
                fprintf(stderr, PROGRAM ": %s\n", boardcam_mt_last_message());
                ++failures;
                break;
            }
            if (result != 0) {
                fprintf(stderr, PROGRAM ": camera %d failed to open at %dx%d, %d fps%s\n", id, opts.width,
                        opts.height, opts.fps[c], library_log_hint());
                ++failures;
                break;
            }
        }
        ++opened;
    }
    /* Rates and --duration count from the first read, not the openings. */
    progress_start(&progress, expected_frames(&opts));
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (c = 0; c < opened && failures == 0; ++c) {
        if (reader_start(&readers, c, cameras[c]) != 0) {
            fprintf(stderr, PROGRAM ": cannot start the reader of camera %d\n", opts.cameras[c]);
            ++failures;
        }
    }
    if (failures == 0) watch_readers(&opts, &readers, &progress, &start);
    readers_stop(&readers);
    readers_join(&readers);
    failures += readers.failed;
    for (c = 0; c < readers.count; ++c) dropped[c] = readers.readers[c].dropped;
    /* The encoders write what was read before a stop, then end. */
    frame_queue_close(&queue);
    progress_update(&progress, encoder_pool_written(&pool, 0) + encoder_pool_written(&pool, 1),
                    seconds_since(&start));
    encoder_pool_join(&pool);
    elapsed = seconds_since(&start);
    progress_finish(&progress);
    frame_queue_destroy(&queue);
    failures += pool.failures;
    bytes_written += pool.bytes;
    captured[0] = pool.written[0];
    captured[1] = pool.written[1];

    for (c = 0; c < opened; ++c) {
        if (boardcam_mt_close(cameras[c]) != 0) {
            fprintf(stderr, PROGRAM ": camera %d failed to close%s\n", opts.cameras[c], library_log_hint());
            ++failures;
        }
    }
    for (c = 0; c < opts.camera_count; ++c) {
        if (timestamps_close(&timestamps[c]) != 0) {
            fprintf(stderr, PROGRAM ": cannot finish cam%d.timestamps\n", opts.cameras[c]);
            ++failures;
        }
    }
    for (c = 0; c < videos_open; ++c) {
        if (y4m_close(&videos[c]) != 0) {
            fprintf(stderr, PROGRAM ": cannot finish cam%d.y4m\n", opts.cameras[c]);
            ++failures;
        }
    }
    fflush(stdout);

    report(&opts, captured, elapsed, bytes_written, failures, dropped);
    return failures != 0 ? 1 : interrupted ? 130 : 0;
}
