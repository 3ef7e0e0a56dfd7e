/*
 * What a camera's owner and its subscribers say to each other, over a
 * SOCK_SEQPACKET socket: one message per packet, each a fixed-size struct
 * starting with a header. A packet of another size, magic or version ends
 * the connection.
 *
 *   subscriber                         owner
 *   HELLO (format, program)      ->
 *                                <-    WELCOME (format, owner) | REFUSED (why)
 *                                <-    FRAME (slot, sequence, times) [+ the slot's memfd, the first time]
 *   RELEASE (slot)               ->
 *   RATE (fps)                   ->                  a subscriber's new rate
 *                                <-    FORMAT (fps, size)   the owner reconfigured
 *                                <-    RETIRE (slot)        a slot is gone for good
 *   STATUS                       ->                  instead of HELLO: boardcam_mt_status()
 *                                <-    STATUS_REPLY
 *
 * Both ends are the same library on the same machine: the structs are sent
 * as they are laid out in memory.
 */
#ifndef BOARDCAM_MT_HUB_PROTOCOL_H
#define BOARDCAM_MT_HUB_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

#include "boardcam-mt.h"

#define HUB_MAGIC 0x626d6368u /* "hcmb" */
#define HUB_VERSION 1

enum hub_message_type {
    HUB_HELLO = 1,
    HUB_WELCOME,
    HUB_REFUSED,
    HUB_FRAME,
    HUB_RELEASE,
    HUB_RATE,
    HUB_FORMAT,
    HUB_RETIRE,
    HUB_STATUS,
    HUB_STATUS_REPLY,
};

struct hub_header {
    uint32_t magic;
    uint16_t version;
    uint16_t type;
};

struct hub_hello {
    struct hub_header header;
    int32_t fps;    /* 0: the owner's */
    int32_t width;  /* 0 and 0: the owner's */
    int32_t height;
    uint32_t max_held;
    char program[BOARDCAM_MT_PROGRAM_MAX];
};

struct hub_welcome {
    struct hub_header header;
    int32_t fps;    /* the subscriber's rate */
    int32_t width;
    int32_t height;
    int32_t owner_fps;
    int32_t owner_pid;
    char owner_program[BOARDCAM_MT_PROGRAM_MAX];
};

struct hub_refused {
    struct hub_header header;
    int32_t result; /* BOARDCAM_MT_BUSY or BOARDCAM_MT_DENIED */
    char text[384];
};

struct hub_frame {
    struct hub_header header;
    uint32_t slot;
    uint32_t size;
    uint64_t sequence;
    int64_t monotonic_ns;
    int64_t realtime_ns;
};

struct hub_slot_message { /* RELEASE and RETIRE */
    struct hub_header header;
    uint32_t slot;
};

struct hub_rate {
    struct hub_header header;
    int32_t fps;
};

struct hub_format {
    struct hub_header header;
    int32_t fps;
    int32_t width;
    int32_t height;
};

struct hub_status_reply {
    struct hub_header header;
    boardcam_mt_camera_status status;
};

/* The largest message, for receive buffers. */
#define HUB_MESSAGE_MAX sizeof(struct hub_status_reply)

static inline struct hub_header hub_header_of(enum hub_message_type type) {
    struct hub_header header = {HUB_MAGIC, HUB_VERSION, (uint16_t)type};
    return header;
}

/* Whether `size` bytes starting at `header` are a whole message of `type`. */
int hub_message_valid(const struct hub_header *header, size_t size, enum hub_message_type *type);

#endif
