/*
 * One MSE viewer's stream: the camera's H.264 access units, in the "avc"
 * stream format (h264parse's output), turned into the messages its page
 * appends: an initialization segment whenever the decoder configuration
 * changes (at the first key frame, and at each move between tiers, whose
 * pictures differ), then a fragment per access unit.
 *
 * Each access unit is held until the next arrives, which gives its duration:
 * the time line has no holes even where frames were skipped to reach a key
 * frame, and the page keeps playing across them. That costs one frame of
 * delay.
 *
 * Not locked: one thread (the viewer's streaming thread) pushes.
 */
#ifndef SERVE_MSE_STREAM_H
#define SERVE_MSE_STREAM_H

#include <stdint.h>

#include <gst/gst.h>

enum mse_message {
    MSE_DESCRIPTION, /* text: JSON {"type":"init", "codec", "width", "height", "epoch_ms"} before
                        each initialization segment */
    MSE_INIT,        /* binary: an initialization segment */
    MSE_FRAGMENT,    /* binary: a fragment of one access unit */
};

/* A message for the page; `bytes` is the callee's to keep (a reference). */
typedef void (*mse_emit_fn)(enum mse_message kind, GBytes *bytes, int key_frame, void *user);

struct mse_stream {
    GstCaps *caps;          /* of the initialization segment sent last; NULL before */
    GstBuffer *held;        /* the newest access unit, not yet sent */
    GstClockTime first_pts; /* the time line's zero */
    gint64 epoch_us;        /* the wall time of the time line's zero */
    uint32_t sequence;
    uint64_t skipped;       /* access units before a key frame, not sendable */
};

void mse_stream_init(struct mse_stream *stream);
void mse_stream_clear(struct mse_stream *stream);

/* One access unit that arrived at wall time `now_us`, with its caps. Emits
 * what it completes: the unit held before it, and a description and an
 * initialization segment when the caps bring a new configuration. */
void mse_stream_push(struct mse_stream *stream, GstBuffer *buffer, GstCaps *caps, gint64 now_us, mse_emit_fn emit,
                     void *user);

#endif
