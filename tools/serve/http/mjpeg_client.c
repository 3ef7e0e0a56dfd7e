#include "mjpeg_client.h"

#include <string.h>
#include <sys/ioctl.h>

#include "feed/viewers.h"

#define BOUNDARY "boardcamframe"

struct mjpeg_client {
    SoupServerMessage *msg;
    struct feed *feed;
    int camera;
    struct feed_watcher watcher;
    guint64 appended;                       /* body bytes handed to libsoup */
    guint64 written;                        /* body bytes it has written to the kernel */
    guint64 frame_ends[MJPEG_CLIENT_QUEUE]; /* where each frame in flight ends, oldest first */
    int in_flight;
    gint64 last_progress;
    int finished;
    int disconnected;
};

static GList *clients;

/* Bytes written to the socket that the viewer's side has not acknowledged:
 * those still in the kernel's send buffer or on their way. */
static guint64 kernel_unacked(struct mjpeg_client *client) {
    GSocket *socket = soup_server_message_get_socket(client->msg);
    int queued = 0;
    if (socket == NULL || ioctl(g_socket_get_fd(socket), TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return (guint64)queued;
}

/* A frame is on its way until the viewer's side has it all, not merely
 * until the kernel took it: the kernel's send buffer grows to megabytes,
 * which at a slow viewer's pace are seconds of old frames. Over TLS the
 * kernel holds a little more than was written, so a frame counts a little
 * longer, never shorter. */
static void retire_delivered(struct mjpeg_client *client) {
    const guint64 unacked = kernel_unacked(client);
    const guint64 delivered = client->written > unacked ? client->written - unacked : 0;
    while (client->in_flight > 0 && client->frame_ends[0] <= delivered) {
        memmove(client->frame_ends, client->frame_ends + 1, (size_t)(client->in_flight - 1) * sizeof(guint64));
        --client->in_flight;
        client->last_progress = g_get_monotonic_time();
    }
}

static void on_jpeg(GBytes *jpeg, void *user) {
    struct mjpeg_client *client = user;
    SoupMessageBody *body = soup_server_message_get_response_body(client->msg);
    gchar *head;
    retire_delivered(client);
    if (client->in_flight >= MJPEG_CLIENT_QUEUE) {
        viewers_count_drop(client->camera);
        return;
    }
    if (client->in_flight == 0) client->last_progress = g_get_monotonic_time();
    head = g_strdup_printf("--" BOUNDARY "\r\nContent-Type: image/jpeg\r\nContent-Length: %" G_GSIZE_FORMAT "\r\n\r\n",
                           g_bytes_get_size(jpeg));
    client->appended += strlen(head) + g_bytes_get_size(jpeg) + 2;
    client->frame_ends[client->in_flight++] = client->appended;
    soup_message_body_append_take(body, (guchar *)head, strlen(head));
    soup_message_body_append_bytes(body, jpeg);
    soup_message_body_append(body, SOUP_MEMORY_STATIC, "\r\n", 2);
    soup_server_message_unpause(client->msg);
}

static void on_wrote_body_data(SoupServerMessage *msg, guint size, gpointer data) {
    struct mjpeg_client *client = data;
    (void)msg;
    client->written += size;
    client->last_progress = g_get_monotonic_time();
    retire_delivered(client);
}

static void on_finished(SoupServerMessage *msg, gpointer data) {
    struct mjpeg_client *client = data;
    if (client->finished) return;
    client->finished = 1;
    g_signal_handlers_disconnect_by_data(msg, client);
    feed_unwatch_jpeg(client->feed, &client->watcher);
    feed_release(client->feed, FEED_JPEG);
    viewers_watch(client->camera, VIEWER_MJPEG, -1);
    viewers_leave();
    clients = g_list_remove(clients, client);
    g_object_unref(client->msg);
    g_free(client);
}

void mjpeg_client_start(SoupServerMessage *msg, struct feed *feed) {
    struct mjpeg_client *client = g_new0(struct mjpeg_client, 1);
    SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
    client->msg = g_object_ref(msg);
    client->feed = feed;
    client->camera = feed_camera(feed);
    client->watcher.on_jpeg = on_jpeg;
    client->watcher.user = client;
    client->last_progress = g_get_monotonic_time();
    soup_server_message_set_status(msg, SOUP_STATUS_OK, NULL);
    soup_message_headers_set_content_type(headers, "multipart/x-mixed-replace;boundary=" BOUNDARY, NULL);
    /* The stream ends with the connection, as MJPEG clients expect: no
     * chunked framing between the parts. */
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_EOF);
    soup_message_headers_replace(headers, "Cache-Control", "no-cache, no-store");
    soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
    g_signal_connect(msg, "wrote-body-data", G_CALLBACK(on_wrote_body_data), client);
    g_signal_connect(msg, "finished", G_CALLBACK(on_finished), client);
    clients = g_list_prepend(clients, client);
    viewers_watch(client->camera, VIEWER_MJPEG, +1);
    feed_watch_jpeg(feed, &client->watcher);
    feed_acquire(feed, FEED_JPEG);
}

/* The connection is shut down, and the stream ended: libsoup notices a shut
 * connection only when it writes, and a viewer whose frames all sit in the
 * kernel has nothing left to write. */
static void disconnect(struct mjpeg_client *client) {
    GSocket *socket = soup_server_message_get_socket(client->msg);
    if (client->disconnected) return;
    client->disconnected = 1;
    if (socket != NULL) g_socket_shutdown(socket, TRUE, TRUE, NULL);
    soup_message_body_complete(soup_server_message_get_response_body(client->msg));
    soup_server_message_unpause(client->msg);
}

void mjpeg_clients_check_stalls(void) {
    const gint64 now = g_get_monotonic_time();
    GList *l;
    for (l = clients; l != NULL; l = l->next) {
        struct mjpeg_client *client = l->data;
        retire_delivered(client);
        if (client->in_flight > 0 && now - client->last_progress > MJPEG_CLIENT_STALL_US) disconnect(client);
    }
}

void mjpeg_clients_end_all(void) {
    GList *l;
    for (l = clients; l != NULL; l = l->next) disconnect(l->data);
}
