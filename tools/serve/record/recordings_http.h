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

#include <glib.h>
#include <libsoup/soup.h>

/* Answers `msg` when `path` is one of the routes above and returns 1; else
 * 0. `dir` NULL (nothing recorded) answers them with 404. */
int recordings_http_handle(const char *dir, SoupServerMessage *msg, const char *path, GHashTable *query);

/* Frees what the listing keeps between requests. */
void recordings_http_end(void);

#endif
