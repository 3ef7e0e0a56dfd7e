/*
 * A WebRTC viewer over ICE-TCP (its network lets no UDP through) is sent
 * through a TCP connection, whose kernel buffer would otherwise hold seconds
 * of video on a slow link: the picture would lag further and further behind.
 * The connection is told to keep at most TCP_SEND_BOUND_BYTES unsent
 * (TCP_NOTSENT_LOWAT); what the ICE agent cannot hand it waits in the agent's
 * own short queue, which drops rather than grows, and the viewer's losses
 * move it to a tier its link carries.
 *
 * The connection is the one the viewer made to one of the session's passive
 * TCP candidates: the process's TCP sockets on those local ports, found among
 * its descriptors (the ICE agent does not hand out its TCP sockets).
 */
#ifndef SERVE_TCP_SEND_BOUND_H
#define SERVE_TCP_SEND_BOUND_H

#define TCP_SEND_BOUND_BYTES (16 * 1024)

#define TCP_SEND_BOUND_PORTS 8

/* The ports of an SDP's passive TCP candidates (one per address), at most
 * `max` into `ports`; returns how many. */
int tcp_send_bound_ports(const char *sdp, int *ports, int max);

/* Bounds the process's TCP sockets on those local ports, listening and
 * connected, that are not bounded yet. Returns how many connections there are
 * on them (0: the viewer uses UDP, or has not connected yet). */
int tcp_send_bound_apply(const int *ports, int count);

#endif
