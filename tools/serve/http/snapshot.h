/*
 * /cam<N>.jpg: the newest frame as one JPEG. When the camera is streaming
 * JPEG already, that frame is sent at once; otherwise the camera is opened
 * for the snapshot, and lingers as for any client.
 */
#ifndef SERVE_SNAPSHOT_H
#define SERVE_SNAPSHOT_H

#include <libsoup/soup.h>

#include "feed/feed.h"

/* Seconds a snapshot waits for its frame before answering 503. */
#define SNAPSHOT_TIMEOUT_S 5

/* Answers `msg`; the caller has admitted it (viewers_admit()) and it is let
 * go when answered. */
void snapshot_start(SoupServerMessage *msg, struct feed *feed);

/* Answers every waiting snapshot with 503 (at shutdown). */
void snapshots_end_all(void);

#endif
