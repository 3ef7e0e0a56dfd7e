#define _POSIX_C_SOURCE 200809L
#include "options.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

const char *format_name(enum capture_format format) {
    switch (format) {
    case CAPTURE_PNG: return "png";
    case CAPTURE_NV12: return "nv12";
    case CAPTURE_JPEG: return "jpeg";
    case CAPTURE_Y4M: return "y4m";
    }
    return "?";
}

long queue_length(int jobs) { return 4L * jobs; }

long frames_in_flight(int jobs) { return queue_length(jobs) + jobs + 2; }

static int default_jobs(void) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores < 1 ? 1 : cores > CAPTURE_MAX_JOBS ? CAPTURE_MAX_JOBS : (int)cores;
}

void print_usage(const char *program) {
    const int jobs = default_jobs();
    printf("Usage: %s [options]\n"
           "Capture frames from the board's cameras into files.\n"
           "\n"
           "  --camera 0|1|both  camera to capture from (default 0); 0,1 or 1,0 name both\n"
           "  --fps N[,N]        frame rate (default 30); two values give each camera of\n"
           "                     --camera its own rate, in that order\n"
           "  --size WxH         resolution, even width and height (default 640x480)\n"
           "  --frames N         frames per camera (default 30)\n"
           "  --duration S       capture for S seconds instead, each camera at its rate\n"
           "  --out DIR          output directory, created if missing (default captures)\n"
           "  --format F         png (default), jpeg, nv12 (raw frames) or y4m (one YUV4MPEG2\n"
           "                     video per camera, cam<id>.y4m)\n"
           "  --quality N        JPEG quality, 1 to 100 (default 90)\n"
           "  --jobs N           encoder threads, 1 to %d (default %d, the number of cores)\n"
           "  --library-log FILE where the camera library's reports go (default\n"
           "                     <out>/boardcam.log)\n"
           "  --verbose          keep the library's reports on standard output\n"
           "  --pattern P        on the host board simulator: bars (its default) or scene,\n"
           "                     a photograph-like picture as costly to encode as a real one\n"
           "  --help             show this help\n"
           "\n"
           "One thread per camera reads it at its own rate and hands each frame, in the\n"
           "device memory it arrived in, to the encoders through a queue of 4 x N frames.\n"
           "At most 5 x N + 2 frames are in device memory at once (%ld with the default\n"
           "jobs), each width x height x 1.5 bytes: 3 MB at 1920x1080. Frames the camera\n"
           "produced while its reader waited for the encoders are dropped; the summary\n"
           "counts them.\n"
           "\n"
           "Files are named cam<id>_<NNNN>.png, .jpg or .nv12, and cam<id>.timestamps\n"
           "gives each frame's arrival in milliseconds (timestamp format v2, for muxing\n"
           "cam<id>.y4m with its true timing). Exit status: 0 all frames captured, 1 a\n"
           "camera or a write failed, 2 bad arguments, 130 interrupted.\n",
           program, CAPTURE_MAX_JOBS, jobs, frames_in_flight(jobs));
}

/* A whole decimal number in [min, max]. */
static int parse_number(const char *text, long min, long max, long *out) {
    char *end = NULL;
    long value;
    if (*text == '\0' || *text == '+' || *text == ' ') return -1;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) return -1;
    *out = value;
    return 0;
}

/* A decimal number of seconds, above 0 and at most a day. */
static int parse_seconds(const char *text, double *out) {
    char *end = NULL;
    double value;
    if (*text == '\0' || *text == ' ' || *text == '+') return -1;
    errno = 0;
    value = strtod(text, &end);
    if (errno != 0 || *end != '\0' || !(value > 0) || value > 86400) return -1;
    *out = value;
    return 0;
}

/* "0", "1", "both", or ids separated by commas ("0,1"); each camera once. */
static int parse_cameras(const char *text, struct capture_options *opts, char *error, size_t error_size) {
    char buf[32];
    char *item, *rest;
    int count = 0;
    const size_t length = strlen(text);
    if (length == 0 || length >= sizeof buf || text[0] == ',' || text[length - 1] == ',' ||
        strstr(text, ",,") != NULL) {
        snprintf(error, error_size, "camera must be 0, 1 or both, not '%s'", text);
        return -1;
    }
    strcpy(buf, text);
    for (item = strtok_r(buf, ",", &rest); item != NULL; item = strtok_r(NULL, ",", &rest)) {
        int ids[2], n, k, j;
        if (strcmp(item, "0") == 0 || strcmp(item, "1") == 0) {
            ids[0] = item[0] - '0';
            n = 1;
        } else if (strcmp(item, "both") == 0) {
            ids[0] = 0;
            ids[1] = 1;
            n = 2;
        } else {
            snprintf(error, error_size, "camera must be 0, 1 or both, not '%s'", text);
            return -1;
        }
        for (k = 0; k < n; ++k) {
            for (j = 0; j < count; ++j) {
                if (opts->cameras[j] == ids[k]) {
                    snprintf(error, error_size, "camera %d is named twice in '%s': a camera has one reader",
                             ids[k], text);
                    return -1;
                }
            }
            opts->cameras[count++] = ids[k];
        }
    }
    if (count == 0) {
        snprintf(error, error_size, "camera must be 0, 1 or both, not '%s'", text);
        return -1;
    }
    opts->camera_count = count;
    return 0;
}

/* "N" for every camera, or "N,N" for the cameras in order. */
static int parse_rates(const char *text, int rates[2], int *given) {
    char buf[32];
    char *comma;
    long a, b;
    if (strlen(text) >= sizeof buf) return -1;
    strcpy(buf, text);
    comma = strchr(buf, ',');
    if (comma != NULL) *comma = '\0';
    if (parse_number(buf, 1, INT_MAX, &a) != 0) return -1;
    b = a;
    if (comma != NULL && parse_number(comma + 1, 1, INT_MAX, &b) != 0) return -1;
    rates[0] = (int)a;
    rates[1] = (int)b;
    *given = comma != NULL ? 2 : 1;
    return 0;
}

static int parse_size(const char *text, int *width, int *height) {
    char buf[32];
    char *x;
    long w, h;
    if (strlen(text) >= sizeof buf) return -1;
    strcpy(buf, text);
    x = strchr(buf, 'x');
    if (x == NULL) return -1;
    *x = '\0';
    if (parse_number(buf, 1, INT_MAX, &w) != 0 || parse_number(x + 1, 1, INT_MAX, &h) != 0) return -1;
    *width = (int)w;
    *height = (int)h;
    return 0;
}

enum parse_result parse_options(int argc, char **argv, struct capture_options *opts, char *error,
                                size_t error_size) {
    int i, rates_given = 1, frames_given = 0;
    opts->cameras[0] = 0;
    opts->cameras[1] = 1;
    opts->camera_count = 1;
    opts->fps[0] = opts->fps[1] = 30;
    opts->duration = 0;
    opts->width = 640;
    opts->height = 480;
    opts->frames = 30;
    opts->out_dir = "captures";
    opts->format = CAPTURE_PNG;
    opts->jobs = default_jobs();
    opts->quality = 90;
    opts->library_log = NULL;
    opts->verbose = 0;
    opts->pattern = NULL;

    for (i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = NULL;
        char name[32];
        const char *eq;
        long number;

        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) return PARSE_HELP;
        if (strcmp(arg, "--verbose") == 0) {
            opts->verbose = 1;
            continue;
        }
        /* --name=value or --name value */
        eq = strchr(arg, '=');
        if (strncmp(arg, "--", 2) != 0 || (size_t)(eq != NULL ? eq - arg : (long)strlen(arg)) >= sizeof name) {
            snprintf(error, error_size, "unknown argument '%s'", arg);
            return PARSE_ERROR;
        }
        if (eq != NULL) {
            memcpy(name, arg, (size_t)(eq - arg));
            name[eq - arg] = '\0';
            value = eq + 1;
        } else {
            strcpy(name, arg);
        }
        if (strcmp(name, "--camera") != 0 && strcmp(name, "--fps") != 0 && strcmp(name, "--size") != 0 &&
            strcmp(name, "--frames") != 0 && strcmp(name, "--out") != 0 && strcmp(name, "--format") != 0 &&
            strcmp(name, "--jobs") != 0 && strcmp(name, "--quality") != 0 && strcmp(name, "--duration") != 0 &&
            strcmp(name, "--library-log") != 0 && strcmp(name, "--pattern") != 0) {
            snprintf(error, error_size, "unknown option '%s'", name);
            return PARSE_ERROR;
        }
        if (value == NULL) {
            if (i + 1 >= argc) {
                snprintf(error, error_size, "option '%s' needs a value", name);
                return PARSE_ERROR;
            }
            value = argv[++i];
        }

        if (strcmp(name, "--camera") == 0) {
            if (parse_cameras(value, opts, error, error_size) != 0) return PARSE_ERROR;
        } else if (strcmp(name, "--fps") == 0) {
            if (parse_rates(value, opts->fps, &rates_given) != 0) {
                snprintf(error, error_size, "frame rate must be a positive number or two separated by a comma, "
                                            "not '%s'", value);
                return PARSE_ERROR;
            }
        } else if (strcmp(name, "--duration") == 0) {
            if (parse_seconds(value, &opts->duration) != 0) {
                snprintf(error, error_size, "duration must be a number of seconds above 0, not '%s'", value);
                return PARSE_ERROR;
            }
        } else if (strcmp(name, "--size") == 0) {
            if (parse_size(value, &opts->width, &opts->height) != 0) {
                snprintf(error, error_size, "size must be WIDTHxHEIGHT with positive numbers, not '%s'", value);
                return PARSE_ERROR;
            }
        } else if (strcmp(name, "--frames") == 0) {
            if (parse_number(value, 1, LONG_MAX, &number) != 0) {
                snprintf(error, error_size, "frame count must be a positive number, not '%s'", value);
                return PARSE_ERROR;
            }
            opts->frames = number;
            frames_given = 1;
        } else if (strcmp(name, "--out") == 0) {
            if (*value == '\0') {
                snprintf(error, error_size, "output directory must not be empty");
                return PARSE_ERROR;
            }
            opts->out_dir = value;
        } else if (strcmp(name, "--pattern") == 0) {
            if (strcmp(value, "bars") != 0 && strcmp(value, "scene") != 0) {
                snprintf(error, error_size, "pattern must be bars or scene, not '%s'", value);
                return PARSE_ERROR;
            }
            opts->pattern = value;
        } else if (strcmp(name, "--library-log") == 0) {
            if (*value == '\0') {
                snprintf(error, error_size, "library log must not be empty");
                return PARSE_ERROR;
            }
            opts->library_log = value;
        } else if (strcmp(name, "--jobs") == 0) {
            if (parse_number(value, 1, CAPTURE_MAX_JOBS, &number) != 0) {
                snprintf(error, error_size, "jobs must be a number from 1 to %d, not '%s'", CAPTURE_MAX_JOBS, value);
                return PARSE_ERROR;
            }
            opts->jobs = (int)number;
        } else if (strcmp(name, "--quality") == 0) {
            if (parse_number(value, 1, 100, &number) != 0) {
                snprintf(error, error_size, "quality must be a number from 1 to 100, not '%s'", value);
                return PARSE_ERROR;
            }
            opts->quality = (int)number;
        } else {
            enum capture_format format;
            for (format = CAPTURE_PNG; format <= CAPTURE_Y4M; ++format) {
                if (strcmp(value, format_name(format)) == 0) break;
            }
            if (format > CAPTURE_Y4M) {
                snprintf(error, error_size, "format must be png, jpeg, nv12 or y4m, not '%s'", value);
                return PARSE_ERROR;
            }
            opts->format = format;
        }
    }
    if (frames_given && opts->duration > 0) {
        snprintf(error, error_size, "give --frames or --duration, not both");
        return PARSE_ERROR;
    }
    if (opts->duration > 0) opts->frames = 0;
    if (rates_given == 2 && opts->camera_count == 1) {
        snprintf(error, error_size, "two frame rates for one camera: give one, or name both cameras");
        return PARSE_ERROR;
    }
    return PARSE_OK;
}
