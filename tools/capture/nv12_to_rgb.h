/* NV12 (BT.601, limited range) to packed 8-bit RGB. */
#ifndef CAPTURE_NV12_TO_RGB_H
#define CAPTURE_NV12_TO_RGB_H

#include <stdint.h>

/* Converts one frame of even width and height; rgb holds width * height * 3 bytes. */
void nv12_to_rgb(const uint8_t *nv12, int width, int height, uint8_t *rgb);

#endif
