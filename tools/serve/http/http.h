/*
 * HTTP: the page at /, /api/status, /metrics, each camera's MJPEG at
 * /cam<N>.mjpg, snapshot at /cam<N>.jpg, WHEP at /cam<N>/whep and the
 * recordings (recordings_http.h). HTTPS
 * with a certificate; basic authentication with credentials.
 */
#ifndef SERVE_HTTP_H
#define SERVE_HTTP_H

#include <gio/gio.h>

#include "credentials.h"
#include "feed.h"
#include "whep.h"

struct http_config {
    const char *address;
    int port;                         /* 0: any free port */
    const struct credentials *creds;  /* NULL: no authentication */
    GTlsCertificate *certificate;     /* NULL: plain HTTP */
    struct feed *feeds[2];            /* by camera id; NULL where not served */
    gint64 started;                   /* g_get_monotonic_time() at start-up */
    struct whep_service *whep;        /* WebRTC viewers' offers; NULL: none */
    struct recordings *recordings;    /* NULL: nothing is recorded */
};

struct http_service;

/* Listens on the default main context. NULL with `error` set when it cannot. */
struct http_service *http_service_start(const struct http_config *config, GError **error);
int http_service_port(const struct http_service *service);
/* Ends every stream and stops listening. */
void http_service_stop(struct http_service *service);

#endif
