/*
 * The appsrcs that take a camera's H.264: each from one tier at a time (the
 * main encoding, or the small one for slow links), moving to another only at
 * that tier's key frame, which carries its parameter sets, so that a decoder
 * never sees a frame whose references it lacks.
 *
 * Not locked: the feed guards its sinks with its own lock.
 */
#ifndef SERVE_H264_SINKS_H
#define SERVE_H264_SINKS_H

#include <stdint.h>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

enum feed_tier { FEED_TIER_MAIN = 0, FEED_TIER_LOW = 1, FEED_TIERS = 2 };

struct h264_sink {
    GstAppSrc *src;             /* a reference */
    enum feed_tier tier;        /* the tier it is fed from */
    int switching_to;           /* a tier it moves to at that tier's next key frame; -1: none */
    int hold;                   /* while moving: its old tier is not sent either (a link too slow for it) */
    int skip_to_key_frame;      /* its own tier's delta frames are skipped until the next key frame */
    int low_kbps;               /* the low tier's bit rate its link takes; 0: no wish */
    uint64_t switches;          /* tier changes made */
};

/* A GPtrArray of struct h264_sink, freeing them (and their references). */
GPtrArray *h264_sinks_new(void);
/* Adds `src` on the main tier; the array takes a reference. */
struct h264_sink *h264_sinks_add(GPtrArray *sinks, GstAppSrc *src);
struct h264_sink *h264_sinks_find(GPtrArray *sinks, GstAppSrc *src);
/* Whether `sink` takes, or is moving to, `tier`. */
int h264_sink_wants(const struct h264_sink *sink, enum feed_tier tier);

/* A running time for a sink's buffer now (GST_CLOCK_TIME_NONE: none yet). */
typedef GstClockTime (*h264_sinks_clock_fn)(GstAppSrc *src);

/* Hands one access unit of `tier` to every sink it is for: a sink of that
 * tier (unless it skips to a key frame and this is none), and a sink moving
 * to it when this is a key frame; a sink that holds while it moves gets
 * nothing of its old tier meanwhile. Each gets its own buffer header, stamped
 * by `stamp`; the bytes are shared. Returns the switches made. */
unsigned h264_sinks_deliver(GPtrArray *sinks, enum feed_tier tier, GstBuffer *buffer, GstCaps *caps,
                            h264_sinks_clock_fn stamp);

#endif
