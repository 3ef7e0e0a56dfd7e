/*
 * What the recordings add to /api/status and /metrics: per camera whether
 * it is recorded, its segment, bytes and error; the disk under DIR.
 */
#ifndef SERVE_RECORDINGS_STATUS_H
#define SERVE_RECORDINGS_STATUS_H

#include "http/status.h"
#include "record/recordings.h"

/* `recordings` NULL (nothing recorded) still gives each camera its
 * "recording" member, off. */
struct status_source recordings_status_source(struct recordings *recordings);

#endif
