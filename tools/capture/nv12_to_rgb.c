#include "nv12_to_rgb.h"

#include <stddef.h>

static uint8_t clamp_byte(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

void nv12_to_rgb(const uint8_t *nv12, int width, int height, uint8_t *rgb) {
    const size_t w = (size_t)width;
    const uint8_t *chroma = nv12 + w * (size_t)height;
    int x, y;
    for (y = 0; y < height; ++y) {
        const uint8_t *luma_row = nv12 + (size_t)y * w;
        const uint8_t *uv_row = chroma + (size_t)(y / 2) * w;
        uint8_t *out = rgb + (size_t)y * w * 3;
        for (x = 0; x < width; ++x) {
            /* Fixed-point BT.601: 1.164, 1.596, 0.392, 0.813, 2.017 scaled by 256. */
            const int c = 298 * (luma_row[x] - 16) + 128;
            const int d = uv_row[x & ~1] - 128;
            const int e = uv_row[(x & ~1) + 1] - 128;
            out[3 * x] = clamp_byte((c + 409 * e) >> 8);
            out[3 * x + 1] = clamp_byte((c - 100 * d - 208 * e) >> 8);
            out[3 * x + 2] = clamp_byte((c + 516 * d) >> 8);
        }
    }
}
