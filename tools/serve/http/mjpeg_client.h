/*
 * One MJPEG viewer: multipart/x-mixed-replace until the connection ends, fed
 * the camera's shared JPEGs without a copy. Each viewer has room for two
 * frames on their way to it, counting those in the kernel's socket buffer;
 * a frame that finds no room is dropped and counted, so a slow viewer never
 * holds up the camera, another viewer, or memory, and gets fewer frames,
 * never old ones. A viewer that takes nothing for ten seconds is
 * disconnected.
 */
#ifndef SERVE_MJPEG_CLIENT_H
#define SERVE_MJPEG_CLIENT_H

#include <libsoup/soup.h>

#include "feed/feed.h"

/* Frames on their way to a viewer, at most: queued here, or written and
 * not yet acknowledged by the viewer's side. */
#define MJPEG_CLIENT_QUEUE 2
/* Microseconds without progress after which a viewer is disconnected. */
#define MJPEG_CLIENT_STALL_US (10 * G_USEC_PER_SEC)

/* Answers `msg` with camera `feed`'s stream until the viewer goes. The
 * caller has admitted the viewer (viewers_admit()); it is let go when the
 * stream ends. */
void mjpeg_client_start(SoupServerMessage *msg, struct feed *feed);

/* Disconnects viewers that have made no progress for MJPEG_CLIENT_STALL_US.
 * Called once a second. */
void mjpeg_clients_check_stalls(void);

/* Ends every stream (at shutdown). */
void mjpeg_clients_end_all(void);

#endif
