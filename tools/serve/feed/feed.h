/*
 * One camera's capture, shared by every client of both protocols: a
 * pipeline from boardcamsrc through a tee into a JPEG encoder and an H.264
 * encoder, each encoding once however many clients watch.
 *
 * On demand: the camera is opened when the first user arrives and closed
 * `linger` seconds after the last one leaves. A capture that fails closes
 * the camera and tries it again with a back-off (camera_fault.h) while it
 * has users; they stay, and get frames again when it recovers. Each branch passes frames only
 * while it has users, so a camera watched only over MJPEG spends nothing on
 * H.264, and the other way round.
 *
 * Threads: every function runs on the main loop except feed_stats(),
 * feed_add_h264_sink() and feed_remove_h264_sink(), which may be called from
 * any thread. JPEG watchers are called on the main loop; H.264 sinks are fed
 * from the pipeline's streaming thread.
 */
#ifndef SERVE_FEED_H
#define SERVE_FEED_H

#include <stdint.h>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

struct feed_config {
    int camera;
    int width;
    int height;
    int fps;
    const char *h264_encoder; /* gst-launch description */
    int jpeg_quality;
    int linger_s;
};

enum feed_use { FEED_JPEG = 0, FEED_H264 = 1, FEED_USES = 2 };

/* Called on the main loop with each new JPEG (shared by every watcher: ref
 * it to keep it). A capture error does not end the watch: the camera is
 * tried again, and JPEGs come again when it recovers. */
typedef void (*feed_jpeg_fn)(GBytes *jpeg, void *user);

struct feed_watcher {
    feed_jpeg_fn on_jpeg;
    void *user;
};

struct feed_stats {
    int streaming;        /* the camera is open */
    uint64_t frames;      /* frames read from the camera since start-up */
    uint64_t dropped;     /* frames the camera dropped (gaps in its sequence) */
    double measured_fps;  /* over the last two seconds; 0 when not streaming */
    gchar *error;         /* while the camera is failing: its newest error, else NULL */
    gchar *error_since;   /* with error: when this outage began, RFC 3339 in UTC */
    uint64_t errors_total; /* capture failures since start-up */
};

struct feed;

/* Builds the pipeline (the camera stays closed). NULL with `error` set when
 * an element is missing or the description does not parse. */
struct feed *feed_new(const struct feed_config *config, GError **error);
/* Closes the camera for good, at the program's stop: every frame the capture
 * holds is released, and neither users nor retries open it again. The feed
 * stays valid for its users to leave. NULL is ignored. */
void feed_close(struct feed *feed);
/* Closes the camera and frees everything; every frame is released. */
void feed_free(struct feed *feed);

/* A user of `use` arrives or leaves. The first opens the camera; after the
 * last, the camera closes when the linger has passed. */
void feed_acquire(struct feed *feed, enum feed_use use);
void feed_release(struct feed *feed, enum feed_use use);

/* JPEG watchers: the watcher struct is the caller's and must stay valid
 * until removed. Watching does not acquire the feed. */
void feed_watch_jpeg(struct feed *feed, struct feed_watcher *watcher);
void feed_unwatch_jpeg(struct feed *feed, struct feed_watcher *watcher);
/* The newest JPEG while the JPEG branch runs, else NULL; the caller owns the
 * reference returned. */
GBytes *feed_latest_jpeg(struct feed *feed);

/* An appsrc that receives every H.264 access unit from now on, stamped with
 * its pipeline's running time by the feed (or none while that pipeline has
 * none yet); it must not stamp them itself (do-timestamp=false). The feed
 * holds a reference until removed. */
void feed_add_h264_sink(struct feed *feed, GstAppSrc *sink);
void feed_remove_h264_sink(struct feed *feed, GstAppSrc *sink);
/* Asks the encoder for a key frame, so that a new client starts at once. */
void feed_request_key_frame(struct feed *feed);
/* A key frame asked for upstream of `pad` (a viewer that lost one, a
 * segment's boundary) goes to the camera's encoder, which makes one for
 * every client. Returns the probe's id, for gst_pad_remove_probe(). */
gulong feed_pass_key_frame_requests(struct feed *feed, GstPad *pad);

/* Fills `out`; its strings are the caller's, freed by feed_stats_clear(). */
void feed_stats(struct feed *feed, struct feed_stats *out);
void feed_stats_clear(struct feed_stats *stats);
/* While the camera is failing and waits for its next attempt, its newest
 * error (the caller frees it); else NULL, and a new user makes an attempt.
 * Main loop only. */
gchar *feed_error(struct feed *feed);
int feed_camera(const struct feed *feed);
const struct feed_config *feed_config(const struct feed *feed);

#endif
