#include "whep.h"

#include <stdio.h>
#include <string.h>

#include "feed/viewers.h"
#include "whep_offer.h"

#define PROGRAM "boardcam-serve"

struct whep_service {
    struct feed *feeds[2];
    struct webrtc_config config;
    GList *viewers;
    int stopping;
};

struct whep_viewer {
    struct whep_service *service;
    struct webrtc_session *session;
    SoupServerMessage *pending; /* the POST, until it is answered */
    int camera;
};

static void respond_text(SoupServerMessage *msg, guint status, const char *text) {
    soup_server_message_set_status(msg, status, NULL);
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_COPY, text, strlen(text));
}

static void allow(SoupServerMessage *msg, const char *methods) {
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", methods);
    respond_text(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "method not allowed here\n");
}

static void on_post_finished(SoupServerMessage *msg, gpointer data);

static void forget_post(struct whep_viewer *viewer) {
    if (viewer->pending == NULL) return;
    g_signal_handlers_disconnect_by_func(viewer->pending, on_post_finished, viewer);
    g_object_unref(viewer->pending);
    viewer->pending = NULL;
}

static void end_viewer(struct whep_viewer *viewer) {
    struct whep_service *service = viewer->service;
    service->viewers = g_list_remove(service->viewers, viewer);
    forget_post(viewer);
    webrtc_session_free(viewer->session);
    viewers_leave();
    g_free(viewer);
}

/* The client went away before its answer: nobody will play the session. */
static void on_post_finished(SoupServerMessage *msg, gpointer data) {
    (void)msg;
    end_viewer(data);
}

static void on_answer(struct webrtc_session *session, const char *answer, const char *error, int busy,
                      void *user) {
    struct whep_viewer *viewer = user;
    SoupServerMessage *msg = viewer->pending;
    (void)session;
    if (msg == NULL) return;
    g_object_ref(msg);
    forget_post(viewer);
    if (answer != NULL) {
        SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
        gchar *location = g_strdup_printf("/cam%d/whep/%s", viewer->camera, webrtc_session_id(viewer->session));
        soup_message_headers_replace(headers, "Location", location);
        soup_message_headers_replace(headers, "Cache-Control", "no-store");
        soup_server_message_set_status(msg, SOUP_STATUS_CREATED, NULL);
        soup_server_message_set_response(msg, "application/sdp", SOUP_MEMORY_COPY, answer, strlen(answer));
        g_free(location);
    } else {
        gchar *text = g_strdup_printf("%s\n", error);
        respond_text(msg, busy ? SOUP_STATUS_SERVICE_UNAVAILABLE : SOUP_STATUS_BAD_REQUEST, text);
        g_free(text);
        end_viewer(viewer);
    }
    soup_server_message_unpause(msg);
    g_object_unref(msg);
}

static void on_ended(struct webrtc_session *session, const char *why, void *user) {
    struct whep_viewer *viewer = user;
    fprintf(stderr, PROGRAM ": camera %d: WebRTC viewer %.8s gone: %s\n", viewer->camera,
            webrtc_session_id(session), why);
    if (viewer->pending != NULL) {
        respond_text(viewer->pending, SOUP_STATUS_BAD_REQUEST, "the offer could not be answered\n");
        soup_server_message_unpause(viewer->pending);
    }
    end_viewer(viewer);
}

static int is_sdp(SoupServerMessage *msg) {
    const char *type = soup_message_headers_get_content_type(soup_server_message_get_request_headers(msg), NULL);
    return type != NULL && g_ascii_strcasecmp(type, "application/sdp") == 0;
}

static void offer(struct whep_service *service, SoupServerMessage *msg, int camera) {
    SoupMessageBody *body = soup_server_message_get_request_body(msg);
    GBytes *bytes;
    GstSDPMessage *sdp;
    const char *why = NULL;
    int payload_type = -1;
    struct whep_viewer *viewer;
    struct webrtc_callbacks callbacks = {on_answer, on_ended, NULL};
    GError *error = NULL;
    if (!is_sdp(msg)) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Accept-Post",
                                     "application/sdp");
        respond_text(msg, SOUP_STATUS_UNSUPPORTED_MEDIA_TYPE, "an offer is application/sdp\n");
        return;
    }
    bytes = soup_message_body_flatten(body);
    sdp = whep_offer_parse(g_bytes_get_data(bytes, NULL), g_bytes_get_size(bytes), &payload_type, &why);
    g_bytes_unref(bytes);
    if (sdp == NULL) {
        gchar *text = g_strdup_printf("%s\n", why);
        respond_text(msg, SOUP_STATUS_BAD_REQUEST, text);
        g_free(text);
        return;
    }
    if (service->stopping || viewers_admit() != 0) {
        gst_sdp_message_free(sdp);
        respond_text(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "too many clients; try again later\n");
        return;
    }
    viewer = g_new0(struct whep_viewer, 1);
    viewer->service = service;
    viewer->camera = camera;
    callbacks.user = viewer;
    viewer->session = webrtc_session_new(service->feeds[camera], &service->config, sdp, payload_type, &callbacks,
                                         &error);
    if (viewer->session == NULL) {
        gchar *text = g_strdup_printf("WebRTC is not available: %s\n", error->message);
        fprintf(stderr, PROGRAM ": %s", text);
        respond_text(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, text);
        g_free(text);
        g_error_free(error);
        viewers_leave();
        g_free(viewer);
        return;
    }
    viewer->pending = g_object_ref(msg);
    g_signal_connect(msg, "finished", G_CALLBACK(on_post_finished), viewer);
    service->viewers = g_list_prepend(service->viewers, viewer);
    soup_server_message_pause(msg);
}

static struct whep_viewer *find(struct whep_service *service, int camera, const char *id) {
    GList *l;
    for (l = service->viewers; l != NULL; l = l->next) {
        struct whep_viewer *viewer = l->data;
        if (viewer->camera == camera && strcmp(webrtc_session_id(viewer->session), id) == 0) return viewer;
    }
    return NULL;
}

/* "/cam0/whep" -> 0 and `id` NULL; "/cam0/whep/ID" -> 0 and `id` "ID";
 * "/cam7/whep" or "/camx/whep/ID" -> WHEP_NO_CAMERA; -1 for any other path. */
#define WHEP_NO_CAMERA 2
static int parse_path(const char *path, const char **id) {
    const char *whep;
    if (strncmp(path, "/cam", 4) != 0 || (whep = strchr(path + 4, '/')) == NULL || strncmp(whep, "/whep", 5) != 0)
        return -1;
    if (whep[5] == '\0') {
        *id = NULL;
    } else if (whep[5] == '/' && whep[6] != '\0' && strchr(whep + 6, '/') == NULL) {
        *id = whep + 6;
    } else {
        return -1;
    }
    return whep == path + 5 && (path[4] == '0' || path[4] == '1') ? path[4] - '0' : WHEP_NO_CAMERA;
}

static int handle(SoupServerMessage *msg, const char *path, GHashTable *query, void *data) {
    struct whep_service *service = data;
    const char *method = soup_server_message_get_method(msg), *id = NULL;
    const int camera = parse_path(path, &id);
    (void)query;
    if (camera < 0) return 0;
    if (service == NULL || camera == WHEP_NO_CAMERA || service->feeds[camera] == NULL) {
        respond_text(msg, SOUP_STATUS_NOT_FOUND, "no such camera\n");
    } else if (id == NULL && strcmp(method, "POST") == 0) {
        offer(service, msg, camera);
    } else if (id == NULL && strcmp(method, "OPTIONS") == 0) {
        SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
        soup_message_headers_replace(headers, "Allow", "POST, OPTIONS");
        soup_message_headers_replace(headers, "Accept-Post", "application/sdp");
        soup_server_message_set_status(msg, SOUP_STATUS_NO_CONTENT, NULL);
    } else if (id == NULL) {
        allow(msg, "POST, OPTIONS");
    } else if (strcmp(method, "DELETE") == 0) {
        struct whep_viewer *viewer = find(service, camera, id);
        if (viewer == NULL) {
            respond_text(msg, SOUP_STATUS_NOT_FOUND, "no such session\n");
        } else {
            end_viewer(viewer);
            soup_server_message_set_status(msg, SOUP_STATUS_OK, NULL);
        }
    } else if (find(service, camera, id) == NULL) {
        respond_text(msg, SOUP_STATUS_NOT_FOUND, "no such session\n");
    } else if (strcmp(method, "GET") == 0) {
        /* How the viewer is served, for its page's tile. */
        gchar *json = webrtc_session_describe(find(service, camera, id)->session);
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "no-store");
        soup_server_message_set_status(msg, SOUP_STATUS_OK, NULL);
        soup_server_message_set_response(msg, "application/json", SOUP_MEMORY_TAKE, json, strlen(json));
    } else {
        /* Every candidate is in the answer: there is nothing to trickle. */
        allow(msg, "GET, DELETE");
    }
    return 1;
}

static void check_headers(SoupServerMessage *msg, const char *path, void *data) {
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(msg);
    const char *id = NULL;
    (void)data;
    if (strcmp(soup_server_message_get_method(msg), "POST") != 0 || parse_path(path, &id) < 0) return;
    if (soup_message_headers_get_encoding(headers) != SOUP_ENCODING_CONTENT_LENGTH) {
        respond_text(msg, SOUP_STATUS_LENGTH_REQUIRED, "an offer needs its Content-Length\n");
    } else if (soup_message_headers_get_content_length(headers) > WHEP_OFFER_MAX_BYTES) {
        respond_text(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, "the offer is too long\n");
    }
}

struct http_route whep_route(struct whep_service *service) {
    struct http_route route = {handle, check_headers, 1, NULL, service, NULL};
    return route;
}

struct whep_service *whep_service_new(struct feed *const feeds[2], const struct webrtc_config *config) {
    struct whep_service *service = g_new0(struct whep_service, 1);
    service->feeds[0] = feeds[0];
    service->feeds[1] = feeds[1];
    service->config = *config;
    return service;
}

void whep_service_stop(struct whep_service *service) {
    if (service == NULL) return;
    service->stopping = 1;
    while (service->viewers != NULL) {
        struct whep_viewer *viewer = service->viewers->data;
        if (viewer->pending != NULL) {
            respond_text(viewer->pending, SOUP_STATUS_SERVICE_UNAVAILABLE, "the server is stopping\n");
            soup_server_message_unpause(viewer->pending);
        }
        end_viewer(viewer);
    }
}

void whep_service_free(struct whep_service *service) {
    if (service == NULL) return;
    whep_service_stop(service);
    g_free(service);
}

unsigned whep_sessions(const struct whep_service *service) {
    return service != NULL ? g_list_length(service->viewers) : 0;
}
