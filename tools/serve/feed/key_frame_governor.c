#include "key_frame_governor.h"

void key_frame_governor_init(struct key_frame_governor *governor, int64_t interval_us) {
    governor->interval_us = interval_us;
    governor->last_made_us = 0;
    governor->pending = 0;
    governor->in_flight = 0;
    governor->asked = 0;
    governor->made = 0;
}

static int budget_left(const struct key_frame_governor *governor, int64_t now) {
    return governor->made == 0 || now - governor->last_made_us >= governor->interval_us;
}

enum key_frame_answer key_frame_governor_ask(struct key_frame_governor *governor, int64_t now) {
    ++governor->asked;
    if (!governor->pending && budget_left(governor, now)) {
        key_frame_governor_force(governor, now);
        return KEY_FRAME_MAKE_NOW;
    }
    governor->pending = 1;
    return KEY_FRAME_WAITS;
}

enum key_frame_answer key_frame_governor_join(struct key_frame_governor *governor, int64_t now) {
    ++governor->asked;
    if (governor->in_flight) return KEY_FRAME_WAITS;
    key_frame_governor_force(governor, now);
    return KEY_FRAME_MAKE_NOW;
}

int key_frame_governor_due(struct key_frame_governor *governor, int64_t now) {
    if (!governor->pending || !budget_left(governor, now)) return 0;
    key_frame_governor_force(governor, now);
    return 1;
}

void key_frame_governor_force(struct key_frame_governor *governor, int64_t now) {
    governor->pending = 0;
    governor->in_flight = 1;
    governor->last_made_us = now;
    ++governor->made;
}

void key_frame_governor_key_frame_seen(struct key_frame_governor *governor) {
    governor->pending = 0;
    governor->in_flight = 0;
}
