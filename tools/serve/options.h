/* Command line of boardcam-serve. */
#ifndef SERVE_OPTIONS_H
#define SERVE_OPTIONS_H

#include <stddef.h>

#define SERVE_MAX_CAMERAS 2

struct serve_camera_options {
    int id;
    int width;
    int height;
    int fps;
};

struct serve_options {
    struct serve_camera_options cameras[SERVE_MAX_CAMERAS]; /* each camera at most once */
    int camera_count;
    const char *listen;       /* address both servers listen on */
    int rtsp_port;            /* 0: any free port, printed at start */
    int http_port;
    const char *credentials;  /* user:password lines; NULL: no authentication */
    int no_auth;              /* the user said out loud to serve without it */
    const char *tls_cert;     /* PEM files; both or neither */
    const char *tls_key;
    const char *h264_encoder; /* gst-launch description; NULL: the first that exists */
    int bitrate_kbps;
    int jpeg_quality;         /* 1..100 */
    int linger_s;             /* seconds a camera stays open after its last client */
    int max_clients;          /* streaming clients at once, every protocol together */
    int webrtc_port_min;      /* UDP ports of WebRTC; 0 and 0: any */
    int webrtc_port_max;
    const char *stun;         /* stun:// server for WebRTC; NULL: none */
    const char *publish;      /* rtsp:// base a media server receives at; NULL: none */
    const char *record;       /* directory every served camera is recorded into; NULL: none */
    int segment_s;            /* length of a recorded segment */
    int record_camera[2];     /* which cameras are recorded (by id), when record is set */
    int keep_days;            /* segments older than this are deleted; 0 keeps all */
    double keep_free_percent; /* free space retention keeps, % of the disk; or... */
    unsigned long long keep_free_bytes; /* ...in bytes, when keep_free_percent is 0 */
    const char *library_log;  /* where the library's reports go; NULL: the default */
    int verbose;              /* keep the library's reports on standard output */
};

enum serve_parse_result { SERVE_PARSE_OK, SERVE_PARSE_HELP, SERVE_PARSE_ERROR };

/* Fills opts from argv; on SERVE_PARSE_ERROR, error holds a one-line
 * description. The strings in opts point into argv. */
enum serve_parse_result serve_parse_options(int argc, char **argv, struct serve_options *opts, char *error,
                                            size_t error_size);

void serve_print_usage(const char *program);

/* 1 when `address` is a loopback address (127.0.0.0/8, ::1, "localhost"). */
int serve_is_loopback(const char *address);

#endif
