#include "frame_size.h"

#include <stdio.h>

int frame_size_check(long width, long height, int odd_allowed, char *why, size_t why_size) {
    if (width < FRAME_SIDE_MIN || height < FRAME_SIDE_MIN || width > FRAME_SIDE_MAX || height > FRAME_SIDE_MAX) {
        snprintf(why, why_size, "size %ldx%ld is out of range: the cameras take %d to %d pixels a side", width,
                 height, FRAME_SIDE_MIN, FRAME_SIDE_MAX);
        return -1;
    }
    if (!odd_allowed && (width % 2 != 0 || height % 2 != 0)) {
        snprintf(why, why_size, "size %ldx%ld: width and height must be even, as the cameras' 4:2:0 frames are",
                 width, height);
        return -1;
    }
    return 0;
}
