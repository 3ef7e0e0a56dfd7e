#include "rtsp_client_threads.h"

#define CONTEXT_KEY "boardcam-client-context"

typedef struct {
    GstRTSPThreadPool parent;
} ClientThreads;

typedef struct {
    GstRTSPThreadPoolClass parent_class;
} ClientThreadsClass;

static GType client_threads_get_type(void);
G_DEFINE_TYPE(ClientThreads, client_threads, GST_TYPE_RTSP_THREAD_POOL)

static GstRTSPThread *get_thread(GstRTSPThreadPool *pool, GstRTSPThreadType type, GstRTSPContext *ctx) {
    GstRTSPThread *thread =
        GST_RTSP_THREAD_POOL_CLASS(client_threads_parent_class)->get_thread(pool, type, ctx);
    /* The server asks for a client's thread once, on the main loop, before
     * the client is attached to it. */
    if (thread != NULL && type == GST_RTSP_THREAD_TYPE_CLIENT && ctx != NULL && ctx->client != NULL)
        g_object_set_data_full(G_OBJECT(ctx->client), CONTEXT_KEY, g_main_context_ref(thread->context),
                               (GDestroyNotify)g_main_context_unref);
    return thread;
}

static void client_threads_class_init(ClientThreadsClass *klass) {
    GST_RTSP_THREAD_POOL_CLASS(klass)->get_thread = get_thread;
}

static void client_threads_init(ClientThreads *self) { (void)self; }

GstRTSPThreadPool *rtsp_client_threads_new(void) { return g_object_new(client_threads_get_type(), NULL); }

static gboolean close_client(gpointer data) {
    gst_rtsp_client_close(GST_RTSP_CLIENT(data));
    return G_SOURCE_REMOVE;
}

void rtsp_client_close_on_its_thread(GstRTSPClient *client) {
    GMainContext *context = g_object_get_data(G_OBJECT(client), CONTEXT_KEY);
    g_main_context_invoke_full(context, G_PRIORITY_HIGH, close_client, g_object_ref(client), g_object_unref);
}
