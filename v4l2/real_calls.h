/*
 * The C library's own functions behind the ones this library interposes,
 * for its own use and for every descriptor and path that is not a camera's.
 * Each is looked up (dlsym RTLD_NEXT) on its first call.
 */
#ifndef BOARDCAM_V4L2_REAL_CALLS_H
#define BOARDCAM_V4L2_REAL_CALLS_H

#include <stddef.h>
#include <sys/types.h>

int real_close(int fd);
int real_fcntl_int(int fd, int command, int argument);
ssize_t real_read(int fd, void *buffer, size_t count);
void *real_mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset);
int real_munmap(void *address, size_t length);

#endif
