/* JPEG files straight from the frame's YUV planes, through libjpeg-turbo. */
#ifndef CAPTURE_JPEG_FILE_H
#define CAPTURE_JPEG_FILE_H

#include <stdint.h>
#include <turbojpeg.h>

/*
 * Writes an NV12 frame as a 4:2:0 JPEG of `quality` (1..100). `chroma` is
 * scratch space for width * height / 2 bytes. Returns 0, or -1 with errno
 * set when the file cannot be written (EIO when the encoder failed).
 */
int write_jpeg(tjhandle encoder, const char *path, const uint8_t *nv12, int width, int height, int quality,
               uint8_t *chroma);

#endif
