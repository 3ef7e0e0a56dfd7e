#include "status.h"

#include <unistd.h>

#include "feed/sharing.h"
#include "feed/viewers.h"

static void add_peer(JsonBuilder *builder, const boardcam_mt_peer *peer, bool subscriber) {
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "program");
    json_builder_add_string_value(builder, g_utf8_validate(peer->program, -1, NULL) ? peer->program : "?");
    json_builder_set_member_name(builder, "pid");
    json_builder_add_int_value(builder, peer->pid);
    json_builder_set_member_name(builder, "this_program");
    json_builder_add_boolean_value(builder, peer->pid == (int32_t)getpid());
    json_builder_set_member_name(builder, "fps");
    json_builder_add_int_value(builder, peer->fps);
    if (subscriber) {
        json_builder_set_member_name(builder, "held");
        json_builder_add_int_value(builder, peer->held);
        json_builder_set_member_name(builder, "frames");
        json_builder_add_int_value(builder, (gint64)peer->frames);
        json_builder_set_member_name(builder, "dropped");
        json_builder_add_int_value(builder, (gint64)peer->dropped);
    }
    json_builder_end_object(builder);
}

/* "sharing": who has the camera and who shares it, as last heard; null
 * before the first answer. */
static void add_sharing(JsonBuilder *builder, int camera) {
    boardcam_mt_camera_status status;
    uint32_t i;
    json_builder_set_member_name(builder, "sharing");
    if (!sharing_status(camera, &status)) {
        json_builder_add_null_value(builder);
        return;
    }
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "owner");
    if (status.owned) {
        add_peer(builder, &status.owner, false);
        json_builder_set_member_name(builder, "width");
        json_builder_add_int_value(builder, status.width);
        json_builder_set_member_name(builder, "height");
        json_builder_add_int_value(builder, status.height);
    } else {
        json_builder_add_null_value(builder);
    }
    json_builder_set_member_name(builder, "subscribers");
    json_builder_begin_array(builder);
    for (i = 0; i < status.subscriber_count; ++i) add_peer(builder, &status.subscribers[i], true);
    json_builder_end_array(builder);
    json_builder_end_object(builder);
}

static void add_count(JsonBuilder *builder, const char *name, uint64_t value) {
    json_builder_set_member_name(builder, name);
    json_builder_add_int_value(builder, (gint64)value);
}

/* Viewers per tier (WebRTC and MSE, which adapt), the low tier's state, the
 * key frames viewers asked of the main encoder and how many it made for
 * them. */
static void add_adaptation(JsonBuilder *builder, int camera, const struct feed_stats *stats) {
    const int mse_main = viewers_on_tier(camera, VIEWER_MSE, 0), mse_low = viewers_on_tier(camera, VIEWER_MSE, 1);
    json_builder_set_member_name(builder, "tiers");
    json_builder_begin_object(builder);
    add_count(builder, "main", (uint64_t)(viewers_on_tier(camera, VIEWER_WEBRTC, 0) + mse_main));
    add_count(builder, "low", (uint64_t)(viewers_on_tier(camera, VIEWER_WEBRTC, 1) + mse_low));
    json_builder_set_member_name(builder, "mse");
    json_builder_begin_object(builder);
    add_count(builder, "main", (uint64_t)mse_main);
    add_count(builder, "low", (uint64_t)mse_low);
    json_builder_end_object(builder);
    add_count(builder, "switches", stats->tier_switches);
    json_builder_set_member_name(builder, "low_running");
    json_builder_add_boolean_value(builder, stats->low_running);
    add_count(builder, "low_kbps", (uint64_t)stats->low_kbps);
    add_count(builder, "low_fps", (uint64_t)stats->low_fps);
    json_builder_end_object(builder);
    json_builder_set_member_name(builder, "key_frames");
    json_builder_begin_object(builder);
    add_count(builder, "asked", stats->key_frames_asked);
    add_count(builder, "made", stats->key_frames_made);
    add_count(builder, "segment_boundaries", stats->key_frames_forced);
    add_count(builder, "total", stats->key_frames);
    add_count(builder, "low_total", stats->low_key_frames);
    json_builder_end_object(builder);
}

gchar *status_json(struct feed *const feeds[2], const struct status_source *sources, int source_count,
                   gint64 started) {
    JsonBuilder *builder = json_builder_new();
    JsonNode *root;
    gchar *text;
    int camera, i;
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
        json_builder_set_member_name(builder, "mse");
        json_builder_add_int_value(builder, viewers_watching(camera, VIEWER_MSE));
        json_builder_end_object(builder);
        add_adaptation(builder, camera, &stats);
        add_sharing(builder, camera);
        for (i = 0; i < source_count; ++i)
            if (sources[i].camera_json != NULL) sources[i].camera_json(builder, camera, sources[i].data);
        json_builder_end_object(builder);
        feed_stats_clear(&stats);
    }
    json_builder_end_array(builder);
    for (i = 0; i < source_count; ++i)
        if (sources[i].json != NULL) sources[i].json(builder, sources[i].data);
    json_builder_set_member_name(builder, "uptime_s");
    json_builder_add_double_value(builder, (double)((g_get_monotonic_time() - started) / 1000) / 1000.0);
    json_builder_end_object(builder);
    root = json_builder_get_root(builder);
    text = json_to_string(root, FALSE);
    json_node_unref(root);
    g_object_unref(builder);
    return text;
}

/* A family's values for each camera, under a label with these values (or no
 * label: one value, `label` NULL). */
#define METRIC_MAX_LABELS 4
struct metric {
    const char *name;
    const char *type;
    const char *help;
    const char *label;
    const char *label_values[METRIC_MAX_LABELS];
    uint64_t values[2][METRIC_MAX_LABELS];
};

static void add_metric(GString *out, struct feed *const feeds[2], const struct metric *metric) {
    int camera, l;
    g_string_append_printf(out, "# HELP %s %s\n# TYPE %s %s\n", metric->name, metric->help, metric->name, metric->type);
    for (camera = 0; camera < 2; ++camera) {
        if (feeds[camera] == NULL) continue;
        if (metric->label == NULL) {
            g_string_append_printf(out, "%s{camera=\"%d\"} %" G_GUINT64_FORMAT "\n", metric->name, camera,
                                   (guint64)metric->values[camera][0]);
            continue;
        }
        for (l = 0; l < METRIC_MAX_LABELS && metric->label_values[l] != NULL; ++l)
            g_string_append_printf(out, "%s{camera=\"%d\",%s=\"%s\"} %" G_GUINT64_FORMAT "\n", metric->name, camera,
                                   metric->label, metric->label_values[l], (guint64)metric->values[camera][l]);
    }
}

gchar *status_metrics(struct feed *const feeds[2], const struct status_source *sources, int source_count) {
    GString *out = g_string_new(NULL);
    struct feed_stats stats[2];
    struct metric metrics[] = {
        {"boardcam_frames_total", "counter", "Frames read from the camera.", NULL, {NULL}, {{0}}},
        {"boardcam_dropped_frames_total", "counter",
         "Frames lost: by the camera, which delivered a later frame instead, or for a client too slow to take them.",
         "reason", {"camera", "slow_client"}, {{0}}},
        {"boardcam_clients", "gauge", "Clients watching the camera.", "protocol", {"rtsp", "mjpeg", "webrtc", "mse"},
         {{0}}},
        {"boardcam_webrtc_viewers", "gauge", "WebRTC viewers by the tier they are sent.", "tier", {"main", "low"},
         {{0}}},
        {"boardcam_mse_viewers", "gauge", "Viewers over fMP4 and a WebSocket by the tier they are sent.", "tier",
         {"main", "low"}, {{0}}},
        {"boardcam_tier_switches_total", "counter", "Viewers moved between the main stream and the low tier.", NULL,
         {NULL}, {{0}}},
        {"boardcam_key_frames_asked_total", "counter", "Key frames clients asked of the main encoder.", NULL, {NULL},
         {{0}}},
        {"boardcam_key_frames_made_total", "counter",
         "Key frames asked of the main encoder and made: for clients (at most one a second) and for segment "
         "boundaries.",
         "reason", {"clients", "segment"}, {{0}}},
        {"boardcam_key_frames_total", "counter", "Key frames out of the main encoder, its own included.", NULL, {NULL},
         {{0}}},
        {"boardcam_streaming", "gauge", "Whether the camera is open and delivering frames.", NULL, {NULL}, {{0}}},
        {"boardcam_camera_errors_total", "counter",
         "Capture failures: each closed the camera, which was tried again.", NULL, {NULL}, {{0}}},
    };
    int camera, i;
    for (camera = 0; camera < 2; ++camera) {
        const struct feed_stats *st = &stats[camera];
        if (feeds[camera] == NULL) continue;
        feed_stats(feeds[camera], &stats[camera]);
        metrics[0].values[camera][0] = st->frames;
        metrics[1].values[camera][0] = st->dropped;
        metrics[1].values[camera][1] = viewers_drops(camera);
        /* In the order of enum viewer_protocol, as the labels above are. */
        for (i = 0; i < VIEWER_PROTOCOLS; ++i)
            metrics[2].values[camera][i] = (uint64_t)viewers_watching(camera, (enum viewer_protocol)i);
        for (i = 0; i < 2; ++i) {
            metrics[3].values[camera][i] = (uint64_t)viewers_on_tier(camera, VIEWER_WEBRTC, i);
            metrics[4].values[camera][i] = (uint64_t)viewers_on_tier(camera, VIEWER_MSE, i);
        }
        metrics[5].values[camera][0] = st->tier_switches;
        metrics[6].values[camera][0] = st->key_frames_asked;
        metrics[7].values[camera][0] = st->key_frames_made;
        metrics[7].values[camera][1] = st->key_frames_forced;
        metrics[8].values[camera][0] = st->key_frames;
        metrics[9].values[camera][0] = (uint64_t)st->streaming;
        metrics[10].values[camera][0] = st->errors_total;
        feed_stats_clear(&stats[camera]);
    }
    for (i = 0; i < (int)G_N_ELEMENTS(metrics); ++i) add_metric(out, feeds, &metrics[i]);
    g_string_append(out, "# HELP boardcam_sharing_programs Other programs sharing the camera.\n"
                         "# TYPE boardcam_sharing_programs gauge\n");
    for (camera = 0; camera < 2; ++camera) {
        boardcam_mt_camera_status sharing;
        uint32_t others = 0, s;
        if (feeds[camera] == NULL || !sharing_status(camera, &sharing)) continue;
        if (sharing.owned && sharing.owner.pid != (int32_t)getpid()) ++others;
        for (s = 0; s < sharing.subscriber_count; ++s) others += sharing.subscribers[s].pid != (int32_t)getpid();
        g_string_append_printf(out, "boardcam_sharing_programs{camera=\"%d\"} %u\n", camera, others);
    }
    for (i = 0; i < source_count; ++i)
        if (sources[i].metrics != NULL) sources[i].metrics(out, sources[i].data);
    return g_string_free(out, FALSE);
}
