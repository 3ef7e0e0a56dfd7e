#include "h264_encoder.h"

#include <stdio.h>
#include <string.h>

#include <gst/gst.h>

static int installed(const char *factory_name) {
    GstElementFactory *factory = gst_element_factory_find(factory_name);
    if (factory == NULL) return 0;
    gst_object_unref(factory);
    return 1;
}

int h264_encoder_describe(const char *choice, int bitrate_kbps, int key_interval, char *out, size_t size) {
    if (choice != NULL) {
        snprintf(out, size, "%s", choice);
    } else if (installed("v4l2h264enc")) {
        snprintf(out, size, "v4l2h264enc extra-controls=\"controls,video_bitrate=%d,h264_i_frame_period=%d\"",
                 bitrate_kbps * 1000, key_interval);
    } else if (installed("x264enc")) {
        /* No B-frames and no look-ahead: each frame leaves the encoder as it enters. */
        snprintf(out, size, "x264enc tune=zerolatency speed-preset=ultrafast bitrate=%d key-int-max=%d",
                 bitrate_kbps, key_interval);
    } else {
        return -1;
    }
    return 0;
}

int h264_encoder_describe_low(int bitrate_kbps, int key_interval, char *out, size_t size) {
    if (h264_encoder_describe(NULL, bitrate_kbps, key_interval, out, size) != 0) return -1;
    if (strncmp(out, "x264enc ", 8) == 0) {
        const size_t used = strlen(out);
        snprintf(out + used, size - used, " vbv-buf-capacity=250");
    }
    return 0;
}
