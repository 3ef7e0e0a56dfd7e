#include "status_format.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

void print_camera_status(FILE *out, const boardcam_mt_camera_status *status) {
    uint32_t i;
    if (!status->owned) {
        fprintf(out, "camera %d: free\n", status->id);
        return;
    }
    fprintf(out, "camera %d: %s (pid %d) at %dx%d, %d fps; %u sharing it; %llu frames, %llu copied for them\n",
            status->id, status->owner.program, status->owner.pid, status->width, status->height, status->fps,
            status->subscriber_count, (unsigned long long)status->frames, (unsigned long long)status->copies);
    for (i = 0; i < status->subscriber_count; ++i) {
        const boardcam_mt_peer *peer = &status->subscribers[i];
        fprintf(out, "  %s (pid %d) at %d fps: holds %u, %llu frames, %llu dropped\n", peer->program, peer->pid,
                peer->fps, peer->held, (unsigned long long)peer->frames, (unsigned long long)peer->dropped);
    }
}

struct text {
    char *data;
    size_t length, size;
    int failed;
};

static void append(struct text *text, const char *format, ...) __attribute__((format(printf, 2, 3)));

static void append(struct text *text, const char *format, ...) {
    va_list args;
    int needed;
    if (text->failed) return;
    for (;;) {
        va_start(args, format);
        needed = vsnprintf(text->data + text->length, text->size - text->length, format, args);
        va_end(args);
        if (needed < 0) {
            text->failed = 1;
            return;
        }
        if ((size_t)needed < text->size - text->length) break;
        {
            char *grown = realloc(text->data, text->size * 2 + (size_t)needed);
            if (grown == NULL) {
                text->failed = 1;
                return;
            }
            text->data = grown;
            text->size = text->size * 2 + (size_t)needed;
        }
    }
    text->length += (size_t)needed;
}

/* A program's name as a JSON string: printable ASCII kept, the rest escaped. */
static void append_name(struct text *text, const char *name) {
    size_t i;
    append(text, "\"");
    for (i = 0; i < BOARDCAM_MT_PROGRAM_MAX && name[i] != '\0'; ++i) {
        const unsigned char c = (unsigned char)name[i];
        if (c == '"' || c == '\\')
            append(text, "\\%c", c);
        else if (c < 0x20 || c >= 0x7f)
            append(text, "\\u%04x", c);
        else
            append(text, "%c", c);
    }
    append(text, "\"");
}

char *camera_statuses_json(const boardcam_mt_camera_status *cameras, const int known[2], int first, int last) {
    struct text text = {malloc(1024), 0, 1024, 0};
    int camera, written = 0;
    if (text.data == NULL) return NULL;
    text.data[0] = '\0';
    append(&text, "{\"cameras\": [");
    for (camera = first; camera <= last; ++camera) {
        const boardcam_mt_camera_status *s = &cameras[camera];
        uint32_t i;
        if (!known[camera]) continue;
        append(&text, "%s{\"id\": %d, \"owned\": %s", written++ ? ", " : "", camera, s->owned ? "true" : "false");
        if (s->owned) {
            append(&text,
                   ", \"width\": %d, \"height\": %d, \"fps\": %d, \"frames\": %llu, \"copies\": %llu, "
                   "\"owner\": {\"program\": ",
                   s->width, s->height, s->fps, (unsigned long long)s->frames, (unsigned long long)s->copies);
            append_name(&text, s->owner.program);
            append(&text, ", \"pid\": %d}, \"subscribers\": [", s->owner.pid);
            for (i = 0; i < s->subscriber_count; ++i) {
                const boardcam_mt_peer *p = &s->subscribers[i];
                append(&text, "%s{\"program\": ", i ? ", " : "");
                append_name(&text, p->program);
                append(&text, ", \"pid\": %d, \"fps\": %d, \"held\": %u, \"frames\": %llu, \"dropped\": %llu}",
                       p->pid, p->fps, p->held, (unsigned long long)p->frames, (unsigned long long)p->dropped);
            }
            append(&text, "]");
        }
        append(&text, "}");
    }
    append(&text, "]}\n");
    if (text.failed) {
        free(text.data);
        return NULL;
    }
    return text.data;
}

void camera_statuses_free(char *text) { free(text); }
