/*
 * One WebRTC viewer of one camera: the camera's H.264 access units, the
 * same ones RTSP gets, payloaded for this viewer and sent through its own
 * webrtcbin, always over DTLS-SRTP. The viewer's offer is answered with
 * every ICE candidate in the answer, so the viewer needs no trickle.
 *
 * Each viewer is sent the tier its link takes (tier_controller.h): its
 * statistics are read once a second, from its receiver reports and its
 * transport-wide feedback when the offer has that extension, and it moves
 * between the main stream and the low tier at the key frames of the tier it
 * goes to. Its key-frame requests go to its own tier's governor.
 *
 * A session ends when it is freed, or by itself (the ended callback) when
 * the viewer is gone: ICE failed, no RTCP from it for a while, or no
 * connection made in time after the answer.
 *
 * Threads: every function and callback runs on the main loop. webrtcbin's
 * own threads only hand work to it; a freed session's pipeline is torn down
 * on a pool of threads.
 */
#ifndef SERVE_WEBRTC_SESSION_H
#define SERVE_WEBRTC_SESSION_H

#include <gst/sdp/sdp.h>

#include "feed/feed.h"

struct webrtc_config {
    const char *address; /* host candidates on this address; NULL or a wildcard: every interface's */
    int port_min;        /* UDP ports ICE uses; 0 and 0: any */
    int port_max;
    const char *stun;    /* stun://host:port, or NULL for none */
};

struct webrtc_session;

/* The answer, as SDP text (only for the call), or NULL with why it could not
 * be made: the offer's fault, or with `busy` set the server's (no UDP port
 * free). Called once per session, unless it ended or was freed before. */
typedef void (*webrtc_answer_fn)(struct webrtc_session *session, const char *answer, const char *error, int busy,
                                 void *user);
/* The session ended by itself; the callee frees it (not during the call is
 * fine too). Not called after webrtc_session_free(). */
typedef void (*webrtc_ended_fn)(struct webrtc_session *session, const char *why, void *user);

struct webrtc_callbacks {
    webrtc_answer_fn on_answer;
    webrtc_ended_fn on_ended;
    void *user;
};

/* Starts answering `offer` (taken) for a viewer of `feed`, sending H.264 as
 * payload type `payload_type`. The camera is acquired at once, so that it
 * opens while the connection is made. NULL with `error` set when the
 * pipeline cannot be built. */
struct webrtc_session *webrtc_session_new(struct feed *feed, const struct webrtc_config *config,
                                          GstSDPMessage *offer, int payload_type,
                                          const struct webrtc_callbacks *callbacks, GError **error);
/* Ends the session: the viewer's media stops, the camera is released, at
 * once; its pipeline is torn down on a thread of its own. NULL is ignored. */
void webrtc_session_free(struct webrtc_session *session);
/* Waits until every freed session's pipeline is torn down, before the feeds
 * are freed and GStreamer deinitialised: 0, or -1 when some were still being
 * torn down at `deadline` (monotonic microseconds). */
int webrtc_sessions_wait_for_teardowns(gint64 deadline);

/* The session's name in its URL: 32 hexadecimal digits, random. */
const char *webrtc_session_id(const struct webrtc_session *session);
int webrtc_session_camera(const struct webrtc_session *session);

/* How the viewer is served, as JSON for its page: the transport, the tier
 * and its frame rate, the rate sent and the estimate of what arrives. The
 * caller frees it. */
gchar *webrtc_session_describe(struct webrtc_session *session);

#endif
