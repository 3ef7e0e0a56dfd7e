/*
 * The pixel formats a V4L2 program may ask for, and the one conversion from
 * a camera's NV12 frame into each: NV12 itself (a copy), YUYV and YU12.
 * Planes are packed, with no padding at the end of a row.
 */
#ifndef BOARDCAM_V4L2_PIXEL_FORMATS_H
#define BOARDCAM_V4L2_PIXEL_FORMATS_H

#include <stddef.h>
#include <stdint.h>

#define PIXEL_FORMAT_COUNT 3

/* The formats in ENUM_FMT's order, NV12 first: the camera's own. */
uint32_t pixel_format_at(unsigned index);
const char *pixel_format_name(uint32_t fourcc);
/* Whether `fourcc` is one of them. */
int pixel_format_known(uint32_t fourcc);

/* Bytes of one row of the first plane, and of a whole frame. */
uint32_t pixel_format_bytes_per_line(uint32_t fourcc, uint32_t width);
uint32_t pixel_format_image_size(uint32_t fourcc, uint32_t width, uint32_t height);

/* Writes an NV12 frame of width x height into `out` in `fourcc`. */
void pixel_format_convert(uint32_t fourcc, const uint8_t *nv12, uint32_t width, uint32_t height, uint8_t *out);

#endif
