#include "retention.h"

#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "segments.h"

int retention_disk_space(const char *dir, uint64_t *free_bytes, uint64_t *total_bytes, void *unused) {
    struct statvfs info;
    (void)unused;
    if (statvfs(dir, &info) != 0) return -1;
    *free_bytes = (uint64_t)info.f_bavail * info.f_frsize;
    *total_bytes = (uint64_t)info.f_blocks * info.f_frsize;
    return 0;
}

static int is_writing(const char *path, const char *const *writing) {
    for (; writing != NULL && *writing != NULL; ++writing)
        if (strcmp(path, *writing) == 0) return 1;
    return 0;
}

static int delete_segment(const struct segment *segment, struct retention_result *result) {
    gchar *day;
    if (unlink(segment->path) != 0) return -1;
    /* A day whose last segment went goes too (rmdir leaves one that is not
     * empty). */
    day = g_path_get_dirname(segment->path);
    rmdir(day);
    g_free(day);
    ++result->deleted;
    result->freed_bytes += segment->bytes;
    return 0;
}

/* Free space below what the policy keeps: how many bytes short, 0 if none. */
static uint64_t shortfall(const char *dir, const struct retention_policy *policy) {
    retention_space_fn space = policy->space != NULL ? policy->space : retention_disk_space;
    uint64_t free_bytes = 0, total = 0, wanted;
    if (space(dir, &free_bytes, &total, policy->space_user) != 0) return 0;
    wanted = policy->keep_free_percent > 0 ? (uint64_t)((double)total * policy->keep_free_percent / 100.0)
                                           : policy->keep_free_bytes;
    return free_bytes < wanted ? wanted - free_bytes : 0;
}

void retention_apply(const char *dir, const struct retention_policy *policy, gint64 now_us,
                     const char *const *writing, struct retention_result *result) {
    GPtrArray *segments = segments_list(dir, -1);
    guint i;
    memset(result, 0, sizeof *result);
    for (i = 0; i < segments->len; ++i) {
        const struct segment *segment = g_ptr_array_index(segments, i);
        /* By its last write, not its name: a segment named before a clock
         * step is as old as its data. */
        const gint64 age_us = now_us - segment->modified_us;
        if (policy->keep_days <= 0 || is_writing(segment->path, writing)) continue;
        if (age_us > (gint64)policy->keep_days * 86400 * G_USEC_PER_SEC) delete_segment(segment, result);
    }
    g_ptr_array_unref(segments);

    /* Oldest first across cameras, until the space asked for is free. */
    segments = segments_list(dir, -1);
    for (i = 0; i < segments->len && shortfall(dir, policy) > 0; ++i) {
        const struct segment *segment = g_ptr_array_index(segments, i);
        if (!is_writing(segment->path, writing)) delete_segment(segment, result);
    }
    result->short_of_space = shortfall(dir, policy) > 0;
    g_ptr_array_unref(segments);
}
