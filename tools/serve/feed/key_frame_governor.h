/*
 * The key frames viewers ask of a camera's shared encoder. Every key frame
 * costs every client of that encoder (the recording, RTSP, each viewer) a
 * burst of bit rate and a dip in quality, so viewers' requests after a loss
 * (a PLI or FIR) are coalesced: at most one is made per `interval`, beyond
 * the encoder's own group of pictures. A request that finds the budget spent
 * waits for it, and any key frame that passes in the meantime (the encoder's
 * own, a segment boundary's) answers it.
 *
 * A new viewer is served at once: it shares a key frame already asked for and
 * not yet out of the encoder, else one is made for it (and the budget starts
 * again from it).
 *
 * Segment boundaries do not go through the governor: the recording keeps its
 * own key frames.
 *
 * Not locked: the feed that owns one guards it with its own lock. Times are
 * monotonic microseconds.
 */
#ifndef SERVE_KEY_FRAME_GOVERNOR_H
#define SERVE_KEY_FRAME_GOVERNOR_H

#include <stdint.h>

#define KEY_FRAME_GOVERNOR_INTERVAL_US 1000000

struct key_frame_governor {
    int64_t interval_us;
    int64_t last_made_us; /* when a requested key frame was last made; 0: never */
    int pending;          /* a request waits for the budget or for a key frame */
    int in_flight;        /* a key frame was asked of the encoder and has not come out yet */
    uint64_t asked;       /* requests, since start-up */
    uint64_t made;        /* key frames made for them */
};

enum key_frame_answer {
    KEY_FRAME_MAKE_NOW, /* send the encoder a request now */
    KEY_FRAME_WAITS,    /* the budget is spent: key_frame_governor_due() tells when */
};

void key_frame_governor_init(struct key_frame_governor *governor, int64_t interval_us);

/* A viewer asks for a key frame at `now`, after a loss. */
enum key_frame_answer key_frame_governor_ask(struct key_frame_governor *governor, int64_t now);

/* A new viewer needs a key frame at `now`: KEY_FRAME_MAKE_NOW, or
 * KEY_FRAME_WAITS when one asked for is on its way and will serve it. */
enum key_frame_answer key_frame_governor_join(struct key_frame_governor *governor, int64_t now);

/* Whether a waiting request is due at `now`: if so, it counts as made and the
 * caller sends the encoder a request. Called with every encoded frame. */
int key_frame_governor_due(struct key_frame_governor *governor, int64_t now);

/* A key frame sent for outside the budget (a viewer moved to this tier needs
 * one at once): it counts as made, and requests that follow it within the
 * interval wait. */
void key_frame_governor_force(struct key_frame_governor *governor, int64_t now);

/* A key frame left the encoder, for whatever reason: a waiting request is
 * answered by it. */
void key_frame_governor_key_frame_seen(struct key_frame_governor *governor);

#endif
