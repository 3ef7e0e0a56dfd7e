#include "last_message.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "boardcam-mt.h"

static __thread char message[LAST_MESSAGE_MAX];

void last_message_clear(void) { message[0] = '\0'; }

void last_message_set(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
}

void last_message_copy(const char *text) {
    if (text == NULL) {
        message[0] = '\0';
        return;
    }
    snprintf(message, sizeof message, "%s", text);
}

const char *last_message_get(void) { return message; }

BOARDCAM_MT_API const char *boardcam_mt_last_message(void) { return message; }
