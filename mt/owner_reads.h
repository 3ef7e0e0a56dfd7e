/*
 * What a shared camera's pump asks of its owner's handle (camera.c): reads
 * of the camera in the owner's place while subscribers are attached, and the
 * frames handed on to the owner's own reader.
 */
#ifndef BOARDCAM_MT_OWNER_READS_H
#define BOARDCAM_MT_OWNER_READS_H

#include <stdbool.h>
#include <stdint.h>

#include "boardcam-mt.h"

#define OWNER_READ_STOPPED 1 /* owner_pump_read(): asked to stop, no frame */

/* The pump takes over the owner's reads: waits until a read of the owner's
 * own that is inside the library has returned, then sends the owner's reads
 * to the mailbox. */
void owner_pump_starts(boardcam_mt_camera *camera);

/* The pump is done: the owner's reads read the camera again. */
void owner_pump_ends(boardcam_mt_camera *camera);

/* Reads the next frame on the owner's schedule: 0, OWNER_READ_STOPPED when
 * owner_pump_stop() came first, or BOARDCAM_MT_ERROR. */
int owner_pump_read(boardcam_mt_camera *camera, boardcam_mt_frame *frame);

/* Makes a waiting owner_pump_read() return OWNER_READ_STOPPED, and the next
 * ones until owner_pump_starts() again. */
void owner_pump_stop(boardcam_mt_camera *camera);

/* Frames the owner's process has read from the camera since it opened it. */
uint64_t owner_frames(const boardcam_mt_camera *camera);

/* Hands a frame read by the pump (or a read's failure, result != 0) to the
 * owner's own reader; the frame's device buffer is then the reader's. */
void owner_deliver(boardcam_mt_camera *camera, int result, const boardcam_mt_frame *frame);

#endif
