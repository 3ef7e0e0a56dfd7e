#include "publish.h"

#include <stdio.h>
#include <string.h>

#define PROGRAM "boardcam-serve"
#define RETRY_S 5

struct publisher {
    struct feed *feed;
    gchar *location;
    GstElement *pipeline;
    GstAppSrc *src;
    guint bus_watch;
    guint retry_timer;
};

static void start_pushing(struct publisher *publisher) {
    gst_element_set_state(publisher->pipeline, GST_STATE_PLAYING);
    feed_request_key_frame(publisher->feed);
}

static gboolean on_retry(gpointer data) {
    struct publisher *publisher = data;
    publisher->retry_timer = 0;
    start_pushing(publisher);
    return G_SOURCE_REMOVE;
}

static gboolean on_bus_message(GstBus *bus, GstMessage *message, gpointer data) {
    struct publisher *publisher = data;
    (void)bus;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR || GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
        GError *error = NULL;
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) gst_message_parse_error(message, &error, NULL);
        fprintf(stderr, PROGRAM ": publishing to %s: %s; trying again in %d s\n", publisher->location,
                error != NULL ? error->message : "the server ended the stream", RETRY_S);
        if (error != NULL) g_error_free(error);
        gst_element_set_state(publisher->pipeline, GST_STATE_NULL);
        if (publisher->retry_timer == 0) publisher->retry_timer = g_timeout_add_seconds(RETRY_S, on_retry, publisher);
    }
    return G_SOURCE_CONTINUE;
}

struct publisher *publisher_start(struct feed *feed, const char *base_url, GError **error) {
    struct publisher *publisher;
    GstElement *pipeline, *src;
    GstBus *bus;
    const size_t len = strlen(base_url);
    gchar *location = g_strdup_printf("%.*s/cam%d", (int)(len > 0 && base_url[len - 1] == '/' ? len - 1 : len),
                                      base_url, feed_camera(feed));
    gchar *description = g_strdup_printf(
        "appsrc name=src is-live=true format=time do-timestamp=false max-bytes=0 max-buffers=60 "
        "leaky-type=downstream ! h264parse ! rtspclientsink latency=0 location=\"%s\"", location);
    pipeline = gst_parse_launch_full(description, NULL, GST_PARSE_FLAG_FATAL_ERRORS, error);
    g_free(description);
    if (pipeline == NULL) {
        g_free(location);
        return NULL;
    }
    src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    publisher = g_new0(struct publisher, 1);
    publisher->feed = feed;
    publisher->location = location;
    publisher->pipeline = pipeline;
    publisher->src = GST_APP_SRC(src);
    bus = gst_element_get_bus(pipeline);
    publisher->bus_watch = gst_bus_add_watch(bus, on_bus_message, publisher);
    gst_object_unref(bus);
    feed_add_h264_sink(feed, publisher->src);
    feed_acquire(feed, FEED_H264);
    start_pushing(publisher);
    return publisher;
}

void publisher_stop(struct publisher *publisher) {
    if (publisher == NULL) return;
    if (publisher->retry_timer != 0) g_source_remove(publisher->retry_timer);
    feed_remove_h264_sink(publisher->feed, publisher->src);
    feed_release(publisher->feed, FEED_H264);
    gst_element_set_state(publisher->pipeline, GST_STATE_NULL);
    g_source_remove(publisher->bus_watch);
    gst_object_unref(publisher->src);
    gst_object_unref(publisher->pipeline);
    g_free(publisher->location);
    g_free(publisher);
}
