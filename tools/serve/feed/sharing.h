/*
 * Who shares the served cameras: each camera's owner and the programs
 * attached to it, as libboardcam-mt reports them, for status and metrics.
 *
 * An owner in another process answers over its socket; one that is stuck
 * could keep a caller waiting for seconds. So a thread of its own asks once
 * a second, and readers get what it last heard, never waiting.
 */
#ifndef SERVE_FEED_SHARING_H
#define SERVE_FEED_SHARING_H

#include <stdbool.h>

#include "boardcam-mt.h"

/* Starts asking about the cameras whose `served[id]` is set. */
void sharing_watch_start(const bool served[2]);
/* Stops asking; the last answers stay. */
void sharing_watch_stop(void);

/* The last answer for `camera`: true and `out` filled, or false when none
 * has come yet (or the camera is another user's). Any thread. */
bool sharing_status(int camera, boardcam_mt_camera_status *out);

#endif
