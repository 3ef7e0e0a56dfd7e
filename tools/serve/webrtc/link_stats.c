#include "link_stats.h"

#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

static double number_of(const GstStructure *s, const char *field, double otherwise) {
    const GValue *value = gst_structure_get_value(s, field);
    if (value == NULL) return otherwise;
    if (G_VALUE_HOLDS_DOUBLE(value)) return g_value_get_double(value);
    if (G_VALUE_HOLDS_UINT(value)) return g_value_get_uint(value);
    if (G_VALUE_HOLDS_INT(value)) return g_value_get_int(value);
    if (G_VALUE_HOLDS_UINT64(value)) return (double)g_value_get_uint64(value);
    if (G_VALUE_HOLDS_INT64(value)) return (double)g_value_get_int64(value);
    return otherwise;
}

/* The transport-wide feedback's figures, wherever webrtcbin puts them. */
static void read_twcc(const GstStructure *twcc, struct link_stats *out) {
    const double received_bps = number_of(twcc, "bitrate-recv", -1);
    const double sent_bps = number_of(twcc, "bitrate-sent", -1);
    const double trend_ns = number_of(twcc, "avg-delta-of-delta", 0);
    const double loss_pct = number_of(twcc, "packet-loss-pct", -1);
    if (received_bps >= 0) out->received_kbps = received_bps / 1000.0;
    if (sent_bps >= 0) out->feedback_sent_kbps = sent_bps / 1000.0;
    out->delay_trend_ms = trend_ns / 1e6;
    if (loss_pct >= 0) out->feedback_loss = loss_pct / 100.0;
}

static gboolean read_entry(GQuark field, const GValue *value, gpointer data) {
    struct link_stats *out = data;
    const GstStructure *entry;
    GstWebRTCStatsType type;
    (void)field;
    if (!GST_VALUE_HOLDS_STRUCTURE(value)) return TRUE;
    entry = gst_value_get_structure(value);
    if (gst_structure_has_field(entry, "gst-twcc-stats")) {
        const GValue *twcc = gst_structure_get_value(entry, "gst-twcc-stats");
        if (GST_VALUE_HOLDS_STRUCTURE(twcc)) read_twcc(gst_value_get_structure(twcc), out);
    }
    if (!gst_structure_get(entry, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, NULL)) return TRUE;
    if (type == GST_WEBRTC_STATS_OUTBOUND_RTP) {
        out->bytes_sent += (uint64_t)number_of(entry, "bytes-sent", 0);
    } else if (type == GST_WEBRTC_STATS_REMOTE_INBOUND_RTP) {
        const double lost = number_of(entry, "fraction-lost", -1);
        const double rtt_s = number_of(entry, "round-trip-time", -1);
        if (lost >= 0) out->fraction_lost = lost;
        if (rtt_s > 0) out->rtt_ms = rtt_s * 1000.0;
    }
    return TRUE;
}

void link_stats_read(const GstStructure *reply, struct link_stats *out) {
    out->bytes_sent = 0;
    out->fraction_lost = out->rtt_ms = out->received_kbps = out->feedback_loss = out->feedback_sent_kbps = -1;
    out->delay_trend_ms = 0;
    if (reply != NULL) gst_structure_foreach(reply, read_entry, out);
}
