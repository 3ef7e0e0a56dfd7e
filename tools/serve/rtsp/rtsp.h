/*
 * RTSP: rtsp://ADDR:PORT/cam<N> carries camera N's H.264 over UDP or TCP
 * (RTSPS with a certificate). Each mount is shared: one media per camera,
 * fed from the camera's one encoder, for every client.
 */
#ifndef SERVE_RTSP_H
#define SERVE_RTSP_H

#include <gio/gio.h>

#include "credentials.h"
#include "feed/feed.h"

struct rtsp_config {
    const char *address;
    int port;                         /* 0: any free port */
    const struct credentials *creds;  /* NULL: no authentication */
    GTlsCertificate *certificate;     /* NULL: plain RTSP */
    struct feed *feeds[2];            /* by camera id; NULL where not served */
};

struct rtsp_service;

/* Listens on the default main context. NULL with `error` set when it cannot. */
struct rtsp_service *rtsp_service_start(const struct rtsp_config *config, GError **error);
int rtsp_service_port(const struct rtsp_service *service);
/* Disconnects every client, lets go of the cameras and stops listening. */
void rtsp_service_stop(struct rtsp_service *service);

#endif
