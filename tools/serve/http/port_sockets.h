/*
 * Shutting down every TCP connection of the process on one local port, for
 * the stop. Some connections are out of our reach: libsoup keeps those it
 * accepted to itself, and one whose TLS handshake is under way blocks its
 * close until the handshake ends, for as long as the client sends nothing.
 * Shut down, each such read ends at once and its owner finishes by itself.
 *
 * Only shutdown(2): no descriptor is closed, so none is freed under its
 * owner. Linux only (/proc/self/fd); elsewhere it does nothing.
 */
#ifndef SERVE_PORT_SOCKETS_H
#define SERVE_PORT_SOCKETS_H

/* Shuts down, both ways, every TCP socket of the process bound to local
 * `port`, listening or connected; returns how many. */
int port_sockets_shut_down(int port);

#endif
