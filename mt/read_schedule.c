#include "read_schedule.h"

/* A read that does not block lets the transfer estimate grow by this much,
 * so that it follows a transfer that became slower. */
#define TRANSFER_CREEP_NS 2000
/* Each blocked read lets the phase estimate grow by this fraction of a
 * period (250 ppm), so that it follows a sensor slower than its nominal rate. */
#define PHASE_CREEP_DIVISOR 4096
/* The phase is estimated from arrivals, which are never early: a read that
 * found its frame waiting and began this little before the frame was due by
 * the estimate is taken to have begun after it. */
#define DUE_TOLERANCE_NS 20000
/* Blocked reads in a row arriving about a whole period later than the
 * estimate expects, after which the numbering moves to them: one such read
 * is a thread held up, several in a row a numbering that slipped. */
#define REANCHOR_READS 4
/* ... and by the same amount: their arrivals all within a sixteenth of a
 * period of each other, and never more than this apart. Threads held up
 * arrive later by amounts that vary more than that. */
#define FAR_SPREAD_DIVISOR 16
#define FAR_SPREAD_MAX_NS 200000

void read_schedule_init(struct read_schedule *schedule, int64_t period_ns, int64_t guard_ns) {
    schedule->guard_ns = guard_ns;
    schedule->has_sequence = false;
    schedule->sequence = 0;
    read_schedule_restart(schedule, period_ns);
}

void read_schedule_restart(struct read_schedule *schedule, int64_t period_ns) {
    schedule->period_ns = period_ns > 0 ? period_ns : 0;
    schedule->started = false;
    schedule->phase_ns = 0;
    schedule->transfer_ns = 0;
    schedule->lead_ns = 0;
    schedule->opened_ns = 0;
    schedule->far_reads = 0;
    schedule->far_phase_ns = schedule->far_latest_ns = 0;
}

void read_schedule_opened(struct read_schedule *schedule, int64_t opened_ns) { schedule->opened_ns = opened_ns; }

int64_t read_schedule_next_read(const struct read_schedule *schedule) {
    const int64_t period = schedule->period_ns;
    if (!schedule->started || period == 0) return INT64_MIN;
    return schedule->phase_ns + (int64_t)(schedule->sequence + 1) * period - schedule->guard_ns -
           schedule->lead_ns;
}

static int64_t min64(int64_t a, int64_t b) { return a < b ? a : b; }

/* The sequence of the frame that was available at `when`, on the cadence. */
static int64_t frame_due_by(const struct read_schedule *schedule, int64_t when) {
    const int64_t since = when - schedule->phase_ns;
    return since < 0 ? -1 : since / schedule->period_ns;
}

void read_schedule_frame_read(struct read_schedule *schedule, int64_t planned_ns, int64_t start_ns, int64_t end_ns,
                              uint64_t *sequence, uint32_t *dropped) {
    const int64_t took = end_ns - start_ns;
    const int64_t period = schedule->period_ns;
    const uint64_t next = schedule->has_sequence ? schedule->sequence + 1 : 0;
    uint64_t frame = next;

    if (!schedule->started || period == 0) {
        /* Nothing is known of the cadence yet: the sensor started when the
         * camera was configured, so the frame is the newest due since then. */
        if (period != 0 && schedule->opened_ns != 0 && start_ns > schedule->opened_ns) {
            frame += (uint64_t)((start_ns - schedule->opened_ns) / period);
        }
        schedule->transfer_ns = took;
        schedule->phase_ns = start_ns - (int64_t)frame * period;
    } else {
        const bool blocked = took > schedule->transfer_ns + schedule->guard_ns / 4;
        schedule->transfer_ns = min64(schedule->transfer_ns, took);
        /* A read that blocked got the first frame due after it began; one
         * that did not got the newest frame due when it began. Either way
         * never one delivered before.
         * After a gap (a frame not yet read was due when the read began) a
         * read can look blocked by being slow without waiting: a preempted
         * thread, a memory checker. One that returned before the frame after
         * its start was due cannot have waited for that frame: it got the
         * one waiting. */
        const int64_t waiting = frame_due_by(schedule, start_ns + DUE_TOLERANCE_NS);
        const int64_t following = frame_due_by(schedule, start_ns) + 1;
        const bool gap = waiting >= (int64_t)next;
        const bool reached = end_ns >= schedule->phase_ns + following * period - schedule->guard_ns;
        const int64_t due = blocked && (!gap || reached) ? following : waiting;
        if (due > (int64_t)next) frame = (uint64_t)due;
        if (blocked) {
            /* The frame became available a transfer before it arrived; a
             * delayed arrival only makes that later, so keep the earliest.
             * No one arrival moves the phase far: a sensor does not jump. */
            const int64_t available = end_ns - schedule->transfer_ns - (int64_t)frame * period;
            /* Far: about a whole period late (three quarters or more),
             * after a wait of half a period or more: the read waited for
             * the frame after the one it meant to. */
            if (available - schedule->phase_ns >= period - period / 4 && took - schedule->transfer_ns >= period / 2) {
                /* A thread held up makes arrivals late by chance; only late
                 * by the same amount each time do they say the numbering is
                 * off. */
                const int64_t spread = min64(period / FAR_SPREAD_DIVISOR, FAR_SPREAD_MAX_NS);
                if (schedule->far_reads > 0 &&
                    (available - schedule->far_phase_ns > spread || schedule->far_latest_ns - available > spread)) {
                    schedule->far_reads = 0;
                }
                if (schedule->far_reads == 0) schedule->far_phase_ns = schedule->far_latest_ns = available;
                schedule->far_phase_ns = min64(schedule->far_phase_ns, available);
                schedule->far_latest_ns = available > schedule->far_latest_ns ? available : schedule->far_latest_ns;
                ++schedule->far_reads;
            } else {
                schedule->far_reads = 0;
            }
            if (schedule->far_reads >= REANCHOR_READS) {
                /* These are the next frames: the sequence steps on to them,
                 * and the estimate moves to them under their new numbers. */
                const int64_t ahead = (schedule->far_phase_ns - schedule->phase_ns + period / 4) / period;
                frame += (uint64_t)ahead;
                schedule->phase_ns = schedule->far_phase_ns - ahead * period;
                schedule->far_reads = 0;
            } else {
                const int64_t phase = min64(schedule->phase_ns + period / PHASE_CREEP_DIVISOR, available);
                schedule->phase_ns =
                    phase > schedule->phase_ns - period / 8 ? phase : schedule->phase_ns - period / 8;
            }
            schedule->lead_ns = 0;
        } else {
            /* Begun on time and still late: the estimate is late. Begun late
             * because another camera held the lock: it says nothing. */
            const bool on_time = planned_ns == INT64_MIN || start_ns - planned_ns < schedule->guard_ns / 2;
            schedule->transfer_ns += TRANSFER_CREEP_NS;
            if (on_time) schedule->lead_ns = min64(schedule->lead_ns + schedule->guard_ns / 4, schedule->guard_ns);
        }
    }

    /* More than 1.5 periods since the previous frame: the periods between
     * were missed. On the cadence that is any step of two or more. */
    *dropped = frame > next ? (uint32_t)(frame - next) : 0;
    schedule->sequence = frame;
    schedule->has_sequence = true;
    schedule->started = true;
    *sequence = frame;
}
