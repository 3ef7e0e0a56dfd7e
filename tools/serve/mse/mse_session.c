#include "mse_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <gst/app/gstappsink.h>

#include "feed/viewers.h"
#include "mse_stream.h"
#include "feed/tier_controller.h"
#include "feed/tier_follow.h"

/* The feed's byte stream made length-prefixed, with its configuration in
 * the caps, as an MP4 sample entry wants it. */
#define SESSION_LAUNCH                                                                                      \
    "appsrc name=src is-live=true format=time do-timestamp=false max-bytes=0 max-buffers=30 "               \
    "leaky-type=downstream ! h264parse ! video/x-h264,stream-format=avc,alignment=au ! "                    \
    "appsink name=sink sync=false max-buffers=30 drop=true"
/* How often the viewer's queue is looked at and its tier decided, as for
 * WebRTC viewers. */
#define LOOK_INTERVAL_MS 250
#define STATUS_INTERVAL_US G_USEC_PER_SEC
/* Messages the streaming thread has made and the main loop not yet taken: a
 * second's worth. Past it the main loop is stalled, and the newest go. */
#define OUTBOX_LIMIT 30
/* Unsent bytes the kernel holds for the viewer: the rest wait in the
 * application, where they are counted. */
#define NOTSENT_LOWAT (16 * 1024)
/* Frames go out while what went before is acknowledged within this: a link
 * busier than that gets nothing more until it catches up, and what waits
 * meanwhile can be left out. */
#define SEND_AHEAD_MS 250.0
/* A queue this long at a look, while more was sent than arrived: the link
 * was full. A token bucket lets bursts through at once until it is. */
#define FULL_QUEUE_MS 50.0
#define SATURATED 1.1

struct outgoing {
    enum mse_message kind;
    GBytes *bytes;
    int key_frame;
    gint64 made_us; /* when the streaming thread handed it over */
};

struct unacked {
    gint64 sent_us;
    gsize bytes;
};

struct mse_session {
    gint refs;
    struct feed *feed;
    int camera;
    SoupWebsocketConnection *connection;
    GstElement *pipeline;
    GstAppSrc *src;
    mse_ended_fn on_ended;
    void *user;
    int freed;

    /* The streaming thread's. */
    struct mse_stream stream;

    /* Handed from the streaming thread to the main loop. */
    pthread_mutex_t lock;
    GQueue outbox; /* struct outgoing */
    int drain_pending;
    int overflowed; /* a frame was left out of a full outbox */

    /* The main loop's. */
    GQueue waiting; /* struct outgoing not yet handed to the connection, oldest first */
    GQueue unacked; /* struct unacked, oldest first */
    gsize unacked_bytes;
    uint64_t binary_sent, binary_acked;
    uint64_t bytes_sent, bytes_acked;
    uint64_t looked_sent, looked_acked;
    gint64 looked_at, status_at;
    double rtt_ms;
    int drained; /* everything sent was acknowledged at some moment since the last look */
    int resync; /* messages were left out: the next fragment sent is a key frame */
    guint look_timer;
    struct tier_controller controller;
    struct tier_decision decision;
    double sent_kbps, received_kbps, queue_ms;
};

static struct mse_session *session_ref(struct mse_session *session) {
    g_atomic_int_inc(&session->refs);
    return session;
}

static void outgoing_free(gpointer data) {
    struct outgoing *out = data;
    g_bytes_unref(out->bytes);
    g_free(out);
}

static void session_unref(gpointer data) {
    struct mse_session *session = data;
    if (!g_atomic_int_dec_and_test(&session->refs)) return;
    g_queue_clear_full(&session->outbox, outgoing_free);
    g_queue_clear_full(&session->waiting, outgoing_free);
    g_queue_clear_full(&session->unacked, g_free);
    mse_stream_clear(&session->stream);
    pthread_mutex_destroy(&session->lock);
    g_free(session);
}

static int connection_open(const struct mse_session *session) {
    return soup_websocket_connection_get_state(session->connection) == SOUP_WEBSOCKET_STATE_OPEN;
}

static void send_text(struct mse_session *session, const char *text) {
    if (connection_open(session)) soup_websocket_connection_send_text(session->connection, text);
}

static void send_binary(struct mse_session *session, GBytes *bytes) {
    struct unacked *sent = g_new(struct unacked, 1);
    sent->sent_us = g_get_monotonic_time();
    sent->bytes = g_bytes_get_size(bytes);
    g_queue_push_tail(&session->unacked, sent);
    session->unacked_bytes += sent->bytes;
    session->bytes_sent += sent->bytes;
    ++session->binary_sent;
    soup_websocket_connection_send_message(session->connection, SOUP_WEBSOCKET_DATA_BINARY, bytes);
}

/* The age of what waits longest for the viewer: in the application (here,
 * not yet handed over) or on its way (handed over, not yet acknowledged). */
static double queue_ms(const struct mse_session *session, gint64 now) {
    const struct unacked *sent = session->unacked.head != NULL ? session->unacked.head->data : NULL;
    const struct outgoing *waiting = session->waiting.head != NULL ? session->waiting.head->data : NULL;
    gint64 oldest = now;
    if (sent != NULL && sent->sent_us < oldest) oldest = sent->sent_us;
    if (waiting != NULL && waiting->made_us < oldest) oldest = waiting->made_us;
    return (double)(now - oldest) / 1000.0;
}

/* Leaves out every frame waiting (the configurations stay, in order) and
 * starts again from the next key frame: the viewer gets the present, not
 * the past. */
static void skip_to_key_frame(struct mse_session *session) {
    GList *link = session->waiting.head;
    int dropped = 0, dropped_key_frame = 0;
    while (link != NULL) {
        GList *next = link->next;
        struct outgoing *out = link->data;
        if (out->kind == MSE_FRAGMENT) {
            dropped = 1;
            dropped_key_frame |= out->key_frame;
            outgoing_free(out);
            g_queue_delete_link(&session->waiting, link);
        }
        link = next;
    }
    if (dropped) viewers_count_drop(session->camera);
    /* The feed skips to a key frame it asks for (at most one a second); a
     * key frame left out here needs another. */
    if (!session->resync || dropped_key_frame) feed_skip_to_key_frame(session->feed, session->src);
    session->resync = 1;
}

/* Hands the connection what waits, while the viewer keeps up: nothing new
 * while what went before has waited SEND_AHEAD_MS unacknowledged, or while
 * MSE_SEND_LIMIT_BYTES are out. What waits here can still be left out. */
static void pump(struct mse_session *session) {
    const gint64 now = g_get_monotonic_time();
    struct outgoing *out;
    if (queue_ms(session, now) > TIER_QUEUE_LIMIT_MS) skip_to_key_frame(session);
    while ((out = g_queue_peek_head(&session->waiting)) != NULL) {
        const struct unacked *sent = g_queue_peek_head(&session->unacked);
        if (!connection_open(session)) return;
        if (out->kind == MSE_FRAGMENT) {
            if (session->resync && !out->key_frame) {
                outgoing_free(g_queue_pop_head(&session->waiting));
                continue;
            }
            if ((sent != NULL && (double)(now - sent->sent_us) / 1000.0 > SEND_AHEAD_MS) ||
                session->unacked_bytes + g_bytes_get_size(out->bytes) > MSE_SEND_LIMIT_BYTES)
                return;
            session->resync = 0;
        }
        g_queue_pop_head(&session->waiting);
        if (out->kind == MSE_DESCRIPTION) {
            gchar *text = g_strndup(g_bytes_get_data(out->bytes, NULL), g_bytes_get_size(out->bytes));
            send_text(session, text);
            g_free(text);
        } else {
            send_binary(session, out->bytes);
        }
        outgoing_free(out);
    }
}

static gboolean drain(gpointer data) {
    struct mse_session *session = data;
    int overflowed;
    pthread_mutex_lock(&session->lock);
    while (!g_queue_is_empty(&session->outbox)) g_queue_push_tail(&session->waiting, g_queue_pop_head(&session->outbox));
    session->drain_pending = 0;
    overflowed = session->overflowed;
    session->overflowed = 0;
    pthread_mutex_unlock(&session->lock);
    if (session->freed) return G_SOURCE_REMOVE;
    /* Frames went missing on the way here: what follows them cannot be
     * decoded until the next key frame. */
    if (overflowed) skip_to_key_frame(session);
    pump(session);
    return G_SOURCE_REMOVE;
}

/* The streaming thread's: a message for the main loop to send. */
static void hand_over(enum mse_message kind, GBytes *bytes, int key_frame, void *user) {
    struct mse_session *session = user;
    struct outgoing *out = g_new(struct outgoing, 1);
    int schedule;
    out->kind = kind;
    out->bytes = bytes;
    out->key_frame = key_frame;
    out->made_us = g_get_monotonic_time();
    pthread_mutex_lock(&session->lock);
    if (kind == MSE_FRAGMENT && g_queue_get_length(&session->outbox) >= OUTBOX_LIMIT) {
        session->overflowed = 1;
        pthread_mutex_unlock(&session->lock);
        outgoing_free(out);
        return;
    }
    g_queue_push_tail(&session->outbox, out);
    schedule = !session->drain_pending;
    session->drain_pending = 1;
    pthread_mutex_unlock(&session->lock);
    if (schedule) g_idle_add_full(G_PRIORITY_DEFAULT, drain, session_ref(session), session_unref);
}

static GstFlowReturn on_sample(GstAppSink *sink, gpointer data) {
    struct mse_session *session = data;
    GstSample *sample = gst_app_sink_pull_sample(sink);
    GstBuffer *buffer = sample != NULL ? gst_sample_get_buffer(sample) : NULL;
    if (buffer != NULL)
        mse_stream_push(&session->stream, buffer, gst_sample_get_caps(sample), g_get_real_time(), hand_over, session);
    if (sample != NULL) gst_sample_unref(sample);
    return GST_FLOW_OK;
}

/* Tells the owner once; it may free the session during the call. */
static void end(struct mse_session *session, const char *why) {
    const mse_ended_fn on_ended = session->on_ended;
    if (session->freed || on_ended == NULL) return;
    session->on_ended = NULL;
    on_ended(session, why, session->user);
}

/* "ack N": the page has N binary messages. */
static void on_message(SoupWebsocketConnection *connection, gint type, GBytes *message, gpointer data) {
    struct mse_session *session = data;
    gsize size = 0;
    const char *text = g_bytes_get_data(message, &size);
    char digits[24];
    guint64 count;
    gchar *rest = NULL;
    (void)connection;
    if (type != SOUP_WEBSOCKET_DATA_TEXT || size < 5 || size - 4 >= sizeof digits || memcmp(text, "ack ", 4) != 0)
        return;
    memcpy(digits, text + 4, size - 4);
    digits[size - 4] = '\0';
    count = g_ascii_strtoull(digits, &rest, 10);
    if (rest == digits || *rest != '\0' || count <= session->binary_acked || count > session->binary_sent) return;
    while (session->binary_acked < count) {
        struct unacked *sent = g_queue_pop_head(&session->unacked);
        if (sent == NULL) break;
        session->unacked_bytes -= sent->bytes;
        session->bytes_acked += sent->bytes;
        ++session->binary_acked;
        if (session->binary_acked == count) session->rtt_ms = (double)(g_get_monotonic_time() - sent->sent_us) / 1000.0;
        g_free(sent);
    }
    if (g_queue_is_empty(&session->unacked)) session->drained = 1;
    pump(session);
}

static void on_closed(SoupWebsocketConnection *connection, gpointer data) {
    (void)connection;
    end(data, "the viewer went");
}

static void send_status(struct mse_session *session) {
    int fps;
    const enum tier tier = tier_followed(session->feed, session->src, &fps);
    gchar *text = g_strdup_printf("{\"type\":\"status\",\"tier\":\"%s\",\"fps\":%d,\"sent_kbps\":%.0f,"
                                  "\"estimate_kbps\":%.0f,\"queue_ms\":%.0f}",
                                  tier_name(tier), fps, session->sent_kbps, session->received_kbps, session->queue_ms);
    send_text(session, text);
    g_free(text);
}

static gboolean look(gpointer data) {
    struct mse_session *session = data;
    const gint64 now = g_get_monotonic_time();
    const struct unacked *oldest = g_queue_peek_head(&session->unacked);
    const enum tier before = session->decision.tier;
    const double seconds = (double)(now - session->looked_at) / G_USEC_PER_SEC;
    struct link_report report;
    if (oldest != NULL && now - oldest->sent_us > MSE_STALL_LIMIT_US) {
        session->look_timer = 0;
        end(session, "the viewer took nothing for too long");
        return G_SOURCE_REMOVE;
    }
    /* Too short an interval says nothing of a rate. */
    if (seconds < 0.2) return G_SOURCE_CONTINUE;
    report.now_us = now;
    report.sent_kbps = (double)(session->bytes_sent - session->looked_sent) * 8 / 1000.0 / seconds;
    report.received_kbps = (double)(session->bytes_acked - session->looked_acked) * 8 / 1000.0 / seconds;
    report.feedback_sent_kbps = -1;
    report.loss = 0;
    report.rtt_ms = session->rtt_ms;
    report.queue_ms = queue_ms(session, now);
    report.key_frames_asked = 0;
    /* Something waited for the viewer all through the interval, or a queue
     * built while more went out than arrived: the link (or the page) was
     * busy, and what arrived is its rate. */
    report.capacity_kbps = report.received_kbps > 0 &&
                                   ((!session->drained && oldest != NULL && oldest->sent_us <= session->looked_at) ||
                                    (report.queue_ms > FULL_QUEUE_MS &&
                                     report.sent_kbps > SATURATED * report.received_kbps))
                               ? report.received_kbps
                               : -1;
    session->drained = g_queue_is_empty(&session->unacked);
    session->looked_at = now;
    session->looked_sent = session->bytes_sent;
    session->looked_acked = session->bytes_acked;
    session->sent_kbps = report.sent_kbps;
    session->received_kbps = report.received_kbps;
    session->queue_ms = report.queue_ms;
    tier_controller_update(&session->controller, &report, &session->decision);
    g_debug("mse viewer of camera %d: sent %.0f kbit/s, arrived %.0f, rtt %.0f ms, queue %.0f ms (%" G_GSIZE_FORMAT
            " bytes): %s%s, low %d kbit/s",
            session->camera, report.sent_kbps, report.received_kbps, report.rtt_ms, report.queue_ms,
            session->unacked_bytes, tier_name(session->decision.tier), session->controller.trial ? " (trial)" : "",
            session->decision.low_kbps);
    tier_follow(session->feed, session->src, VIEWER_MSE, before, &session->decision);
    if (session->decision.tier != before && session->decision.tier == TIER_LOW) skip_to_key_frame(session);
    pump(session);
    if (now - session->status_at >= STATUS_INTERVAL_US) {
        session->status_at = now;
        send_status(session);
    }
    return G_SOURCE_CONTINUE;
}

/* The kernel keeps little unsent for the viewer: what waits, waits where it
 * is counted and can be left out. */
static void bound_socket(GSocket *socket) {
    const int lowat = NOTSENT_LOWAT;
    if (socket == NULL) return;
    if (setsockopt(g_socket_get_fd(socket), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat) != 0)
        g_debug("mse: TCP_NOTSENT_LOWAT not set");
}

struct mse_session *mse_session_new(struct feed *feed, SoupWebsocketConnection *connection, GSocket *socket,
                                    mse_ended_fn on_ended, void *user, GError **error) {
    GstElement *pipeline = gst_parse_launch_full(SESSION_LAUNCH, NULL, GST_PARSE_FLAG_FATAL_ERRORS, error);
    struct mse_session *session;
    GstElement *sink;
    GstAppSinkCallbacks callbacks = {0};
    if (pipeline == NULL) return NULL;
    session = g_new0(struct mse_session, 1);
    session->refs = 1;
    pthread_mutex_init(&session->lock, NULL);
    g_queue_init(&session->outbox);
    g_queue_init(&session->waiting);
    g_queue_init(&session->unacked);
    mse_stream_init(&session->stream);
    session->feed = feed;
    session->camera = feed_camera(feed);
    session->connection = g_object_ref(connection);
    session->on_ended = on_ended;
    session->user = user;
    session->pipeline = pipeline;
    session->src = GST_APP_SRC(gst_bin_get_by_name(GST_BIN(pipeline), "src"));
    session->rtt_ms = -1;
    session->looked_at = session->status_at = g_get_monotonic_time();
    tier_controller_init(&session->controller, feed_has_low_tier(feed));
    session->decision.tier = TIER_MAIN;
    bound_socket(socket);

    sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    callbacks.new_sample = on_sample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, session, NULL);
    gst_object_unref(sink);
    g_signal_connect(connection, "message", G_CALLBACK(on_message), session);
    g_signal_connect(connection, "closed", G_CALLBACK(on_closed), session);

    feed_add_h264_sink(feed, session->src);
    feed_acquire(feed, FEED_H264);
    viewers_watch(session->camera, VIEWER_MSE, +1);
    viewers_tier(session->camera, VIEWER_MSE, TIER_MAIN, +1);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    /* A new viewer starts at a key frame, at once. */
    feed_request_sink_key_frame(feed, session->src, 1);
    session->look_timer = g_timeout_add(LOOK_INTERVAL_MS, look, session);
    return session;
}

void mse_session_free(struct mse_session *session) {
    if (session == NULL) return;
    session->freed = 1;
    if (session->look_timer != 0) g_source_remove(session->look_timer);
    feed_remove_h264_sink(session->feed, session->src);
    feed_release(session->feed, FEED_H264);
    viewers_watch(session->camera, VIEWER_MSE, -1);
    viewers_tier(session->camera, VIEWER_MSE, (int)session->decision.tier, -1);
    /* Its streaming thread stops here: nothing is handed over after. */
    gst_element_set_state(session->pipeline, GST_STATE_NULL);
    gst_object_unref(session->src);
    gst_object_unref(session->pipeline);
    g_signal_handlers_disconnect_matched(session->connection, G_SIGNAL_MATCH_DATA, 0, 0, NULL, NULL, session);
    if (connection_open(session)) soup_websocket_connection_close(session->connection, SOUP_WEBSOCKET_CLOSE_GOING_AWAY, NULL);
    g_object_unref(session->connection);
    session_unref(session);
}

int mse_session_camera(const struct mse_session *session) { return session->camera; }

gsize mse_session_queued_bytes(const struct mse_session *session) {
    gsize bytes = session->unacked_bytes;
    const GList *link;
    for (link = session->waiting.head; link != NULL; link = link->next)
        bytes += g_bytes_get_size(((const struct outgoing *)link->data)->bytes);
    return bytes;
}
