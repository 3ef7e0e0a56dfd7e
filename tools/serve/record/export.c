#include "export.h"

#include <string.h>

#include "mp4/boxes.h"
#include "fmp4.h"
#include "segments.h"

/* The samples [first, first + count) of one segment. */
struct pick {
    struct fmp4_file *file;
    GBytes *bytes; /* all of the file's mapping */
    guint first, count;
};

/* A segment's name says the second its first frame came; one that follows
 * the one before it with no gap is taken to start where that one ended, so
 * that a span across them is as long as asked, whatever the fraction of a
 * second the names leave out. */
#define CONTINUES_WITHIN_US (1500 * 1000)

static gint64 wall_time_us(gint64 start_us, const struct fmp4_file *file, guint index) {
    const struct fmp4_sample *origin = &g_array_index(file->samples, struct fmp4_sample, 0);
    const struct fmp4_sample *sample = &g_array_index(file->samples, struct fmp4_sample, index);
    return start_us + (gint64)((sample->decode_time - origin->decode_time) * G_USEC_PER_SEC / file->timescale);
}

static gint64 end_time_us(gint64 start_us, const struct fmp4_file *file) {
    return start_us + (gint64)(fmp4_duration(file) * G_USEC_PER_SEC / file->timescale);
}

/* Which of `file`'s samples fall in the span; 0 when some do. The first
 * segment of the span starts at its last key frame at or before `start_us`,
 * the others at their first. */
static int pick_samples(gint64 segment_start_us, struct fmp4_file *file, int first_of_span, gint64 start_us,
                        gint64 end_us, struct pick *out) {
    const guint n = file->samples->len;
    guint i, from = n, to;
    for (i = 0; i < n; ++i) {
        const struct fmp4_sample *sample = &g_array_index(file->samples, struct fmp4_sample, i);
        if (!fmp4_sample_is_sync(sample)) continue;
        if (wall_time_us(segment_start_us, file, i) >= end_us) break;
        if (from == n || (first_of_span && wall_time_us(segment_start_us, file, i) <= start_us)) from = i;
        if (!first_of_span || wall_time_us(segment_start_us, file, i) > start_us) break;
    }
    if (from == n) return -1;
    for (to = from; to < n && wall_time_us(segment_start_us, file, to) < end_us; ++to) {
    }
    out->file = file;
    out->first = from;
    out->count = to - from;
    return out->count > 0 ? 0 : -1;
}

/* The bytes of a GByteArray, handed to the body. */
static void append_made(struct ranged_body *body, GByteArray *made) {
    GBytes *bytes = g_byte_array_free_to_bytes(made);
    ranged_body_append(body, bytes, 0, g_bytes_get_size(bytes));
    g_bytes_unref(bytes);
}

/* One fragment of the export: samples [first, first + count) of `pick`,
 * decoded from `decode_time` on. */
static void append_fragment(struct ranged_body *body, const struct pick *pick, guint first, guint count,
                            uint32_t sequence, uint32_t track_id, uint64_t decode_time) {
    const struct fmp4_sample *samples = &g_array_index(pick->file->samples, struct fmp4_sample, first);
    GByteArray *made = g_byte_array_new();
    uint64_t data_size = 0;
    int offsets = 0;
    guint i;
    uint32_t per_sample, trun_size, traf_size, moof_size;
    for (i = 0; i < count; ++i) {
        data_size += samples[i].size;
        offsets |= samples[i].composition_offset != 0;
    }
    per_sample = offsets ? 16 : 12;
    trun_size = 8 + 4 + 4 + 4 + per_sample * count;
    traf_size = 8 + 16 + 20 + trun_size;
    moof_size = 8 + 16 + traf_size;
    boxes_put_header(made, moof_size, "moof");
    boxes_put_header(made, 16, "mfhd");
    boxes_put32(made, 0);
    boxes_put32(made, sequence);
    boxes_put_header(made, traf_size, "traf");
    boxes_put_header(made, 16, "tfhd");
    boxes_put32(made, 0x020000u); /* the data are found from the moof */
    boxes_put32(made, track_id);
    boxes_put_header(made, 20, "tfdt");
    boxes_put32(made, 1u << 24);
    boxes_put64(made, decode_time);
    boxes_put_header(made, trun_size, "trun");
    boxes_put32(made, (offsets ? 1u << 24 : 0u) | 0x000701u | (offsets ? 0x800u : 0u));
    boxes_put32(made, count);
    boxes_put32(made, moof_size + (data_size + 8 > G_MAXUINT32 ? 16u : 8u));
    for (i = 0; i < count; ++i) {
        boxes_put32(made, samples[i].duration);
        boxes_put32(made, samples[i].size);
        boxes_put32(made, samples[i].flags);
        if (offsets) boxes_put32(made, (uint32_t)samples[i].composition_offset);
    }
    if (data_size + 8 > G_MAXUINT32) {
        boxes_put_header(made, 1, "mdat");
        boxes_put64(made, data_size + 16);
    } else {
        boxes_put_header(made, (uint32_t)(data_size + 8), "mdat");
    }
    append_made(body, made);
    for (i = 0; i < count; ++i)
        ranged_body_append(body, pick->bytes, (gsize)samples[i].offset, samples[i].size);
}

/* The first segment's movie header, its fragment duration made the
 * export's. */
static void append_movie_header(struct ranged_body *body, const struct fmp4_file *file, uint64_t duration) {
    GByteArray *made = g_byte_array_new();
    const uint64_t movie_duration = duration * file->movie_timescale / file->timescale;
    if (file->ftyp != NULL) g_byte_array_append(made, file->ftyp, (guint)file->ftyp_size);
    {
        const guint at = made->len;
        g_byte_array_append(made, file->moov, (guint)file->moov_size);
        if (file->mehd_offset != 0) {
            guint8 *field = made->data + at + file->mehd_offset;
            if (file->mehd_version == 1) {
                boxes_set32(field, (uint32_t)(movie_duration >> 32));
                boxes_set32(field + 4, (uint32_t)movie_duration);
            } else {
                boxes_set32(field, (uint32_t)MIN(movie_duration, (uint64_t)G_MAXUINT32));
            }
        }
    }
    append_made(body, made);
}

static void picks_clear(GArray *picks) {
    guint i;
    for (i = 0; i < picks->len; ++i) {
        struct pick *pick = &g_array_index(picks, struct pick, i);
        g_bytes_unref(pick->bytes);
        fmp4_close(pick->file);
    }
    g_array_unref(picks);
}

struct ranged_body *export_span(const char *dir, int camera, gint64 start_us, gint64 duration_us,
                                struct export_info *info, GError **error) {
    GPtrArray *segments = segments_list(dir, camera);
    GArray *picks = g_array_new(FALSE, FALSE, sizeof(struct pick));
    const gint64 end_us = start_us + duration_us;
    struct ranged_body *body;
    uint64_t duration = 0, decode_time = 0;
    uint32_t sequence = 0;
    gint64 previous_end_us = G_MININT64;
    guint i, first = 0;
    memset(info, 0, sizeof *info);
    /* The last segment that starts at or before the span, and each after
     * it that starts within it. */
    for (i = 0; i < segments->len; ++i)
        if (((struct segment *)segments->pdata[i])->start_us <= start_us) first = i;
    for (i = first; i < segments->len; ++i) {
        const struct segment *segment = segments->pdata[i];
        struct fmp4_file *file;
        struct pick pick;
        gint64 segment_start_us = segment->start_us;
        if (segment->start_us >= end_us) break;
        file = fmp4_open(segment->path, NULL);
        if (file == NULL || file->samples->len == 0) {
            fmp4_close(file);
            continue;
        }
        if (previous_end_us != G_MININT64 && ABS(segment->start_us - previous_end_us) <= CONTINUES_WITHIN_US)
            segment_start_us = previous_end_us;
        previous_end_us = end_time_us(segment_start_us, file);
        if (previous_end_us <= start_us) {
            fmp4_close(file);
            continue;
        }
        if (picks->len > 0) {
            const struct fmp4_file *head = g_array_index(picks, struct pick, 0).file;
            if (!fmp4_same_pictures(file, head)) {
                fmp4_close(file);
                break;
            }
        }
        if (pick_samples(segment_start_us, file, picks->len == 0, start_us, end_us, &pick) != 0) {
            fmp4_close(file);
            continue;
        }
        if (picks->len == 0) info->start_us = wall_time_us(segment_start_us, file, pick.first);
        pick.bytes = g_mapped_file_get_bytes(file->map);
        g_array_append_val(picks, pick);
    }
    g_ptr_array_unref(segments);
    if (picks->len == 0) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "nothing was recorded then");
        picks_clear(picks);
        return NULL;
    }
    for (i = 0; i < picks->len; ++i) {
        const struct pick *pick = &g_array_index(picks, struct pick, i);
        guint k;
        for (k = 0; k < pick->count; ++k)
            duration += g_array_index(pick->file->samples, struct fmp4_sample, pick->first + k).duration;
    }
    body = ranged_body_new();
    append_movie_header(body, g_array_index(picks, struct pick, 0).file, duration);
    for (i = 0; i < picks->len; ++i) {
        const struct pick *pick = &g_array_index(picks, struct pick, i);
        const struct fmp4_sample *samples = &g_array_index(pick->file->samples, struct fmp4_sample, 0);
        guint from = pick->first;
        /* The segment's own fragments, about a second each. */
        while (from < pick->first + pick->count) {
            guint to = from, k;
            while (to < pick->first + pick->count && samples[to].fragment == samples[from].fragment) ++to;
            append_fragment(body, pick, from, to - from, ++sequence, g_array_index(picks, struct pick, 0).file->track_id,
                            decode_time);
            for (k = from; k < to; ++k) decode_time += samples[k].duration;
            from = to;
        }
        info->frames += pick->count;
    }
    info->segments = picks->len;
    info->duration_us = (gint64)(duration * G_USEC_PER_SEC / g_array_index(picks, struct pick, 0).file->timescale);
    picks_clear(picks);
    return body;
}
