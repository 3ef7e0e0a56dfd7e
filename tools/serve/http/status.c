#include "status.h"

#include <json-glib/json-glib.h>

#include "viewers.h"

/* "recording": {"on", "segment", "bytes", "error"}; off for a camera not
 * recorded. */
static void add_recording(JsonBuilder *builder, struct recordings *recordings, int camera) {
    struct recording_stats stats;
    const int recorded = recordings_stats(recordings, camera, &stats) == 0;
    json_builder_set_member_name(builder, "recording");
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "on");
    json_builder_add_boolean_value(builder, recorded && stats.on);
    json_builder_set_member_name(builder, "segment");
    if (stats.segment != NULL)
        json_builder_add_string_value(builder, stats.segment);
    else
        json_builder_add_null_value(builder);
    json_builder_set_member_name(builder, "bytes");
    json_builder_add_int_value(builder, (gint64)stats.bytes_total);
    json_builder_set_member_name(builder, "error");
    if (stats.error != NULL)
        json_builder_add_string_value(builder, stats.error);
    else
        json_builder_add_null_value(builder);
    json_builder_end_object(builder);
    recording_stats_clear(&stats);
}

/* "disk": the recordings' filesystem, when recording. */
static void add_disk(JsonBuilder *builder, struct recordings *recordings) {
    uint64_t free_bytes = 0, total = 0;
    if (recordings == NULL || recordings_disk(recordings, &free_bytes, &total) != 0) return;
    json_builder_set_member_name(builder, "disk");
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "free_bytes");
    json_builder_add_int_value(builder, (gint64)free_bytes);
    json_builder_set_member_name(builder, "total_bytes");
    json_builder_add_int_value(builder, (gint64)total);
    json_builder_end_object(builder);
}

gchar *status_json(struct feed *const feeds[2], struct recordings *recordings, gint64 started) {
    JsonBuilder *builder = json_builder_new();
    JsonNode *root;
    gchar *text;
    int camera;
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "cameras");
    json_builder_begin_array(builder);
    for (camera = 0; camera < 2; ++camera) {
        struct feed_stats stats;
        const struct feed_config *config;
        if (feeds[camera] == NULL) continue;
        config = feed_config(feeds[camera]);
        feed_stats(feeds[camera], &stats);
        json_builder_begin_object(builder);
        json_builder_set_member_name(builder, "id");
        json_builder_add_int_value(builder, camera);
        json_builder_set_member_name(builder, "streaming");
        json_builder_add_boolean_value(builder, stats.streaming);
        json_builder_set_member_name(builder, "width");
        json_builder_add_int_value(builder, config->width);
        json_builder_set_member_name(builder, "height");
        json_builder_add_int_value(builder, config->height);
        json_builder_set_member_name(builder, "fps");
        json_builder_add_int_value(builder, config->fps);
        json_builder_set_member_name(builder, "measured_fps");
        json_builder_add_double_value(builder, (double)(gint64)(stats.measured_fps * 100 + 0.5) / 100);
        json_builder_set_member_name(builder, "frames");
        json_builder_add_int_value(builder, (gint64)stats.frames);
        json_builder_set_member_name(builder, "error");
        if (stats.error != NULL) {
            json_builder_begin_object(builder);
            json_builder_set_member_name(builder, "message");
            json_builder_add_string_value(builder, stats.error);
            json_builder_set_member_name(builder, "since");
            json_builder_add_string_value(builder, stats.error_since);
            json_builder_end_object(builder);
        } else {
            json_builder_add_null_value(builder);
        }
        json_builder_set_member_name(builder, "errors_total");
        json_builder_add_int_value(builder, (gint64)stats.errors_total);
        json_builder_set_member_name(builder, "dropped");
        json_builder_begin_object(builder);
        json_builder_set_member_name(builder, "camera");
        json_builder_add_int_value(builder, (gint64)stats.dropped);
        json_builder_set_member_name(builder, "clients");
        json_builder_add_int_value(builder, (gint64)viewers_drops(camera));
        json_builder_end_object(builder);
        json_builder_set_member_name(builder, "clients");
        json_builder_begin_object(builder);
        json_builder_set_member_name(builder, "rtsp");
        json_builder_add_int_value(builder, viewers_watching(camera, VIEWER_RTSP));
        json_builder_set_member_name(builder, "mjpeg");
        json_builder_add_int_value(builder, viewers_watching(camera, VIEWER_MJPEG));
        json_builder_set_member_name(builder, "webrtc");
        json_builder_add_int_value(builder, viewers_watching(camera, VIEWER_WEBRTC));
        json_builder_end_object(builder);
        add_recording(builder, recordings, camera);
        json_builder_end_object(builder);
        feed_stats_clear(&stats);
    }
    json_builder_end_array(builder);
    add_disk(builder, recordings);
    json_builder_set_member_name(builder, "uptime_s");
    json_builder_add_double_value(builder, (double)((g_get_monotonic_time() - started) / 1000) / 1000.0);
    json_builder_end_object(builder);
    root = json_builder_get_root(builder);
    text = json_to_string(root, FALSE);
    json_node_unref(root);
    g_object_unref(builder);
    return text;
}

/* One per-camera metric, with a value for each recorded camera. */
static void append_camera_metric(GString *out, const char *name, const char *type, const char *help,
                                 const int recorded[2], const uint64_t values[2]) {
    int camera;
    g_string_append_printf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    for (camera = 0; camera < 2; ++camera)
        if (recorded[camera])
            g_string_append_printf(out, "%s{camera=\"%d\"} %" G_GUINT64_FORMAT "\n", name, camera,
                                   (guint64)values[camera]);
}

static void append_recording_metrics(GString *out, struct recordings *recordings) {
    struct recording_stats stats[2];
    uint64_t free_bytes = 0, total = 0, on[2], bytes[2], errors[2];
    int camera, recorded[2];
    for (camera = 0; camera < 2; ++camera) {
        recorded[camera] = recordings_stats(recordings, camera, &stats[camera]) == 0;
        on[camera] = (uint64_t)stats[camera].on;
        bytes[camera] = stats[camera].bytes_total;
        errors[camera] = stats[camera].errors_total;
    }
    append_camera_metric(out, "boardcam_recording", "gauge", "Whether the camera is being recorded now.", recorded, on);
    append_camera_metric(out, "boardcam_recorded_bytes_total", "counter", "Bytes of segments written.", recorded,
                         bytes);
    append_camera_metric(out, "boardcam_recording_errors_total", "counter",
                         "Times recording was paused by a failure.", recorded, errors);
    for (camera = 0; camera < 2; ++camera) recording_stats_clear(&stats[camera]);
    if (recordings_disk(recordings, &free_bytes, &total) == 0)
        g_string_append_printf(out,
                               "# HELP boardcam_record_disk_free_bytes Free space where the recordings are.\n"
                               "# TYPE boardcam_record_disk_free_bytes gauge\n"
                               "boardcam_record_disk_free_bytes %" G_GUINT64_FORMAT "\n",
                               (guint64)free_bytes);
}

gchar *status_metrics(struct feed *const feeds[2], struct recordings *recordings) {
    GString *out = g_string_new(NULL);
    struct feed_stats stats[2];
    int camera;
    for (camera = 0; camera < 2; ++camera) {
        if (feeds[camera] != NULL) feed_stats(feeds[camera], &stats[camera]);
    }
    g_string_append(out, "# HELP boardcam_frames_total Frames read from the camera.\n"
                         "# TYPE boardcam_frames_total counter\n");
    for (camera = 0; camera < 2; ++camera) {
        if (feeds[camera] == NULL) continue;
        g_string_append_printf(out, "boardcam_frames_total{camera=\"%d\"} %" G_GUINT64_FORMAT "\n", camera,
                               (guint64)stats[camera].frames);
    }
    g_string_append(out, "# HELP boardcam_dropped_frames_total Frames lost: by the camera, which delivered a "
                         "later frame instead, or for a client too slow to take them.\n"
                         "# TYPE boardcam_dropped_frames_total counter\n");
    for (camera = 0; camera < 2; ++camera) {
        if (feeds[camera] == NULL) continue;
        g_string_append_printf(out,
                               "boardcam_dropped_frames_total{camera=\"%d\",reason=\"camera\"} %" G_GUINT64_FORMAT
                               "\n"
                               "boardcam_dropped_frames_total{camera=\"%d\",reason=\"slow_client\"} %" G_GUINT64_FORMAT
                               "\n",
                               camera, (guint64)stats[camera].dropped, camera, (guint64)viewers_drops(camera));
    }
    g_string_append(out, "# HELP boardcam_clients Clients watching the camera.\n"
                         "# TYPE boardcam_clients gauge\n");
    for (camera = 0; camera < 2; ++camera) {
        if (feeds[camera] == NULL) continue;
        g_string_append_printf(out,
                               "boardcam_clients{camera=\"%d\",protocol=\"rtsp\"} %d\n"
                               "boardcam_clients{camera=\"%d\",protocol=\"mjpeg\"} %d\n"
                               "boardcam_clients{camera=\"%d\",protocol=\"webrtc\"} %d\n",
                               camera, viewers_watching(camera, VIEWER_RTSP), camera,
                               viewers_watching(camera, VIEWER_MJPEG), camera, viewers_watching(camera, VIEWER_WEBRTC));
    }
    g_string_append(out, "# HELP boardcam_streaming Whether the camera is open and delivering frames.\n"
                         "# TYPE boardcam_streaming gauge\n");
    for (camera = 0; camera < 2; ++camera) {
        if (feeds[camera] == NULL) continue;
        g_string_append_printf(out, "boardcam_streaming{camera=\"%d\"} %d\n", camera, stats[camera].streaming);
    }
    g_string_append(out, "# HELP boardcam_camera_errors_total Capture failures: each closed the camera, which "
                         "was tried again.\n"
                         "# TYPE boardcam_camera_errors_total counter\n");
    for (camera = 0; camera < 2; ++camera) {
        if (feeds[camera] == NULL) continue;
        g_string_append_printf(out, "boardcam_camera_errors_total{camera=\"%d\"} %" G_GUINT64_FORMAT "\n", camera,
                               (guint64)stats[camera].errors_total);
        feed_stats_clear(&stats[camera]);
    }
    if (recordings != NULL) append_recording_metrics(out, recordings);
    return g_string_free(out, FALSE);
}
