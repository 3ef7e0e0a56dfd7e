/*
 * Fragmented MP4 of one live H.264 track, for a browser's Media Source
 * Extensions: an initialization segment (ftyp and moov) made from the
 * stream's decoder configuration, then one fragment (moof and mdat) per
 * access unit, each placed on the time line by its own decode time, so that
 * a fragment left out shows as a gap and not as a shift.
 *
 * Samples are length-prefixed NAL units (the "avc" stream format), with no
 * reordering: presentation time is decode time.
 *
 * Pure: no I/O, no clock. Any thread.
 */
#ifndef SERVE_FMP4_LIVE_H
#define SERVE_FMP4_LIVE_H

#include <stdint.h>

#include <glib.h>

#define FMP4_LIVE_TIMESCALE 90000

/* The initialization segment of a `width` x `height` track whose decoder
 * configuration (an AVCDecoderConfigurationRecord) is `avcc`. NULL when
 * `avcc` is too short to be one. */
GBytes *fmp4_live_init_segment(int width, int height, const guint8 *avcc, gsize avcc_size);

/* The codec's name for Media Source Extensions, "avc1.PPCCLL", from the
 * configuration's profile, constraints and level; NULL when `avcc` is too
 * short. The caller frees it. */
gchar *fmp4_live_codec(const guint8 *avcc, gsize avcc_size);

/* One fragment, numbered `sequence` (from 1), of one sample `size` bytes long
 * decoded at `decode_time` for `duration`, in FMP4_LIVE_TIMESCALE units. */
GBytes *fmp4_live_fragment(uint32_t sequence, uint64_t decode_time, uint32_t duration, int key_frame,
                           const guint8 *sample, gsize size);

#endif
