/*
 * WHEP on the HTTP port: a viewer POSTs its SDP offer to /cam<N>/whep and is
 * answered 201 with the SDP answer and a Location, /cam<N>/whep/<id>, that
 * DELETE ends. Viewers count against --max-clients with every other client.
 *
 * Main loop only.
 */
#ifndef SERVE_WHEP_H
#define SERVE_WHEP_H

#include <libsoup/soup.h>

#include "feed/feed.h"
#include "http/http.h"
#include "webrtc_session.h"

struct whep_service;

/* `feeds` by camera id, NULL where not served; `config` is copied, its
 * strings must outlive the service. */
struct whep_service *whep_service_new(struct feed *const feeds[2], const struct webrtc_config *config);
/* Ends every session, and refuses new offers with 503; offers still being
 * answered get 503. NULL is ignored. */
void whep_service_stop(struct whep_service *service);
/* Frees the service, after the HTTP server is gone. NULL is ignored. */
void whep_service_free(struct whep_service *service);

/* The HTTP route of /cam<N>/whep and its sessions, every method. An offer
 * too long to read is refused at its headers, before its body is read. A
 * path of WHEP's form for a camera not served gets 404. */
struct http_route whep_route(struct whep_service *service);

/* Sessions being answered or playing. */
unsigned whep_sessions(const struct whep_service *service);

#endif
