/*
 * One frame's worth of memory shared between processes: a memfd the owner
 * writes through its own mapping and every subscriber maps read-only.
 *
 * Sealed against shrinking and growing, so that no subscriber can take pages
 * away from another; and against writes through any mapping made after the
 * owner's (where the kernel has that seal). Subscribers are given a
 * descriptor opened read-only, through which no writable mapping can be made
 * at all.
 */
#ifndef BOARDCAM_MT_SHARED_FRAME_H
#define BOARDCAM_MT_SHARED_FRAME_H

#include <stddef.h>

struct shared_frame {
    int fd;      /* the memfd, read and write: the owner's */
    void *data;  /* the owner's writable mapping */
    size_t size;
};

/* Makes one of `size` bytes for camera `camera`; 0, or -1 with errno. */
int shared_frame_make(struct shared_frame *frame, int camera, size_t size);

/* A new descriptor of it for a subscriber, read-only where the system
 * allows; the caller closes it. -1 with errno on failure. */
int shared_frame_reader_fd(const struct shared_frame *frame);

void shared_frame_free(struct shared_frame *frame);

#endif
