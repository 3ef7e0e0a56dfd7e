/*
 * A media server in RECORD mode, as --publish meets it: accepts ANNOUNCE
 * and RECORD on any path, depayloads H.264, and prints one line per access
 * unit received ("frame /cam0"), so a test can count what arrived.
 * Prints "listening PORT" once ready.
 */
#include <stdio.h>

#include <gst/rtsp-server/rtsp-server.h>

static GstPadProbeReturn on_frame(GstPad *pad, GstPadProbeInfo *info, gpointer path) {
    (void)pad;
    (void)info;
    printf("frame %s\n", (const char *)path);
    fflush(stdout);
    return GST_PAD_PROBE_OK;
}

static void on_media_configure(GstRTSPMediaFactory *factory, GstRTSPMedia *media, gpointer path) {
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *sink = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "sink");
    GstPad *pad = gst_element_get_static_pad(sink, "sink");
    (void)factory;
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, on_frame, path, NULL);
    gst_object_unref(pad);
    gst_object_unref(sink);
    gst_object_unref(bin);
}

int main(int argc, char **argv) {
    static const char *const paths[] = {"/live/cam0", "/live/cam1"};
    GstRTSPServer *server;
    GstRTSPMountPoints *mounts;
    GMainLoop *loop;
    size_t i;
    gst_init(&argc, &argv);
    loop = g_main_loop_new(NULL, FALSE);
    server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server, "127.0.0.1");
    gst_rtsp_server_set_service(server, "0");
    mounts = gst_rtsp_server_get_mount_points(server);
    for (i = 0; i < G_N_ELEMENTS(paths); ++i) {
        GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_transport_mode(factory, GST_RTSP_TRANSPORT_MODE_RECORD);
        gst_rtsp_media_factory_set_launch(factory, "( rtph264depay name=depay0 ! fakesink name=sink async=false )");
        g_signal_connect(factory, "media-configure", G_CALLBACK(on_media_configure), (gpointer)paths[i]);
        gst_rtsp_mount_points_add_factory(mounts, paths[i], factory);
    }
    g_object_unref(mounts);
    if (gst_rtsp_server_attach(server, NULL) == 0) {
        fprintf(stderr, "record_receiver: cannot listen\n");
        return 1;
    }
    printf("listening %d\n", gst_rtsp_server_get_bound_port(server));
    fflush(stdout);
    g_main_loop_run(loop);
    return 0;
}
