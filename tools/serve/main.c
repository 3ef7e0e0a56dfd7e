/*
 * boardcam-serve: watch the board's cameras over the network.
 *
 * One capture per camera (feed/) feeds every client: H.264 over RTSP
 * (rtsp/) and WebRTC (webrtc/), MJPEG, snapshots, the page, status and
 * metrics over HTTP (http/), and the recordings (record/). Each part knows
 * the feeds and the HTTP service, never another protocol: this file wires
 * them together. A camera is open only while someone watches it. Without
 * credentials the program listens on loopback alone.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <glib-unix.h>
#include <gst/gst.h>

#include "credentials.h"
#include "feed/feed.h"
#include "feed/h264_encoder.h"
#include "feed/sharing.h"
#include "feed/viewers.h"
#include "http/http.h"
#include "library_log.h"
#include "mse/mse_http.h"
#include "options.h"
#include "record/recordings.h"
#include "record/recordings_http.h"
#include "record/recordings_status.h"
#include "rtsp/publish.h"
#include "rtsp/rtsp.h"
#include "stop_watchdog.h"
#include "webrtc/webrtc_session.h"
#include "webrtc/whep.h"

#define PROGRAM "boardcam-serve"
/* The library's log is rotated past this size: a server runs for months. */
#define LIBRARY_LOG_LIMIT (8L << 20)
/* From the stop signal, how long the stop waits for WebRTC sessions to be torn down. */
#define WEBRTC_TEARDOWN_WAIT_US (1500 * 1000)
/* A segment's close writes its last fragment and index: milliseconds. */
#define RECORDING_CLOSE_WAIT_US (1000 * 1000)

/* When the first stop signal came (monotonic microseconds), 0 before. */
static gint64 stop_requested;

static gboolean on_stop_signal(gpointer data) {
    if (stop_requested == 0) stop_requested = g_get_monotonic_time();
    g_main_loop_quit(data);
    return G_SOURCE_CONTINUE;
}

static gboolean rotate_library_log(gpointer data) {
    (void)data;
    if (library_log_rotate(LIBRARY_LOG_LIMIT) < 0)
        fprintf(stderr, PROGRAM ": cannot start a new library log; the reports go on into the old one\n");
    return G_SOURCE_CONTINUE;
}

static void send_library_log(const struct serve_options *opts) {
    char path[4096];
    const char *logs = getenv("LOGS_DIRECTORY");
    if (opts->verbose) return;
    if (opts->library_log != NULL) {
        snprintf(path, sizeof path, "%s", opts->library_log);
    } else if (logs != NULL && *logs != '\0') {
        /* systemd's LogsDirectory= may name several folders; the first is ours. */
        snprintf(path, sizeof path, "%.*s/boardcam.log", (int)strcspn(logs, ":"), logs);
    } else {
        snprintf(path, sizeof path, "boardcam.log");
    }
    if (library_log_redirect(path) != 0)
        fprintf(stderr, PROGRAM ": warning: cannot write the library's log %s; its reports stay on standard "
                        "output\n", path);
}

static int check_security(const struct serve_options *opts, struct credentials *creds,
                          GTlsCertificate **certificate) {
    char error[512];
    if (!serve_is_loopback(opts->listen) && opts->credentials == NULL && !opts->no_auth) {
        fprintf(stderr, PROGRAM ": refusing to listen on %s without passwords: anyone who can reach it could "
                        "watch. Give --credentials FILE, or --no-auth to serve without them.\n", opts->listen);
        return -1;
    }
    if (opts->credentials != NULL && credentials_load(opts->credentials, creds, error, sizeof error) != 0) {
        fprintf(stderr, PROGRAM ": %s\n", error);
        return -1;
    }
    if (opts->tls_cert != NULL) {
        GError *tls_error = NULL;
        *certificate = g_tls_certificate_new_from_files(opts->tls_cert, opts->tls_key, &tls_error);
        if (*certificate == NULL) {
            fprintf(stderr, PROGRAM ": cannot use the certificate %s with the key %s: %s\n", opts->tls_cert,
                    opts->tls_key, tls_error->message);
            g_error_free(tls_error);
            return -1;
        }
    }
    return 0;
}

static int make_feeds(const struct serve_options *opts, struct feed *feeds[2]) {
    int i;
    for (i = 0; i < opts->camera_count; ++i) {
        const struct serve_camera_options *cam = &opts->cameras[i];
        struct feed_config config;
        char encoder[1024], low_encoder[1024];
        GError *error = NULL;
        /* A key frame every two seconds; a joining client asks for one at
         * once anyway. A recorded camera's come every second: the segment
         * splitter holds back the group of pictures it has not placed yet,
         * and what it holds is what a power cut loses. */
        const int recorded = opts->record != NULL && opts->record_camera[cam->id];
        if (h264_encoder_describe(opts->h264_encoder, opts->bitrate_kbps, recorded ? cam->fps : cam->fps * 2, encoder,
                                  sizeof encoder)) {
            fprintf(stderr, PROGRAM ": no H.264 encoder: install v4l2h264enc or x264enc "
                            "(gstreamer1.0-plugins-ugly), or name one with --h264-encoder\n");
            return -1;
        }
        config.camera = cam->id;
        config.width = cam->width;
        config.height = cam->height;
        config.fps = cam->fps;
        config.h264_encoder = encoder;
        /* The low tier for slow links: its own encoder context, a key frame
         * every two seconds and on demand. Without an encoder of our own
         * choosing there is none: a --h264-encoder named by the user is the
         * one to use, and it may not be startable twice. */
        config.low_h264_encoder =
            opts->h264_encoder == NULL && h264_encoder_describe_low(600, 30, low_encoder, sizeof low_encoder) == 0
                ? low_encoder
                : NULL;
        config.jpeg_quality = opts->jpeg_quality;
        config.linger_s = opts->linger_s;
        feeds[cam->id] = feed_new(&config, &error);
        if (feeds[cam->id] == NULL) {
            fprintf(stderr, PROGRAM ": camera %d: cannot build its capture: %s\n", cam->id, error->message);
            g_error_free(error);
            return -1;
        }
    }
    return 0;
}

static void print_addresses(const struct serve_options *opts, int secure, int http_port, int rtsp_port) {
    const int ipv6 = strchr(opts->listen, ':') != NULL;
    const char *open = ipv6 ? "[" : "", *close = ipv6 ? "]" : "";
    fprintf(stderr, PROGRAM ": page at %s://%s%s%s:%d/, streams at %s://%s%s%s:%d/cam%d%s\n",
            secure ? "https" : "http", open, opts->listen, close, http_port, secure ? "rtsps" : "rtsp", open,
            opts->listen, close, rtsp_port, opts->cameras[0].id,
            opts->camera_count == 2 ? (opts->cameras[1].id == 1 ? " and /cam1" : " and /cam0") : "");
}

int main(int argc, char **argv) {
    struct serve_options opts;
    struct credentials creds = {NULL, 0};
    GTlsCertificate *certificate = NULL;
    struct feed *feeds[2] = {NULL, NULL};
    struct publisher *publishers[2] = {NULL, NULL};
    struct recordings *recordings = NULL;
    struct rtsp_service *rtsp = NULL;
    struct http_service *http = NULL;
    struct whep_service *whep = NULL;
    struct mse_service *mse = NULL;
    GMainLoop *loop;
    GError *error = NULL;
    char message[512];
    const gint64 started = g_get_monotonic_time();
    int status = 1, i;
    guint signals[2], rotation;
    /* Standard output carries the camera library's reports (--verbose);
     * GLib's messages, G_MESSAGES_DEBUG's included, go with ours. */
    g_log_writer_default_set_use_stderr(TRUE);

    switch (serve_parse_options(argc, argv, &opts, message, sizeof message)) {
    case SERVE_PARSE_HELP:
        serve_print_usage(PROGRAM);
        return 0;
    case SERVE_PARSE_ERROR:
        fprintf(stderr, PROGRAM ": %s\nTry '" PROGRAM " --help'.\n", message);
        return 2;
    case SERVE_PARSE_OK:
        break;
    }
    if (opts.record != NULL && (g_mkdir_with_parents(opts.record, 0755) != 0 || access(opts.record, W_OK | X_OK) != 0)) {
        fprintf(stderr, PROGRAM ": cannot record into %s: %s\n", opts.record, g_strerror(errno));
        return 1;
    }
    /* A service may be stopped at any moment, while it starts too: from here
     * on a stop signal is a stop like any other, taken up when the start is
     * done (nothing is half made), with the usual exit. */
    loop = g_main_loop_new(NULL, FALSE);
    signals[0] = g_unix_signal_add(SIGTERM, on_stop_signal, loop);
    signals[1] = g_unix_signal_add(SIGINT, on_stop_signal, loop);
    if (strcmp(opts.listen, "localhost") == 0) opts.listen = "127.0.0.1";
    if (check_security(&opts, &creds, &certificate) != 0) {
        credentials_free(&creds);
        return 2;
    }
    /* Before anything can call the library: its per-frame reports go to a log. */
    send_library_log(&opts);
    /* A client that goes away mid-write must not end the program. */
    signal(SIGPIPE, SIG_IGN);

    gst_init(NULL, NULL);
    viewers_init(opts.max_clients);
    {
        GstElementFactory *source = gst_element_factory_find("boardcamsrc");
        if (source == NULL) {
            fprintf(stderr, PROGRAM ": the boardcam GStreamer plugin (boardcamsrc) is not installed\n");
            goto out;
        }
        gst_object_unref(source);
    }
    if (make_feeds(&opts, feeds) != 0) goto out;
    {
        const bool served[2] = {feeds[0] != NULL, feeds[1] != NULL};
        sharing_watch_start(served);
    }
    if (opts.record != NULL) {
        struct recordings_config rc = {opts.record, opts.segment_s,
                                       {opts.keep_days, opts.keep_free_bytes, opts.keep_free_percent, NULL, NULL}};
        struct feed *recorded[2];
        for (i = 0; i < 2; ++i) recorded[i] = opts.record_camera[i] ? feeds[i] : NULL;
        recordings = recordings_start(recorded, &rc);
    }

    {
        struct rtsp_config rc = {opts.listen, opts.rtsp_port, opts.credentials ? &creds : NULL, certificate,
                                 {feeds[0], feeds[1]}};
        struct webrtc_config wc = {opts.listen, opts.webrtc_port_min, opts.webrtc_port_max, opts.stun};
        struct http_config hc;
        memset(&hc, 0, sizeof hc);
        hc.address = opts.listen;
        hc.port = opts.http_port;
        hc.creds = opts.credentials ? &creds : NULL;
        hc.certificate = certificate;
        hc.feeds[0] = feeds[0];
        hc.feeds[1] = feeds[1];
        hc.started = started;
        whep = whep_service_new(feeds, &wc);
        hc.routes[hc.route_count++] = whep_route(whep);
        mse = mse_service_new(feeds);
        hc.routes[hc.route_count++] = mse_route(mse);
        hc.routes[hc.route_count++] = recordings_http_route(recordings_dir(recordings));
        hc.status_sources[hc.status_source_count++] = recordings_status_source(recordings);
        hc.status_sources[hc.status_source_count++] = mse_status_source(mse);
        rtsp = rtsp_service_start(&rc, &error);
        if (rtsp == NULL) {
            fprintf(stderr, PROGRAM ": cannot serve RTSP on %s port %d: %s\n", opts.listen, opts.rtsp_port,
                    error->message);
            goto out;
        }
        http = http_service_start(&hc, &error);
        if (http == NULL) {
            fprintf(stderr, PROGRAM ": cannot serve HTTP on %s port %d: %s\n", opts.listen, opts.http_port,
                    error->message);
            goto out;
        }
    }
    for (i = 0; i < 2 && opts.publish != NULL; ++i) {
        if (feeds[i] == NULL) continue;
        publishers[i] = publisher_start(feeds[i], opts.publish, &error);
        if (publishers[i] == NULL) {
            fprintf(stderr, PROGRAM ": cannot publish: %s\n", error->message);
            goto out;
        }
    }
    print_addresses(&opts, certificate != NULL, http_service_port(http), rtsp_service_port(rtsp));

    rotation = g_timeout_add_seconds(10, rotate_library_log, NULL);
    /* A stop asked for during the start is taken up now. */
    if (stop_requested == 0) g_main_loop_run(loop);
    g_source_remove(rotation);
    status = 0;

out:
    g_source_remove(signals[0]);
    g_source_remove(signals[1]);
    if (error != NULL) g_error_free(error);
    /* The RTSP clients close first, while frames still flow: a media being
     * prepared for one needs its first frames to finish, and its client's
     * thread serves the others too. Then the cameras, whatever the other
     * clients are doing: from then on a part that holds the stop up can be
     * cut short without losing anything. */
    if (status == 0) stop_watchdog_start(stop_requested != 0 ? stop_requested : g_get_monotonic_time());
    stop_watchdog_stage("closing the RTSP clients");
    rtsp_service_stop(rtsp);
    stop_watchdog_stage("closing the WebRTC sessions");
    whep_service_stop(whep);
    mse_service_stop(mse);
    stop_watchdog_stage("closing the recordings");
    /* Each segment's last fragment and index go to disk before its camera
     * closes. */
    recordings_stop(recordings, RECORDING_CLOSE_WAIT_US);
    stop_watchdog_stage("closing the cameras");
    for (i = 0; i < 2; ++i) feed_close(feeds[i]);
    stop_watchdog_cameras_closed();
    stop_watchdog_stage("stopping the publishers");
    for (i = 0; i < 2; ++i) publisher_stop(publishers[i]);
    stop_watchdog_stage("closing the HTTP clients");
    http_service_stop(http);
    whep_service_free(whep);
    mse_service_free(mse);
    stop_watchdog_stage("the main loop's last work");
    /* What the stops left for the loop: the media let go of their cameras. */
    while (g_main_context_iteration(NULL, FALSE)) {
    }
    stop_watchdog_stage("tearing the WebRTC sessions down");
    /* webrtcbin takes its time to stop (ICE, DTLS), more on a loaded board.
     * The cameras are closed and every frame released: a session still
     * closing when the stop's time is up is left to the process's end. */
    if (webrtc_sessions_wait_for_teardowns((stop_requested != 0 ? stop_requested : g_get_monotonic_time()) +
                                           WEBRTC_TEARDOWN_WAIT_US) != 0) {
        fprintf(stderr, PROGRAM ": WebRTC sessions were still closing; ending without them. Stopped; every camera "
                        "is closed\n");
        fflush(stderr);
        _exit(0);
    }
    stop_watchdog_stage("freeing the captures");
    sharing_watch_stop();
    for (i = 0; i < 2; ++i) feed_free(feeds[i]);
    while (g_main_context_iteration(NULL, FALSE)) {
    }
    if (certificate != NULL) g_object_unref(certificate);
    credentials_free(&creds);
    g_main_loop_unref(loop);
    /* Everything GStreamer made is gone now: leak checkers see only real leaks. */
    stop_watchdog_stage("GStreamer's own end");
    gst_deinit();
    stop_watchdog_finish();
    if (status == 0) fprintf(stderr, PROGRAM ": stopped; every camera is closed\n");
    fflush(stdout);
    return status;
}
