#include "feed.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include "camera_fault.h"
#include "h264_sinks.h"
#include "key_frame_governor.h"

#define PROGRAM "boardcam-serve"
/* Arrival times kept for the measured rate: enough for two seconds at 240 fps. */
#define ARRIVALS 512
/* The low tier: about 640x360 at up to 15 fps, its bit rate set by its
 * slowest viewer, and at half the rate below LOW_HALF_RATE_KBPS. */
#define LOW_HEIGHT 360
#define LOW_FPS 15
#define LOW_START_KBPS 600
#define LOW_HALF_RATE_KBPS 300
/* Its encoder is stopped this long after its last viewer has gone. */
#define LOW_LINGER_MS 30000
/* Its viewers' key frames are coalesced too: on a slow link, a burst of key
 * frames is what loses the next one. */
#define LOW_KEY_FRAME_INTERVAL_US 1000000

struct feed {
    struct feed_config config;
    GstElement *pipeline;
    GstElement *valves[FEED_USES];
    GstElement *jpeg_sink;
    GstElement *h264_sink;
    GstElement *low_valve;
    GstElement *low_rate;
    GstElement *low_encoder;
    GstElement *low_sink;
    guint bus_watch;

    /* Main loop only. */
    int users[FEED_USES];
    int running;
    int closed;           /* feed_close(): the camera stays closed */
    guint linger_timer;
    guint retry_timer;
    guint low_linger_timer;
    int low_running;      /* the low tier's valve is open */
    int low_kbps;         /* its encoder's bit rate */
    int low_fps;          /* its frame rate */
    GPtrArray *watchers;

    /* Shared with the streaming threads. A pthread mutex, not a GMutex, so
     * that ThreadSanitizer sees it. */
    pthread_mutex_t lock;
    GstSample *pending_jpeg;  /* newest JPEG not yet handed to the watchers */
    guint jpeg_idle;
    GBytes *latest_jpeg;
    GPtrArray *h264_sinks;   /* struct h264_sink */
    struct key_frame_governor governors[FEED_TIERS];
    uint64_t key_frames[FEED_TIERS]; /* key frames out of each tier's encoder */
    uint64_t forced_key_frames;      /* asked for outside the governor: segment boundaries */
    uint64_t switches;               /* sinks moved between tiers */
    int sinks_ended;      /* feed_close(): every sink, and any added later, has its end of stream */
    int streaming;
    uint64_t frames;
    uint64_t dropped;
    guint64 last_offset;
    gint64 arrivals[ARRIVALS]; /* monotonic microseconds, a ring */
    unsigned arrival_count;
    struct camera_fault fault;
};

static void set_valves(struct feed *feed) {
    int use;
    for (use = 0; use < FEED_USES; ++use) g_object_set(feed->valves[use], "drop", feed->users[use] == 0, NULL);
}

static int total_users(const struct feed *feed) { return feed->users[FEED_JPEG] + feed->users[FEED_H264]; }

static void start(struct feed *feed) {
    if (feed->running || feed->closed) return;
    pthread_mutex_lock(&feed->lock);
    feed->last_offset = GST_BUFFER_OFFSET_NONE;
    feed->arrival_count = 0;
    pthread_mutex_unlock(&feed->lock);
    set_valves(feed);
    feed->running = 1;
    /* A camera that does not open posts its error on the bus, where the
     * retry is planned and the failure logged. */
    gst_element_set_state(feed->pipeline, GST_STATE_PLAYING);
}

static void notify_watchers(struct feed *feed, GBytes *jpeg) {
    /* A watcher may remove itself (or others) when called: walk a copy. */
    GPtrArray *copy = g_ptr_array_copy(feed->watchers, NULL, NULL);
    guint i;
    for (i = 0; i < copy->len; ++i) {
        struct feed_watcher *w = g_ptr_array_index(copy, i);
        if (g_ptr_array_find(feed->watchers, w, NULL)) w->on_jpeg(jpeg, w->user);
    }
    g_ptr_array_unref(copy);
}

/* Closes the camera: NULL state releases every frame the pipeline holds. */
static void stop(struct feed *feed) {
    GstSample *pending;
    if (!feed->running) return;
    feed->running = 0;
    gst_element_set_state(feed->pipeline, GST_STATE_NULL);
    pthread_mutex_lock(&feed->lock);
    pending = feed->pending_jpeg;
    feed->pending_jpeg = NULL;
    if (feed->latest_jpeg != NULL) g_bytes_unref(feed->latest_jpeg);
    feed->latest_jpeg = NULL;
    feed->streaming = 0;
    pthread_mutex_unlock(&feed->lock);
    if (pending != NULL) gst_sample_unref(pending);
#ifdef __GLIBC__
    /* A closed camera's pipeline threads leave their heaps mostly free: give
     * the memory back, since the board may be idle for days. */
    malloc_trim(0);
#endif
}

static gboolean on_linger_over(gpointer data) {
    struct feed *feed = data;
    feed->linger_timer = 0;
    if (total_users(feed) == 0) stop(feed);
    return G_SOURCE_REMOVE;
}

static gboolean on_retry(gpointer data) {
    struct feed *feed = data;
    feed->retry_timer = 0;
    if (total_users(feed) > 0) start(feed);
    return G_SOURCE_REMOVE;
}

/* A capture error closes the camera; its users stay, and it is tried again
 * after a back-off. Each attempt is logged once. */
static gboolean on_bus_message(GstBus *bus, GstMessage *message, gpointer data) {
    struct feed *feed = data;
    (void)bus;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError *error = NULL;
        guint delay;
        unsigned attempt;
        gst_message_parse_error(message, &error, NULL);
        /* The pipeline posts one error per failure: later ones of the same
         * failure find it stopped already. */
        if (!feed->running) {
            g_error_free(error);
            return G_SOURCE_CONTINUE;
        }
        stop(feed);
        pthread_mutex_lock(&feed->lock);
        delay = camera_fault_failed(&feed->fault, error->message, g_get_real_time());
        attempt = feed->fault.attempts;
        pthread_mutex_unlock(&feed->lock);
        if (total_users(feed) > 0) {
            fprintf(stderr, PROGRAM ": camera %d: %s; retrying in %.0f s (failure %u in a row)\n",
                    feed->config.camera, error->message, delay / 1000.0, attempt);
            if (feed->retry_timer != 0) g_source_remove(feed->retry_timer);
            feed->retry_timer = g_timeout_add(delay, on_retry, feed);
        } else {
            fprintf(stderr, PROGRAM ": camera %d: %s; no one watches, so it is tried again with the next viewer\n",
                    feed->config.camera, error->message);
        }
        g_error_free(error);
    }
    return G_SOURCE_CONTINUE;
}

struct mapped_buffer {
    GstBuffer *buffer;
    GstMapInfo map;
};

static void unmap_buffer(gpointer data) {
    struct mapped_buffer *mapped = data;
    gst_buffer_unmap(mapped->buffer, &mapped->map);
    gst_buffer_unref(mapped->buffer);
    g_free(mapped);
}

/* The JPEG as GBytes without a copy: the bytes keep the buffer mapped. */
static GBytes *bytes_of(GstBuffer *buffer) {
    struct mapped_buffer *mapped = g_new0(struct mapped_buffer, 1);
    if (!gst_buffer_map(buffer, &mapped->map, GST_MAP_READ)) {
        g_free(mapped);
        return NULL;
    }
    mapped->buffer = gst_buffer_ref(buffer);
    return g_bytes_new_with_free_func(mapped->map.data, mapped->map.size, unmap_buffer, mapped);
}

static gboolean deliver_jpeg(gpointer data) {
    struct feed *feed = data;
    GstSample *sample;
    GBytes *jpeg = NULL;
    pthread_mutex_lock(&feed->lock);
    sample = feed->pending_jpeg;
    feed->pending_jpeg = NULL;
    feed->jpeg_idle = 0;
    pthread_mutex_unlock(&feed->lock);
    if (sample == NULL) return G_SOURCE_REMOVE;
    jpeg = bytes_of(gst_sample_get_buffer(sample));
    gst_sample_unref(sample);
    if (jpeg == NULL || !feed->running) {
        if (jpeg != NULL) g_bytes_unref(jpeg);
        return G_SOURCE_REMOVE;
    }
    pthread_mutex_lock(&feed->lock);
    if (feed->latest_jpeg != NULL) g_bytes_unref(feed->latest_jpeg);
    feed->latest_jpeg = g_bytes_ref(jpeg);
    pthread_mutex_unlock(&feed->lock);
    notify_watchers(feed, jpeg);
    g_bytes_unref(jpeg);
    return G_SOURCE_REMOVE;
}

/* Streaming thread. Keeps only the newest JPEG for the main loop, so a busy
 * main loop skips frames instead of queueing them. */
static GstFlowReturn on_jpeg(GstAppSink *sink, gpointer data) {
    struct feed *feed = data;
    GstSample *sample = gst_app_sink_pull_sample(sink), *older;
    if (sample == NULL) return GST_FLOW_EOS;
    pthread_mutex_lock(&feed->lock);
    older = feed->pending_jpeg;
    feed->pending_jpeg = sample;
    if (feed->jpeg_idle == 0) feed->jpeg_idle = g_idle_add(deliver_jpeg, feed);
    pthread_mutex_unlock(&feed->lock);
    if (older != NULL) gst_sample_unref(older);
    return GST_FLOW_OK;
}

/* A sink's running time now, in its own pipeline's time, or none while that
 * pipeline has no running time yet. A bin going to PLAYING hands its clock to
 * every element first and sets their base times after, as it starts each one,
 * sinks first: an element still at its first base time (0) in between would
 * read the clock's own time, hours ahead of the pipeline, and a sink that
 * syncs to the clock would wait for it for hours. A source stamping its
 * buffers with do-timestamp from another thread falls into that gap, so the
 * feed stamps them itself. */
static GstClockTime running_time_now(GstElement *element) {
    GstClock *clock = gst_element_get_clock(element);
    GstClockTime now, base;
    if (clock == NULL) return GST_CLOCK_TIME_NONE;
    now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    base = gst_element_get_base_time(element);
    if (base == 0 || now < base) return GST_CLOCK_TIME_NONE;
    return now - base;
}

static void set_low_bitrate(struct feed *feed);

static GstClockTime stamp_for(GstAppSrc *src) { return running_time_now(GST_ELEMENT(src)); }

static GstElement *encoder_sink(struct feed *feed, enum feed_tier tier) {
    return tier == FEED_TIER_MAIN ? feed->h264_sink : feed->low_sink;
}

/* Any thread, the encoder's own streaming thread included: the request goes
 * upstream from the appsink's pad. gst_element_send_event() would take the
 * element's state lock, which a state change on the main loop holds while it
 * waits for that streaming thread. */
static void send_key_frame_request(struct feed *feed, enum feed_tier tier) {
    GstPad *pad = gst_element_get_static_pad(encoder_sink(feed, tier), "sink");
    if (pad == NULL) return;
    gst_pad_push_event(pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    gst_object_unref(pad);
}

/* Streaming thread: one encoded access unit of `tier` to every sink it is
 * for. A key frame answers the requests waiting for one; a request waiting
 * for the budget goes to the encoder once the budget allows. */
static GstFlowReturn deliver(struct feed *feed, enum feed_tier tier, GstAppSink *sink) {
    GstSample *sample = gst_app_sink_pull_sample(sink);
    GstBuffer *buffer;
    unsigned switched;
    int due;
    if (sample == NULL) return GST_FLOW_EOS;
    buffer = gst_sample_get_buffer(sample);
    pthread_mutex_lock(&feed->lock);
    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) {
        ++feed->key_frames[tier];
        key_frame_governor_key_frame_seen(&feed->governors[tier]);
    }
    due = key_frame_governor_due(&feed->governors[tier], g_get_monotonic_time());
    switched = h264_sinks_deliver(feed->h264_sinks, tier, buffer, gst_sample_get_caps(sample), stamp_for);
    feed->switches += switched;
    pthread_mutex_unlock(&feed->lock);
    if (switched > 0) g_debug("camera %d: %u sink%s moved to the %s tier", feed->config.camera, switched,
                              switched == 1 ? "" : "s", tier == FEED_TIER_LOW ? "low" : "main");
    gst_sample_unref(sample);
    if (due) send_key_frame_request(feed, tier);
    return GST_FLOW_OK;
}

static GstFlowReturn on_h264(GstAppSink *sink, gpointer data) { return deliver(data, FEED_TIER_MAIN, sink); }

static GstFlowReturn on_low(GstAppSink *sink, gpointer data) { return deliver(data, FEED_TIER_LOW, sink); }

/* Every frame from the camera, before the tee: counts and gaps. */
static GstPadProbeReturn on_frame(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
    struct feed *feed = data;
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    const guint64 offset = GST_BUFFER_OFFSET(buffer);
    (void)pad;
    unsigned recovered;
    pthread_mutex_lock(&feed->lock);
    recovered = camera_fault_recovered(&feed->fault);
    feed->streaming = 1;
    ++feed->frames;
    if (offset != GST_BUFFER_OFFSET_NONE && feed->last_offset != GST_BUFFER_OFFSET_NONE &&
        offset > feed->last_offset + 1)
        feed->dropped += offset - feed->last_offset - 1;
    feed->last_offset = offset;
    feed->arrivals[feed->arrival_count++ % ARRIVALS] = g_get_monotonic_time();
    pthread_mutex_unlock(&feed->lock);
    if (recovered > 0)
        fprintf(stderr, PROGRAM ": camera %d: frames flow again after %u failure%s\n", feed->config.camera,
                recovered, recovered == 1 ? "" : "s");
    return GST_PAD_PROBE_OK;
}

/* The low tier's picture: at most LOW_HEIGHT lines, the camera's shape, an
 * even width. */
static void low_size(const struct feed_config *config, int *width, int *height) {
    *height = config->height < LOW_HEIGHT ? config->height : LOW_HEIGHT;
    *width = (int)((gint64)config->width * *height / config->height) & ~1;
    if (*width < 2) *width = 2;
}

static gchar *describe_pipeline(const struct feed_config *config) {
    gchar *low = NULL, *description;
    if (config->low_h264_encoder != NULL) {
        int width, height;
        const int fps = config->fps < LOW_FPS ? config->fps : LOW_FPS;
        low_size(config, &width, &height);
        low = g_strdup_printf(
            "t. ! valve name=low_valve drop=true ! queue max-size-buffers=2 max-size-bytes=0 max-size-time=0 "
            "leaky=downstream ! videorate name=low_rate drop-only=true max-rate=%d ! videoscale ! "
            "video/x-raw,width=%d,height=%d,pixel-aspect-ratio=1/1 ! videoconvert ! %s name=low_encoder ! "
            "h264parse config-interval=-1 ! video/x-h264,stream-format=byte-stream,alignment=au ! "
            "appsink name=low_sink sync=false async=false",
            fps, width, height, config->low_h264_encoder);
    }
    description = g_strdup_printf(
        "boardcamsrc name=src camera=%d ! video/x-raw,format=NV12,width=%d,height=%d,framerate=%d/1 ! tee name=t "
        "t. ! valve name=jpeg_valve drop=true ! queue max-size-buffers=2 max-size-bytes=0 max-size-time=0 "
        "leaky=downstream ! jpegenc quality=%d ! appsink name=jpeg_sink sync=false async=false max-buffers=1 drop=true "
        "t. ! valve name=h264_valve drop=true ! queue max-size-buffers=2 max-size-bytes=0 max-size-time=0 "
        "leaky=downstream ! videoconvert ! %s ! h264parse config-interval=-1 ! "
        "video/x-h264,stream-format=byte-stream,alignment=au ! appsink name=h264_sink sync=false async=false %s",
        config->camera, config->width, config->height, config->fps, config->jpeg_quality, config->h264_encoder,
        low != NULL ? low : "");
    g_free(low);
    return description;
}

struct feed *feed_new(const struct feed_config *config, GError **error) {
    struct feed *feed;
    GstElement *src;
    GstPad *pad;
    GstAppSinkCallbacks jpeg_callbacks = {0}, h264_callbacks = {0}, low_callbacks = {0};
    gchar *description = describe_pipeline(config);
    GstElement *pipeline = gst_parse_launch_full(description, NULL, GST_PARSE_FLAG_FATAL_ERRORS, error);
    g_free(description);
    if (pipeline == NULL) return NULL;

    feed = g_new0(struct feed, 1);
    feed->config = *config;
    feed->config.low_h264_encoder = NULL; /* the caller's string: only used here */
    feed->pipeline = pipeline;
    feed->valves[FEED_JPEG] = gst_bin_get_by_name(GST_BIN(pipeline), "jpeg_valve");
    feed->valves[FEED_H264] = gst_bin_get_by_name(GST_BIN(pipeline), "h264_valve");
    feed->jpeg_sink = gst_bin_get_by_name(GST_BIN(pipeline), "jpeg_sink");
    feed->h264_sink = gst_bin_get_by_name(GST_BIN(pipeline), "h264_sink");
    feed->low_valve = gst_bin_get_by_name(GST_BIN(pipeline), "low_valve");
    feed->low_rate = gst_bin_get_by_name(GST_BIN(pipeline), "low_rate");
    feed->low_encoder = gst_bin_get_by_name(GST_BIN(pipeline), "low_encoder");
    feed->low_sink = gst_bin_get_by_name(GST_BIN(pipeline), "low_sink");
    feed->low_kbps = LOW_START_KBPS;
    feed->low_fps = config->fps < LOW_FPS ? config->fps : LOW_FPS;
    feed->watchers = g_ptr_array_new();
    feed->h264_sinks = h264_sinks_new();
    key_frame_governor_init(&feed->governors[FEED_TIER_MAIN], KEY_FRAME_GOVERNOR_INTERVAL_US);
    key_frame_governor_init(&feed->governors[FEED_TIER_LOW], LOW_KEY_FRAME_INTERVAL_US);
    feed->last_offset = GST_BUFFER_OFFSET_NONE;
    pthread_mutex_init(&feed->lock, NULL);

    jpeg_callbacks.new_sample = on_jpeg;
    gst_app_sink_set_callbacks(GST_APP_SINK(feed->jpeg_sink), &jpeg_callbacks, feed, NULL);
    h264_callbacks.new_sample = on_h264;
    gst_app_sink_set_callbacks(GST_APP_SINK(feed->h264_sink), &h264_callbacks, feed, NULL);
    if (feed->low_sink != NULL) {
        low_callbacks.new_sample = on_low;
        gst_app_sink_set_callbacks(GST_APP_SINK(feed->low_sink), &low_callbacks, feed, NULL);
    }
    if (feed->low_encoder != NULL) set_low_bitrate(feed);

    src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    pad = gst_element_get_static_pad(src, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, on_frame, feed, NULL);
    gst_object_unref(pad);
    gst_object_unref(src);

    {
        GstBus *bus = gst_element_get_bus(pipeline);
        feed->bus_watch = gst_bus_add_watch(bus, on_bus_message, feed);
        gst_object_unref(bus);
    }
    return feed;
}

void feed_free(struct feed *feed) {
    int use;
    if (feed == NULL) return;
    feed_close(feed);
    pthread_mutex_lock(&feed->lock);
    if (feed->jpeg_idle != 0) g_source_remove(feed->jpeg_idle);
    feed->jpeg_idle = 0;
    pthread_mutex_unlock(&feed->lock);
    g_source_remove(feed->bus_watch);
    for (use = 0; use < FEED_USES; ++use) gst_object_unref(feed->valves[use]);
    gst_object_unref(feed->jpeg_sink);
    gst_object_unref(feed->h264_sink);
    if (feed->low_valve != NULL) gst_object_unref(feed->low_valve);
    if (feed->low_rate != NULL) gst_object_unref(feed->low_rate);
    if (feed->low_encoder != NULL) gst_object_unref(feed->low_encoder);
    if (feed->low_sink != NULL) gst_object_unref(feed->low_sink);
    gst_object_unref(feed->pipeline);
    g_ptr_array_unref(feed->watchers);
    g_ptr_array_unref(feed->h264_sinks);
    camera_fault_clear(&feed->fault);
    pthread_mutex_destroy(&feed->lock);
    g_free(feed);
}

void feed_close(struct feed *feed) {
    guint i;
    if (feed == NULL) return;
    feed->closed = 1;
    if (feed->linger_timer != 0) g_source_remove(feed->linger_timer);
    if (feed->retry_timer != 0) g_source_remove(feed->retry_timer);
    if (feed->low_linger_timer != 0) g_source_remove(feed->low_linger_timer);
    feed->linger_timer = feed->retry_timer = feed->low_linger_timer = 0;
    stop(feed);
    /* No frame comes again: a media still waiting for its first one (a
     * client's thread preparing it) would wait for ever, and hold up that
     * client's close. */
    pthread_mutex_lock(&feed->lock);
    feed->sinks_ended = 1;
    for (i = 0; i < feed->h264_sinks->len; ++i)
        gst_app_src_end_of_stream(((struct h264_sink *)g_ptr_array_index(feed->h264_sinks, i))->src);
    pthread_mutex_unlock(&feed->lock);
}

void feed_acquire(struct feed *feed, enum feed_use use) {
    const int was_unused = feed->users[use] == 0;
    ++feed->users[use];
    if (feed->linger_timer != 0) {
        g_source_remove(feed->linger_timer);
        feed->linger_timer = 0;
    }
    if (!feed->running) {
        start(feed);
    } else if (was_unused) {
        set_valves(feed);
        if (use == FEED_H264) feed_request_key_frame(feed);
    }
}

void feed_release(struct feed *feed, enum feed_use use) {
    if (feed->users[use] == 0) return;
    if (--feed->users[use] == 0) set_valves(feed);
    /* A timer of milliseconds, not of seconds: GLib may fire one of seconds
     * up to a quarter of a second early to batch wake-ups, and the linger is
     * a promise to the user. */
    if (total_users(feed) == 0 && feed->linger_timer == 0 && !feed->closed)
        feed->linger_timer = g_timeout_add_full(G_PRIORITY_DEFAULT, (guint)feed->config.linger_s * 1000u,
                                                on_linger_over, feed, NULL);
}

void feed_watch_jpeg(struct feed *feed, struct feed_watcher *watcher) { g_ptr_array_add(feed->watchers, watcher); }

void feed_unwatch_jpeg(struct feed *feed, struct feed_watcher *watcher) {
    g_ptr_array_remove(feed->watchers, watcher);
}

GBytes *feed_latest_jpeg(struct feed *feed) {
    GBytes *jpeg = NULL;
    pthread_mutex_lock(&feed->lock);
    if (feed->latest_jpeg != NULL && feed->users[FEED_JPEG] > 0) jpeg = g_bytes_ref(feed->latest_jpeg);
    pthread_mutex_unlock(&feed->lock);
    return jpeg;
}

void feed_add_h264_sink(struct feed *feed, GstAppSrc *sink) {
    pthread_mutex_lock(&feed->lock);
    h264_sinks_add(feed->h264_sinks, sink);
    if (feed->sinks_ended) gst_app_src_end_of_stream(sink);
    pthread_mutex_unlock(&feed->lock);
}

void feed_remove_h264_sink(struct feed *feed, GstAppSrc *sink) {
    struct h264_sink *entry;
    pthread_mutex_lock(&feed->lock);
    entry = h264_sinks_find(feed->h264_sinks, sink);
    if (entry != NULL) g_ptr_array_remove(feed->h264_sinks, entry);
    pthread_mutex_unlock(&feed->lock);
}

/* Asks `tier`'s encoder for a key frame through its governor: for a new
 * client, or after a loss. */
static void ask_key_frame(struct feed *feed, enum feed_tier tier, int join) {
    enum key_frame_answer answer;
    const gint64 now = g_get_monotonic_time();
    pthread_mutex_lock(&feed->lock);
    answer = join ? key_frame_governor_join(&feed->governors[tier], now)
                  : key_frame_governor_ask(&feed->governors[tier], now);
    pthread_mutex_unlock(&feed->lock);
    if (answer == KEY_FRAME_MAKE_NOW) send_key_frame_request(feed, tier);
}

void feed_request_key_frame(struct feed *feed) { ask_key_frame(feed, FEED_TIER_MAIN, 1); }

void feed_force_key_frame(struct feed *feed) {
    pthread_mutex_lock(&feed->lock);
    ++feed->forced_key_frames;
    pthread_mutex_unlock(&feed->lock);
    send_key_frame_request(feed, FEED_TIER_MAIN);
}

void feed_request_sink_key_frame(struct feed *feed, GstAppSrc *sink, int join) {
    struct h264_sink *entry;
    enum feed_tier tier = FEED_TIER_MAIN;
    pthread_mutex_lock(&feed->lock);
    entry = h264_sinks_find(feed->h264_sinks, sink);
    if (entry != NULL) tier = entry->switching_to >= 0 ? (enum feed_tier)entry->switching_to : entry->tier;
    pthread_mutex_unlock(&feed->lock);
    ask_key_frame(feed, tier, join);
}

static GstPadProbeReturn pass_key_frame_request(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
    (void)pad;
    if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) feed_force_key_frame(data);
    return GST_PAD_PROBE_OK;
}

gulong feed_pass_key_frame_requests(struct feed *feed, GstPad *pad) {
    return gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, pass_key_frame_request, feed, NULL);
}

/* Main loop: the low tier's encoder at the bit rate of its slowest viewer,
 * and at half its frame rate on the slowest links. */
static void set_low_bitrate(struct feed *feed) {
    const int full = feed->config.fps < LOW_FPS ? feed->config.fps : LOW_FPS;
    const int fps = feed->low_kbps < LOW_HALF_RATE_KBPS && full > 1 ? full / 2 : full;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(feed->low_encoder), "bitrate") != NULL)
        g_object_set(feed->low_encoder, "bitrate", (guint)feed->low_kbps, NULL);
    if (fps != feed->low_fps) {
        feed->low_fps = fps;
        g_object_set(feed->low_rate, "max-rate", fps, NULL);
    }
}

static gboolean on_low_linger_over(gpointer data) {
    struct feed *feed = data;
    feed->low_linger_timer = 0;
    feed->low_running = 0;
    g_object_set(feed->low_valve, "drop", TRUE, NULL);
    return G_SOURCE_REMOVE;
}

/* Main loop: opens the low tier's valve while a sink wants it, closes it
 * LOW_LINGER_MS after the last, and sets its bit rate to the lowest wish. */
static void update_low_tier(struct feed *feed) {
    int wanted = 0, kbps = 0;
    guint i;
    pthread_mutex_lock(&feed->lock);
    for (i = 0; i < feed->h264_sinks->len; ++i) {
        const struct h264_sink *sink = g_ptr_array_index(feed->h264_sinks, i);
        if (!h264_sink_wants(sink, FEED_TIER_LOW)) continue;
        ++wanted;
        if (sink->low_kbps > 0 && (kbps == 0 || sink->low_kbps < kbps)) kbps = sink->low_kbps;
    }
    pthread_mutex_unlock(&feed->lock);
    if (wanted > 0) {
        if (feed->low_linger_timer != 0) g_source_remove(feed->low_linger_timer);
        feed->low_linger_timer = 0;
        if (kbps > 0 && kbps != feed->low_kbps) {
            feed->low_kbps = kbps;
            set_low_bitrate(feed);
        }
        if (!feed->low_running) {
            feed->low_running = 1;
            g_object_set(feed->low_valve, "drop", FALSE, NULL);
        }
    } else if (feed->low_running && feed->low_linger_timer == 0 && !feed->closed) {
        feed->low_linger_timer = g_timeout_add(LOW_LINGER_MS, on_low_linger_over, feed);
    }
}

int feed_has_low_tier(const struct feed *feed) { return feed->low_sink != NULL; }

int feed_switch_h264_sink(struct feed *feed, GstAppSrc *sink, enum feed_tier tier) {
    struct h264_sink *entry;
    int asked = 0;
    if (tier == FEED_TIER_LOW && feed->low_sink == NULL) return -1;
    pthread_mutex_lock(&feed->lock);
    entry = h264_sinks_find(feed->h264_sinks, sink);
    if (entry != NULL) {
        if (entry->tier == tier) {
            entry->switching_to = -1;
            entry->hold = 0;
        } else if (entry->switching_to != (int)tier) {
            entry->switching_to = (int)tier;
            /* Down: the link does not carry the main stream, and what more of
             * it is sent only delays the low tier's first key frame. */
            entry->hold = tier == FEED_TIER_LOW;
            asked = 1;
        }
    }
    pthread_mutex_unlock(&feed->lock);
    if (entry == NULL) return -1;
    update_low_tier(feed);
    /* Up is a trial, made at the main encoder's own next key frame: asking
     * for one would charge every other client for it. Down is urgent: the
     * sink gets nothing until the low tier's key frame, whatever its budget. */
    if (asked && tier == FEED_TIER_LOW) {
        pthread_mutex_lock(&feed->lock);
        key_frame_governor_force(&feed->governors[FEED_TIER_LOW], g_get_monotonic_time());
        pthread_mutex_unlock(&feed->lock);
        send_key_frame_request(feed, FEED_TIER_LOW);
    }
    return 0;
}

void feed_set_low_tier_wish(struct feed *feed, GstAppSrc *sink, int kbps) {
    struct h264_sink *entry;
    pthread_mutex_lock(&feed->lock);
    entry = h264_sinks_find(feed->h264_sinks, sink);
    if (entry != NULL) entry->low_kbps = kbps;
    pthread_mutex_unlock(&feed->lock);
    if (feed->low_sink != NULL) update_low_tier(feed);
}

void feed_skip_to_key_frame(struct feed *feed, GstAppSrc *sink) {
    struct h264_sink *entry;
    enum feed_tier tier = FEED_TIER_MAIN;
    pthread_mutex_lock(&feed->lock);
    entry = h264_sinks_find(feed->h264_sinks, sink);
    if (entry != NULL) {
        entry->skip_to_key_frame = 1;
        tier = entry->tier;
    }
    pthread_mutex_unlock(&feed->lock);
    if (entry != NULL) ask_key_frame(feed, tier, 0);
}

int feed_sink_tier(struct feed *feed, GstAppSrc *sink, int *switching_to) {
    struct h264_sink *entry;
    int tier = -1;
    pthread_mutex_lock(&feed->lock);
    entry = h264_sinks_find(feed->h264_sinks, sink);
    if (entry != NULL) {
        tier = (int)entry->tier;
        if (switching_to != NULL) *switching_to = entry->switching_to;
    }
    pthread_mutex_unlock(&feed->lock);
    return tier;
}

int feed_low_fps(const struct feed *feed) { return feed->low_fps; }

void feed_stats(struct feed *feed, struct feed_stats *out) {
    const gint64 now = g_get_monotonic_time();
    unsigned i, n = 0;
    gint64 oldest = 0, newest = 0;
    pthread_mutex_lock(&feed->lock);
    out->streaming = feed->streaming;
    out->frames = feed->frames;
    out->error = feed->fault.message != NULL ? g_strdup(feed->fault.message) : NULL;
    out->error_since = feed->fault.message != NULL ? camera_fault_since_text(&feed->fault) : NULL;
    out->errors_total = feed->fault.total;
    out->dropped = feed->dropped;
    out->key_frames_asked = feed->governors[FEED_TIER_MAIN].asked;
    out->key_frames_made = feed->governors[FEED_TIER_MAIN].made;
    out->key_frames_forced = feed->forced_key_frames;
    out->key_frames = feed->key_frames[FEED_TIER_MAIN];
    out->low_key_frames = feed->key_frames[FEED_TIER_LOW];
    out->tier_switches = feed->switches;
    for (i = 0; i < feed->arrival_count && i < ARRIVALS; ++i) {
        const gint64 t = feed->arrivals[(feed->arrival_count - 1 - i) % ARRIVALS];
        if (now - t > 2 * G_USEC_PER_SEC) break;
        if (n == 0) newest = t;
        oldest = t;
        ++n;
    }
    pthread_mutex_unlock(&feed->lock);
    out->low_running = feed->low_running;
    out->low_kbps = feed->low_kbps;
    out->low_fps = feed->low_fps;
    out->measured_fps = out->streaming && n >= 2 && newest > oldest
                            ? (double)(n - 1) * G_USEC_PER_SEC / (double)(newest - oldest)
                            : 0;
}

void feed_stats_clear(struct feed_stats *stats) {
    g_free(stats->error);
    g_free(stats->error_since);
    stats->error = stats->error_since = NULL;
}

gchar *feed_error(struct feed *feed) {
    gchar *message = NULL;
    if (feed->retry_timer == 0) return NULL;
    pthread_mutex_lock(&feed->lock);
    if (feed->fault.message != NULL) message = g_strdup(feed->fault.message);
    pthread_mutex_unlock(&feed->lock);
    return message;
}

int feed_camera(const struct feed *feed) { return feed->config.camera; }

const struct feed_config *feed_config(const struct feed *feed) { return &feed->config; }
