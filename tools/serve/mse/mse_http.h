/*
 * Each camera's fMP4 stream at /cam<N>/mse, a WebSocket (mse_session.h).
 * Only pages of the server's own origin may open one: a request whose
 * Origin names another host gets 403. A viewer takes a place among the
 * clients; past the limit the socket is closed at once with 1013 ("try
 * again later").
 *
 * Threads: the main loop.
 */
#ifndef SERVE_MSE_HTTP_H
#define SERVE_MSE_HTTP_H

#include "feed/feed.h"
#include "http/http.h"

struct mse_service;

struct mse_service *mse_service_new(struct feed *const feeds[2]);
/* The route that adds the WebSocket handlers; its end closes every viewer. */
struct http_route mse_route(struct mse_service *service);
/* In /api/status, per camera, "mse": {"queued_bytes"}: what its MSE viewers
 * hold in the server and on the way; in /metrics,
 * boardcam_mse_queued_bytes. */
struct status_source mse_status_source(struct mse_service *service);
/* Closes every viewer; no new one is taken. NULL is ignored. */
void mse_service_stop(struct mse_service *service);
/* Closes every viewer left and frees the service, after the HTTP service
 * has stopped. NULL is ignored. */
void mse_service_free(struct mse_service *service);

#endif
