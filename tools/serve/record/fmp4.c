#include "fmp4.h"

#include <string.h>

/* A box: [start, end) of its contents, after its header. */
struct box {
    char type[5];
    gsize at;    /* of its header */
    gsize start; /* of its contents */
    gsize end;
};

static uint32_t be32(const guint8 *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

static uint64_t be64(const guint8 *p) {
    return (uint64_t)be32(p) << 32 | be32(p + 4);
}

/* The box at `*at` within [.., end); 0 and `*at` past it, or -1 when what is
 * there is not a whole box. */
static int next_box(const guint8 *data, gsize *at, gsize end, struct box *box) {
    uint64_t size;
    gsize header = 8;
    if (*at > end || end - *at < 8) return -1;
    size = be32(data + *at);
    memcpy(box->type, data + *at + 4, 4);
    box->type[4] = '\0';
    if (size == 1) {
        if (end - *at < 16) return -1;
        size = be64(data + *at + 8);
        header = 16;
    } else if (size == 0) {
        size = end - *at;
    }
    if (size < header || size > end - *at) return -1;
    box->at = *at;
    box->start = *at + header;
    box->end = *at + (gsize)size;
    *at = box->end;
    return 0;
}

/* The first child of `parent` of `type`; 0 when found. */
static int find_child(const guint8 *data, const struct box *parent, const char *type, struct box *out) {
    gsize at = parent->start;
    while (next_box(data, &at, parent->end, out) == 0)
        if (strcmp(out->type, type) == 0) return 0;
    return -1;
}

static int find_path(const guint8 *data, const struct box *root, const char *const *path, struct box *out) {
    struct box here = *root;
    for (; *path != NULL; ++path) {
        if (find_child(data, &here, *path, out) != 0) return -1;
        here = *out;
    }
    return 0;
}

/* A full box's contents hold at least `n` bytes after version and flags. */
static int full_box_has(const struct box *box, gsize n) {
    return box->end - box->start >= 4 + n;
}

struct track_defaults {
    uint32_t duration, size, flags;
};

static int parse_moov(struct fmp4_file *file, const struct box *moov, struct track_defaults *defaults,
                      GError **error) {
    static const char *const mvhd_path[] = {"mvhd", NULL};
    static const char *const tkhd_path[] = {"trak", "tkhd", NULL};
    static const char *const mdhd_path[] = {"trak", "mdia", "mdhd", NULL};
    static const char *const hdlr_path[] = {"trak", "mdia", "hdlr", NULL};
    static const char *const stsd_path[] = {"trak", "mdia", "minf", "stbl", "stsd", NULL};
    static const char *const mehd_path[] = {"mvex", "mehd", NULL};
    static const char *const trex_path[] = {"mvex", "trex", NULL};
    const guint8 *d = file->data;
    struct box box;
    if (find_path(d, moov, mvhd_path, &box) != 0 || !full_box_has(&box, 20)) goto bad;
    file->movie_timescale = be32(d + box.start + 4 + (d[box.start] == 1 ? 16 : 8));
    if (find_path(d, moov, tkhd_path, &box) != 0 || !full_box_has(&box, 28)) goto bad;
    file->track_id = be32(d + box.start + 4 + (d[box.start] == 1 ? 16 : 8));
    if (find_path(d, moov, mdhd_path, &box) != 0 || !full_box_has(&box, 20)) goto bad;
    file->timescale = be32(d + box.start + 4 + (d[box.start] == 1 ? 16 : 8));
    if (find_path(d, moov, hdlr_path, &box) != 0 || !full_box_has(&box, 8) ||
        memcmp(d + box.start + 8, "vide", 4) != 0)
        goto bad;
    if (find_path(d, moov, stsd_path, &box) != 0 || !full_box_has(&box, 4)) goto bad;
    {
        /* The first entry: a visual sample entry (78 bytes of fields), then
         * its boxes, the decoder configuration among them. */
        struct box entry, config;
        gsize at = box.start + 8;
        if (next_box(d, &at, box.end, &entry) != 0 || entry.end - entry.start < 78) goto bad;
        file->picture = d + entry.start;
        file->picture_size = 78;
        at = entry.start + 78;
        while (next_box(d, &at, entry.end, &config) == 0)
            if (strcmp(config.type, "avcC") == 0) {
                file->decoder_config = d + config.start;
                file->decoder_config_size = config.end - config.start;
            }
        if (file->decoder_config == NULL) goto bad;
    }
    if (find_path(d, moov, trex_path, &box) != 0 || !full_box_has(&box, 20)) goto bad;
    defaults->duration = be32(d + box.start + 12);
    defaults->size = be32(d + box.start + 16);
    defaults->flags = be32(d + box.start + 20);
    if (find_path(d, moov, mehd_path, &box) == 0 && full_box_has(&box, d[box.start] == 1 ? 8 : 4)) {
        file->mehd_version = d[box.start];
        file->mehd_offset = box.start + 4 - moov->at;
    }
    if (file->timescale == 0 || file->movie_timescale == 0) goto bad;
    return 0;
bad:
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL, "not a recorded segment: no fragmented video track");
    return -1;
}

/* One track fragment's samples; -1 when it is not whole. `*next_decode` is
 * where the previous fragment ended, and becomes where this one ends. */
static int parse_traf(struct fmp4_file *file, const struct box *moof, const struct box *traf,
                      const struct track_defaults *track, uint64_t *next_decode) {
    const guint8 *d = file->data;
    struct box box;
    gsize at;
    uint32_t tf_flags, default_duration = track->duration, default_size = track->size,
                       default_flags = track->flags;
    uint64_t base = moof->at, decode;
    gsize data_at;
    gsize p;
    const guint first = file->samples->len;
    if (find_child(d, traf, "tfhd", &box) != 0 || !full_box_has(&box, 4)) return -1;
    tf_flags = be32(d + box.start) & 0xffffffu;
    if (be32(d + box.start + 4) != file->track_id) return 0; /* another track's: not ours */
    p = box.start + 8;
#define TAKE(n) (p + (n) <= box.end ? (p += (n), 0) : -1)
    if (tf_flags & 0x01) {
        if (TAKE(8) != 0) return -1;
        base = be64(d + p - 8);
    }
    if ((tf_flags & 0x02) && TAKE(4) != 0) return -1;
    if (tf_flags & 0x08) {
        if (TAKE(4) != 0) return -1;
        default_duration = be32(d + p - 4);
    }
    if (tf_flags & 0x10) {
        if (TAKE(4) != 0) return -1;
        default_size = be32(d + p - 4);
    }
    if (tf_flags & 0x20) {
        if (TAKE(4) != 0) return -1;
        default_flags = be32(d + p - 4);
    }
#undef TAKE
    decode = *next_decode;
    if (find_child(d, traf, "tfdt", &box) == 0 && full_box_has(&box, d[box.start] == 1 ? 8 : 4))
        decode = d[box.start] == 1 ? be64(d + box.start + 4) : be32(d + box.start + 4);
    data_at = (gsize)base;
    at = traf->start;
    while (next_box(d, &at, traf->end, &box) == 0) {
        uint32_t flags, count, i, first_flags = 0;
        const int version = d[box.start];
        if (strcmp(box.type, "trun") != 0) continue;
        if (!full_box_has(&box, 4)) return -1;
        flags = be32(d + box.start) & 0xffffffu;
        count = be32(d + box.start + 4);
        p = box.start + 8;
        if (flags & 0x001) {
            if (p + 4 > box.end) return -1;
            data_at = (gsize)(base + (uint64_t)(int64_t)(int32_t)be32(d + p));
            p += 4;
        }
        if (flags & 0x004) {
            if (p + 4 > box.end) return -1;
            first_flags = be32(d + p);
            p += 4;
        }
        {
            const gsize per = 4u * (((flags >> 8) & 1) + ((flags >> 9) & 1) + ((flags >> 10) & 1) + ((flags >> 11) & 1));
            if (count > 0 && per > 0 && (box.end - p) / per < count) return -1;
            if (per == 0 && count > 1000000u) return -1;
        }
        for (i = 0; i < count; ++i) {
            struct fmp4_sample sample = {0};
            sample.duration = default_duration;
            sample.size = default_size;
            sample.flags = i == 0 && (flags & 0x004) ? first_flags : default_flags;
            if (flags & 0x100) sample.duration = be32(d + p), p += 4;
            if (flags & 0x200) sample.size = be32(d + p), p += 4;
            if (flags & 0x400) sample.flags = be32(d + p), p += 4;
            if (flags & 0x800) {
                const uint32_t raw = be32(d + p);
                sample.composition_offset = version == 0 ? (int32_t)(raw & 0x7fffffffu) : (int32_t)raw;
                p += 4;
            }
            sample.offset = data_at;
            sample.decode_time = decode;
            sample.fragment = file->fragments;
            /* A sample past the end of the file: the fragment is not all
             * on disk. */
            if (data_at > file->size || sample.size > file->size - data_at) {
                g_array_set_size(file->samples, first);
                return -1;
            }
            data_at += sample.size;
            decode += sample.duration;
            g_array_append_val(file->samples, sample);
        }
    }
    *next_decode = decode;
    return 0;
}

struct fmp4_file *fmp4_open(const char *path, GError **error) {
    struct fmp4_file *file = g_new0(struct fmp4_file, 1);
    struct track_defaults defaults = {0, 0, 0};
    struct box box, top;
    gsize at = 0;
    uint64_t next_decode = 0;
    file->map = g_mapped_file_new(path, FALSE, error);
    if (file->map == NULL) {
        g_free(file);
        return NULL;
    }
    file->data = (const guint8 *)g_mapped_file_get_contents(file->map);
    file->size = g_mapped_file_get_length(file->map);
    file->samples = g_array_new(FALSE, FALSE, sizeof(struct fmp4_sample));
    while (next_box(file->data, &at, file->size, &box) == 0) {
        if (strcmp(box.type, "ftyp") == 0) {
            file->ftyp = file->data + box.at;
            file->ftyp_size = box.end - box.at;
        } else if (strcmp(box.type, "moov") == 0 && file->moov == NULL) {
            file->moov = file->data + box.at;
            file->moov_size = box.end - box.at;
            if (parse_moov(file, &box, &defaults, error) != 0) {
                fmp4_close(file);
                return NULL;
            }
        } else if (strcmp(box.type, "moof") == 0 && file->moov != NULL) {
            gsize traf_at = box.start;
            int whole = 1;
            while (whole && next_box(file->data, &traf_at, box.end, &top) == 0)
                if (strcmp(top.type, "traf") == 0) whole = parse_traf(file, &box, &top, &defaults, &next_decode) == 0;
            if (!whole) break;
            ++file->fragments;
        }
    }
    if (file->moov == NULL) {
        g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL, "not a recorded segment: no movie header");
        fmp4_close(file);
        return NULL;
    }
    return file;
}

void fmp4_close(struct fmp4_file *file) {
    if (file == NULL) return;
    g_array_unref(file->samples);
    g_mapped_file_unref(file->map);
    g_free(file);
}

int fmp4_same_pictures(const struct fmp4_file *a, const struct fmp4_file *b) {
    return a->timescale == b->timescale && a->picture_size == b->picture_size &&
           memcmp(a->picture, b->picture, a->picture_size) == 0 && a->decoder_config_size == b->decoder_config_size &&
           memcmp(a->decoder_config, b->decoder_config, a->decoder_config_size) == 0;
}

int fmp4_sample_is_sync(const struct fmp4_sample *sample) {
    /* sample_is_non_sync_sample, and sample_depends_on == 1 (not an I
     * picture) */
    return (sample->flags & 0x00010000u) == 0 && ((sample->flags >> 24) & 3u) != 1;
}

uint64_t fmp4_duration(const struct fmp4_file *file) {
    const struct fmp4_sample *last;
    if (file->samples->len == 0) return 0;
    last = &g_array_index(file->samples, struct fmp4_sample, file->samples->len - 1);
    return last->decode_time + last->duration - g_array_index(file->samples, struct fmp4_sample, 0).decode_time;
}
