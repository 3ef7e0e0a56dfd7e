#include "webrtc_session.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsrc.h>
#include <gst/rtp/rtp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include "feed/tier_controller.h"
#include "feed/tier_follow.h"
#include "feed/viewers.h"
#include "link_stats.h"
#include "tcp_send_bound.h"
#include "whep_offer.h"

/* Up to this long after its local description is set, the answer waits for
 * ICE to gather its host candidates, which takes milliseconds; a STUN server
 * that does not answer is not waited for longer. */
#define GATHER_WAIT_MS 3000
/* Negotiation takes milliseconds too, but a loaded board may take seconds
 * before gathering even starts; past this, the offer is refused. */
#define ANSWER_WAIT_MS 10000
/* A viewer that has not connected this long after its answer never will. */
#define CONNECT_WAIT_US (15 * G_USEC_PER_SEC)
/* Browsers report on what they receive about once a second: silence this
 * long means the viewer is gone (a closed tab, a lost network). */
#define SILENCE_US (10 * G_USEC_PER_SEC)

/* Each viewer's own queue of access units is bounded: a session that falls
 * behind drops the oldest, as RTSP's media do. The payloader's packets fit
 * in the usual path MTU once SRTP and the tunnels of mobile networks have
 * added their headers. Its SSRC is named in the caps, so that the answer
 * carries it; and the offer's transport-wide congestion-control extension,
 * so that the answer accepts it and the viewer reports what arrived. */
#define SESSION_LAUNCH                                                                                    \
    "appsrc name=src is-live=true format=time do-timestamp=false max-bytes=0 max-buffers=30 "             \
    "leaky-type=downstream ! rtph264pay name=pay mtu=1200 aggregate-mode=zero-latency ssrc=%u ! "         \
    "application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,payload=%d,ssrc=(uint)%u%s ! "      \
    "webrtcbin name=webrtc bundle-policy=max-bundle"
/* Sent this much faster than it arrived: the link was full. */
#define SATURATED 1.25
/* How often the viewer's link is looked at, and its tier decided: four
 * times a second, so that a link that narrows is seen as soon as the viewer's
 * feedback shows it, and a picture frozen by it thaws within two seconds. */
#define ADAPT_INTERVAL_MS 250

struct webrtc_session {
    gint refs; /* atomic: the main loop's and each piece of work handed to it */

    /* Main loop only. */
    int freed;
    int answered;
    char id[33];
    struct feed *feed;
    int camera;
    struct webrtc_callbacks callbacks;
    GstElement *pipeline;
    GstElement *webrtc;
    GstElement *rtpbin;
    GstAppSrc *src;
    GstPad *src_pad;
    gulong key_probe;
    guint gather_timer;
    guint answer_timer;
    guint watch_timer;
    guint adapt_timer;
    gint64 answered_at;
    int connected;
    struct tier_controller controller;
    struct tier_decision decision;
    int over_tcp;          /* its media go over ICE-TCP */
    int tcp_ports[TCP_SEND_BOUND_PORTS]; /* its passive TCP candidates' ports */
    int tcp_port_count;
    gint64 connected_at;   /* when its media connected, for the search of its TCP connection */
    unsigned tcp_searches;
    uint64_t bytes_sent;   /* at the last look */
    gint64 looked_at;
    double sent_kbps;      /* over the last interval */
    double estimate_kbps;  /* what arrived over it, per the viewer's feedback; <0: unknown */
    double rtt_ms;         /* per its newest receiver report; <0: none yet */

    /* Shared with webrtcbin's threads. */
    pthread_mutex_t lock;
    GPtrArray *promises;   /* under lock: the session's references to promises not yet settled */
    gint closing;          /* webrtc_session_free() has begun: negotiation goes no further */
    /* Set on webrtcbin's threads, read on the main loop. */
    gint local_set;        /* 1: the answer is the local description; -1: it failed */
    gint gathered;
    gint ice_failed;
    gint last_rtcp_s;      /* monotonic seconds of the viewer's last RTCP */
    gint key_frames_asked; /* PLIs and FIRs since the last look */
    gchar *failure;        /* with local_set -1; written once before local_set */
    GstStructure *stats;   /* under lock: webrtcbin's newest statistics, not yet looked at */
};

static struct webrtc_session *session_ref(struct webrtc_session *session) {
    g_atomic_int_inc(&session->refs);
    return session;
}

static void session_unref(gpointer data) {
    struct webrtc_session *session = data;
    if (!g_atomic_int_dec_and_test(&session->refs)) return;
    g_ptr_array_unref(session->promises);
    if (session->stats != NULL) gst_structure_free(session->stats);
    pthread_mutex_destroy(&session->lock);
    g_free(session->failure);
    g_free(session);
}

static void session_unref_closure(gpointer data, GClosure *closure) {
    (void)closure;
    session_unref(data);
}

/* Work for the main loop, holding the session until it has run. */
static void hand_to_main_loop(struct webrtc_session *session, GSourceFunc work) {
    g_idle_add_full(G_PRIORITY_DEFAULT, work, session_ref(session), session_unref);
}

static void end_by_itself(struct webrtc_session *session, const char *why) {
    if (session->freed || session->callbacks.on_ended == NULL) return;
    session->callbacks.on_ended(session, why, session->callbacks.user);
}

static void answer_once(struct webrtc_session *session, const char *answer, const char *error, int busy) {
    if (session->answered || session->freed) return;
    session->answered = 1;
    session->answered_at = g_get_monotonic_time();
    if (session->gather_timer != 0) g_source_remove(session->gather_timer);
    if (session->answer_timer != 0) g_source_remove(session->answer_timer);
    session->gather_timer = session->answer_timer = 0;
    session->callbacks.on_answer(session, answer, error, busy, session->callbacks.user);
}

/* Whether the SDP has a candidate the viewer can reach: UDP, or passive TCP. */
static int has_listening_candidate(const char *sdp) {
    const char *line = sdp;
    while ((line = strstr(line, "a=candidate:")) != NULL) {
        const char *end = strchr(line, '\n');
        gchar *candidate = end != NULL ? g_strndup(line, (gsize)(end - line)) : g_strdup(line);
        const int listening = strstr(candidate, " UDP ") != NULL || strstr(candidate, " udp ") != NULL ||
                              strstr(candidate, "tcptype passive") != NULL;
        g_free(candidate);
        if (listening) return 1;
        line += 12;
    }
    return 0;
}

/* The answer as it stands, with the candidates gathered so far. Refused when
 * webrtcbin could not match the offer's H.264 to the stream. */
static void send_answer(struct webrtc_session *session) {
    GstWebRTCSessionDescription *local = NULL;
    gchar *text;
    guint i;
    int accepted = 0;
    g_object_get(session->webrtc, "local-description", &local, NULL);
    if (local == NULL) {
        answer_once(session, NULL, "the offer could not be answered", 0);
        return;
    }
    for (i = 0; i < gst_sdp_message_medias_len(local->sdp); ++i) {
        const GstSDPMedia *media = gst_sdp_message_get_media(local->sdp, i);
        if (strcmp(gst_sdp_media_get_media(media), "video") == 0 && gst_sdp_media_get_port(media) != 0)
            accepted = 1;
    }
    if (!accepted) {
        gst_webrtc_session_description_free(local);
        answer_once(session, NULL, "the offer's H.264 video could not be matched to the camera's stream", 0);
        return;
    }
    text = gst_sdp_message_as_text(local->sdp);
    gst_webrtc_session_description_free(local);
    /* No candidate to connect to: ICE found no port to listen on, UDP or TCP
     * (--webrtc-ports all taken). An active TCP candidate listens nowhere. */
    if (!has_listening_candidate(text))
        answer_once(session, NULL, "no UDP port is free for another WebRTC viewer", 1);
    else
        answer_once(session, text, NULL, 0);
    session->tcp_port_count = tcp_send_bound_ports(text, session->tcp_ports, TCP_SEND_BOUND_PORTS);
    tcp_send_bound_apply(session->tcp_ports, session->tcp_port_count);
    g_free(text);
}

static gboolean on_gather_wait_over(gpointer data) {
    struct webrtc_session *session = data;
    session->gather_timer = 0;
    send_answer(session);
    return G_SOURCE_REMOVE;
}

static gboolean check_answer(gpointer data) {
    struct webrtc_session *session = data;
    const int local = g_atomic_int_get(&session->local_set);
    if (session->freed || session->answered) return G_SOURCE_REMOVE;
    if (local < 0)
        answer_once(session, NULL, session->failure, 0);
    else if (local > 0 && g_atomic_int_get(&session->gathered))
        send_answer(session);
    else if (local > 0 && session->gather_timer == 0)
        session->gather_timer = g_timeout_add(GATHER_WAIT_MS, on_gather_wait_over, session);
    return G_SOURCE_REMOVE;
}

static gboolean on_answer_wait_over(gpointer data) {
    struct webrtc_session *session = data;
    const int local = g_atomic_int_get(&session->local_set);
    session->answer_timer = 0;
    if (local > 0)
        send_answer(session);
    else
        answer_once(session, NULL, local < 0 ? session->failure : "the offer could not be answered in time", 0);
    return G_SOURCE_REMOVE;
}

/* A promise for webrtcbin. The session keeps a reference until its change
 * function runs: webrtcbin drops a task still queued when it stops without
 * answering its promise, and the session interrupts those when freed. */
static GstPromise *session_promise(struct webrtc_session *session, GstPromiseChangeFunc func) {
    GstPromise *promise = gst_promise_new_with_change_func(func, session_ref(session), session_unref);
    pthread_mutex_lock(&session->lock);
    g_ptr_array_add(session->promises, promise);
    pthread_mutex_unlock(&session->lock);
    return promise;
}

/* In a change function: takes the session's reference back, if it still
 * held one (not when the session interrupted the promise itself). */
static int settle(struct webrtc_session *session, GstPromise *promise) {
    int held;
    pthread_mutex_lock(&session->lock);
    held = g_ptr_array_remove_fast(session->promises, promise);
    pthread_mutex_unlock(&session->lock);
    return held;
}

/* The reply of a settled promise, or NULL when it was interrupted. */
static const GstStructure *reply_of(GstPromise *promise) {
    return gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(promise) : NULL;
}

/* Interrupted, or answered with an error. webrtcbin answers a description
 * that was set with no structure at all. */
static int promise_failed(GstPromise *promise) {
    const GstStructure *reply;
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) return 1;
    reply = reply_of(promise);
    return reply != NULL && gst_structure_has_field(reply, "error");
}

/* webrtcbin's thread: records why negotiation failed, once. */
static void fail_negotiation(struct webrtc_session *session, const char *what, GstPromise *promise) {
    const GstStructure *reply = promise != NULL ? reply_of(promise) : NULL;
    GError *error = NULL;
    if (g_atomic_int_get(&session->local_set) != 0) return;
    if (reply != NULL && gst_structure_has_field(reply, "error")) gst_structure_get(reply, "error", G_TYPE_ERROR, &error, NULL);
    session->failure = g_strdup_printf("%s%s%s", what, error != NULL ? ": " : "", error != NULL ? error->message : "");
    if (error != NULL) g_error_free(error);
    g_atomic_int_set(&session->local_set, -1);
    hand_to_main_loop(session, check_answer);
}

/* In a change function: whether the step succeeded and negotiation goes on.
 * A failure is recorded as failure_text; a closing session goes no further. */
static int step_succeeded(struct webrtc_session *session, GstPromise *promise, const char *failure_text) {
    if (g_atomic_int_get(&session->closing)) return 0;
    if (promise_failed(promise)) {
        fail_negotiation(session, failure_text, promise);
        return 0;
    }
    return 1;
}

static void on_local_set(GstPromise *promise, gpointer data) {
    struct webrtc_session *session = data;
    const int held = settle(session, promise);
    if (step_succeeded(session, promise, "the answer was refused")) {
        g_atomic_int_set(&session->local_set, 1);
        hand_to_main_loop(session, check_answer);
    }
    if (held) gst_promise_unref(promise);
}

static void on_answer_created(GstPromise *promise, gpointer data) {
    struct webrtc_session *session = data;
    const int held = settle(session, promise);
    GstWebRTCSessionDescription *answer = NULL;
    if (step_succeeded(session, promise, "no answer to the offer")) {
        gst_structure_get(reply_of(promise), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, NULL);
        if (answer == NULL) {
            fail_negotiation(session, "no answer to the offer", NULL);
        } else {
            g_signal_emit_by_name(session->webrtc, "set-local-description", answer,
                                  session_promise(session, on_local_set));
            gst_webrtc_session_description_free(answer);
        }
    }
    if (held) gst_promise_unref(promise);
}

static void on_remote_set(GstPromise *promise, gpointer data) {
    struct webrtc_session *session = data;
    const int held = settle(session, promise);
    if (step_succeeded(session, promise, "the offer was refused"))
        g_signal_emit_by_name(session->webrtc, "create-answer", NULL, session_promise(session, on_answer_created));
    if (held) gst_promise_unref(promise);
}

static void on_gathering_state(GObject *webrtc, GParamSpec *spec, gpointer data) {
    struct webrtc_session *session = data;
    GstWebRTCICEGatheringState state;
    (void)spec;
    g_object_get(webrtc, "ice-gathering-state", &state, NULL);
    if (state != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) return;
    g_atomic_int_set(&session->gathered, 1);
    hand_to_main_loop(session, check_answer);
}

static void on_ice_state(GObject *webrtc, GParamSpec *spec, gpointer data) {
    struct webrtc_session *session = data;
    GstWebRTCICEConnectionState state;
    (void)spec;
    g_object_get(webrtc, "ice-connection-state", &state, NULL);
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED || state == GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED)
        g_atomic_int_set(&session->ice_failed, 1);
}

/* The frames sent before the encryption was up were lost: the viewer's
 * first is a key frame made now. */
static void on_connection_state(GObject *webrtc, GParamSpec *spec, gpointer data) {
    struct webrtc_session *session = data;
    GstWebRTCPeerConnectionState state;
    (void)spec;
    g_object_get(webrtc, "connection-state", &state, NULL);
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) feed_request_sink_key_frame(session->feed, session->src, 1);
}

/* Any RTCP from the viewer: it is still there. */
static void on_ssrc_active(GstElement *rtpbin, guint rtp_session, guint ssrc, gpointer data) {
    struct webrtc_session *session = data;
    (void)rtpbin;
    (void)rtp_session;
    (void)ssrc;
    g_atomic_int_set(&session->last_rtcp_s, (gint)(g_get_monotonic_time() / G_USEC_PER_SEC));
}

static gint64 last_rtcp(struct webrtc_session *session) {
    return (gint64)g_atomic_int_get(&session->last_rtcp_s) * G_USEC_PER_SEC;
}

static void on_stats(GstPromise *promise, gpointer data);

static gboolean look_at_link(gpointer data) {
    struct webrtc_session *session = data;
    GstWebRTCPeerConnectionState state;
    if (session->looked_at == 0) {
        g_object_get(session->webrtc, "connection-state", &state, NULL);
        if (state != GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) return G_SOURCE_CONTINUE;
        /* Nothing was sent before: the first look sees the viewer's first
         * moments whole. */
        session->looked_at = session->connected_at = g_get_monotonic_time();
        session->bytes_sent = 0;
        return G_SOURCE_CONTINUE;
    }
    /* A viewer that connects over TCP does so within its first seconds; its
     * connection, once found and bounded, stays so. The search reads every
     * descriptor of the process: once a second is enough. */
    if (!session->over_tcp && session->tcp_port_count > 0 &&
        g_get_monotonic_time() - session->connected_at < 20 * G_USEC_PER_SEC && session->tcp_searches++ % 4 == 0)
        session->over_tcp = tcp_send_bound_apply(session->tcp_ports, session->tcp_port_count) > 0;
    g_signal_emit_by_name(session->webrtc, "get-stats", NULL, session_promise(session, on_stats));
    return G_SOURCE_CONTINUE;
}

static gboolean watch_viewer(gpointer data) {
    struct webrtc_session *session = data;
    const gint64 now = g_get_monotonic_time();
    GstWebRTCPeerConnectionState state;
    if (g_atomic_int_get(&session->ice_failed)) {
        session->watch_timer = 0;
        end_by_itself(session, "its connection failed");
        return G_SOURCE_REMOVE;
    }
    if (!session->answered) return G_SOURCE_CONTINUE;
    g_object_get(session->webrtc, "connection-state", &state, NULL);
    if (!session->connected && state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) {
        session->connected = 1;
        on_ssrc_active(NULL, 0, 0, session);
    }
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED || state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED) {
        session->watch_timer = 0;
        end_by_itself(session, "its connection failed");
        return G_SOURCE_REMOVE;
    }
    if (!session->connected && now - session->answered_at > CONNECT_WAIT_US) {
        session->watch_timer = 0;
        end_by_itself(session, "the viewer never connected");
        return G_SOURCE_REMOVE;
    }
    if (session->connected && now - last_rtcp(session) > SILENCE_US) {
        session->watch_timer = 0;
        end_by_itself(session, "the viewer went silent");
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

/* webrtcbin turns a viewer's PLI or FIR into a request upstream: it goes to
 * the tier the viewer takes, through that tier's governor, and is counted,
 * since a viewer that keeps asking is better served by the low tier. */
static GstPadProbeReturn on_key_frame_request(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
    struct webrtc_session *session = data;
    (void)pad;
    if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) {
        g_atomic_int_inc(&session->key_frames_asked);
        feed_request_sink_key_frame(session->feed, session->src, 0);
    }
    return GST_PAD_PROBE_OK;
}

/* Main loop: the newest statistics, one look at the viewer's link, and the
 * tier it is sent from here on. */
static gboolean adapt(gpointer data) {
    struct webrtc_session *session = data;
    const gint64 now = g_get_monotonic_time();
    GstStructure *stats;
    struct link_stats link;
    struct link_report report;
    guint64 queued_ns = 0;
    double seconds;
    const enum tier before = session->decision.tier;
    pthread_mutex_lock(&session->lock);
    stats = session->stats;
    session->stats = NULL;
    pthread_mutex_unlock(&session->lock);
    if (stats == NULL) return G_SOURCE_REMOVE;
    link_stats_read(stats, &link);
    gst_structure_free(stats);
    if (session->freed) return G_SOURCE_REMOVE;
    seconds = (double)(now - session->looked_at) / G_USEC_PER_SEC;
    /* Too short an interval says nothing of a rate: wait for the next look. */
    if (seconds < 0.2) return G_SOURCE_REMOVE;
    if (link.bytes_sent < session->bytes_sent) {
        session->looked_at = now;
        session->bytes_sent = link.bytes_sent;
        return G_SOURCE_REMOVE;
    }
    g_object_get(session->src, "current-level-time", &queued_ns, NULL);
    report.now_us = now;
    report.sent_kbps = (double)(link.bytes_sent - session->bytes_sent) * 8 / 1000.0 / seconds;
    report.received_kbps = link.received_kbps;
    report.feedback_sent_kbps = link.feedback_sent_kbps;
    report.loss = link.feedback_loss >= 0 ? link.feedback_loss : link.fraction_lost;
    report.rtt_ms = link.rtt_ms;
    report.queue_ms = (double)queued_ns / 1e6;
    report.key_frames_asked = g_atomic_int_and(&session->key_frames_asked, 0);
    /* The feedback's packets went out faster than they arrived, and their
     * delays grew: they filled the link, and arrived at its rate. */
    report.capacity_kbps = link.received_kbps > 0 && link.feedback_sent_kbps > SATURATED * link.received_kbps &&
                                   link.delay_trend_ms > 0
                               ? link.received_kbps
                               : -1;
    session->looked_at = now;
    session->bytes_sent = link.bytes_sent;
    session->sent_kbps = report.sent_kbps;
    session->estimate_kbps = report.received_kbps;
    session->rtt_ms = report.rtt_ms;
    tier_controller_update(&session->controller, &report, &session->decision);
    /* G_MESSAGES_DEBUG=boardcam-serve shows each look, for tuning on a real link. */
    g_debug("viewer %.8s: feedback %.0f sent/%.0f arrived, trend %.2f ms, capacity %.0f; sent %.0f kbit/s, arrived %.0f, loss %.2f, rtt %.0f ms, queue %.0f ms, asked %d: %s%s, "
            "low %d kbit/s",
            session->id, link.feedback_sent_kbps, link.received_kbps, link.delay_trend_ms, report.capacity_kbps,
            report.sent_kbps,
            report.received_kbps, report.loss, report.rtt_ms, report.queue_ms,
            report.key_frames_asked, tier_name(session->decision.tier), session->controller.trial ? " (trial)" : "",
            session->decision.low_kbps);
    tier_follow(session->feed, session->src, VIEWER_WEBRTC, before, &session->decision);
    if (session->decision.skip_to_key_frame) feed_skip_to_key_frame(session->feed, session->src);
    return G_SOURCE_REMOVE;
}

static void on_stats(GstPromise *promise, gpointer data) {
    struct webrtc_session *session = data;
    const int held = settle(session, promise);
    const GstStructure *reply = g_atomic_int_get(&session->closing) ? NULL : reply_of(promise);
    if (reply != NULL) {
        GstStructure *copy = gst_structure_copy(reply), *older;
        pthread_mutex_lock(&session->lock);
        older = session->stats;
        session->stats = copy;
        pthread_mutex_unlock(&session->lock);
        if (older != NULL) gst_structure_free(older);
        hand_to_main_loop(session, adapt);
    }
    if (held) gst_promise_unref(promise);
}

static void set_up_ice(GstElement *webrtc, const struct webrtc_config *config) {
    GstWebRTCICE *ice = NULL;
    g_object_get(webrtc, "ice-agent", &ice, NULL);
    if (ice == NULL) return;
    /* ICE over TCP too, for viewers whose networks block UDP: a passive TCP
     * candidate on a port of the same range, beside the UDP one. */
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "ice-tcp") != NULL) g_object_set(ice, "ice-tcp", TRUE, NULL);
    if (config->port_min > 0) g_object_set(ice, "min-rtp-port", (guint)config->port_min, "max-rtp-port",
                                           (guint)config->port_max, NULL);
    /* An address of its own restricts the candidates to it; libnice leaves
     * loopback out unless it is named. */
    if (config->address != NULL && strcmp(config->address, "0.0.0.0") != 0 && strcmp(config->address, "::") != 0) {
        gboolean added = FALSE;
        g_signal_emit_by_name(ice, "add-local-ip-address", config->address, &added);
        if (!added) fprintf(stderr, "boardcam-serve: WebRTC: cannot use the address %s for ICE\n", config->address);
    }
    gst_object_unref(ice);
    if (config->stun != NULL) g_object_set(webrtc, "stun-server", config->stun, NULL);
}

/* Numbers every packet for the viewer's transport-wide feedback, under the
 * id its offer gave the extension. */
static void add_twcc(GstElement *pipeline, int id) {
    GstElement *pay = gst_bin_get_by_name(GST_BIN(pipeline), "pay");
    GstRTPHeaderExtension *extension = gst_rtp_header_extension_create_from_uri(WHEP_TWCC_URI);
    if (pay != NULL && extension != NULL) {
        gst_rtp_header_extension_set_id(extension, (guint)id);
        g_signal_emit_by_name(pay, "add-extension", extension);
    }
    if (extension != NULL) gst_object_unref(extension);
    if (pay != NULL) gst_object_unref(pay);
}

/* The session's URL is what DELETE takes: not guessable from the others. */
static void make_id(char id[33]) {
    guint8 bytes[16];
    int i;
    if (getrandom(bytes, sizeof bytes, 0) != (ssize_t)sizeof bytes)
        for (i = 0; i < 16; ++i) bytes[i] = (guint8)g_random_int();
    for (i = 0; i < 16; ++i) snprintf(id + 2 * i, 3, "%02x", bytes[i]);
}

struct webrtc_session *webrtc_session_new(struct feed *feed, const struct webrtc_config *config,
                                          GstSDPMessage *offer, int payload_type,
                                          const struct webrtc_callbacks *callbacks, GError **error) {
    struct webrtc_session *session;
    GstWebRTCSessionDescription *description;
    GstWebRTCRTPTransceiver *transceiver = NULL;
    const int twcc_id = whep_offer_twcc_id(offer);
    const guint32 ssrc = g_random_int_range(1, G_MAXINT32);
    gchar *extmap = twcc_id > 0 ? g_strdup_printf(",extmap-%d=(string)\"%s\"", twcc_id, WHEP_TWCC_URI) : g_strdup("");
    gchar *launch = g_strdup_printf(SESSION_LAUNCH, ssrc, payload_type, ssrc, extmap);
    GstElement *pipeline = gst_parse_launch_full(launch, NULL, GST_PARSE_FLAG_FATAL_ERRORS, error);
    g_free(launch);
    g_free(extmap);
    if (pipeline == NULL) {
        gst_sdp_message_free(offer);
        return NULL;
    }
    session = g_new0(struct webrtc_session, 1);
    session->refs = 1;
    pthread_mutex_init(&session->lock, NULL);
    session->promises = g_ptr_array_new();
    make_id(session->id);
    session->feed = feed;
    session->camera = feed_camera(feed);
    session->callbacks = *callbacks;
    session->pipeline = pipeline;
    session->webrtc = gst_bin_get_by_name(GST_BIN(pipeline), "webrtc");
    session->rtpbin = gst_bin_get_by_name(GST_BIN(session->webrtc), "rtpbin");
    session->src = GST_APP_SRC(gst_bin_get_by_name(GST_BIN(pipeline), "src"));
    session->src_pad = gst_element_get_static_pad(GST_ELEMENT(session->src), "src");
    session->key_probe =
        gst_pad_add_probe(session->src_pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, on_key_frame_request, session, NULL);
    if (twcc_id > 0) add_twcc(pipeline, twcc_id);
    tier_controller_init(&session->controller, feed_has_low_tier(feed));
    session->decision.tier = TIER_MAIN;
    session->estimate_kbps = -1;
    session->rtt_ms = -1;
    set_up_ice(session->webrtc, config);

    /* Send only: the viewer sends nothing but its reports. */
    g_signal_emit_by_name(session->webrtc, "get-transceiver", 0, &transceiver);
    if (transceiver != NULL) {
        g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, NULL);
        gst_object_unref(transceiver);
    }
    g_signal_connect_data(session->webrtc, "notify::ice-gathering-state", G_CALLBACK(on_gathering_state),
                          session_ref(session), session_unref_closure, 0);
    g_signal_connect_data(session->webrtc, "notify::ice-connection-state", G_CALLBACK(on_ice_state),
                          session_ref(session), session_unref_closure, 0);
    g_signal_connect_data(session->webrtc, "notify::connection-state", G_CALLBACK(on_connection_state),
                          session_ref(session), session_unref_closure, 0);
    if (session->rtpbin != NULL)
        g_signal_connect_data(session->rtpbin, "on-ssrc-active", G_CALLBACK(on_ssrc_active), session_ref(session),
                              session_unref_closure, 0);

    /* The camera opens while the connection is made; the viewer's first
     * frames are those after the encryption is up, and it asks for a key
     * frame then. */
    feed_add_h264_sink(feed, session->src);
    feed_acquire(feed, FEED_H264);
    viewers_watch(session->camera, VIEWER_WEBRTC, +1);
    viewers_tier(session->camera, VIEWER_WEBRTC, TIER_MAIN, +1);

    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    description = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, offer);
    g_signal_emit_by_name(session->webrtc, "set-remote-description", description,
                          session_promise(session, on_remote_set));
    gst_webrtc_session_description_free(description);
    session->answer_timer = g_timeout_add(ANSWER_WAIT_MS, on_answer_wait_over, session);
    session->watch_timer = g_timeout_add(1000, watch_viewer, session);
    session->adapt_timer = g_timeout_add(ADAPT_INTERVAL_MS, look_at_link, session);
    return session;
}

/* Teardowns pushed and not yet done. */
static gint teardowns_pending;

/* Tears a freed session's pipeline down. webrtcbin takes half a second or
 * more to reach NULL (its ICE agent and DTLS end), which the main loop must
 * not wait for: every other client is served from it. */
static void tear_down(gpointer data, gpointer unused) {
    struct webrtc_session *session = data;
    GPtrArray *unsettled;
    guint i;
    (void)unused;
    gst_element_set_state(session->pipeline, GST_STATE_NULL);
    /* webrtcbin has stopped: what it never answered is interrupted, which
     * lets go of the session those promises hold. */
    pthread_mutex_lock(&session->lock);
    unsettled = session->promises;
    session->promises = g_ptr_array_new();
    pthread_mutex_unlock(&session->lock);
    for (i = 0; i < unsettled->len; ++i) {
        gst_promise_interrupt(g_ptr_array_index(unsettled, i));
        gst_promise_unref(g_ptr_array_index(unsettled, i));
    }
    g_ptr_array_unref(unsettled);
    gst_object_unref(session->src_pad);
    gst_object_unref(session->src);
    if (session->rtpbin != NULL) gst_object_unref(session->rtpbin);
    gst_object_unref(session->webrtc);
    gst_object_unref(session->pipeline);
    session_unref(session);
    g_atomic_int_dec_and_test(&teardowns_pending);
}

/* Main loop only. Sessions are torn down a few at a time in parallel. */
static GThreadPool *teardowns;

void webrtc_session_free(struct webrtc_session *session) {
    if (session == NULL) return;
    session->freed = 1;
    if (session->gather_timer != 0) g_source_remove(session->gather_timer);
    if (session->answer_timer != 0) g_source_remove(session->answer_timer);
    if (session->watch_timer != 0) g_source_remove(session->watch_timer);
    if (session->adapt_timer != 0) g_source_remove(session->adapt_timer);
    feed_remove_h264_sink(session->feed, session->src);
    feed_release(session->feed, FEED_H264);
    viewers_watch(session->camera, VIEWER_WEBRTC, -1);
    viewers_tier(session->camera, VIEWER_WEBRTC, (int)session->decision.tier, -1);
    g_signal_handlers_disconnect_matched(session->webrtc, G_SIGNAL_MATCH_DATA, 0, 0, NULL, NULL, session);
    if (session->rtpbin != NULL)
        g_signal_handlers_disconnect_matched(session->rtpbin, G_SIGNAL_MATCH_DATA, 0, 0, NULL, NULL, session);
    gst_pad_remove_probe(session->src_pad, session->key_probe);
    g_atomic_int_set(&session->closing, 1);
    if (teardowns == NULL) teardowns = g_thread_pool_new(tear_down, NULL, 4, FALSE, NULL);
    g_atomic_int_inc(&teardowns_pending);
    if (teardowns == NULL || !g_thread_pool_push(teardowns, session, NULL)) tear_down(session, NULL);
}

int webrtc_sessions_wait_for_teardowns(gint64 deadline) {
    while (g_atomic_int_get(&teardowns_pending) > 0 && g_get_monotonic_time() < deadline) g_usleep(5000);
    if (g_atomic_int_get(&teardowns_pending) > 0) return -1;
    if (teardowns != NULL) g_thread_pool_free(teardowns, FALSE, TRUE);
    teardowns = NULL;
    return 0;
}

const char *webrtc_session_id(const struct webrtc_session *session) { return session->id; }

int webrtc_session_camera(const struct webrtc_session *session) { return session->camera; }

gchar *webrtc_session_describe(struct webrtc_session *session) {
    int fps;
    const enum tier tier = tier_followed(session->feed, session->src, &fps);
    return g_strdup_printf("{\"transport\":\"%s\",\"tier\":\"%s\",\"fps\":%d,\"sent_kbps\":%.0f,"
                           "\"estimate_kbps\":%.0f,\"rtt_ms\":%.0f,\"low_kbps\":%d,\"trials\":%" G_GUINT64_FORMAT "}",
                           session->over_tcp ? "webrtc-tcp" : "webrtc", tier_name(tier),
                           fps, session->sent_kbps, session->estimate_kbps, session->rtt_ms, session->decision.low_kbps,
                           (guint64)session->controller.trials);
}
