#include "recordings_status.h"

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

static void camera_json(JsonBuilder *builder, int camera, void *data) { add_recording(builder, data, camera); }

static void json(JsonBuilder *builder, void *data) { add_disk(builder, data); }

static void metrics(GString *out, void *data) {
    if (data != NULL) append_recording_metrics(out, data);
}

struct status_source recordings_status_source(struct recordings *recordings) {
    struct status_source source = {camera_json, json, metrics, recordings};
    return source;
}
