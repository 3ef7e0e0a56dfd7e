/*
 * What a WHEP viewer's SDP offer asks for, checked before any of it reaches
 * webrtcbin: a bounded offer that parses, with ICE credentials and a DTLS
 * fingerprint, whose video takes H.264 in packetization mode 1.
 */
#ifndef SERVE_WHEP_OFFER_H
#define SERVE_WHEP_OFFER_H

#include <stddef.h>

#include <gst/sdp/sdp.h>

/* Offers longer than this are refused before they are parsed. */
#define WHEP_OFFER_MAX_BYTES (64 * 1024)
/* Candidates in an offer beyond this many are refused: a browser's host,
 * reflexive and relay candidates come to a few dozen at most. */
#define WHEP_OFFER_MAX_CANDIDATES 64

/* Parses `text` (`length` bytes, not necessarily terminated). On success
 * returns the offer, the caller's to free (gst_sdp_message_free), with
 * `payload_type` set to the H.264 entry to answer: the first of mode 1 with
 * a constrained baseline profile, else baseline, else any of mode 1. On
 * failure returns NULL with `why` set to a sentence for the client. */
GstSDPMessage *whep_offer_parse(const char *text, size_t length, int *payload_type, const char **why);

#define WHEP_TWCC_URI "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01"

/* The id the offer's video gives the transport-wide congestion-control
 * header extension (1..14), or 0 when it offers none. */
int whep_offer_twcc_id(const GstSDPMessage *offer);

#endif
