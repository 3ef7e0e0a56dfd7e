#include "h264_encoder.h"

#include <stdio.h>

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
