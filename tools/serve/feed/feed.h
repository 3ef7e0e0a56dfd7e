/*
 * One camera's capture, shared by every client of both protocols: a
 * pipeline from boardcamsrc through a tee into a JPEG encoder and an H.264
 * encoder, each encoding once however many clients watch.
 *
 * Viewers on slow links take a second, small H.264 encoding instead (the low
 * tier, about 640x360 at 15 fps), which runs only while one of them needs it
 * and whose bit rate follows the slowest of them. Key frames that viewers ask
 * of the main encoder are coalesced (key_frame_governor.h): every client of
 * it pays for each one.
 *
 * On demand: the camera is opened when the first user arrives and closed
 * `linger` seconds after the last one leaves. A capture that fails closes
 * the camera and tries it again with a back-off (camera_fault.h) while it
 * has users; they stay, and get frames again when it recovers. Each branch passes frames only
 * while it has users, so a camera watched only over MJPEG spends nothing on
 * H.264, and the other way round.
 *
 * Threads: every function runs on the main loop except feed_add_h264_sink(),
 * feed_remove_h264_sink(), feed_request_key_frame(), feed_force_key_frame()
 * feed_request_sink_key_frame() and feed_sink_tier(), which may be called
 * from any thread. JPEG watchers are called on the main loop; H.264 sinks are fed
 * from the pipeline's streaming thread.
 */
#ifndef SERVE_FEED_H
#define SERVE_FEED_H

#include <stdint.h>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include "h264_sinks.h"

struct feed_config {
    int camera;
    int width;
    int height;
    int fps;
    const char *h264_encoder; /* gst-launch description */
    const char *low_h264_encoder; /* the low tier's, without a name; NULL: no low tier */
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
    uint64_t key_frames_asked;  /* asked of the main encoder by clients, through the governor */
    uint64_t key_frames_made;   /* of those, requests sent to it */
    uint64_t key_frames_forced; /* asked for outside the governor: segment boundaries */
    uint64_t key_frames;        /* key frames out of the main encoder, its own included */
    uint64_t low_key_frames;    /* out of the low tier's encoder */
    uint64_t tier_switches;     /* sinks moved between tiers */
    int low_running;            /* the low tier is encoding */
    int low_kbps;               /* its bit rate */
    int low_fps;                /* its frame rate */
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

/* An appsrc that receives every H.264 access unit of the main tier from now
 * on, stamped with its pipeline's running time by the feed (or none while
 * that pipeline has none yet); it must not stamp them itself
 * (do-timestamp=false). The feed holds a reference until removed. A sink
 * that was ever switched to the low tier is removed on the main loop. */
void feed_add_h264_sink(struct feed *feed, GstAppSrc *sink);
void feed_remove_h264_sink(struct feed *feed, GstAppSrc *sink);

/* Asks the main encoder for a key frame for a new client, which starts at
 * once: it shares one asked for and not yet out, else one is made. */
void feed_request_key_frame(struct feed *feed);
/* A key frame now, outside the governor: a recording's segment boundary. */
void feed_force_key_frame(struct feed *feed);
/* A key frame for `sink`, from the tier it takes or moves to: for a new
 * viewer (`join`, served at once as above), or after a loss, through that
 * tier's governor, which makes at most one of those a second (a request
 * beyond waits, and the next key frame of any cause answers it). */
void feed_request_sink_key_frame(struct feed *feed, GstAppSrc *sink, int join);
/* A key frame asked for upstream of `pad` (a segment's boundary) is forced
 * out of the camera's encoder. Returns the probe's id, for
 * gst_pad_remove_probe(). */
gulong feed_pass_key_frame_requests(struct feed *feed, GstPad *pad);

/* Whether the feed has a low tier (an encoder was found for it). */
int feed_has_low_tier(const struct feed *feed);
/* Moves `sink` to `tier` at that tier's next key frame, with its parameter
 * sets. Going down, it gets nothing until then (its link does not carry the
 * main stream), and the low tier is asked for a key frame at once; going up,
 * it keeps the low tier until the main encoder's own next key frame. Starts the
 * low tier when a first sink wants it; it stops 30 s after the last leaves.
 * 0, or -1 for a sink not added or a feed without a low tier. */
int feed_switch_h264_sink(struct feed *feed, GstAppSrc *sink, enum feed_tier tier);
/* The low tier's bit rate that `sink`'s link takes (kbit/s): the tier runs
 * at the lowest wish of the sinks on it, at half its frame rate below 300. */
void feed_set_low_tier_wish(struct feed *feed, GstAppSrc *sink, int kbps);
/* `sink` falls behind: its tier's delta frames are skipped until the next
 * key frame, which is asked for. */
void feed_skip_to_key_frame(struct feed *feed, GstAppSrc *sink);
/* The tier `sink` takes (-1: not added), and in `switching_to` (if not
 * NULL) the one it moves to, or -1. Any thread. */
int feed_sink_tier(struct feed *feed, GstAppSrc *sink, int *switching_to);

/* The low tier's frame rate. Main loop only. */
int feed_low_fps(const struct feed *feed);

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
