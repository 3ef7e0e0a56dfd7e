/*
 * The calling thread's last message, for boardcam_mt_last_message(): what a
 * BUSY or DENIED result could not say by itself.
 */
#ifndef BOARDCAM_MT_LAST_MESSAGE_H
#define BOARDCAM_MT_LAST_MESSAGE_H

#include <stddef.h>

#define LAST_MESSAGE_MAX 512

/* Forgets the thread's message: every call of the interface starts so. */
void last_message_clear(void);

/* Sets the thread's message, printf-style. */
void last_message_set(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Sets the thread's message to `text` (may be NULL: cleared). */
void last_message_copy(const char *text);

/* The thread's message. */
const char *last_message_get(void);

#endif
