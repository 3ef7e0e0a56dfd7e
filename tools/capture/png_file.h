/* Writing an RGB image as a PNG file. */
#ifndef CAPTURE_PNG_FILE_H
#define CAPTURE_PNG_FILE_H

#include <stdint.h>

/* Writes width x height packed RGB; 0 on success, -1 on failure (errno or libpng message on stderr). */
int write_png(const char *path, const uint8_t *rgb, int width, int height);

#endif
