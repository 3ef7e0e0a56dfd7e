/*
 * One viewer of one camera over a WebSocket from the page's own origin: the
 * camera's H.264 as fragmented MP4, appended by the page to Media Source
 * Extensions. For pages whose network lets neither WebRTC's UDP nor its TCP
 * through.
 *
 * The page acknowledges each binary message as it arrives ("ack N", N the
 * count received so far). What is sent and not yet acknowledged is the
 * viewer's queue, on this server (libsoup's and the kernel's) and on the way:
 * - its age and rate drive the viewer's tier (tier_controller.h), as a
 *   WebRTC viewer's reports do;
 * - past 500 ms, the viewer's delta frames are skipped until the next key
 *   frame, so that what the page shows stays live instead of drifting;
 * - past MSE_SEND_LIMIT_BYTES, nothing more is handed to the connection until
 *   it drains (and then only from a key frame), so that a stalled viewer
 *   holds a bounded amount of memory; one that takes nothing for
 *   MSE_STALL_LIMIT_US is ended.
 *
 * Messages to the page: the stream's (mse_stream.h), and once a second a
 * text {"type":"status", "tier", "fps", "sent_kbps", "estimate_kbps",
 * "queue_ms"} for its label.
 *
 * Threads: every function and callback runs on the main loop; the viewer's
 * streaming thread only hands messages to it.
 */
#ifndef SERVE_MSE_SESSION_H
#define SERVE_MSE_SESSION_H

#include <libsoup/soup.h>

#include "feed/feed.h"

#define MSE_SEND_LIMIT_BYTES (2 * 1024 * 1024)
#define MSE_STALL_LIMIT_US (15 * G_USEC_PER_SEC)

struct mse_session;

/* The session ended by itself (the viewer went, or took nothing for too
 * long); the callee frees it, not necessarily during the call. */
typedef void (*mse_ended_fn)(struct mse_session *session, const char *why, void *user);

/* Starts sending `feed` over `connection` (a reference is taken), whose TCP
 * socket is `socket` (its unsent bytes are bounded). The camera is acquired
 * at once. NULL with `error` set when the pipeline cannot be built. */
struct mse_session *mse_session_new(struct feed *feed, SoupWebsocketConnection *connection, GSocket *socket,
                                    mse_ended_fn on_ended, void *user, GError **error);
/* Ends the session: the connection is closed, the camera released. NULL is
 * ignored. */
void mse_session_free(struct mse_session *session);

int mse_session_camera(const struct mse_session *session);
/* Bytes held for the viewer: waiting here, and sent but not acknowledged. */
gsize mse_session_queued_bytes(const struct mse_session *session);

#endif
