/*
 * The RTSP server's client threads, made known to us: each client is served
 * on one of gst-rtsp-server's pool threads, and a client may only be closed
 * there. A connection closed from another thread races its own watch, which
 * then spins in GIO for ever (seen with TLS clients at stop).
 *
 * The pool below is gst-rtsp-server's own, remembering for each client the
 * context of the thread that serves it.
 */
#ifndef SERVE_RTSP_CLIENT_THREADS_H
#define SERVE_RTSP_CLIENT_THREADS_H

#include <gst/rtsp-server/rtsp-server.h>

/* A thread pool for gst_rtsp_server_set_thread_pool(); the caller owns it. */
GstRTSPThreadPool *rtsp_client_threads_new(void);

/* Closes `client` on the thread that serves it; returns at once. A client
 * the pool never saw (served on the main loop) is closed here. Any thread. */
void rtsp_client_close_on_its_thread(GstRTSPClient *client);

#endif
