/*
 * HTTP: the page at /, /api/status, /metrics, each camera's MJPEG at
 * /cam<N>.mjpg and snapshot at /cam<N>.jpg, and whatever the other parts of
 * the program add as routes (WHEP, the recordings). HTTPS with a
 * certificate; basic authentication with credentials, over every route.
 */
#ifndef SERVE_HTTP_H
#define SERVE_HTTP_H

#include <gio/gio.h>
#include <libsoup/soup.h>

#include "credentials.h"
#include "feed/feed.h"
#include "http/status.h"

/* A part of the program that answers some paths on the HTTP port. Routes are
 * tried in order, before the service's own paths. Main loop only. */
struct http_route {
    /* Answers `msg` and returns 1 when `path` is the route's; else 0.
     * `query` may be NULL. */
    int (*handle)(SoupServerMessage *msg, const char *path, GHashTable *query, void *data);
    /* When a request's headers have come, before its body is read: may
     * answer it at once (a body too long to read). NULL: nothing to check. */
    void (*check_headers)(SoupServerMessage *msg, const char *path, void *data);
    /* Sees every method; otherwise only GET and HEAD reach it, and other
     * methods get 405. */
    int any_method;
    /* When the service stops, after its last request. NULL: nothing. */
    void (*end)(void *data);
    void *data;
    /* When the service starts: may add handlers of its own to `server`
     * (WebSocket ones). NULL: nothing. */
    void (*attach)(SoupServer *server, void *data);
};

#define HTTP_MAX_ROUTES 5

struct http_config {
    const char *address;
    int port;                         /* 0: any free port */
    const struct credentials *creds;  /* NULL: no authentication */
    GTlsCertificate *certificate;     /* NULL: plain HTTP */
    struct feed *feeds[2];            /* by camera id; NULL where not served */
    gint64 started;                   /* g_get_monotonic_time() at start-up */
    struct http_route routes[HTTP_MAX_ROUTES];
    int route_count;
    struct status_source status_sources[STATUS_MAX_SOURCES]; /* what status and metrics add */
    int status_source_count;
};

struct http_service;

/* The camera a path names with `suffix` after it: "/cam0.mjpg" with ".mjpg"
 * is 0, "/cam1/mse" with "/mse" is 1; -1 for any other path. */
int http_camera_of_path(const char *path, const char *suffix);

/* Listens on the default main context. NULL with `error` set when it cannot. */
struct http_service *http_service_start(const struct http_config *config, GError **error);
int http_service_port(const struct http_service *service);
/* Ends every stream and stops listening. */
void http_service_stop(struct http_service *service);

#endif
