/*
 * Device runtime core: the application log.
 *
 * Shipped by the host board simulator in the place of the board SDK's own.
 */
#ifndef VEKRT_H
#define VEKRT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Formats and records one message of the application log; 0 when recorded. */
int vekAppLog(int level, const char *func, const char *file, int line, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

#ifdef __cplusplus
}
#endif

#endif
