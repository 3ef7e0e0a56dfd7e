#include "hub_protocol.h"

int hub_message_valid(const struct hub_header *header, size_t size, enum hub_message_type *type) {
    static const size_t sizes[] = {
        [HUB_HELLO] = sizeof(struct hub_hello),         [HUB_WELCOME] = sizeof(struct hub_welcome),
        [HUB_REFUSED] = sizeof(struct hub_refused),     [HUB_FRAME] = sizeof(struct hub_frame),
        [HUB_RELEASE] = sizeof(struct hub_slot_message), [HUB_RATE] = sizeof(struct hub_rate),
        [HUB_FORMAT] = sizeof(struct hub_format),       [HUB_RETIRE] = sizeof(struct hub_slot_message),
        [HUB_STATUS] = sizeof(struct hub_header),       [HUB_STATUS_REPLY] = sizeof(struct hub_status_reply),
    };
    if (size < sizeof *header || header->magic != HUB_MAGIC || header->version != HUB_VERSION) return 0;
    if (header->type < HUB_HELLO || header->type > HUB_STATUS_REPLY || sizes[header->type] != size) return 0;
    *type = (enum hub_message_type)header->type;
    return 1;
}
