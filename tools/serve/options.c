#define _POSIX_C_SOURCE 200809L

#include "options.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gio/gio.h>

#include "frame_size.h"

static int parse_number(const char *text, long min, long max, long *out) {
    char *end;
    long value;
    if (*text == '\0' || *text == '-' || *text == '+' || *text == ' ') return -1;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) return -1;
    *out = value;
    return 0;
}

/* "10%", or a size: bytes, or K, M, G, T (of 1024). */
static int parse_free_space(const char *text, double *percent, unsigned long long *bytes) {
    const size_t len = strlen(text);
    char digits[32];
    long value;
    unsigned long long unit = 1;
    if (len == 0 || len >= sizeof digits) return -1;
    memcpy(digits, text, len + 1);
    switch (digits[len - 1]) {
    case '%':
        digits[len - 1] = '\0';
        if (parse_number(digits, 0, 99, &value) != 0) return -1;
        *percent = (double)value;
        *bytes = 0;
        return 0;
    case 'T': case 't': unit <<= 10; /* fall through */
    case 'G': case 'g': unit <<= 10; /* fall through */
    case 'M': case 'm': unit <<= 10; /* fall through */
    case 'K': case 'k': unit <<= 10; digits[len - 1] = '\0'; break;
    default: break;
    }
    if (parse_number(digits, 0, 1L << 40, &value) != 0) return -1;
    if ((unsigned long long)value > ~0ULL / unit) return -1;
    *percent = 0;
    *bytes = (unsigned long long)value * unit;
    return 0;
}

/* Splits "A" or "A,B" into at most two fields. Returns the count, or -1. */
static int split_pair(const char *text, char first[64], char second[64]) {
    const char *comma = strchr(text, ',');
    size_t len = comma != NULL ? (size_t)(comma - text) : strlen(text);
    if (len == 0 || len >= 64) return -1;
    memcpy(first, text, len);
    first[len] = '\0';
    if (comma == NULL) return 1;
    if (strchr(comma + 1, ',') != NULL || strlen(comma + 1) == 0 || strlen(comma + 1) >= 64) return -1;
    strcpy(second, comma + 1);
    return 2;
}

/* "WxH": 0; -1 when it is not of that form, -2 (with `why`) when the
 * cameras cannot take it. */
static int parse_size(const char *text, int *width, int *height, char *why, size_t why_size) {
    char w[64];
    const char *x = strchr(text, 'x');
    long wv, hv;
    if (x == NULL || (size_t)(x - text) >= sizeof w) return -1;
    memcpy(w, text, (size_t)(x - text));
    w[x - text] = '\0';
    if (parse_number(w, 1, INT_MAX, &wv) != 0 || parse_number(x + 1, 1, INT_MAX, &hv) != 0) return -1;
    if (frame_size_check(wv, hv, 0, why, why_size) != 0) return -2;
    *width = (int)wv;
    *height = (int)hv;
    return 0;
}

int serve_is_loopback(const char *address) {
    GInetAddress *inet;
    int loopback;
    if (strcmp(address, "localhost") == 0) return 1;
    inet = g_inet_address_new_from_string(address);
    if (inet == NULL) return 0;
    loopback = g_inet_address_get_is_loopback(inet);
    g_object_unref(inet);
    return loopback;
}

void serve_print_usage(const char *program) {
    fprintf(stderr,
            "Usage: %s [--cameras 0,1] [--size WxH[,WxH]] [--fps N[,N]] [--listen ADDR]\n"
            "       [--rtsp-port 8554] [--http-port 8080] [--credentials FILE | --no-auth]\n"
            "       [--tls-cert FILE --tls-key FILE] [--h264-encoder 'ELEMENT PROPS'] [--bitrate KBPS]\n"
            "       [--jpeg-quality 1..100] [--linger SECONDS] [--max-clients N] [--publish URL]\n"
            "       [--record DIR [--record-cameras 0,1] [--segment-seconds N] [--keep-days N]\n"
            "        [--keep-free SIZE|PERCENT]]\n"
            "       [--webrtc-ports LOW-HIGH] [--stun URL] [--library-log FILE] [--verbose]\n"
            "Serves the board's cameras: H.264 over RTSP at rtsp://ADDR:8554/cam0 and /cam1, H.264\n"
            "over WebRTC (WHEP at http://ADDR:8080/cam0/whep and /cam1/whep), and MJPEG,\n"
            "snapshots, a page, status and metrics over HTTP at http://ADDR:8080/.\n"
            "  --cameras      cameras to serve (default 0,1)\n"
            "  --size         frame size, one for both cameras or one each (default 1280x720)\n"
            "  --fps          frame rate, one for both cameras or one each (default 30)\n"
            "  --listen       address to listen on (default 127.0.0.1); any other than loopback\n"
            "                 needs --credentials or --no-auth\n"
            "  --credentials  file of user:password lines, readable by its owner only\n"
            "  --no-auth      serve without passwords on any address\n"
            "  --tls-cert, --tls-key  PEM certificate and key: HTTPS and RTSPS\n"
            "  --h264-encoder encoder and its properties (default v4l2h264enc, else x264enc)\n"
            "  --bitrate      H.264 bit rate in kbit/s (default 4000)\n"
            "  --jpeg-quality MJPEG and snapshot quality (default 85)\n"
            "  --linger       seconds a camera stays open after its last client leaves (default 5)\n"
            "  --max-clients  streaming clients at once over every protocol (default 16)\n"
            "  --webrtc-ports UDP and TCP ports WebRTC viewers are served from (default: any)\n"
            "  --stun         STUN server WebRTC asks for the board's public address, as\n"
            "                 stun://HOST:PORT (default: none; nothing is contacted)\n"
            "  --publish      also push each camera's H.264 to URL/cam0 and URL/cam1\n"
            "  --record       record every served camera into DIR (default: off)\n"
            "  --record-cameras   which cameras to record (default: every one served)\n"
            "  --segment-seconds  length of a recorded segment (default 300)\n"
            "  --keep-days    delete segments older than N days (default 7; 0 keeps all)\n"
            "  --keep-free    delete the oldest segments while free space is below this,\n"
            "                 as 10%%, 500M, 2G or bytes (default 10%%)\n"
            "  --library-log  where the camera library's reports go (default boardcam.log in\n"
            "                 $LOGS_DIRECTORY, else in the current folder)\n"
            "  --verbose      keep the camera library's reports on standard output\n",
            program);
}

static const char *const value_options[] = {
    "--cameras", "--size", "--fps", "--listen", "--rtsp-port", "--http-port", "--credentials", "--tls-cert",
    "--tls-key", "--h264-encoder", "--bitrate", "--jpeg-quality", "--linger", "--max-clients", "--publish",
    "--record", "--record-cameras", "--segment-seconds", "--keep-days", "--keep-free", "--library-log", "--webrtc-ports", "--stun", NULL};

static int takes_value(const char *name) {
    int i;
    for (i = 0; value_options[i] != NULL; ++i) {
        if (strcmp(name, value_options[i]) == 0) return 1;
    }
    return 0;
}

static enum serve_parse_result fail(char *error, size_t error_size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

static enum serve_parse_result fail(char *error, size_t error_size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(error, error_size, format, args);
    va_end(args);
    return SERVE_PARSE_ERROR;
}

static int parse_cameras(const char *value, struct serve_options *opts) {
    char first[64], second[64];
    long a, b;
    const int count = split_pair(value, first, second);
    if (count < 0 || parse_number(first, 0, 1, &a) != 0) return -1;
    opts->cameras[0].id = (int)a;
    opts->camera_count = 1;
    if (count == 2) {
        if (parse_number(second, 0, 1, &b) != 0 || b == a) return -1;
        opts->cameras[1].id = (int)b;
        opts->camera_count = 2;
    }
    return 0;
}

/* --size and --fps: one value for every camera, or one per camera. */
static int parse_per_camera(const char *value, int is_size, struct serve_camera_options cams[2], int *given,
                            char *why, size_t why_size) {
    char fields[2][64];
    int i;
    const int count = split_pair(value, fields[0], fields[1]);
    if (count < 0) return -1;
    for (i = 0; i < 2; ++i) {
        const char *field = fields[count == 2 ? i : 0];
        if (is_size) {
            const int parsed = parse_size(field, &cams[i].width, &cams[i].height, why, why_size);
            if (parsed != 0) return parsed;
        } else {
            long fps;
            if (parse_number(field, 1, 240, &fps) != 0) return -1;
            cams[i].fps = (int)fps;
        }
    }
    *given = count;
    return 0;
}

enum serve_parse_result serve_parse_options(int argc, char **argv, struct serve_options *opts, char *error,
                                            size_t error_size) {
    int i, sizes_given = 0, rates_given = 0;
    memset(opts, 0, sizeof *opts);
    for (i = 0; i < SERVE_MAX_CAMERAS; ++i) {
        opts->cameras[i].id = i;
        opts->cameras[i].width = 1280;
        opts->cameras[i].height = 720;
        opts->cameras[i].fps = 30;
    }
    opts->camera_count = 2;
    opts->listen = "127.0.0.1";
    opts->rtsp_port = 8554;
    opts->http_port = 8080;
    opts->bitrate_kbps = 4000;
    opts->jpeg_quality = 85;
    opts->linger_s = 5;
    opts->max_clients = 16;
    opts->segment_s = 300;
    opts->record_camera[0] = opts->record_camera[1] = 1;
    opts->keep_days = 7;
    opts->keep_free_percent = 10;

    for (i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = NULL;
        const char *eq = strchr(arg, '=');
        char name[32];
        long number;

        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) return SERVE_PARSE_HELP;
        if (strcmp(arg, "--verbose") == 0) {
            opts->verbose = 1;
            continue;
        }
        if (strcmp(arg, "--no-auth") == 0) {
            opts->no_auth = 1;
            continue;
        }
        if (strncmp(arg, "--", 2) != 0 || (size_t)(eq != NULL ? eq - arg : (long)strlen(arg)) >= sizeof name)
            return fail(error, error_size, "unknown argument '%s'", arg);
        if (eq != NULL) {
            memcpy(name, arg, (size_t)(eq - arg));
            name[eq - arg] = '\0';
            value = eq + 1;
        } else {
            strcpy(name, arg);
        }
        if (!takes_value(name)) return fail(error, error_size, "unknown option '%s'", name);
        if (value == NULL) {
            if (i + 1 >= argc) return fail(error, error_size, "option '%s' needs a value", name);
            value = argv[++i];
        }

        if (strcmp(name, "--cameras") == 0) {
            if (parse_cameras(value, opts) != 0)
                return fail(error, error_size, "cameras must be 0, 1, 0,1 or 1,0, not '%s'", value);
        } else if (strcmp(name, "--size") == 0) {
            char why[128];
            const int parsed = parse_per_camera(value, 1, opts->cameras, &sizes_given, why, sizeof why);
            if (parsed == -2) return fail(error, error_size, "%s", why);
            if (parsed != 0)
                return fail(error, error_size, "size must be WIDTHxHEIGHT, or two of them separated by a comma, "
                                               "not '%s'", value);
        } else if (strcmp(name, "--fps") == 0) {
            if (parse_per_camera(value, 0, opts->cameras, &rates_given, NULL, 0) != 0)
                return fail(error, error_size, "frame rate must be a number from 1 to 240, or two of them "
                                               "separated by a comma, not '%s'", value);
        } else if (strcmp(name, "--rtsp-port") == 0 || strcmp(name, "--http-port") == 0) {
            if (parse_number(value, 0, 65535, &number) != 0)
                return fail(error, error_size, "port must be a number from 0 to 65535, not '%s'", value);
            *(strcmp(name, "--rtsp-port") == 0 ? &opts->rtsp_port : &opts->http_port) = (int)number;
        } else if (strcmp(name, "--bitrate") == 0) {
            if (parse_number(value, 64, 100000, &number) != 0)
                return fail(error, error_size, "bit rate must be a number of kbit/s from 64 to 100000, not '%s'",
                            value);
            opts->bitrate_kbps = (int)number;
        } else if (strcmp(name, "--jpeg-quality") == 0) {
            if (parse_number(value, 1, 100, &number) != 0)
                return fail(error, error_size, "JPEG quality must be a number from 1 to 100, not '%s'", value);
            opts->jpeg_quality = (int)number;
        } else if (strcmp(name, "--linger") == 0) {
            if (parse_number(value, 0, 86400, &number) != 0)
                return fail(error, error_size, "linger must be a number of seconds from 0 to 86400, not '%s'",
                            value);
            opts->linger_s = (int)number;
        } else if (strcmp(name, "--max-clients") == 0) {
            if (parse_number(value, 1, 1024, &number) != 0)
                return fail(error, error_size, "max clients must be a number from 1 to 1024, not '%s'", value);
            opts->max_clients = (int)number;
        } else if (*value == '\0') {
            return fail(error, error_size, "option '%s' needs a value", name);
        } else if (strcmp(name, "--listen") == 0) {
            GInetAddress *inet = g_inet_address_new_from_string(value);
            if (inet == NULL && strcmp(value, "localhost") != 0)
                return fail(error, error_size, "listen address must be an IPv4 or IPv6 address, not '%s'", value);
            if (inet != NULL) g_object_unref(inet);
            opts->listen = value;
        } else if (strcmp(name, "--credentials") == 0) {
            opts->credentials = value;
        } else if (strcmp(name, "--tls-cert") == 0) {
            opts->tls_cert = value;
        } else if (strcmp(name, "--tls-key") == 0) {
            opts->tls_key = value;
        } else if (strcmp(name, "--h264-encoder") == 0) {
            opts->h264_encoder = value;
        } else if (strcmp(name, "--publish") == 0) {
            if (strncmp(value, "rtsp://", 7) != 0 && strncmp(value, "rtsps://", 8) != 0)
                return fail(error, error_size, "publish URL must start with rtsp:// or rtsps://, not '%s'", value);
            opts->publish = value;
        } else if (strcmp(name, "--record") == 0) {
            if (value[0] == '\0') return fail(error, error_size, "the recording directory must not be empty");
            opts->record = value;
        } else if (strcmp(name, "--record-cameras") == 0) {
            char first[64], second[64];
            long a, b = -1;
            const int count = split_pair(value, first, second);
            if (count < 0 || parse_number(first, 0, 1, &a) != 0 || (count == 2 && parse_number(second, 0, 1, &b) != 0))
                return fail(error, error_size, "cameras to record must be 0, 1 or 0,1, not '%s'", value);
            opts->record_camera[0] = a == 0 || b == 0;
            opts->record_camera[1] = a == 1 || b == 1;
        } else if (strcmp(name, "--keep-days") == 0) {
            long days;
            if (parse_number(value, 0, 36500, &days) != 0)
                return fail(error, error_size, "days to keep must be 0 to 36500, not '%s'", value);
            opts->keep_days = (int)days;
        } else if (strcmp(name, "--keep-free") == 0) {
            if (parse_free_space(value, &opts->keep_free_percent, &opts->keep_free_bytes) != 0)
                return fail(error, error_size, "free space to keep must be a percentage below 100 (10%%) or a size "
                                               "(500M, 2G, bytes), not '%s'", value);
        } else if (strcmp(name, "--segment-seconds") == 0) {
            long seconds;
            if (parse_number(value, 2, 86400, &seconds) != 0)
                return fail(error, error_size, "segment length must be 2 to 86400 seconds, not '%s'", value);
            opts->segment_s = (int)seconds;
        } else if (strcmp(name, "--webrtc-ports") == 0) {
            char low[64], high[64];
            long a, b;
            const char *dash = strchr(value, '-');
            if (dash == NULL || dash == value || (size_t)(dash - value) >= sizeof low || strlen(dash + 1) >= sizeof high)
                return fail(error, error_size, "WebRTC ports must be LOW-HIGH, not '%s'", value);
            memcpy(low, value, (size_t)(dash - value));
            low[dash - value] = '\0';
            strcpy(high, dash + 1);
            if (parse_number(low, 1024, 65535, &a) != 0 || parse_number(high, 1024, 65535, &b) != 0 || b < a)
                return fail(error, error_size, "WebRTC ports must be LOW-HIGH, from 1024 to 65535 with LOW no more "
                                               "than HIGH, not '%s'", value);
            opts->webrtc_port_min = (int)a;
            opts->webrtc_port_max = (int)b;
        } else if (strcmp(name, "--stun") == 0) {
            if (strncmp(value, "stun://", 7) != 0 || value[7] == '\0')
                return fail(error, error_size, "STUN server must be stun://HOST:PORT, not '%s'", value);
            opts->stun = value;
        } else {
            opts->library_log = value;
        }
    }
    if ((sizes_given == 2 || rates_given == 2) && opts->camera_count == 1) {
        snprintf(error, error_size, "two sizes or rates for one camera: give one, or serve both cameras");
        return SERVE_PARSE_ERROR;
    }
    if ((opts->tls_cert == NULL) != (opts->tls_key == NULL)) {
        snprintf(error, error_size, "give --tls-cert and --tls-key together");
        return SERVE_PARSE_ERROR;
    }
    if (opts->credentials != NULL && opts->no_auth) {
        snprintf(error, error_size, "give --credentials or --no-auth, not both");
        return SERVE_PARSE_ERROR;
    }
    return SERVE_PARSE_OK;
}
