/* Command line of boardcam-capture. */
#ifndef CAPTURE_OPTIONS_H
#define CAPTURE_OPTIONS_H

#include <stddef.h>

enum capture_format { CAPTURE_PNG, CAPTURE_NV12 };

struct capture_options {
    int cameras[2];     /* camera ids to capture from */
    int camera_count;   /* 1 or 2 */
    int fps;
    int width;
    int height;
    long frames;        /* frames per camera */
    const char *out_dir;
    enum capture_format format;
};

enum parse_result { PARSE_OK, PARSE_HELP, PARSE_ERROR };

/* Fills opts from argv; on PARSE_ERROR, error holds a one-line description. */
enum parse_result parse_options(int argc, char **argv, struct capture_options *opts, char *error,
                                size_t error_size);

void print_usage(const char *program);

#endif
