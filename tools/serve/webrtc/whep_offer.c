#include "whep_offer.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int has_attribute(const GstSDPMessage *sdp, const GstSDPMedia *media, const char *key) {
    return gst_sdp_media_get_attribute_val(media, key) != NULL || gst_sdp_message_get_attribute_val(sdp, key) != NULL;
}

static int has_flag(const GstSDPMedia *media, const char *key) {
    guint i;
    for (i = 0; i < gst_sdp_media_attributes_len(media); ++i)
        if (strcmp(gst_sdp_media_get_attribute(media, i)->key, key) == 0) return 1;
    return 0;
}

/* The value of `name` in an fmtp parameter list, "a=1;name=value;b=2". */
static int fmtp_value(const char *params, const char *name, char *out, size_t size) {
    const size_t length = strlen(name);
    const char *p = params;
    while (p != NULL && *p != '\0') {
        size_t n;
        while (*p == ' ' || *p == ';') ++p;
        if (g_ascii_strncasecmp(p, name, length) == 0 && p[length] == '=') {
            p += length + 1;
            n = strcspn(p, "; ");
            if (n >= size) n = size - 1;
            memcpy(out, p, n);
            out[n] = '\0';
            return 1;
        }
        p = strchr(p, ';');
    }
    return 0;
}

/* The fmtp parameters of payload type `pt`, or NULL. */
static const char *fmtp_of(const GstSDPMedia *media, int pt) {
    guint i;
    for (i = 0;; ++i) {
        const char *fmtp = gst_sdp_media_get_attribute_val_n(media, "fmtp", i);
        char *end;
        long value;
        if (fmtp == NULL) return NULL;
        value = strtol(fmtp, &end, 10);
        if (end != fmtp && value == pt && *end == ' ') return end + 1;
    }
}

/* How well payload type `pt` suits the stream: 0 not at all (not H.264 of
 * mode 1), then higher for the profiles the camera's encoder makes. */
static int rank_format(const GstSDPMedia *media, int pt) {
    const char *params;
    char mode[8], profile[16];
    guint i;
    int h264 = 0;
    for (i = 0;; ++i) {
        const char *rtpmap = gst_sdp_media_get_attribute_val_n(media, "rtpmap", i);
        char *end;
        long value;
        if (rtpmap == NULL) break;
        value = strtol(rtpmap, &end, 10);
        if (end != rtpmap && value == pt && g_ascii_strncasecmp(end, " H264/90000", 11) == 0) h264 = 1;
    }
    if (!h264) return 0;
    params = fmtp_of(media, pt);
    if (params == NULL || !fmtp_value(params, "packetization-mode", mode, sizeof mode) || strcmp(mode, "1") != 0)
        return 0;
    if (!fmtp_value(params, "profile-level-id", profile, sizeof profile) || strlen(profile) != 6) return 1;
    if (g_ascii_strncasecmp(profile, "42e0", 4) == 0) return 4; /* constrained baseline */
    if (g_ascii_strncasecmp(profile, "4200", 4) == 0) return 3; /* baseline */
    if (g_ascii_strncasecmp(profile, "4d", 2) == 0) return 2;   /* main decodes constrained baseline too */
    return 1;
}

GstSDPMessage *whep_offer_parse(const char *text, size_t length, int *payload_type, const char **why) {
    GstSDPMessage *sdp = NULL;
    gchar *copy;
    guint i, candidates = 0;
    const GstSDPMedia *video = NULL;
    int best = 0;
    if (length == 0) {
        *why = "the offer is empty";
        return NULL;
    }
    if (length > WHEP_OFFER_MAX_BYTES) {
        *why = "the offer is too long";
        return NULL;
    }
    if (length < 4 || memcmp(text, "v=0", 3) != 0 || memchr(text, '\0', length) != NULL) {
        *why = "the offer is not SDP";
        return NULL;
    }
    copy = g_strndup(text, length);
    if (gst_sdp_message_new_from_text(copy, &sdp) != GST_SDP_OK || sdp == NULL) {
        g_free(copy);
        *why = "the offer is not SDP";
        return NULL;
    }
    g_free(copy);
    for (i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const GstSDPMedia *media = gst_sdp_message_get_media(sdp, i);
        guint a;
        for (a = 0; a < gst_sdp_media_attributes_len(media); ++a)
            if (strcmp(gst_sdp_media_get_attribute(media, a)->key, "candidate") == 0) ++candidates;
        if (video == NULL && gst_sdp_media_get_media(media) != NULL &&
            strcmp(gst_sdp_media_get_media(media), "video") == 0)
            video = media;
    }
    if (candidates > WHEP_OFFER_MAX_CANDIDATES) {
        *why = "the offer has too many ICE candidates";
        goto refuse;
    }
    if (video == NULL) {
        *why = "the offer has no video";
        goto refuse;
    }
    if (gst_sdp_media_get_proto(video) == NULL || strstr(gst_sdp_media_get_proto(video), "SAVPF") == NULL) {
        *why = "the offer's video is not DTLS-SRTP";
        goto refuse;
    }
    if (has_flag(video, "sendonly") || has_flag(video, "inactive")) {
        *why = "the offer does not ask to receive video";
        goto refuse;
    }
    if (!has_attribute(sdp, video, "ice-ufrag") || !has_attribute(sdp, video, "ice-pwd") ||
        !has_attribute(sdp, video, "fingerprint")) {
        *why = "the offer lacks its ICE credentials or DTLS fingerprint";
        goto refuse;
    }
    for (i = 0; i < gst_sdp_media_formats_len(video); ++i) {
        const char *format = gst_sdp_media_get_format(video, i);
        char *end;
        const long pt = strtol(format, &end, 10);
        int rank;
        if (end == format || *end != '\0' || pt < 0 || pt > 127) continue;
        rank = rank_format(video, (int)pt);
        if (rank > best) {
            best = rank;
            *payload_type = (int)pt;
        }
    }
    if (best == 0) {
        *why = "the offer's video has no H.264 in packetization mode 1";
        goto refuse;
    }
    return sdp;
refuse:
    gst_sdp_message_free(sdp);
    return NULL;
}

int whep_offer_twcc_id(const GstSDPMessage *offer) {
    guint m, i;
    for (m = 0; m < gst_sdp_message_medias_len(offer); ++m) {
        const GstSDPMedia *media = gst_sdp_message_get_media(offer, m);
        if (strcmp(gst_sdp_media_get_media(media), "video") != 0) continue;
        for (i = 0;; ++i) {
            const char *extmap = gst_sdp_media_get_attribute_val_n(media, "extmap", i);
            char uri[256];
            unsigned id;
            if (extmap == NULL) break;
            /* "3 http://...transport-wide-cc-extensions-01", or "3/sendrecv uri" */
            if (sscanf(extmap, "%u%*[^ ] %255s", &id, uri) != 2 && sscanf(extmap, "%u %255s", &id, uri) != 2) continue;
            if (strcmp(uri, WHEP_TWCC_URI) == 0 && id >= 1 && id <= 14) return (int)id;
        }
    }
    return 0;
}
