/*
 * Which tier one viewer is sent, from what its link reports a couple of times a
 * second: the main stream while its link carries it, else the low tier at a
 * bit rate its link takes.
 *
 * - Down within two seconds of sustained overuse (losses, a queue building
 *   on the path, the server's own queue for it growing, or key frames asked
 *   for again and again), at once when it is severe.
 * - On the low tier, the bit rate follows the link: down by the estimate or
 *   by 30 % on sustained overuse, up by 10 % a second while it is clean,
 *   within 150..1200 kbit/s. For TIER_SETTLE_US after going down or
 *   lowering it, reports still describe the queue the higher rate left on
 *   the path, and do not lower it again.
 * - A burst that fills the link (a key frame) shows its rate: what arrives
 *   while more is sent and the queue grows. The low tier stays within that
 *   rate, and no trial up is made while the link was last seen slower than
 *   the main stream. More arriving than that rate shows the link has
 *   widened, and the rate is forgotten.
 * - Up only by a trial: an estimate rarely climbs far above what is being
 *   sent, so a viewer at the top of the low tier is tried on the main stream
 *   and goes back if overuse follows within TIER_TRIAL_US. A failed trial
 *   doubles the wait before the next, from 10 s up to 120 s; a trial that
 *   holds resets it.
 * - A queue of more than 500 ms for the viewer skips its delta frames until
 *   the next key frame, whatever the tier.
 *
 * Pure: no clock, no I/O; times are monotonic microseconds from the caller.
 * Not locked.
 */
#ifndef SERVE_TIER_CONTROLLER_H
#define SERVE_TIER_CONTROLLER_H

#include <stdint.h>

#define TIER_LOW_MIN_KBPS 150
#define TIER_LOW_MAX_KBPS 1200
#define TIER_FIRST_BACKOFF_US (10 * 1000000LL)
#define TIER_LAST_BACKOFF_US (120 * 1000000LL)
#define TIER_TRIAL_US (5 * 1000000LL)
#define TIER_SETTLE_US (3 * 1000000LL)
/* Reports whose rates are compared together: two seconds', long enough for
 * a key frame's burst and its draining. */
#define TIER_REPORTS_KEPT 8
/* A link seen filled is believed this long. */
#define TIER_CAPACITY_FRESH_US (10 * 1000000LL)
#define TIER_QUEUE_LIMIT_MS 500.0

enum tier { TIER_MAIN = 0, TIER_LOW = 1 };

/* What the viewer's reports say about the last interval. A figure that is
 * not known is negative. */
struct link_report {
    int64_t now_us;
    double sent_kbps;     /* sent to it */
    double received_kbps; /* arrived at it, from transport-wide feedback: how far down to go */
    double loss;          /* fraction lost, 0..1 */
    double rtt_ms;        /* round-trip time */
    double queue_ms;      /* held for it on the server: application and kernel */
    int key_frames_asked; /* PLIs and FIRs from it */
    double capacity_kbps; /* what arrived while the sender outran the link (a burst filled
                             it, the feedback shows the queue growing): the link's rate; <0: not seen */
    double feedback_sent_kbps; /* what was sent of the packets the feedback covers, the same
                                  window as received_kbps; <0: not known */
};

struct tier_controller {
    enum tier tier;
    int low_kbps;            /* the low tier's bit rate its link takes */
    int has_low;             /* there is a low tier to go down to */
    int64_t overuse_since;   /* first report of the current overuse; 0: none */
    int64_t clean_since;     /* first report of the current clean run; 0: none */
    double min_rtt_ms;       /* the path's own delay: the lowest RTT seen; <0: none yet */
    int trial;               /* on the main tier on trial, since trial_started */
    int64_t trial_started;
    int64_t backoff_us;
    int64_t next_trial_us;   /* no trial before */
    double capacity_kbps;    /* the link's rate as last seen filled; <0: never */
    int64_t capacity_at;
    double main_kbps;        /* the main stream's rate, as sent to this viewer; 0: not seen */
    int64_t settle_until;    /* after going down: the path's queue drains, its reports are stale */
    double sent[TIER_REPORTS_KEPT], received[TIER_REPORTS_KEPT]; /* the last reports' rates, a ring:
                                                                   a moment's feedback is too noisy */
    unsigned reports;
    int64_t last_report_us;
    uint64_t downs, trials, failed_trials;
};

struct tier_decision {
    enum tier tier;        /* the tier to send it */
    int low_kbps;          /* the low tier's bit rate its link takes */
    int skip_to_key_frame; /* its queue is too long: drop to the next key frame */
    int changed;           /* tier differs from the last decision */
};

/* Starts a viewer on the main tier. `has_low`: whether a low tier exists. */
void tier_controller_init(struct tier_controller *controller, int has_low);

/* One report; fills `decision`. */
void tier_controller_update(struct tier_controller *controller, const struct link_report *report,
                            struct tier_decision *decision);

/* Whether a report shows the link overused (exposed for the tests). */
int tier_controller_overused(const struct tier_controller *controller, const struct link_report *report);

const char *tier_name(enum tier tier);

#endif
