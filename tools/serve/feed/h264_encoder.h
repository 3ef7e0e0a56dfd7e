/*
 * Which H.264 encoder a camera's stream uses: the board's hardware encoder
 * where it exists, else x264 tuned for live viewing, else what the user
 * names with --h264-encoder.
 */
#ifndef SERVE_H264_ENCODER_H
#define SERVE_H264_ENCODER_H

#include <stddef.h>

/* Writes a gst-launch description of the encoder into `out`: `choice` as it
 * stands when not NULL, else the first of v4l2h264enc and x264enc that is
 * installed, set to `bitrate_kbps` and a key frame every `key_interval`
 * frames. Returns 0, or -1 when neither is installed. */
int h264_encoder_describe(const char *choice, int bitrate_kbps, int key_interval, char *out, size_t size);

/* The same for the low tier, for viewers on slow links: x264 keeps its
 * frames within a quarter of a second of the bit rate (a key frame larger
 * than a slow link's queue is lost whole). */
int h264_encoder_describe_low(int bitrate_kbps, int key_interval, char *out, size_t size);

#endif
