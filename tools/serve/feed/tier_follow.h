/*
 * A viewer's tier decision (tier_controller.h) carried out on its sink, for
 * every protocol whose viewers adapt (WebRTC, MSE): the viewer counted on
 * its tier, its sink moved at that tier's next key frame, and its wish for
 * the low tier's bit rate set.
 *
 * Threads: the main loop.
 */
#ifndef SERVE_TIER_FOLLOW_H
#define SERVE_TIER_FOLLOW_H

#include "feed.h"
#include "tier_controller.h"
#include "viewers.h"

/* Carries out `decision` for `sink`, a viewer over `protocol` that was on
 * `before`. */
void tier_follow(struct feed *feed, GstAppSrc *sink, enum viewer_protocol protocol, enum tier before,
                 const struct tier_decision *decision);

/* The tier `sink` is sent now (a move waits for a key frame of the other),
 * and in `fps` that tier's frame rate. */
enum tier tier_followed(struct feed *feed, GstAppSrc *sink, int *fps);

#endif
