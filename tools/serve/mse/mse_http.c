#include "mse_http.h"

#include <stdio.h>
#include <string.h>

#include "feed/viewers.h"
#include "mse_session.h"

/* "Try again later" (RFC 6455's registry): the server is at its limit. */
#define CLOSE_TRY_AGAIN_LATER 1013

struct mse_service {
    struct feed *feeds[2];
    GList *sessions;
    int stopping;
};

static void on_ended(struct mse_session *session, const char *why, void *user) {
    struct mse_service *service = user;
    g_debug("mse viewer of camera %d ended: %s", mse_session_camera(session), why);
    service->sessions = g_list_remove(service->sessions, session);
    mse_session_free(session);
    viewers_leave();
}

static void on_websocket(SoupServer *server, SoupServerMessage *msg, const char *path,
                         SoupWebsocketConnection *connection, gpointer data) {
    struct mse_service *service = data;
    const int camera = http_camera_of_path(path, "/mse");
    struct mse_session *session;
    GError *error = NULL;
    (void)server;
    if (camera < 0 || service->feeds[camera] == NULL || service->stopping) {
        soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "no such camera");
        return;
    }
    if (viewers_admit() != 0) {
        soup_websocket_connection_close(connection, CLOSE_TRY_AGAIN_LATER,
                                        "too many clients; try again later");
        return;
    }
    session = mse_session_new(service->feeds[camera], connection, soup_server_message_get_socket(msg), on_ended,
                              service, &error);
    if (session == NULL) {
        fprintf(stderr, "boardcam-serve: MSE: %s\n", error->message);
        g_error_free(error);
        soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_SERVER_ERROR, "cannot stream");
        viewers_leave();
        return;
    }
    service->sessions = g_list_prepend(service->sessions, session);
}

/* The host and port an Origin header names: "http://host:port" -> "host:port". */
static const char *origin_authority(const char *origin) {
    const char *scheme_end = strstr(origin, "://");
    return scheme_end != NULL ? scheme_end + 3 : origin;
}

/* Browsers open WebSockets to any site a page names: only pages of this
 * server's own origin may take its cameras. */
static void check_origin(SoupServer *server, SoupServerMessage *msg, const char *path, GHashTable *query,
                         gpointer data) {
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(msg);
    const char *origin = soup_message_headers_get_one(headers, "Origin");
    const char *host = soup_message_headers_get_one(headers, "Host");
    (void)server;
    (void)path;
    (void)query;
    (void)data;
    if (origin == NULL) return; /* not a browser's */
    if (host == NULL || g_ascii_strcasecmp(origin_authority(origin), host) != 0) {
        static const char text[] = "WebSockets only from this server's own pages\n";
        soup_server_message_set_status(msg, SOUP_STATUS_FORBIDDEN, NULL);
        soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_STATIC, text, sizeof text - 1);
    }
}

static void attach(SoupServer *server, void *data) {
    struct mse_service *service = data;
    int camera;
    for (camera = 0; camera < 2; ++camera) {
        gchar *path;
        if (service->feeds[camera] == NULL) continue;
        path = g_strdup_printf("/cam%d/mse", camera);
        soup_server_add_early_handler(server, path, check_origin, service, NULL);
        soup_server_add_websocket_handler(server, path, NULL, NULL, on_websocket, service, NULL);
        g_free(path);
    }
}

static int handle(SoupServerMessage *msg, const char *path, GHashTable *query, void *data) {
    (void)msg;
    (void)path;
    (void)query;
    (void)data;
    return 0;
}

static void end_all(void *data) {
    struct mse_service *service = data;
    service->stopping = 1;
    while (service->sessions != NULL) {
        struct mse_session *session = service->sessions->data;
        service->sessions = g_list_delete_link(service->sessions, service->sessions);
        mse_session_free(session);
        viewers_leave();
    }
}

struct http_route mse_route(struct mse_service *service) {
    struct http_route route = {handle, NULL, 0, end_all, service, attach};
    return route;
}

struct mse_service *mse_service_new(struct feed *const feeds[2]) {
    struct mse_service *service = g_new0(struct mse_service, 1);
    service->feeds[0] = feeds[0];
    service->feeds[1] = feeds[1];
    return service;
}

static guint64 queued_bytes(const struct mse_service *service, int camera) {
    guint64 bytes = 0;
    const GList *link;
    for (link = service->sessions; link != NULL; link = link->next)
        if (mse_session_camera(link->data) == camera) bytes += mse_session_queued_bytes(link->data);
    return bytes;
}

static void camera_json(JsonBuilder *builder, int camera, void *data) {
    json_builder_set_member_name(builder, "mse");
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "queued_bytes");
    json_builder_add_int_value(builder, (gint64)queued_bytes(data, camera));
    json_builder_end_object(builder);
}

static void metrics(GString *out, void *data) {
    const struct mse_service *service = data;
    int camera;
    g_string_append(out, "# HELP boardcam_mse_queued_bytes What MSE viewers hold in the server and on the way.\n"
                         "# TYPE boardcam_mse_queued_bytes gauge\n");
    for (camera = 0; camera < 2; ++camera)
        if (service->feeds[camera] != NULL)
            g_string_append_printf(out, "boardcam_mse_queued_bytes{camera=\"%d\"} %" G_GUINT64_FORMAT "\n", camera,
                                   queued_bytes(service, camera));
}

struct status_source mse_status_source(struct mse_service *service) {
    struct status_source source = {camera_json, NULL, metrics, service};
    return source;
}

void mse_service_stop(struct mse_service *service) {
    if (service != NULL) end_all(service);
}

void mse_service_free(struct mse_service *service) {
    if (service == NULL) return;
    end_all(service);
    g_free(service);
}
