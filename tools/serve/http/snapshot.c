#include "snapshot.h"

#include <string.h>

#include "feed/viewers.h"

struct snapshot {
    SoupServerMessage *msg;
    struct feed *feed;
    struct feed_watcher watcher;
    guint timeout;
    int done;
};

static GList *waiting;

/* A camera that is failing has no frame to give: say why at once. */
static int respond_failing(SoupServerMessage *msg, struct feed *feed) {
    gchar *error = feed_error(feed), *text;
    if (error == NULL) return 0;
    text = g_strdup_printf("camera %d is failing: %s; retrying\n", feed_camera(feed), error);
    soup_server_message_set_status(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, NULL);
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_TAKE, text, strlen(text));
    g_free(error);
    return 1;
}

static void respond(SoupServerMessage *msg, struct feed *feed, GBytes *jpeg) {
    if (jpeg == NULL && respond_failing(msg, feed)) return;
    if (jpeg == NULL) {
        soup_server_message_set_status(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, NULL);
        soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_STATIC, "no frame from the camera\n", 25);
        return;
    }
    soup_server_message_set_status(msg, SOUP_STATUS_OK, NULL);
    soup_message_headers_set_content_type(soup_server_message_get_response_headers(msg), "image/jpeg", NULL);
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "no-cache");
    soup_message_body_append_bytes(soup_server_message_get_response_body(msg), jpeg);
}

/* Answers (unless the client went away first) and lets go of everything. */
static void finish(struct snapshot *shot, GBytes *jpeg, int answer) {
    if (shot->done) return;
    shot->done = 1;
    if (shot->timeout != 0) g_source_remove(shot->timeout);
    g_signal_handlers_disconnect_by_data(shot->msg, shot);
    feed_unwatch_jpeg(shot->feed, &shot->watcher);
    feed_release(shot->feed, FEED_JPEG);
    viewers_leave();
    waiting = g_list_remove(waiting, shot);
    if (answer) {
        respond(shot->msg, shot->feed, jpeg);
        soup_server_message_unpause(shot->msg);
    }
    g_object_unref(shot->msg);
    g_free(shot);
}

static void on_jpeg(GBytes *jpeg, void *user) { finish(user, jpeg, 1); }

static gboolean on_timeout(gpointer data) {
    struct snapshot *shot = data;
    shot->timeout = 0;
    finish(shot, NULL, 1);
    return G_SOURCE_REMOVE;
}

static void on_finished(SoupServerMessage *msg, gpointer data) {
    (void)msg;
    finish(data, NULL, 0);
}

void snapshot_start(SoupServerMessage *msg, struct feed *feed) {
    struct snapshot *shot;
    GBytes *latest;
    if (respond_failing(msg, feed)) {
        viewers_leave();
        return;
    }
    latest = feed_latest_jpeg(feed);
    if (latest != NULL) {
        respond(msg, feed, latest);
        g_bytes_unref(latest);
        viewers_leave();
        return;
    }
    shot = g_new0(struct snapshot, 1);
    shot->msg = g_object_ref(msg);
    shot->feed = feed;
    shot->watcher.on_jpeg = on_jpeg;
    shot->watcher.user = shot;
    shot->timeout = g_timeout_add_seconds(SNAPSHOT_TIMEOUT_S, on_timeout, shot);
    g_signal_connect(msg, "finished", G_CALLBACK(on_finished), shot);
    waiting = g_list_prepend(waiting, shot);
    soup_server_message_pause(msg);
    feed_watch_jpeg(feed, &shot->watcher);
    feed_acquire(feed, FEED_JPEG);
}

void snapshots_end_all(void) {
    while (waiting != NULL) finish(waiting->data, NULL, 1);
}
