/*
 * --publish: each camera's H.264 pushed to a media server (RECORD) at
 * URL/cam<N>, for viewers the board should not serve itself. A publisher
 * keeps its camera open, and tries again every few seconds when the server
 * cannot be reached or drops it.
 */
#ifndef SERVE_PUBLISH_H
#define SERVE_PUBLISH_H

#include "feed/feed.h"

struct publisher;

/* Starts pushing `feed` to `base_url`/cam<N>. NULL with `error` set when
 * the pipeline cannot be built (rtspclientsink missing). */
struct publisher *publisher_start(struct feed *feed, const char *base_url, GError **error);
void publisher_stop(struct publisher *publisher);

#endif
