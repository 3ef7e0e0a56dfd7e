#define _GNU_SOURCE
#include "shared_frame.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010
#endif

int shared_frame_make(struct shared_frame *frame, int camera, size_t size) {
    char name[32];
    snprintf(name, sizeof name, "boardcam-cam%d-frame", camera);
    frame->fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    frame->data = MAP_FAILED;
    frame->size = size;
    if (frame->fd < 0) return -1;
    if (ftruncate(frame->fd, (off_t)size) != 0) goto fail;
    frame->data = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, frame->fd, 0);
    if (frame->data == MAP_FAILED) goto fail;
    if (fcntl(frame->fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0) goto fail;
    /* Older kernels lack it: the read-only descriptor still keeps readers out. */
    fcntl(frame->fd, F_ADD_SEALS, F_SEAL_FUTURE_WRITE);
    fcntl(frame->fd, F_ADD_SEALS, F_SEAL_SEAL);
    return 0;
fail: {
    const int saved = errno;
    shared_frame_free(frame);
    errno = saved;
    return -1;
}
}

int shared_frame_reader_fd(const struct shared_frame *frame) {
    char path[64];
    int fd;
    snprintf(path, sizeof path, "/proc/self/fd/%d", frame->fd);
    fd = open(path, O_RDONLY | O_CLOEXEC);
    return fd >= 0 ? fd : fcntl(frame->fd, F_DUPFD_CLOEXEC, 0);
}

void shared_frame_free(struct shared_frame *frame) {
    if (frame->data != MAP_FAILED && frame->data != NULL) munmap(frame->data, frame->size);
    if (frame->fd >= 0) close(frame->fd);
    frame->data = MAP_FAILED;
    frame->fd = -1;
}
