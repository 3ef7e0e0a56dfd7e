/*
 * The owner's side of a shared camera: the socket subscribers attach to, and
 * while any is attached, a pump that reads the camera at its rate in the
 * owner's place, copies each frame once into shared memory for the
 * subscribers it is due to, and hands the frame itself to the owner's own
 * reader.
 *
 * One thread per process serves every hub's sockets (accepting, greeting,
 * taking frames back, answering status); each hub's pump is a thread of its
 * own, running only while the hub has subscribers. Sends never block: a
 * subscriber holds at most its few frames, so its socket never fills, and
 * one whose socket would block anyway is disconnected.
 */
#ifndef BOARDCAM_MT_HUB_OWNER_H
#define BOARDCAM_MT_HUB_OWNER_H

#include <stdint.h>

#include "boardcam-mt.h"

struct hub;

/* Makes camera `id`'s socket at `socket_path` (the caller holds the owner's
 * lock) and starts the process's I/O thread, before the camera is opened, so
 * that neither holds up its first frame. Subscribers that connect wait in the
 * socket's backlog until hub_serve(). NULL when the socket cannot be made:
 * the camera is then not shared. */
struct hub *hub_listen(boardcam_mt_camera *camera, int id, const char *socket_path);

/* Shares the camera, now open at the format given and owned by the hub's
 * handle: 0, or -1 with the hub discarded (the camera is then not shared). */
int hub_serve(struct hub *hub, int32_t fps, int32_t width, int32_t height);

/* Gives up a hub that was never served: its socket goes. */
void hub_discard(struct hub *hub);

/* The owner's camera now runs at this format: subscribers are told, and
 * those that no longer fit get nothing more. Call with the pump stopped. */
void hub_set_format(struct hub *hub, int32_t fps, int32_t width, int32_t height);

/* Stops the pump and keeps it stopped (around a reconfiguration), waiting
 * for a read it has in the library. */
void hub_pause(struct hub *hub);
/* Lets the pump run again if subscribers want it. */
void hub_resume(struct hub *hub);

/* Stops sharing: the pump stops, every subscriber is disconnected (they
 * take over from there, once the caller has closed the camera and let go of
 * the owner's lock) and the socket goes. Frames subscribers hold stay valid
 * for them. */
void hub_close(struct hub *hub);

/* The camera's status as its owner sees it. */
void hub_status(struct hub *hub, boardcam_mt_camera_status *out);

/* This program's name, for the others. */
void hub_program_name(char out[BOARDCAM_MT_PROGRAM_MAX]);

#endif
