#include "jpeg_file.h"

#include <errno.h>
#include <stdio.h>

#include "nv12_planes.h"

int write_jpeg(tjhandle encoder, const char *path, const uint8_t *nv12, int width, int height, int quality,
               uint8_t *chroma) {
    const size_t quarter = (size_t)(width / 2) * (size_t)(height / 2);
    const unsigned char *planes[3];
    int strides[3];
    unsigned char *jpeg = NULL;
    unsigned long jpeg_size = 0;
    FILE *file;
    int ok;

    /* libjpeg-turbo takes planar chroma; NV12 interleaves it. The luma plane
     * is used where it lies, and nothing goes through RGB. */
    nv12_split_chroma(nv12 + (size_t)width * (size_t)height, quarter, chroma, chroma + quarter);
    planes[0] = nv12;
    planes[1] = chroma;
    planes[2] = chroma + quarter;
    strides[0] = width;
    strides[1] = strides[2] = width / 2;
    if (tjCompressFromYUVPlanes(encoder, planes, width, strides, height, TJSAMP_420, &jpeg, &jpeg_size, quality,
                                0) != 0) {
        tjFree(jpeg);
        errno = EIO;
        return -1;
    }
    file = fopen(path, "wb");
    if (file == NULL) {
        tjFree(jpeg);
        return -1;
    }
    ok = fwrite(jpeg, 1, jpeg_size, file) == jpeg_size;
    tjFree(jpeg);
    return (fclose(file) == 0 && ok) ? 0 : -1;
}
