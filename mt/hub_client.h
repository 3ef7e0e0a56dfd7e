/*
 * The subscriber's side of a shared camera: the connection to its owner,
 * the owner's frames mapped read-only as they come, and the frames the
 * program holds, each given back by its address (boardcam_mt_release_frame()
 * knows a subscriber's frame from a device buffer this way).
 *
 * A subscriber's connection lasts until it is closed and every frame it
 * gave the program has been released: until then the owner keeps those
 * frames as they are.
 */
#ifndef BOARDCAM_MT_HUB_CLIENT_H
#define BOARDCAM_MT_HUB_CLIENT_H

#include <stdbool.h>
#include <stdint.h>

#include "boardcam-mt.h"

/* Results besides 0 and the interface's own. */
#define HUB_CLIENT_NO_OWNER 1 /* nobody listens: the owner is starting, or has gone */
#define HUB_CLIENT_GONE 2     /* the owner closed or died */

struct hub_client;

/* Attaches to camera `id`'s owner listening at `path`, at fps, width and
 * height (0: the owner's). 0 and *out; HUB_CLIENT_NO_OWNER;
 * BOARDCAM_MT_BUSY or BOARDCAM_MT_DENIED with the owner's reason as the last
 * message; BOARDCAM_MT_ERROR. */
int hub_client_attach(int id, const char *path, int32_t fps, int32_t width, int32_t height, struct hub_client **out);

/* The subscriber's rate, the owner's size and the owner's rate. */
void hub_client_format(const struct hub_client *client, int32_t *fps, int32_t *width, int32_t *height,
                       int32_t *owner_fps);

/* Waits for the next frame, or until `wake_fd` is readable. 0 with the
 * frame (the owner's sequence and times; `dropped` 0); BOARDCAM_MT_INTERRUPTED;
 * HUB_CLIENT_GONE; BOARDCAM_MT_BUSY when the owner changed to a format this
 * subscriber does not fit (the last message names it). Reads of one client
 * come from one thread at a time. */
int hub_client_read(struct hub_client *client, int wake_fd, boardcam_mt_frame *frame);

/* Asks for another rate at the owner's size: 0, or BOARDCAM_MT_BUSY (the
 * last message names the owner) for another size or a rate above the
 * owner's. */
int hub_client_set_format(struct hub_client *client, int32_t fps, int32_t width, int32_t height);

/* Ends the attachment; frames the program holds stay valid until released. */
void hub_client_close(struct hub_client *client);

/* Gives a frame back when `data` is a subscriber's frame: true. False for
 * any other address (a device buffer). */
bool hub_client_release(void *data);

/* Whether `data` is a subscriber's frame not yet released. */
bool hub_client_holds(const void *data);

/* The status an owner at `path` gives: 0 and *out; HUB_CLIENT_NO_OWNER;
 * BOARDCAM_MT_DENIED (message set); BOARDCAM_MT_ERROR. */
int hub_client_status(int id, const char *path, boardcam_mt_camera_status *out);

#endif
