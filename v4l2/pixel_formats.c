#include "pixel_formats.h"

#include <string.h>

#include <linux/videodev2.h>

static const uint32_t formats[PIXEL_FORMAT_COUNT] = {V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_YUV420};

uint32_t pixel_format_at(unsigned index) { return index < PIXEL_FORMAT_COUNT ? formats[index] : 0; }

const char *pixel_format_name(uint32_t fourcc) {
    switch (fourcc) {
    case V4L2_PIX_FMT_NV12: return "Y/CbCr 4:2:0";
    case V4L2_PIX_FMT_YUYV: return "YUYV 4:2:2";
    case V4L2_PIX_FMT_YUV420: return "Planar YUV 4:2:0";
    }
    return "";
}

int pixel_format_known(uint32_t fourcc) {
    unsigned i;
    for (i = 0; i < PIXEL_FORMAT_COUNT; ++i)
        if (formats[i] == fourcc) return 1;
    return 0;
}

uint32_t pixel_format_bytes_per_line(uint32_t fourcc, uint32_t width) {
    return fourcc == V4L2_PIX_FMT_YUYV ? width * 2 : width;
}

uint32_t pixel_format_image_size(uint32_t fourcc, uint32_t width, uint32_t height) {
    return fourcc == V4L2_PIX_FMT_YUYV ? width * height * 2 : width * height * 3 / 2;
}

/* Each chroma row serves two rows of the 4:2:2 frame. */
static void to_yuyv(const uint8_t *nv12, uint32_t width, uint32_t height, uint8_t *out) {
    const uint8_t *uv_plane = nv12 + (size_t)width * height;
    uint32_t row, x;
    for (row = 0; row < height; ++row) {
        const uint8_t *y = nv12 + (size_t)row * width;
        const uint8_t *uv = uv_plane + (size_t)(row / 2) * width;
        uint8_t *o = out + (size_t)row * width * 2;
        for (x = 0; x + 1 < width; x += 2) {
            o[0] = y[x];
            o[1] = uv[x];
            o[2] = y[x + 1];
            o[3] = uv[x + 1];
            o += 4;
        }
    }
}

static void to_yu12(const uint8_t *nv12, uint32_t width, uint32_t height, uint8_t *out) {
    const size_t luma = (size_t)width * height, chroma = luma / 4;
    const uint8_t *uv = nv12 + luma;
    uint8_t *u = out + luma, *v = out + luma + chroma;
    size_t i;
    memcpy(out, nv12, luma);
    for (i = 0; i < chroma; ++i) {
        u[i] = uv[2 * i];
        v[i] = uv[2 * i + 1];
    }
}

void pixel_format_convert(uint32_t fourcc, const uint8_t *nv12, uint32_t width, uint32_t height, uint8_t *out) {
    if (fourcc == V4L2_PIX_FMT_YUYV)
        to_yuyv(nv12, width, height, out);
    else if (fourcc == V4L2_PIX_FMT_YUV420)
        to_yu12(nv12, width, height, out);
    else
        memcpy(out, nv12, (size_t)width * height * 3 / 2);
}
