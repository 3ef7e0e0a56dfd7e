/*
 * A response body made of slices of files already mapped (and of a few bytes
 * made for it), sent without copying, whole or by a Range request: a
 * <video> element seeks by asking for ranges of what it plays.
 *
 * libsoup answers a Range itself only by flattening the whole body into one
 * buffer, which for a segment of minutes is a copy of a hundred megabytes
 * at every seek; a ranged body answers with slices instead.
 *
 * Threads: the main loop.
 */
#ifndef SERVE_RANGED_BODY_H
#define SERVE_RANGED_BODY_H

#include <stdint.h>

#include <glib.h>
#include <libsoup/soup.h>

struct ranged_body;

struct ranged_body *ranged_body_new(void);
void ranged_body_free(struct ranged_body *body);

/* Appends `size` bytes of `whole` from `offset` (which must lie within it);
 * the body holds a reference to `whole`. A slice that continues the one
 * before it in the same bytes extends it. */
void ranged_body_append(struct ranged_body *body, GBytes *whole, gsize offset, gsize size);
uint64_t ranged_body_size(const struct ranged_body *body);

/* Answers `msg` with the body as `content_type`: 200 with all of it, 206
 * with the one range asked for, or 416 for a range past its end. Several
 * ranges in one request get all of it, as HTTP allows. */
void ranged_body_respond(const struct ranged_body *body, SoupServerMessage *msg, const char *content_type);

#endif
