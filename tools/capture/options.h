/* Command line of boardcam-capture. */
#ifndef CAPTURE_OPTIONS_H
#define CAPTURE_OPTIONS_H

#include <stddef.h>

enum capture_format { CAPTURE_PNG, CAPTURE_NV12, CAPTURE_JPEG, CAPTURE_Y4M };

/* Encoder threads at most. */
#define CAPTURE_MAX_JOBS 64

struct capture_options {
    int cameras[2];     /* camera ids to capture from, each at most once */
    int camera_count;   /* 1 or 2 */
    int fps[2];         /* frame rate of each camera, in the order of cameras */
    int width;
    int height;
    long frames;        /* frames per camera; 0 when capturing for a duration */
    double duration;    /* seconds to capture for; 0 when counting frames */
    const char *out_dir;
    enum capture_format format;
    int jobs;           /* encoder threads */
    int quality;        /* JPEG quality, 1..100 */
    const char *library_log; /* where the library's reports go; NULL: <out>/boardcam.log */
    int verbose;        /* keep the library's reports on standard output */
    const char *pattern; /* the simulator's pattern, "bars" or "scene"; NULL: as it is */
};

enum parse_result { PARSE_OK, PARSE_HELP, PARSE_ERROR };

/* Fills opts from argv; on PARSE_ERROR, error holds a one-line description. */
enum parse_result parse_options(int argc, char **argv, struct capture_options *opts, char *error,
                                size_t error_size);

void print_usage(const char *program);

/* "png", "nv12", "jpeg" or "y4m". */
const char *format_name(enum capture_format format);

/* Frames in device memory at once, at most: those queued for the encoders,
 * those being encoded, and the one being read. */
long frames_in_flight(int jobs);

/* Length of the queue between the reader and the encoders. */
long queue_length(int jobs);

#endif
