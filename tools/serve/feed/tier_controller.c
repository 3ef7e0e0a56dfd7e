#include "tier_controller.h"

/* Overuse: a tenth of the packets lost, or a queue of 200 ms building on the
 * path; or less arriving than is sent over a few seconds while some packets
 * are lost or the queue grows. What arrived, per the viewer's feedback, is
 * too noisy to say so by itself (the feedback's window and ours differ, and
 * a key frame's burst falls in one or the other), and a viewer that joined a
 * full queue never saw the path's own delay. */
#define LOSS_OVERUSE 0.10
#define LOSS_SEVERE 0.25
#define QUEUE_DELAY_OVERUSE_MS 200.0
#define QUEUE_DELAY_SEVERE_MS 500.0
#define KEY_FRAMES_ASKED_OVERUSE 2
#define RECEIVED_SHARE_SHORT 0.80
#define LOSS_SOME 0.02
#define QUEUE_DELAY_SOME_MS 50.0
/* Down after this much sustained overuse: reports come about once a second,
 * so two in a row. */
#define SUSTAINED_US 900000LL
/* Below what arrives: the share of it the low tier's bit rate takes. */
#define ESTIMATE_SHARE 0.85
#define DECREASE 0.70
#define INCREASE_PER_S 0.10
/* Clean this long at the top of the low tier before a trial. */
#define CLEAN_BEFORE_TRIAL_US (3 * 1000000LL)
/* More than this share of the link's rate as last seen arrived: it widened. */
#define WIDENED 1.25
#define TRIAL_OUTRUN 2.0

static int clamp_kbps(double kbps) {
    if (kbps < TIER_LOW_MIN_KBPS) return TIER_LOW_MIN_KBPS;
    if (kbps > TIER_LOW_MAX_KBPS) return TIER_LOW_MAX_KBPS;
    return (int)kbps;
}

const char *tier_name(enum tier tier) { return tier == TIER_LOW ? "low" : "main"; }

void tier_controller_init(struct tier_controller *controller, int has_low) {
    struct tier_controller zero = {0};
    *controller = zero;
    controller->tier = TIER_MAIN;
    controller->has_low = has_low;
    controller->low_kbps = TIER_LOW_MAX_KBPS;
    controller->min_rtt_ms = -1;
    controller->capacity_kbps = -1;
    controller->backoff_us = TIER_FIRST_BACKOFF_US;
}

static double queue_delay(const struct tier_controller *controller, const struct link_report *report) {
    if (report->rtt_ms < 0 || controller->min_rtt_ms < 0) return 0;
    return report->rtt_ms - controller->min_rtt_ms;
}

/* A trial whose packets went out twice as fast as they arrived, by the
 * feedback's own count of both, has failed already: a link that carried the
 * main stream would queue a key frame's burst, not halve it. */
static int trial_outran(const struct tier_controller *controller, const struct link_report *report) {
    return controller->trial && report->received_kbps > 0 &&
           report->feedback_sent_kbps > TRIAL_OUTRUN * report->received_kbps;
}

/* Less arrived than was sent over the reports kept. */
static int received_short(const struct tier_controller *controller) {
    double sent = 0, received = 0;
    unsigned i;
    if (controller->reports < TIER_REPORTS_KEPT) return 0;
    for (i = 0; i < TIER_REPORTS_KEPT; ++i) {
        if (controller->received[i] < 0) return 0;
        sent += controller->sent[i];
        received += controller->received[i];
    }
    return received < RECEIVED_SHARE_SHORT * sent;
}

int tier_controller_overused(const struct tier_controller *controller, const struct link_report *report) {
    return report->loss >= LOSS_OVERUSE || trial_outran(controller, report) || queue_delay(controller, report) > QUEUE_DELAY_OVERUSE_MS ||
           (received_short(controller) &&
            (report->loss >= LOSS_SOME || queue_delay(controller, report) > QUEUE_DELAY_SOME_MS)) ||
           report->queue_ms > TIER_QUEUE_LIMIT_MS ||
           (controller->tier == TIER_MAIN && report->key_frames_asked >= KEY_FRAMES_ASKED_OVERUSE);
}

static int severe(const struct tier_controller *controller, const struct link_report *report) {
    return report->loss >= LOSS_SEVERE || queue_delay(controller, report) > QUEUE_DELAY_SEVERE_MS ||
           report->queue_ms > TIER_QUEUE_LIMIT_MS || trial_outran(controller, report);
}

/* What arrived per second over the reports kept, or -1 when not known. */
static double received_kbps(const struct tier_controller *controller) {
    const unsigned n = controller->reports < TIER_REPORTS_KEPT ? controller->reports : TIER_REPORTS_KEPT;
    double sum = 0;
    unsigned i;
    if (n == 0) return -1;
    for (i = 0; i < n; ++i) {
        if (controller->received[i] < 0) return -1;
        sum += controller->received[i];
    }
    return sum / n;
}

/* What the link takes, for the low tier: a share of what arrived when that
 * is known, else a step down from where it was. */
static int lowered_kbps(const struct tier_controller *controller) {
    const double received = received_kbps(controller);
    if (received > 0 && ESTIMATE_SHARE * received < controller->low_kbps) return clamp_kbps(ESTIMATE_SHARE * received);
    return clamp_kbps(controller->low_kbps * DECREASE);
}

static void go_down(struct tier_controller *controller, int64_t now) {
    if (controller->trial) {
        ++controller->failed_trials;
        controller->backoff_us *= 2;
        if (controller->backoff_us > TIER_LAST_BACKOFF_US) controller->backoff_us = TIER_LAST_BACKOFF_US;
    } else {
        ++controller->downs;
    }
    controller->trial = 0;
    controller->tier = TIER_LOW;
    /* The main stream did not fit: start the low tier within what arrived. */
    if (controller->capacity_kbps > 0 && now - controller->capacity_at < TIER_CAPACITY_FRESH_US) {
        controller->low_kbps = clamp_kbps(ESTIMATE_SHARE * controller->capacity_kbps);
    } else {
        const double received = received_kbps(controller);
        controller->low_kbps = received > 0 ? clamp_kbps(ESTIMATE_SHARE * received)
                                            : (controller->low_kbps < TIER_LOW_MAX_KBPS
                                                   ? controller->low_kbps
                                                   : clamp_kbps(TIER_LOW_MAX_KBPS * DECREASE));
    }
    controller->next_trial_us = now + controller->backoff_us;
    controller->overuse_since = 0;
    controller->clean_since = 0;
    controller->reports = 0;
    controller->settle_until = now + TIER_SETTLE_US;
}

void tier_controller_update(struct tier_controller *controller, const struct link_report *report,
                            struct tier_decision *decision) {
    const int64_t now = report->now_us;
    const enum tier before = controller->tier;
    int overused;
    if (report->rtt_ms > 0 && (controller->min_rtt_ms < 0 || report->rtt_ms < controller->min_rtt_ms))
        controller->min_rtt_ms = report->rtt_ms;
    if (report->capacity_kbps > 0) {
        controller->capacity_kbps = report->capacity_kbps;
        controller->capacity_at = now;
    } else if (controller->capacity_kbps > 0 && report->received_kbps > WIDENED * controller->capacity_kbps) {
        controller->capacity_kbps = -1;
    }
    if (controller->tier == TIER_MAIN && !controller->trial && report->sent_kbps > controller->main_kbps)
        controller->main_kbps = report->sent_kbps;
    /* Compared with what arrived: what the feedback itself saw sent, the same
     * packets, when it says. */
    controller->sent[controller->reports % TIER_REPORTS_KEPT] =
        report->feedback_sent_kbps >= 0 ? report->feedback_sent_kbps : report->sent_kbps;
    controller->received[controller->reports % TIER_REPORTS_KEPT] = report->received_kbps;
    ++controller->reports;
    overused = tier_controller_overused(controller, report);
    if (overused) {
        if (controller->overuse_since == 0) controller->overuse_since = now;
        controller->clean_since = 0;
    } else {
        controller->overuse_since = 0;
        if (controller->clean_since == 0) controller->clean_since = now;
    }

    if (controller->tier == TIER_MAIN) {
        if (overused && controller->has_low &&
            (controller->trial || severe(controller, report) || now - controller->overuse_since >= SUSTAINED_US)) {
            go_down(controller, now);
        } else if (controller->trial && now - controller->trial_started >= TIER_TRIAL_US) {
            /* The main stream holds: the next trial, if ever needed, waits the least. */
            controller->trial = 0;
            controller->backoff_us = TIER_FIRST_BACKOFF_US;
        }
    } else {
        const int capacity_known =
            controller->capacity_kbps > 0 && now - controller->capacity_at < TIER_CAPACITY_FRESH_US;
        if (overused) {
            if (now >= controller->settle_until &&
                (severe(controller, report) || now - controller->overuse_since >= SUSTAINED_US)) {
                controller->low_kbps = lowered_kbps(controller);
                /* The path's queue drains at the new rate before the reports show it. */
                controller->settle_until = now + TIER_SETTLE_US;
                controller->reports = 0;
            }
        } else {
            const double seconds =
                controller->last_report_us > 0 ? (double)(now - controller->last_report_us) / 1e6 : 1;
            controller->low_kbps =
                clamp_kbps(controller->low_kbps * (1 + INCREASE_PER_S * (seconds < 2 ? seconds : 2)));
        }
        /* The link's rate, seen directly, holds even while the queue settles. */
        if (capacity_known && controller->low_kbps > ESTIMATE_SHARE * controller->capacity_kbps)
            controller->low_kbps = clamp_kbps(ESTIMATE_SHARE * controller->capacity_kbps);
        if (!overused && controller->low_kbps >= TIER_LOW_MAX_KBPS && now >= controller->next_trial_us &&
            now - controller->clean_since >= CLEAN_BEFORE_TRIAL_US &&
            !(capacity_known && controller->main_kbps > 0 && controller->capacity_kbps < controller->main_kbps)) {
            controller->tier = TIER_MAIN;
            controller->trial = 1;
            controller->trial_started = now;
            controller->reports = 0;
            ++controller->trials;
        }
    }

    controller->last_report_us = now;
    decision->tier = controller->tier;
    decision->low_kbps = controller->low_kbps;
    decision->skip_to_key_frame = report->queue_ms > TIER_QUEUE_LIMIT_MS;
    decision->changed = controller->tier != before;
}
