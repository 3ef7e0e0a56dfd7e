/*
 * Who is watching: streaming clients per camera and protocol, the limit on
 * all of them together, and the frames dropped for clients too slow to take
 * them. Any thread: RTSP clients are counted on gst-rtsp-server's threads.
 */
#ifndef SERVE_VIEWERS_H
#define SERVE_VIEWERS_H

#include <stdint.h>

enum viewer_protocol { VIEWER_RTSP, VIEWER_MJPEG, VIEWER_WEBRTC, VIEWER_MSE, VIEWER_PROTOCOLS };

/* Sets the limit on streaming clients over every protocol together. */
void viewers_init(int max_clients);

/* Takes a place for a new client. 0 when there was one, -1 when the limit
 * is reached (the client is to be refused with 503). */
int viewers_admit(void);
/* Gives back a place taken with viewers_admit(). */
void viewers_leave(void);

/* A client of `protocol` started or stopped watching `camera`. */
void viewers_watch(int camera, enum viewer_protocol protocol, int delta);
int viewers_watching(int camera, enum viewer_protocol protocol);

/* A viewer of `camera` over `protocol` (WebRTC or MSE: those adapt) is sent
 * `tier` (0 main, 1 low), or no longer. */
void viewers_tier(int camera, enum viewer_protocol protocol, int tier, int delta);
int viewers_on_tier(int camera, enum viewer_protocol protocol, int tier);

/* A frame of `camera` was not sent to a client that had not taken the last ones. */
void viewers_count_drop(int camera);
uint64_t viewers_drops(int camera);

#endif
