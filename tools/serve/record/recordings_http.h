/*
 * The recordings over HTTP:
 *   GET /api/recordings?camera=N&start=T&end=T   the segments, as JSON
 *   GET /recordings/cam<N>/YYYY-MM-DD/HH-MM-SS.mp4   one segment, by range
 *   GET /api/export?camera=N&start=T&duration=S  a span as one MP4
 * Times are RFC 3339; a time without an offset is UTC. Only names of the
 * segments' own form are served, so no path from a request leaves DIR.
 *
 * Threads: the main loop.
 */
#ifndef SERVE_RECORDINGS_HTTP_H
#define SERVE_RECORDINGS_HTTP_H

#include "http/http.h"

/* The HTTP route of the paths above, GET and HEAD; `dir` (NULL: nothing is
 * recorded, and they get 404) must outlive the HTTP service. What the
 * listing keeps between requests is freed when the service stops. */
struct http_route recordings_http_route(const char *dir);

#endif
