#include "h264_sinks.h"

static void sink_free(gpointer data) {
    struct h264_sink *sink = data;
    gst_object_unref(sink->src);
    g_free(sink);
}

GPtrArray *h264_sinks_new(void) { return g_ptr_array_new_with_free_func(sink_free); }

struct h264_sink *h264_sinks_add(GPtrArray *sinks, GstAppSrc *src) {
    struct h264_sink *sink = g_new0(struct h264_sink, 1);
    sink->src = gst_object_ref(src);
    sink->tier = FEED_TIER_MAIN;
    sink->switching_to = -1;
    g_ptr_array_add(sinks, sink);
    return sink;
}

struct h264_sink *h264_sinks_find(GPtrArray *sinks, GstAppSrc *src) {
    guint i;
    for (i = 0; i < sinks->len; ++i) {
        struct h264_sink *sink = g_ptr_array_index(sinks, i);
        if (sink->src == src) return sink;
    }
    return NULL;
}

int h264_sink_wants(const struct h264_sink *sink, enum feed_tier tier) {
    return sink->switching_to >= 0 ? sink->switching_to == (int)tier : sink->tier == tier;
}

static void push(struct h264_sink *sink, GstBuffer *buffer, GstCaps *caps, h264_sinks_clock_fn stamp) {
    GstBuffer *copy = gst_buffer_copy(buffer);
    GstCaps *current = gst_app_src_get_caps(sink->src);
    if (current == NULL || !gst_caps_is_equal(current, caps)) gst_app_src_set_caps(sink->src, caps);
    if (current != NULL) gst_caps_unref(current);
    GST_BUFFER_PTS(copy) = GST_BUFFER_DTS(copy) = stamp(sink->src);
    gst_app_src_push_buffer(sink->src, copy);
}

unsigned h264_sinks_deliver(GPtrArray *sinks, enum feed_tier tier, GstBuffer *buffer, GstCaps *caps,
                            h264_sinks_clock_fn stamp) {
    const int key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    unsigned switches = 0;
    guint i;
    for (i = 0; i < sinks->len; ++i) {
        struct h264_sink *sink = g_ptr_array_index(sinks, i);
        if (sink->switching_to == (int)tier) {
            if (!key) continue;
            sink->tier = tier;
            sink->switching_to = -1;
            sink->hold = 0;
            sink->skip_to_key_frame = 0;
            ++sink->switches;
            ++switches;
        } else if (sink->tier != tier || (sink->switching_to >= 0 && sink->hold)) {
            continue;
        } else if (sink->skip_to_key_frame) {
            if (!key) continue;
            sink->skip_to_key_frame = 0;
        }
        push(sink, buffer, caps, stamp);
    }
    return switches;
}
