#include "rtsp.h"

#include <stdio.h>
#include <string.h>

#include <gst/app/gstappsrc.h>
#include <gst/rtsp-server/rtsp-server.h>

#include "rtsp_client_threads.h"
#include "feed/viewers.h"

#define ROLE "viewer"
/* How long the stop waits for the clients to close on their own threads. */
#define RTSP_CLOSE_WAIT_US (1000 * 1000)

/* The media of a mount: the camera's encoded stream into a payloader. The
 * appsrc queue is bounded; should the server fall behind, it drops the
 * oldest access units rather than growing. The stream already carries its
 * parameter sets before every key frame (h264parse in the feed); the
 * payloader must not add its own, which it would put before every slice of
 * a key frame and so split the frame for the receiver. */
#define MEDIA_LAUNCH                                                                                      \
    "( appsrc name=src is-live=true format=time do-timestamp=false max-bytes=0 max-buffers=60 "          \
    "leaky-type=downstream ! rtph264pay name=pay0 pt=96 )"

struct rtsp_service {
    GstRTSPServer *server;
    GSource *source;
    guint cleanup_timer;
    struct feed *feeds[2];
};

/* One shared media's hold on its camera, from media-configure until the
 * media is unprepared. */
struct media_link {
    struct feed *feed;
    GstAppSrc *src;
    int released;
};

/* What one RTSP connection is doing. */
struct rtsp_viewer {
    struct rtsp_service *service;
    int admitted;
    int watching[2];
    GPtrArray *sessions; /* made on this connection */
};

static void free_viewer(gpointer data) {
    struct rtsp_viewer *viewer = data;
    g_ptr_array_unref(viewer->sessions);
    g_free(viewer);
}

static int camera_of_path(const GstRTSPContext *ctx) {
    const char *path = ctx->uri != NULL ? ctx->uri->abspath : NULL;
    if (path == NULL || strncmp(path, "/cam", 4) != 0 || (path[4] != '0' && path[4] != '1')) return -1;
    if (path[5] != '\0' && path[5] != '/') return -1;
    return path[4] - '0';
}

/* The feed is the main loop's: a media's hold on it is taken and let go
 * there, in the order the media asked (the main context runs what it is
 * handed at one priority first come, first served). */
static gboolean acquire_link(gpointer data) {
    struct media_link *link = data;
    feed_acquire(link->feed, FEED_H264);
    feed_request_key_frame(link->feed);
    return G_SOURCE_REMOVE;
}

static gboolean release_link(gpointer data) {
    struct media_link *link = data;
    feed_remove_h264_sink(link->feed, link->src);
    feed_release(link->feed, FEED_H264);
    gst_object_unref(link->src);
    g_free(link);
    return G_SOURCE_REMOVE;
}

/* May come from whichever thread unprepares the media: the camera is let go
 * on the main loop. */
static void on_media_unprepared(GstRTSPMedia *media, gpointer data) {
    struct media_link *link = data;
    if (link->released) return;
    link->released = 1;
    g_signal_handlers_disconnect_by_data(media, link);
    g_main_context_invoke(NULL, release_link, link);
}

static void on_media_configure(GstRTSPMediaFactory *factory, GstRTSPMedia *media, gpointer data) {
    struct feed *feed = data;
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *src = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "src");
    struct media_link *link = g_new0(struct media_link, 1);
    (void)factory;
    gst_object_unref(bin);
    link->feed = feed;
    link->src = GST_APP_SRC(src);
    /* On the client's thread: the sink is taken at once (any thread), the
     * camera on the main loop. */
    feed_add_h264_sink(feed, link->src);
    g_main_context_invoke(NULL, acquire_link, link);
    g_signal_connect(media, "unprepared", G_CALLBACK(on_media_unprepared), link);
}

static void stop_watching(struct rtsp_viewer *viewer, int camera) {
    if (!viewer->watching[camera]) return;
    viewer->watching[camera] = 0;
    viewers_watch(camera, VIEWER_RTSP, -1);
}

/* A client that hangs up without TEARDOWN leaves its sessions in the pool
 * until they time out, each holding its share of the media. Over TCP they
 * can never be used again, and a client over UDP that comes back sets up
 * anew: they go with the connection. */
static void on_client_closed(GstRTSPClient *client, gpointer data) {
    struct rtsp_viewer *viewer = data;
    GstRTSPSessionPool *pool = gst_rtsp_client_get_session_pool(client);
    guint i;
    stop_watching(viewer, 0);
    stop_watching(viewer, 1);
    if (viewer->admitted) viewers_leave();
    viewer->admitted = 0;
    for (i = 0; pool != NULL && i < viewer->sessions->len; ++i)
        gst_rtsp_session_pool_remove(pool, g_ptr_array_index(viewer->sessions, i));
    g_ptr_array_set_size(viewer->sessions, 0);
    if (pool != NULL) g_object_unref(pool);
}

static void on_new_session(GstRTSPClient *client, GstRTSPSession *session, gpointer data) {
    struct rtsp_viewer *viewer = data;
    (void)client;
    g_ptr_array_add(viewer->sessions, g_object_ref(session));
}

/* Clients beyond --max-clients are answered 503 to anything but OPTIONS. */
static GstRTSPStatusCode on_pre_request(GstRTSPClient *client, GstRTSPContext *ctx, gpointer data) {
    struct rtsp_viewer *viewer = data;
    (void)client;
    (void)ctx;
    return viewer->admitted ? GST_RTSP_STS_OK : GST_RTSP_STS_SERVICE_UNAVAILABLE;
}

static void on_play_request(GstRTSPClient *client, GstRTSPContext *ctx, gpointer data) {
    struct rtsp_viewer *viewer = data;
    const int camera = camera_of_path(ctx);
    (void)client;
    if (camera < 0 || viewer->service->feeds[camera] == NULL) return;
    /* A client joining a running stream starts on a key frame at once. */
    feed_request_key_frame(viewer->service->feeds[camera]);
    if (!viewer->watching[camera]) {
        viewer->watching[camera] = 1;
        viewers_watch(camera, VIEWER_RTSP, +1);
    }
}

static void on_teardown_request(GstRTSPClient *client, GstRTSPContext *ctx, gpointer data) {
    const int camera = camera_of_path(ctx);
    (void)client;
    if (camera >= 0) stop_watching(data, camera);
}

static void on_client_connected(GstRTSPServer *server, GstRTSPClient *client, gpointer data) {
    struct rtsp_viewer *viewer = g_new0(struct rtsp_viewer, 1);
    static const char *const pre_requests[] = {"pre-describe-request", "pre-setup-request", "pre-play-request",
                                               "pre-announce-request", "pre-record-request"};
    size_t i;
    (void)server;
    viewer->service = data;
    viewer->admitted = viewers_admit() == 0;
    viewer->sessions = g_ptr_array_new_with_free_func(g_object_unref);
    g_object_set_data_full(G_OBJECT(client), "boardcam-viewer", viewer, free_viewer);
    g_signal_connect(client, "closed", G_CALLBACK(on_client_closed), viewer);
    g_signal_connect(client, "new-session", G_CALLBACK(on_new_session), viewer);
    for (i = 0; i < G_N_ELEMENTS(pre_requests); ++i)
        g_signal_connect(client, pre_requests[i], G_CALLBACK(on_pre_request), viewer);
    g_signal_connect(client, "play-request", G_CALLBACK(on_play_request), viewer);
    g_signal_connect(client, "teardown-request", G_CALLBACK(on_teardown_request), viewer);
}

static GstRTSPAuth *make_auth(const struct rtsp_config *config) {
    GstRTSPAuth *auth = gst_rtsp_auth_new();
    GstRTSPToken *token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, ROLE, NULL);
    if (config->creds != NULL) {
        size_t i;
        for (i = 0; i < config->creds->count; ++i) {
            gchar *basic = gst_rtsp_auth_make_basic(config->creds->entries[i].user,
                                                    config->creds->entries[i].password);
            gst_rtsp_auth_add_basic(auth, basic, token);
            g_free(basic);
        }
    } else {
        /* Encryption without passwords: everyone is a viewer. */
        gst_rtsp_auth_set_default_token(auth, token);
    }
    if (config->certificate != NULL) gst_rtsp_auth_set_tls_certificate(auth, config->certificate);
    gst_rtsp_token_unref(token);
    return auth;
}

/* Sessions whose clients vanished (a UDP client that died) expire after
 * their timeout; the pool removes them only when asked. */
static gboolean clean_sessions(gpointer data) {
    struct rtsp_service *service = data;
    GstRTSPSessionPool *pool = gst_rtsp_server_get_session_pool(service->server);
    gst_rtsp_session_pool_cleanup(pool);
    g_object_unref(pool);
    return G_SOURCE_CONTINUE;
}

struct rtsp_service *rtsp_service_start(const struct rtsp_config *config, GError **error) {
    struct rtsp_service *service = g_new0(struct rtsp_service, 1);
    GstRTSPMountPoints *mounts;
    gchar *port = g_strdup_printf("%d", config->port);
    const int guarded = config->creds != NULL || config->certificate != NULL;
    int camera;

    service->server = gst_rtsp_server_new();
    {
        GstRTSPThreadPool *threads = rtsp_client_threads_new();
        gst_rtsp_server_set_thread_pool(service->server, threads);
        g_object_unref(threads);
    }
    gst_rtsp_server_set_address(service->server, config->address);
    gst_rtsp_server_set_service(service->server, port);
    g_free(port);
    if (guarded) {
        GstRTSPAuth *auth = make_auth(config);
        gst_rtsp_server_set_auth(service->server, auth);
        g_object_unref(auth);
    }
    mounts = gst_rtsp_server_get_mount_points(service->server);
    for (camera = 0; camera < 2; ++camera) {
        GstRTSPMediaFactory *factory;
        gchar *path;
        service->feeds[camera] = config->feeds[camera];
        if (config->feeds[camera] == NULL) continue;
        factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, MEDIA_LAUNCH);
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        /* Over RTSPS the media goes inside the encrypted connection: UDP would carry it in the clear. */
        if (config->certificate != NULL) gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_TCP);
        if (guarded)
            gst_rtsp_media_factory_add_role(factory, ROLE, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN,
                                            TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE,
                                            NULL);
        g_signal_connect(factory, "media-configure", G_CALLBACK(on_media_configure), config->feeds[camera]);
        path = g_strdup_printf("/cam%d", camera);
        gst_rtsp_mount_points_add_factory(mounts, path, factory);
        g_free(path);
    }
    g_object_unref(mounts);
    g_signal_connect(service->server, "client-connected", G_CALLBACK(on_client_connected), service);

    service->source = gst_rtsp_server_create_source(service->server, NULL, error);
    if (service->source == NULL) {
        g_object_unref(service->server);
        g_free(service);
        return NULL;
    }
    g_source_attach(service->source, NULL);
    service->cleanup_timer = g_timeout_add_seconds(2, clean_sessions, service);
    return service;
}

int rtsp_service_port(const struct rtsp_service *service) {
    return gst_rtsp_server_get_bound_port(service->server);
}

static GstRTSPFilterResult drop_session(GstRTSPSessionPool *pool, GstRTSPSession *session, gpointer data) {
    (void)pool;
    (void)session;
    (void)data;
    return GST_RTSP_FILTER_REMOVE;
}

static GstRTSPFilterResult close_client(GstRTSPServer *server, GstRTSPClient *client, gpointer data) {
    (void)server;
    (void)data;
    rtsp_client_close_on_its_thread(client);
    return GST_RTSP_FILTER_KEEP;
}

static GstRTSPFilterResult count_client(GstRTSPServer *server, GstRTSPClient *client, gpointer data) {
    (void)server;
    (void)client;
    ++*(guint *)data;
    return GST_RTSP_FILTER_KEEP;
}

static guint clients_left(GstRTSPServer *server) {
    guint left = 0;
    g_list_free(gst_rtsp_server_client_filter(server, count_client, &left));
    return left;
}

void rtsp_service_stop(struct rtsp_service *service) {
    GstRTSPSessionPool *pool;
    gint64 deadline;
    if (service == NULL) return;
    g_source_remove(service->cleanup_timer);
    g_source_destroy(service->source);
    g_source_unref(service->source);
    /* Each client closes on the thread that serves it; the main loop runs
     * meanwhile, for what their closing hands it. A client still not gone
     * after the wait is left to the process's end. */
    gst_rtsp_server_client_filter(service->server, close_client, NULL);
    deadline = g_get_monotonic_time() + RTSP_CLOSE_WAIT_US;
    while (clients_left(service->server) > 0 && g_get_monotonic_time() < deadline) {
        if (!g_main_context_iteration(NULL, FALSE)) g_usleep(2000);
    }
    if (clients_left(service->server) > 0)
        fprintf(stderr, "boardcam-serve: %u RTSP client(s) did not close in time\n", clients_left(service->server));
    /* Sessions whose clients went away without TEARDOWN hold their media. */
    pool = gst_rtsp_server_get_session_pool(service->server);
    g_list_free(gst_rtsp_session_pool_filter(pool, drop_session, NULL));
    g_object_unref(pool);
    g_object_unref(service->server);
    g_free(service);
}
