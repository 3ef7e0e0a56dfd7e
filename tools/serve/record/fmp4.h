/*
 * Reading a recorded segment: fragmented MP4 of one H.264 track, as the
 * recorder writes it (ftyp, moov, then moof and mdat pairs, then an index
 * once the segment is closed). The file is mapped, not read: samples are
 * slices of the mapping.
 *
 * A segment still being written, or cut short by a power cut, ends in a
 * fragment that is not all there; reading stops before it, so that only
 * whole fragments count.
 *
 * Threads: an opened file is immutable; any thread may read it.
 */
#ifndef SERVE_FMP4_H
#define SERVE_FMP4_H

#include <stdint.h>

#include <glib.h>

struct fmp4_sample {
    uint64_t offset;      /* in the file */
    uint32_t size;
    uint32_t duration;    /* in the track's timescale */
    uint64_t decode_time; /* in the track's timescale */
    uint32_t flags;       /* ISO sample flags */
    int32_t composition_offset;
    guint fragment;       /* index of the fragment it came in */
};

struct fmp4_file {
    GMappedFile *map;
    const guint8 *data;
    gsize size;
    const guint8 *ftyp; /* NULL if the file has none */
    gsize ftyp_size;
    const guint8 *moov;
    gsize moov_size;
    gsize mehd_offset;     /* of its duration field within moov; 0 if none */
    int mehd_version;
    uint32_t movie_timescale;
    uint32_t track_id;
    uint32_t timescale;    /* the track's */
    /* The track's sample description: its picture fields (size, depth) and
     * its decoder configuration. Segments whose two are equal play on one
     * another; the rest of the description (the bit rate) may differ. */
    const guint8 *picture;
    gsize picture_size;
    const guint8 *decoder_config;
    gsize decoder_config_size;
    GArray *samples;       /* struct fmp4_sample, in decode order */
    guint fragments;
};

/* Maps and parses `path`. NULL with `error` set when it cannot be read or is
 * not a fragmented MP4 of one video track. */
struct fmp4_file *fmp4_open(const char *path, GError **error);
void fmp4_close(struct fmp4_file *file);

/* The two files' pictures and decoder configurations are the same. */
int fmp4_same_pictures(const struct fmp4_file *a, const struct fmp4_file *b);
/* A sample that starts a picture on its own (a key frame). */
int fmp4_sample_is_sync(const struct fmp4_sample *sample);
/* The decode time of the first sample to the end of the last, in the track's
 * timescale; 0 without samples. */
uint64_t fmp4_duration(const struct fmp4_file *file);

#endif
