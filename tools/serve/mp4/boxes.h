/*
 * Writing ISO base media boxes: big-endian fields appended to a byte array.
 */
#ifndef SERVE_MP4_BOXES_H
#define SERVE_MP4_BOXES_H

#include <stdint.h>

#include <glib.h>

static inline void boxes_put16(GByteArray *out, uint16_t value) {
    const guint8 bytes[2] = {(guint8)(value >> 8), (guint8)value};
    g_byte_array_append(out, bytes, 2);
}

static inline void boxes_put32(GByteArray *out, uint32_t value) {
    const guint8 bytes[4] = {(guint8)(value >> 24), (guint8)(value >> 16), (guint8)(value >> 8), (guint8)value};
    g_byte_array_append(out, bytes, 4);
}

static inline void boxes_put64(GByteArray *out, uint64_t value) {
    boxes_put32(out, (uint32_t)(value >> 32));
    boxes_put32(out, (uint32_t)value);
}

static inline void boxes_put_header(GByteArray *out, uint32_t size, const char *type) {
    boxes_put32(out, size);
    g_byte_array_append(out, (const guint8 *)type, 4);
}

static inline void boxes_set32(guint8 *at, uint32_t value) {
    at[0] = (guint8)(value >> 24), at[1] = (guint8)(value >> 16), at[2] = (guint8)(value >> 8), at[3] = (guint8)value;
}

/* Opens a box whose size is known only once its contents are written: its
 * offset, for boxes_close(). */
static inline guint boxes_open(GByteArray *out, const char *type) {
    const guint at = out->len;
    boxes_put_header(out, 0, type);
    return at;
}

static inline void boxes_close(GByteArray *out, guint at) { boxes_set32(out->data + at, out->len - at); }

#endif
