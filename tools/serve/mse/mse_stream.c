#include "mse_stream.h"

#include <string.h>

#include "fmp4_live.h"

void mse_stream_init(struct mse_stream *stream) {
    struct mse_stream zero = {0};
    *stream = zero;
    stream->first_pts = GST_CLOCK_TIME_NONE;
}

void mse_stream_clear(struct mse_stream *stream) {
    gst_clear_caps(&stream->caps);
    gst_clear_buffer(&stream->held);
}

static uint64_t to_timescale(GstClockTime time) {
    return gst_util_uint64_scale(time, FMP4_LIVE_TIMESCALE, GST_SECOND);
}

/* Sends the unit held, which lasts until `next_pts`. */
static void send_held(struct mse_stream *stream, GstClockTime next_pts, mse_emit_fn emit, void *user) {
    GstBuffer *held = stream->held;
    const GstClockTime pts = GST_BUFFER_PTS(held);
    const uint64_t start = to_timescale(pts - stream->first_pts);
    const uint64_t end = next_pts > pts ? to_timescale(next_pts - stream->first_pts) : start + 1;
    const int key = !GST_BUFFER_FLAG_IS_SET(held, GST_BUFFER_FLAG_DELTA_UNIT);
    GstMapInfo map;
    stream->held = NULL;
    if (gst_buffer_map(held, &map, GST_MAP_READ)) {
        GBytes *fragment = fmp4_live_fragment(++stream->sequence, start,
                                              (uint32_t)MIN(end - start, (uint64_t)G_MAXUINT32), key, map.data, map.size);
        gst_buffer_unmap(held, &map);
        if (fragment != NULL) emit(MSE_FRAGMENT, fragment, key, user);
    }
    gst_buffer_unref(held);
}

/* The description and initialization segment of `caps`; 0, or -1 when the
 * caps have no usable configuration. */
static int send_init(struct mse_stream *stream, GstCaps *caps, mse_emit_fn emit, void *user) {
    const GstStructure *s = gst_caps_get_structure(caps, 0);
    const GValue *value = gst_structure_get_value(s, "codec_data");
    GstBuffer *config = value != NULL && G_VALUE_HOLDS(value, GST_TYPE_BUFFER) ? gst_value_get_buffer(value) : NULL;
    int width = 0, height = 0, sent = -1;
    GstMapInfo map;
    if (config == NULL || !gst_structure_get_int(s, "width", &width) || !gst_structure_get_int(s, "height", &height) ||
        !gst_buffer_map(config, &map, GST_MAP_READ))
        return -1;
    {
        GBytes *init = fmp4_live_init_segment(width, height, map.data, map.size);
        gchar *codec = fmp4_live_codec(map.data, map.size);
        if (init != NULL && codec != NULL) {
            gchar *text = g_strdup_printf("{\"type\":\"init\",\"codec\":\"%s\",\"width\":%d,\"height\":%d,"
                                          "\"epoch_ms\":%" G_GINT64_FORMAT "}",
                                          codec, width, height, stream->epoch_us / 1000);
            emit(MSE_DESCRIPTION, g_bytes_new_take(text, strlen(text)), 0, user);
            emit(MSE_INIT, g_bytes_ref(init), 0, user);
            sent = 0;
        }
        if (init != NULL) g_bytes_unref(init);
        g_free(codec);
    }
    gst_buffer_unmap(config, &map);
    return sent;
}

void mse_stream_push(struct mse_stream *stream, GstBuffer *buffer, GstCaps *caps, gint64 now_us, mse_emit_fn emit,
                     void *user) {
    const int key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    int new_config;
    if (!GST_CLOCK_TIME_IS_VALID(pts) || caps == NULL) return;
    new_config = stream->caps == NULL || !gst_caps_is_equal(stream->caps, caps);
    /* A unit from before the time line's zero (a clock that went back) would
     * wrap round: it is left out. */
    if (GST_CLOCK_TIME_IS_VALID(stream->first_pts) && pts < stream->first_pts) return;
    /* A new configuration plays from a key frame of its own; the unit held
     * lasts until then. */
    if (new_config && !key) {
        ++stream->skipped;
        return;
    }
    if (stream->held != NULL) send_held(stream, pts, emit, user);
    if (new_config) {
        if (!GST_CLOCK_TIME_IS_VALID(stream->first_pts)) {
            stream->first_pts = pts;
            stream->epoch_us = now_us;
        }
        if (send_init(stream, caps, emit, user) != 0) {
            ++stream->skipped;
            return;
        }
        gst_caps_replace(&stream->caps, caps);
    }
    gst_buffer_replace(&stream->held, buffer);
}
