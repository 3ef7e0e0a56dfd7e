#include "ranged_body.h"

struct slice {
    GBytes *whole;
    gsize offset, size;
};

struct ranged_body {
    GArray *slices;
    uint64_t size;
};

static void slice_clear(gpointer data) {
    struct slice *slice = data;
    g_bytes_unref(slice->whole);
}

struct ranged_body *ranged_body_new(void) {
    struct ranged_body *body = g_new0(struct ranged_body, 1);
    body->slices = g_array_new(FALSE, FALSE, sizeof(struct slice));
    g_array_set_clear_func(body->slices, slice_clear);
    return body;
}

void ranged_body_free(struct ranged_body *body) {
    if (body == NULL) return;
    g_array_unref(body->slices);
    g_free(body);
}

void ranged_body_append(struct ranged_body *body, GBytes *whole, gsize offset, gsize size) {
    struct slice *last = body->slices->len > 0 ? &g_array_index(body->slices, struct slice, body->slices->len - 1)
                                               : NULL;
    if (size == 0) return;
    g_return_if_fail(offset <= g_bytes_get_size(whole) && size <= g_bytes_get_size(whole) - offset);
    body->size += size;
    if (last != NULL && last->whole == whole && last->offset + last->size == offset) {
        last->size += size;
    } else {
        struct slice slice = {g_bytes_ref(whole), offset, size};
        g_array_append_val(body->slices, slice);
    }
}

uint64_t ranged_body_size(const struct ranged_body *body) {
    return body->size;
}

/* Appends [from, from + count) of the body to `out`, as slices. */
static void append_range(const struct ranged_body *body, SoupMessageBody *out, uint64_t from, uint64_t count) {
    uint64_t at = 0;
    guint i;
    for (i = 0; i < body->slices->len && count > 0; ++i) {
        const struct slice *slice = &g_array_index(body->slices, struct slice, i);
        if (from < at + slice->size) {
            const gsize skip = (gsize)(from > at ? from - at : 0);
            const gsize take = (gsize)MIN((uint64_t)(slice->size - skip), count);
            GBytes *part = g_bytes_new_from_bytes(slice->whole, slice->offset + skip, take);
            soup_message_body_append_bytes(out, part);
            g_bytes_unref(part);
            from += take;
            count -= take;
        }
        at += slice->size;
    }
}

void ranged_body_respond(const struct ranged_body *body, SoupServerMessage *msg, const char *content_type) {
    SoupMessageHeaders *request = soup_server_message_get_request_headers(msg);
    SoupMessageHeaders *response = soup_server_message_get_response_headers(msg);
    SoupMessageBody *out = soup_server_message_get_response_body(msg);
    SoupRange *ranges = NULL;
    int count = 0;
    soup_message_headers_replace(response, "Accept-Ranges", "bytes");
    if (body->size > 0 && soup_message_headers_get_ranges(request, (goffset)body->size, &ranges, &count) &&
        count == 1) {
        const uint64_t start = (uint64_t)ranges[0].start, end = (uint64_t)ranges[0].end;
        soup_message_headers_free_ranges(request, ranges);
        if (start >= body->size || end < start) {
            gchar *all = g_strdup_printf("bytes */%" G_GUINT64_FORMAT, body->size);
            soup_message_headers_replace(response, "Content-Range", all);
            g_free(all);
            soup_server_message_set_status(msg, SOUP_STATUS_REQUESTED_RANGE_NOT_SATISFIABLE, NULL);
            return;
        }
        soup_server_message_set_status(msg, SOUP_STATUS_PARTIAL_CONTENT, NULL);
        soup_message_headers_set_content_type(response, content_type, NULL);
        soup_message_headers_set_content_range(response, (goffset)start, (goffset)MIN(end, body->size - 1),
                                               (goffset)body->size);
        append_range(body, out, start, MIN(end, body->size - 1) - start + 1);
        return;
    }
    if (ranges != NULL) soup_message_headers_free_ranges(request, ranges);
    /* All of it. libsoup would answer a Range it finds on a 200 itself, by
     * flattening the body: the range this did not take is gone first. */
    soup_message_headers_remove(request, "Range");
    soup_server_message_set_status(msg, SOUP_STATUS_OK, NULL);
    soup_message_headers_set_content_type(response, content_type, NULL);
    append_range(body, out, 0, body->size);
}
