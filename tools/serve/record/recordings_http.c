#include "recordings_http.h"

#include <stdlib.h>
#include <string.h>

#include "export.h"
#include "fmp4.h"
#include "http/ranged_body.h"
#include "segments.h"

#define MAX_EXPORT_S (24 * 3600)

/* A segment's duration, read from its fragments, kept while its size and
 * time of change stay the same. */
struct known_duration {
    uint64_t bytes;
    gint64 modified_us;
    gint64 duration_us;
};

static GHashTable *durations; /* path -> struct known_duration */

static void respond_text(SoupServerMessage *msg, guint status, const char *text) {
    soup_server_message_set_status(msg, status, NULL);
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_COPY, text, strlen(text));
}

/* An RFC 3339 time as wall time; 0 on success. A '+' of an offset that came
 * unescaped in a query was read as a space: it is put back. */
static int parse_time(const char *text, gint64 *out_us) {
    GTimeZone *utc = g_time_zone_new_utc();
    gchar *fixed = g_strdup(text);
    GDateTime *when;
    gsize length = strlen(fixed);
    if (length > 19 && fixed[length - 6] == ' ') fixed[length - 6] = '+';
    when = g_date_time_new_from_iso8601(fixed, utc);
    g_free(fixed);
    g_time_zone_unref(utc);
    if (when == NULL) return -1;
    *out_us = g_date_time_to_unix(when) * G_USEC_PER_SEC + g_date_time_get_microsecond(when);
    g_date_time_unref(when);
    return 0;
}

static gchar *format_time(gint64 when_us) {
    GDateTime *when = g_date_time_new_from_unix_utc(when_us / G_USEC_PER_SEC);
    gchar *text = g_date_time_format(when, "%Y-%m-%dT%H:%M:%SZ");
    g_date_time_unref(when);
    return text;
}

/* The query's camera: 0 and `*camera` set (-1 when absent and `optional`);
 * -1 for a bad one. */
static int query_camera(GHashTable *query, int optional, int *camera) {
    const char *text = query != NULL ? g_hash_table_lookup(query, "camera") : NULL;
    if (text == NULL) {
        *camera = -1;
        return optional ? 0 : -1;
    }
    if ((strcmp(text, "0") != 0 && strcmp(text, "1") != 0)) return -1;
    *camera = text[0] - '0';
    return 0;
}

static gint64 segment_duration_us(GHashTable *fresh, const struct segment *segment) {
    struct known_duration *known = durations != NULL ? g_hash_table_lookup(durations, segment->path) : NULL;
    struct known_duration found;
    if (known != NULL && known->bytes == segment->bytes && known->modified_us == segment->modified_us) {
        found = *known;
    } else {
        struct fmp4_file *file = fmp4_open(segment->path, NULL);
        found.bytes = segment->bytes;
        found.modified_us = segment->modified_us;
        found.duration_us = file != NULL ? (gint64)(fmp4_duration(file) * G_USEC_PER_SEC / file->timescale) : 0;
        fmp4_close(file);
    }
    g_hash_table_insert(fresh, g_strdup(segment->path), g_memdup2(&found, sizeof found));
    return found.duration_us;
}

static void list(const char *dir, SoupServerMessage *msg, GHashTable *query) {
    const char *start_text = query != NULL ? g_hash_table_lookup(query, "start") : NULL;
    const char *end_text = query != NULL ? g_hash_table_lookup(query, "end") : NULL;
    gint64 start_us = G_MININT64, end_us = G_MAXINT64;
    int camera;
    GPtrArray *segments;
    GHashTable *fresh;
    GString *json;
    gchar *text;
    guint i;
    if (query_camera(query, 1, &camera) != 0) {
        respond_text(msg, SOUP_STATUS_BAD_REQUEST, "camera must be 0 or 1\n");
        return;
    }
    if ((start_text != NULL && parse_time(start_text, &start_us) != 0) ||
        (end_text != NULL && parse_time(end_text, &end_us) != 0)) {
        respond_text(msg, SOUP_STATUS_BAD_REQUEST, "start and end must be RFC 3339 times, as 2026-12-09T10:00:00Z\n");
        return;
    }
    if (end_us < start_us) {
        respond_text(msg, SOUP_STATUS_BAD_REQUEST, "end comes before start\n");
        return;
    }
    segments = segments_list(dir, camera);
    fresh = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    /* Every string here is of the program's own making (times, names of
     * the segments' form): nothing needs escaping. */
    json = g_string_new("[");
    for (i = 0; i < segments->len; ++i) {
        const struct segment *segment = segments->pdata[i];
        gint64 duration_us;
        gchar *start;
        if (segment->start_us >= end_us) continue;
        duration_us = segment_duration_us(fresh, segment);
        if (segment->start_us + duration_us < start_us) continue;
        start = format_time(segment->start_us);
        g_string_append_printf(json,
                               "%s{\"camera\":%d,\"start\":\"%s\",\"duration_s\":%.3f,\"bytes\":%" G_GUINT64_FORMAT
                               ",\"url\":\"/recordings/%s\"}",
                               json->len > 1 ? "," : "", segment->camera, start, (double)duration_us / G_USEC_PER_SEC,
                               segment->bytes, segment->relative);
        g_free(start);
    }
    g_string_append(json, "]\n");
    /* What was not listed now is forgotten: deleted segments do not pile up. */
    if (durations != NULL) g_hash_table_unref(durations);
    durations = fresh;
    g_ptr_array_unref(segments);
    text = g_string_free(json, FALSE);
    soup_server_message_set_status(msg, SOUP_STATUS_OK, NULL);
    soup_server_message_set_response(msg, "application/json", SOUP_MEMORY_TAKE, text, strlen(text));
}

static void serve_segment(const char *dir, SoupServerMessage *msg, const char *relative) {
    int camera, suffix;
    gint64 start_us;
    gchar *path;
    GMappedFile *map;
    /* Only a segment's own name: nothing with "..", no other file. */
    if (segments_parse(relative, &camera, &start_us, &suffix) != 0 || strstr(relative, "..") != NULL) {
        respond_text(msg, SOUP_STATUS_NOT_FOUND, "no such recording\n");
        return;
    }
    path = g_build_filename(dir, relative, NULL);
    map = g_file_test(path, G_FILE_TEST_IS_REGULAR) ? g_mapped_file_new(path, FALSE, NULL) : NULL;
    g_free(path);
    if (map == NULL) {
        respond_text(msg, SOUP_STATUS_NOT_FOUND, "no such recording\n");
        return;
    }
    {
        GBytes *bytes = g_mapped_file_get_bytes(map);
        struct ranged_body *body = ranged_body_new();
        ranged_body_append(body, bytes, 0, g_bytes_get_size(bytes));
        ranged_body_respond(body, msg, "video/mp4");
        ranged_body_free(body);
        g_bytes_unref(bytes);
        g_mapped_file_unref(map);
    }
}

static void export(const char *dir, SoupServerMessage *msg, GHashTable *query) {
    const char *start_text = query != NULL ? g_hash_table_lookup(query, "start") : NULL;
    const char *duration_text = query != NULL ? g_hash_table_lookup(query, "duration") : NULL;
    gint64 start_us;
    double duration_s = 0;
    char *rest = NULL;
    int camera;
    struct export_info info;
    struct ranged_body *body;
    GError *error = NULL;
    if (query_camera(query, 0, &camera) != 0) {
        respond_text(msg, SOUP_STATUS_BAD_REQUEST, "camera must be 0 or 1\n");
        return;
    }
    if (start_text == NULL || parse_time(start_text, &start_us) != 0) {
        respond_text(msg, SOUP_STATUS_BAD_REQUEST, "start must be an RFC 3339 time, as 2026-12-09T10:00:00Z\n");
        return;
    }
    if (duration_text != NULL) duration_s = g_ascii_strtod(duration_text, &rest);
    if (duration_text == NULL || rest == duration_text || *rest != '\0' || !(duration_s > 0) ||
        duration_s > MAX_EXPORT_S) {
        respond_text(msg, SOUP_STATUS_BAD_REQUEST, "duration must be seconds, more than 0 and at most 86400\n");
        return;
    }
    body = export_span(dir, camera, start_us, (gint64)(duration_s * G_USEC_PER_SEC), &info, &error);
    if (body == NULL) {
        gchar *text = g_strdup_printf("%s\n", error->message);
        respond_text(msg, SOUP_STATUS_NOT_FOUND, text);
        g_free(text);
        g_error_free(error);
        return;
    }
    {
        SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
        gchar *start = format_time(info.start_us);
        gchar *disposition = g_strdup_printf("inline; filename=\"cam%d-%s.mp4\"", camera, start);
        gchar *duration = g_strdup_printf("%.3f", (double)info.duration_us / G_USEC_PER_SEC);
        /* The export's own start and length: it begins on a key frame, at
         * or before the time asked for. */
        soup_message_headers_replace(headers, "Content-Disposition", disposition);
        soup_message_headers_replace(headers, "X-Recording-Start", start);
        soup_message_headers_replace(headers, "X-Recording-Duration", duration);
        g_free(start);
        g_free(disposition);
        g_free(duration);
    }
    ranged_body_respond(body, msg, "video/mp4");
    ranged_body_free(body);
}

static int handle(SoupServerMessage *msg, const char *path, GHashTable *query, void *data) {
    const char *dir = data;
    const int segment = g_str_has_prefix(path, "/recordings/");
    if (!segment && strcmp(path, "/api/recordings") != 0 && strcmp(path, "/api/export") != 0) return 0;
    if (dir == NULL) {
        respond_text(msg, SOUP_STATUS_NOT_FOUND, "not recording: start boardcam-serve with --record DIR\n");
    } else if (segment) {
        serve_segment(dir, msg, path + strlen("/recordings/"));
    } else if (strcmp(path, "/api/recordings") == 0) {
        list(dir, msg, query);
    } else {
        export(dir, msg, query);
    }
    return 1;
}

static void end(void *data) {
    (void)data;
    if (durations != NULL) g_hash_table_unref(durations);
    durations = NULL;
}

struct http_route recordings_http_route(const char *dir) {
    struct http_route route = {handle, NULL, 0, end, (void *)dir, NULL};
    return route;
}
