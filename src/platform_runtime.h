/*
 * The device runtime, as the camera module calls it: the application log of
 * the runtime's core library and the image-processing device memory of its
 * image-processing library. Both are closed platform libraries.
 */
#ifndef BOARDCAM_PLATFORM_RUNTIME_H
#define BOARDCAM_PLATFORM_RUNTIME_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Application log levels used by the library */
#define VEK_LOG_INFO 1
#define VEK_LOG_ERROR 3

/* Formats and records one message; the answer is not used. */
int vekAppLog(int level, const char *func, const char *file, int line, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

/* 0 on success, after which *ptr holds the new buffer; any other value is an error code. */
int vekpimoMalloc(void **ptr, size_t size);
/* Releases a buffer from vekpimoMalloc; the answer is not used. */
int vekpimoFree(void *ptr);

#ifdef __cplusplus
}
#endif

#endif
