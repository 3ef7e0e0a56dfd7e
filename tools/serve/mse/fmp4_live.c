#include "fmp4_live.h"

#include <string.h>

#include "mp4/boxes.h"

#define TRACK_ID 1
/* ISO sample flags: a sync sample depends on no other; the rest depend on
 * others and are not sync samples. */
#define SYNC_SAMPLE 0x02000000u
#define DEPENDENT_SAMPLE 0x01010000u

static void put_zeros(GByteArray *out, guint count) {
    static const guint8 zeros[64];
    while (count > 0) {
        const guint n = count < sizeof zeros ? count : (guint)sizeof zeros;
        g_byte_array_append(out, zeros, n);
        count -= n;
    }
}

static void put_full_box_header(GByteArray *out, int version, uint32_t flags) {
    boxes_put32(out, ((uint32_t)version << 24) | flags);
}

/* The identity transformation of the movie and track headers. */
static void put_matrix(GByteArray *out) {
    static const uint32_t matrix[9] = {0x00010000u, 0, 0, 0, 0x00010000u, 0, 0, 0, 0x40000000u};
    int i;
    for (i = 0; i < 9; ++i) boxes_put32(out, matrix[i]);
}

static void put_movie_header(GByteArray *out) {
    const guint mvhd = boxes_open(out, "mvhd");
    put_full_box_header(out, 0, 0);
    boxes_put32(out, 0); /* created */
    boxes_put32(out, 0); /* modified */
    boxes_put32(out, 1000);
    boxes_put32(out, 0); /* duration: unknown, it is live */
    boxes_put32(out, 0x00010000u); /* rate 1.0 */
    boxes_put16(out, 0x0100);      /* volume 1.0 */
    put_zeros(out, 10);
    put_matrix(out);
    put_zeros(out, 24);
    boxes_put32(out, TRACK_ID + 1);
    boxes_close(out, mvhd);
}

static void put_track_header(GByteArray *out, int width, int height) {
    const guint tkhd = boxes_open(out, "tkhd");
    put_full_box_header(out, 0, 0x3); /* enabled, in the movie */
    boxes_put32(out, 0);
    boxes_put32(out, 0);
    boxes_put32(out, TRACK_ID);
    boxes_put32(out, 0);
    boxes_put32(out, 0); /* duration */
    put_zeros(out, 8);
    boxes_put16(out, 0); /* layer */
    boxes_put16(out, 0); /* alternate group */
    boxes_put16(out, 0); /* volume: video has none */
    boxes_put16(out, 0);
    put_matrix(out);
    boxes_put32(out, (uint32_t)width << 16);
    boxes_put32(out, (uint32_t)height << 16);
    boxes_close(out, tkhd);
}

static void put_sample_entry(GByteArray *out, int width, int height, const guint8 *avcc, gsize avcc_size) {
    const guint entry = boxes_open(out, "avc1");
    guint config;
    put_zeros(out, 6);
    boxes_put16(out, 1); /* data reference */
    put_zeros(out, 16);
    boxes_put16(out, (uint16_t)width);
    boxes_put16(out, (uint16_t)height);
    boxes_put32(out, 0x00480000u); /* 72 dpi */
    boxes_put32(out, 0x00480000u);
    boxes_put32(out, 0);
    boxes_put16(out, 1); /* frames per sample */
    put_zeros(out, 32);  /* compressor name */
    boxes_put16(out, 0x0018);
    boxes_put16(out, 0xffff);
    config = boxes_open(out, "avcC");
    g_byte_array_append(out, avcc, (guint)avcc_size);
    boxes_close(out, config);
    boxes_close(out, entry);
}

/* An empty table: the samples are all in the fragments. */
static void put_empty_table(GByteArray *out, const char *type, int fields) {
    const guint box = boxes_open(out, type);
    put_full_box_header(out, 0, 0);
    put_zeros(out, 4u * (guint)fields);
    boxes_close(out, box);
}

static void put_media(GByteArray *out, int width, int height, const guint8 *avcc, gsize avcc_size) {
    const guint mdia = boxes_open(out, "mdia");
    guint box, minf, dinf, stbl, stsd;
    box = boxes_open(out, "mdhd");
    put_full_box_header(out, 0, 0);
    boxes_put32(out, 0);
    boxes_put32(out, 0);
    boxes_put32(out, FMP4_LIVE_TIMESCALE);
    boxes_put32(out, 0);
    boxes_put16(out, 0x55c4); /* "und" */
    boxes_put16(out, 0);
    boxes_close(out, box);
    box = boxes_open(out, "hdlr");
    put_full_box_header(out, 0, 0);
    boxes_put32(out, 0);
    g_byte_array_append(out, (const guint8 *)"vide", 4);
    put_zeros(out, 12);
    g_byte_array_append(out, (const guint8 *)"boardcam\0", 9);
    boxes_close(out, box);
    minf = boxes_open(out, "minf");
    box = boxes_open(out, "vmhd");
    put_full_box_header(out, 0, 1);
    put_zeros(out, 8);
    boxes_close(out, box);
    dinf = boxes_open(out, "dinf");
    box = boxes_open(out, "dref");
    put_full_box_header(out, 0, 0);
    boxes_put32(out, 1);
    boxes_put_header(out, 12, "url ");
    put_full_box_header(out, 0, 1); /* the data are in this file */
    boxes_close(out, box);
    boxes_close(out, dinf);
    stbl = boxes_open(out, "stbl");
    stsd = boxes_open(out, "stsd");
    put_full_box_header(out, 0, 0);
    boxes_put32(out, 1);
    put_sample_entry(out, width, height, avcc, avcc_size);
    boxes_close(out, stsd);
    put_empty_table(out, "stts", 1);
    put_empty_table(out, "stsc", 1);
    put_empty_table(out, "stsz", 2);
    put_empty_table(out, "stco", 1);
    boxes_close(out, stbl);
    boxes_close(out, minf);
    boxes_close(out, mdia);
}

/* The smallest decoder configuration: version, profile, constraints, level,
 * the NAL length size and the count of sequence parameter sets. */
#define AVCC_MIN_SIZE 6

GBytes *fmp4_live_init_segment(int width, int height, const guint8 *avcc, gsize avcc_size) {
    GByteArray *out;
    guint moov, trak, mvex, trex;
    if (avcc == NULL || avcc_size < AVCC_MIN_SIZE || avcc[0] != 1 || width <= 0 || height <= 0 || width > 0xffff ||
        height > 0xffff)
        return NULL;
    out = g_byte_array_new();
    boxes_put_header(out, 28, "ftyp");
    g_byte_array_append(out, (const guint8 *)"iso6", 4);
    boxes_put32(out, 0);
    g_byte_array_append(out, (const guint8 *)"iso6avc1mp41", 12);
    moov = boxes_open(out, "moov");
    put_movie_header(out);
    trak = boxes_open(out, "trak");
    put_track_header(out, width, height);
    put_media(out, width, height, avcc, avcc_size);
    boxes_close(out, trak);
    mvex = boxes_open(out, "mvex");
    trex = boxes_open(out, "trex");
    put_full_box_header(out, 0, 0);
    boxes_put32(out, TRACK_ID);
    boxes_put32(out, 1); /* sample description */
    put_zeros(out, 12);  /* default duration, size and flags: each fragment says */
    boxes_close(out, trex);
    boxes_close(out, mvex);
    boxes_close(out, moov);
    return g_byte_array_free_to_bytes(out);
}

gchar *fmp4_live_codec(const guint8 *avcc, gsize avcc_size) {
    if (avcc == NULL || avcc_size < AVCC_MIN_SIZE) return NULL;
    return g_strdup_printf("avc1.%02x%02x%02x", avcc[1], avcc[2], avcc[3]);
}

GBytes *fmp4_live_fragment(uint32_t sequence, uint64_t decode_time, uint32_t duration, int key_frame,
                           const guint8 *sample, gsize size) {
    /* moof: mfhd 16, traf 8 + tfhd 16 + tfdt 20 + trun 12 + 4 + 16 */
    const uint32_t trun_size = 12 + 4 + 4 + 12, traf_size = 8 + 16 + 20 + trun_size, moof_size = 8 + 16 + traf_size;
    GByteArray *out;
    if (size > G_MAXUINT32 - 8) return NULL;
    out = g_byte_array_sized_new(moof_size + 8 + (guint)size);
    boxes_put_header(out, moof_size, "moof");
    boxes_put_header(out, 16, "mfhd");
    put_full_box_header(out, 0, 0);
    boxes_put32(out, sequence);
    boxes_put_header(out, traf_size, "traf");
    boxes_put_header(out, 16, "tfhd");
    put_full_box_header(out, 0, 0x020000u); /* offsets from the moof */
    boxes_put32(out, TRACK_ID);
    boxes_put_header(out, 20, "tfdt");
    put_full_box_header(out, 1, 0);
    boxes_put64(out, decode_time);
    boxes_put_header(out, trun_size, "trun");
    put_full_box_header(out, 0, 0x000701u); /* data offset; each sample's duration, size and flags */
    boxes_put32(out, 1);
    boxes_put32(out, moof_size + 8);
    boxes_put32(out, duration);
    boxes_put32(out, (uint32_t)size);
    boxes_put32(out, key_frame ? SYNC_SAMPLE : DEPENDENT_SAMPLE);
    boxes_put_header(out, (uint32_t)size + 8, "mdat");
    g_byte_array_append(out, sample, (guint)size);
    return g_byte_array_free_to_bytes(out);
}
