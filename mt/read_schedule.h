/*
 * When a camera's next frame is due, and which sensor frame a read returned.
 * Pure arithmetic on nanosecond times, no locking: the camera handle guards it.
 *
 * The sensor runs on its own cadence: frame n becomes available at
 * phase + n periods. The estimate of that phase comes from reads that blocked
 * inside the library: such a read returned one transfer time after its frame
 * became available. Scheduling delays only ever make an arrival later, so the
 * phase follows the earliest arrivals, creeping later slowly so that it
 * follows a sensor a little slower than its nominal rate.
 *
 * A read that returned at once found its frame waiting: it is the newest the
 * cadence had produced when the read began. If the read also began when it
 * meant to (it was not held up by the lock), the estimate was late, and the
 * next reads begin a little earlier until one blocks again.
 *
 * The estimate is fitted to the sequences it gave, so one read numbered
 * wrong (held up past a whole period at the wrong moment) could leave every
 * later frame one off, each read then waiting for the frame after the one it
 * meant to. Arrivals say so: blocked reads keep arriving far later than the
 * estimate expects, by the same amount each time. After a few such reads in
 * a row the estimate moves to them, and the sequence steps on to the frames
 * that arrived.
 */
#ifndef BOARDCAM_MT_READ_SCHEDULE_H
#define BOARDCAM_MT_READ_SCHEDULE_H

#include <stdbool.h>
#include <stdint.h>

struct read_schedule {
    int64_t period_ns;   /* one frame period; 0 when the rate is unknown */
    int64_t guard_ns;    /* how long before a frame is due a read begins */
    bool started;        /* a frame was read since the last restart */
    int64_t phase_ns;    /* when the frame of sequence 0 became (or would have become) available */
    int64_t transfer_ns; /* shortest read seen: the cost of a read that does not wait */
    int64_t lead_ns;     /* how much earlier than the guard the next read begins */
    uint64_t sequence;   /* sequence of the last frame */
    bool has_sequence;   /* a frame was read since the camera was opened */
    int64_t opened_ns;   /* when the camera was last opened or configured; 0: unknown */
    int far_reads;       /* blocked reads in a row that arrived far from the estimate */
    int64_t far_phase_ns; /* the earliest phase those arrivals imply, with their own numbers */
    int64_t far_latest_ns; /* and the latest */
};

/* A schedule for a newly opened camera. */
void read_schedule_init(struct read_schedule *schedule, int64_t period_ns, int64_t guard_ns);

/* Starts the estimate afresh at a new period; sequences go on. */
void read_schedule_restart(struct read_schedule *schedule, int64_t period_ns);

/* The camera was opened or configured at opened_ns: its sensor started
 * then, so whole periods between that and the first read were frames too. */
void read_schedule_opened(struct read_schedule *schedule, int64_t opened_ns);

/* When the next read should begin; INT64_MIN when it should begin at once. */
int64_t read_schedule_next_read(const struct read_schedule *schedule);

/* Accounts for a read meant to begin at planned_ns (INT64_MIN: at once) that
 * began at start_ns and returned a frame at end_ns; gives the frame's sequence
 * and the periods missed just before it. */
void read_schedule_frame_read(struct read_schedule *schedule, int64_t planned_ns, int64_t start_ns, int64_t end_ns,
                              uint64_t *sequence, uint32_t *dropped);

#endif
