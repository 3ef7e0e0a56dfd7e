#include "http.h"

#include <string.h>

#include "feed/viewers.h"
#include "mjpeg_client.h"
#include "page.h"
#include "port_sockets.h"
#include "snapshot.h"

struct http_service {
    SoupServer *server;
    struct http_config config;
    guint stall_timer;
};

static void respond_text(SoupServerMessage *msg, guint status, const char *type, gchar *text) {
    soup_server_message_set_status(msg, status, NULL);
    soup_server_message_set_response(msg, type, SOUP_MEMORY_TAKE, text, strlen(text));
}

int http_camera_of_path(const char *path, const char *suffix) {
    if (strncmp(path, "/cam", 4) != 0 || (path[4] != '0' && path[4] != '1')) return -1;
    return strcmp(path + 5, suffix) == 0 ? path[4] - '0' : -1;
}

static void handle(SoupServer *server, SoupServerMessage *msg, const char *path, GHashTable *query,
                   gpointer data) {
    struct http_service *service = data;
    const char *method = soup_server_message_get_method(msg);
    const int is_get = strcmp(method, "GET") == 0, is_head = strcmp(method, "HEAD") == 0;
    const struct embedded_file *file;
    int camera, i;
    (void)server;
    /* One request per connection: an idle keep-alive connection whose client
     * has gone is otherwise never noticed, and would hold its descriptor. */
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection", "close");
    for (i = 0; i < service->config.route_count; ++i) {
        const struct http_route *route = &service->config.routes[i];
        if (route->any_method && route->handle(msg, path, query, route->data)) return;
    }
    if (!is_get && !is_head) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "GET, HEAD");
        respond_text(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "text/plain", g_strdup("only GET and HEAD\n"));
        return;
    }
    for (i = 0; i < service->config.route_count; ++i) {
        const struct http_route *route = &service->config.routes[i];
        if (!route->any_method && route->handle(msg, path, query, route->data)) return;
    }
    if ((file = page_file(path)) != NULL) {
        /* A newer program may bring newer modules: the browser asks again. */
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "no-cache");
        soup_server_message_set_status(msg, SOUP_STATUS_OK, NULL);
        soup_server_message_set_response(msg, file->type, SOUP_MEMORY_STATIC, file->data, file->size);
    } else if (strcmp(path, "/api/status") == 0) {
        respond_text(msg, SOUP_STATUS_OK, "application/json", status_json(service->config.feeds, service->config.status_sources,
                                                                          service->config.status_source_count,
                                                                          service->config.started));
    } else if (strcmp(path, "/metrics") == 0) {
        respond_text(msg, SOUP_STATUS_OK, "text/plain; version=0.0.4; charset=utf-8",
                     status_metrics(service->config.feeds, service->config.status_sources,
                                    service->config.status_source_count));
    } else if (((camera = http_camera_of_path(path, ".mjpg")) >= 0 || (camera = http_camera_of_path(path, ".jpg")) >= 0) &&
               service->config.feeds[camera] != NULL) {
        const int stream = g_str_has_suffix(path, ".mjpg");
        if (is_head) {
            soup_server_message_set_status(msg, SOUP_STATUS_OK, NULL);
        } else if (viewers_admit() != 0) {
            respond_text(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "text/plain",
                         g_strdup("too many clients; try again later\n"));
        } else if (stream) {
            mjpeg_client_start(msg, service->config.feeds[camera]);
        } else {
            snapshot_start(msg, service->config.feeds[camera]);
        }
    } else {
        respond_text(msg, SOUP_STATUS_NOT_FOUND, "text/plain", g_strdup("not found\n"));
    }
}

static gboolean check_password(SoupAuthDomain *domain, SoupServerMessage *msg, const char *user,
                               const char *password, gpointer data) {
    (void)domain;
    (void)msg;
    return credentials_check(data, user, password);
}

/* A connection that sends nothing, or takes nothing, for this long is
 * closed: idle keep-alive connections and clients that never finish their
 * request do not pile up. */
#define HTTP_IDLE_TIMEOUT_S 15

static void on_got_headers(SoupServerMessage *msg, gpointer data) {
    struct http_service *service = data;
    const char *path = g_uri_get_path(soup_server_message_get_uri(msg));
    int i;
    for (i = 0; i < service->config.route_count; ++i) {
        const struct http_route *route = &service->config.routes[i];
        if (route->check_headers != NULL) route->check_headers(msg, path, route->data);
    }
}

static void on_request_started(SoupServer *server, SoupServerMessage *msg, gpointer data) {
    GSocket *socket = soup_server_message_get_socket(msg);
    (void)server;
    if (socket != NULL) g_socket_set_timeout(socket, HTTP_IDLE_TIMEOUT_S);
    g_signal_connect(msg, "got-headers", G_CALLBACK(on_got_headers), data);
}

static gboolean check_stalls(gpointer data) {
    (void)data;
    mjpeg_clients_check_stalls();
    return G_SOURCE_CONTINUE;
}

struct http_service *http_service_start(const struct http_config *config, GError **error) {
    struct http_service *service = g_new0(struct http_service, 1);
    GInetAddress *inet = g_inet_address_new_from_string(config->address);
    GSocketAddress *address;
    gboolean listening;
    int i;
    service->config = *config;
    service->server = config->certificate != NULL
                          ? soup_server_new("server-header", "boardcam-serve ", "tls-certificate",
                                            config->certificate, NULL)
                          : soup_server_new("server-header", "boardcam-serve ", NULL);
    soup_server_add_handler(service->server, NULL, handle, service, NULL);
    for (i = 0; i < config->route_count; ++i)
        if (config->routes[i].attach != NULL) config->routes[i].attach(service->server, config->routes[i].data);
    g_signal_connect(service->server, "request-started", G_CALLBACK(on_request_started), service);
    if (config->creds != NULL) {
        SoupAuthDomain *domain = soup_auth_domain_basic_new("realm", "boardcam", NULL);
        soup_auth_domain_basic_set_auth_callback(domain, check_password, (gpointer)config->creds, NULL);
        soup_auth_domain_add_path(domain, "/");
        soup_server_add_auth_domain(service->server, domain);
        g_object_unref(domain);
    }
    if (inet == NULL) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "not an address: %s", config->address);
        g_object_unref(service->server);
        g_free(service);
        return NULL;
    }
    address = g_inet_socket_address_new(inet, (guint16)config->port);
    g_object_unref(inet);
    listening = soup_server_listen(service->server, address,
                                   config->certificate != NULL ? SOUP_SERVER_LISTEN_HTTPS : 0, error);
    g_object_unref(address);
    if (!listening) {
        g_object_unref(service->server);
        g_free(service);
        return NULL;
    }
    service->stall_timer = g_timeout_add_seconds(1, check_stalls, NULL);
    return service;
}

int http_service_port(const struct http_service *service) {
    GSList *uris = soup_server_get_uris(service->server);
    const int port = uris != NULL ? g_uri_get_port(uris->data) : -1;
    g_slist_free_full(uris, (GDestroyNotify)g_uri_unref);
    return port;
}

void http_service_stop(struct http_service *service) {
    int i;
    if (service == NULL) return;
    g_source_remove(service->stall_timer);
    snapshots_end_all();
    mjpeg_clients_end_all();
    /* libsoup closes its connections at disconnect, and a TLS connection
     * waits for its handshake: one whose client never sent a byte would
     * hold the stop for the idle timeout. Shut down, every one ends now. */
    port_sockets_shut_down(http_service_port(service));
    soup_server_disconnect(service->server);
    g_object_unref(service->server);
    for (i = 0; i < service->config.route_count; ++i) {
        const struct http_route *route = &service->config.routes[i];
        if (route->end != NULL) route->end(route->data);
    }
    g_free(service);
}
