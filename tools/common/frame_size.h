/*
 * The frame sizes the board's cameras take: each side from 2 to 8192
 * pixels, in even numbers (a 4:2:0 frame has one chroma sample per 2x2
 * block). The programs check a size against this before they allocate
 * anything for it, and say which rule it breaks.
 */
#ifndef TOOLS_FRAME_SIZE_H
#define TOOLS_FRAME_SIZE_H

#include <stddef.h>

#define FRAME_SIDE_MIN 2
#define FRAME_SIDE_MAX 8192

/* Why a camera cannot take `width` x `height`, written into `why` (no
 * trailing newline); 0 when it can. With `odd_allowed`, only the range is
 * checked. */
int frame_size_check(long width, long height, int odd_allowed, char *why, size_t why_size);

#endif
