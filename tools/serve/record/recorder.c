#include "recorder.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <glib/gstdio.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include "segments.h"

/* The muxer is made afresh for each segment (async-finalize), which is what
 * lets it take its fragment length; a segment's last fragment and
 * index are written by its own muxer while the next segment starts. The
 * file is unbuffered: each fragment reaches the disk as the muxer ends it,
 * not when 64 KiB have gathered. The properties are given here: set on the
 * element afterwards, splitmuxsink 1.22 does not pass them on.
 *
 * What a power cut loses is what is not yet on disk: the group of pictures
 * the splitter holds until it knows which segment it belongs to (a second:
 * a recorded camera's key frames come every second), and the muxer's
 * fragment in the making. Half-second fragments keep the second part
 * small. */
#define RECORDER_LAUNCH                                                                                      \
    "appsrc name=src is-live=true format=time do-timestamp=false max-bytes=0 max-buffers=120 "               \
    "leaky-type=downstream ! h264parse ! splitmuxsink name=mux async-finalize=true muxer-factory=mp4mux "   \
    "muxer-properties=\"properties,fragment-duration=500\" sink-factory=filesink "                        \
    "sink-properties=\"properties,buffer-mode=2\""

struct recorder {
    struct feed *feed;
    gchar *dir;
    GstElement *pipeline;
    GstElement *mux;
    GstAppSrc *src;
    GstPad *src_pad;
    gulong key_probe;
    guint bus_watch;
    guint split_timer;
    struct recorder_config callbacks; /* its dir is ours, below */

    pthread_mutex_t lock; /* what recorder_stats() reads */
    gchar *current;       /* the segment being written, absolute */
    uint64_t bytes_done;  /* of the segments finished */
    gchar *error;
    uint64_t errors_total;
};

static GstCaps *unix_time_caps(void) {
    static GstStaticCaps caps = GST_STATIC_CAPS("timestamp/x-unix");
    return gst_static_caps_get(&caps);
}

/* The wall time of a segment's first frame: the camera's own stamp when the
 * access unit still carries it, else now. */
static gint64 first_frame_time_us(GstSample *sample) {
    GstBuffer *buffer = sample != NULL ? gst_sample_get_buffer(sample) : NULL;
    GstCaps *caps = unix_time_caps();
    GstReferenceTimestampMeta *meta = buffer != NULL ? gst_buffer_get_reference_timestamp_meta(buffer, caps) : NULL;
    gint64 when = meta != NULL ? (gint64)(meta->timestamp / 1000) : g_get_real_time();
    gst_caps_unref(caps);
    return when;
}

/* splitmuxsink's thread: the name of the segment it starts. */
static gchar *on_format_location(GstElement *mux, guint fragment_id, GstSample *first, gpointer data) {
    struct recorder *recorder = data;
    gchar *path = segments_new_path(recorder->dir, feed_camera(recorder->feed), first_frame_time_us(first));
    (void)mux;
    (void)fragment_id;
    if (path == NULL) {
        /* Nowhere to write: splitmuxsink fails, and the bus says so. */
        fprintf(stderr, "boardcam-serve: camera %d: no directory for a new segment under %s: %s\n",
                feed_camera(recorder->feed), recorder->dir, g_strerror(errno));
        return g_strdup("/nonexistent/segment.mp4");
    }
    pthread_mutex_lock(&recorder->lock);
    g_free(recorder->current);
    recorder->current = g_strdup(path);
    pthread_mutex_unlock(&recorder->lock);
    return path;
}

/* A segment finished: its bytes count. */
static void segment_closed(struct recorder *recorder, const GstStructure *info) {
    const gchar *location = gst_structure_get_string(info, "location");
    GStatBuf stat_info;
    if (location == NULL || g_stat(location, &stat_info) != 0) return;
    pthread_mutex_lock(&recorder->lock);
    recorder->bytes_done += (uint64_t)stat_info.st_size;
    pthread_mutex_unlock(&recorder->lock);
    if (recorder->callbacks.on_segment_closed != NULL) recorder->callbacks.on_segment_closed(recorder->callbacks.user);
}

static gboolean on_bus_message(GstBus *bus, GstMessage *message, gpointer data) {
    struct recorder *recorder = data;
    (void)bus;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT) {
        const GstStructure *info = gst_message_get_structure(message);
        if (info != NULL && gst_structure_has_name(info, "splitmuxsink-fragment-closed"))
            segment_closed(recorder, info);
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError *error = NULL;
        gst_message_parse_error(message, &error, NULL);
        pthread_mutex_lock(&recorder->lock);
        g_free(recorder->error);
        recorder->error = g_strdup(error != NULL ? error->message : "recording failed");
        ++recorder->errors_total;
        pthread_mutex_unlock(&recorder->lock);
        fprintf(stderr, "boardcam-serve: camera %d: recording paused: %s\n", feed_camera(recorder->feed),
                error != NULL ? error->message : "recording failed");
        if (error != NULL) g_error_free(error);
        if (recorder->callbacks.on_failure != NULL) recorder->callbacks.on_failure(recorder->callbacks.user);
    }
    return G_SOURCE_CONTINUE;
}

/* Main loop, at each segment's end: the next segment starts with the key
 * frame asked for now. splitmuxsink's own length check would split on the
 * encoder's regular key frames instead, a GOP early. */
static gboolean on_segment_over(gpointer data) {
    struct recorder *recorder = data;
    GstClock *clock = gst_element_get_clock(recorder->pipeline);
    if (clock != NULL) {
        const GstClockTime now = gst_clock_get_time(clock) - gst_element_get_base_time(recorder->pipeline);
        g_signal_emit_by_name(recorder->mux, "split-at-running-time", (guint64)now);
        gst_object_unref(clock);
        feed_force_key_frame(recorder->feed);
    }
    return G_SOURCE_CONTINUE;
}

struct recorder *recorder_new(struct feed *feed, const struct recorder_config *config, GError **error) {
    struct recorder *recorder;
    GstElement *pipeline = gst_parse_launch_full(RECORDER_LAUNCH, NULL, GST_PARSE_FLAG_FATAL_ERRORS, error);
    GstBus *bus;
    if (pipeline == NULL) return NULL;
    recorder = g_new0(struct recorder, 1);
    pthread_mutex_init(&recorder->lock, NULL);
    recorder->feed = feed;
    recorder->dir = g_strdup(config->dir);
    recorder->callbacks = *config;
    recorder->pipeline = pipeline;
    recorder->mux = gst_bin_get_by_name(GST_BIN(pipeline), "mux");
    recorder->src = GST_APP_SRC(gst_bin_get_by_name(GST_BIN(pipeline), "src"));

    g_signal_connect(recorder->mux, "format-location-full", G_CALLBACK(on_format_location), recorder);
    recorder->src_pad = gst_element_get_static_pad(GST_ELEMENT(recorder->src), "src");
    recorder->key_probe = feed_pass_key_frame_requests(recorder->feed, recorder->src_pad);
    bus = gst_element_get_bus(pipeline);
    recorder->bus_watch = gst_bus_add_watch(bus, on_bus_message, recorder);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    feed_add_h264_sink(feed, recorder->src);
    feed_acquire(feed, FEED_H264);
    recorder->split_timer = g_timeout_add((guint)config->segment_s * 1000u, on_segment_over, recorder);
    return recorder;
}

void recorder_free(struct recorder *recorder, gint64 wait_us) {
    GstBus *bus;
    GstMessage *done;
    if (recorder == NULL) return;
    g_source_remove(recorder->split_timer);
    feed_remove_h264_sink(recorder->feed, recorder->src);
    feed_release(recorder->feed, FEED_H264);
    /* The end of the stream closes the segment: its last fragment and its
     * index are written before the pipeline stops. */
    gst_app_src_end_of_stream(recorder->src);
    bus = gst_element_get_bus(recorder->pipeline);
    done = gst_bus_timed_pop_filtered(bus, (GstClockTime)wait_us * GST_USECOND,
                                      GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    if (done == NULL)
        fprintf(stderr, "boardcam-serve: camera %d: the last segment did not close in time\n",
                feed_camera(recorder->feed));
    else
        gst_message_unref(done);
    gst_object_unref(bus);
    gst_element_set_state(recorder->pipeline, GST_STATE_NULL);
    g_source_remove(recorder->bus_watch);
    gst_pad_remove_probe(recorder->src_pad, recorder->key_probe);
    gst_object_unref(recorder->src_pad);
    gst_object_unref(recorder->src);
    gst_object_unref(recorder->mux);
    gst_object_unref(recorder->pipeline);
    pthread_mutex_destroy(&recorder->lock);
    g_free(recorder->current);
    g_free(recorder->error);
    g_free(recorder->dir);
    g_free(recorder);
}

void recorder_stats(struct recorder *recorder, struct recorder_stats *out) {
    GStatBuf stat_info;
    uint64_t current_bytes = 0;
    memset(out, 0, sizeof *out);
    pthread_mutex_lock(&recorder->lock);
    if (recorder->current != NULL && g_stat(recorder->current, &stat_info) == 0)
        current_bytes = (uint64_t)stat_info.st_size;
    if (recorder->current != NULL && g_str_has_prefix(recorder->current, recorder->dir))
        out->segment = g_strdup(recorder->current + strlen(recorder->dir) + 1);
    out->bytes_total = recorder->bytes_done + current_bytes;
    out->error = g_strdup(recorder->error);
    out->errors_total = recorder->errors_total;
    out->on = recorder->error == NULL;
    pthread_mutex_unlock(&recorder->lock);
}

void recorder_stats_clear(struct recorder_stats *stats) {
    g_free(stats->segment);
    g_free(stats->error);
    memset(stats, 0, sizeof *stats);
}

gchar *recorder_current_path(struct recorder *recorder) {
    gchar *path;
    pthread_mutex_lock(&recorder->lock);
    path = g_strdup(recorder->current);
    pthread_mutex_unlock(&recorder->lock);
    return path;
}
