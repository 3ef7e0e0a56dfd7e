#include "segments.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

static void segment_free(gpointer data) {
    struct segment *segment = data;
    g_free(segment->path);
    g_free(segment->relative);
    g_free(segment);
}

int segments_parse(const char *relative, int *camera, gint64 *start_us, int *suffix) {
    int cam, year, month, day, hour, minute, second, k = 0, used = 0;
    GDateTime *when;
    if (sscanf(relative, "cam%d/%4d-%2d-%2d/%2d-%2d-%2d%n", &cam, &year, &month, &day, &hour, &minute, &second,
               &used) != 7)
        return -1;
    if (strncmp(relative + used, "-", 1) == 0) {
        int more = 0;
        if (sscanf(relative + used, "-%d%n", &k, &more) != 1 || k < 2) return -1;
        used += more;
    }
    if (strcmp(relative + used, ".mp4") != 0 || cam < 0 || cam > 9) return -1;
    when = g_date_time_new_utc(year, month, day, hour, minute, second);
    if (when == NULL) return -1;
    *camera = cam;
    *start_us = g_date_time_to_unix(when) * G_USEC_PER_SEC;
    *suffix = k;
    g_date_time_unref(when);
    return 0;
}

static gint by_start(gconstpointer a, gconstpointer b) {
    const struct segment *x = *(struct segment *const *)a, *y = *(struct segment *const *)b;
    if (x->start_us != y->start_us) return x->start_us < y->start_us ? -1 : 1;
    if (x->suffix != y->suffix) return x->suffix < y->suffix ? -1 : 1;
    return x->camera - y->camera;
}

static void add_day(GPtrArray *out, const char *dir, const char *cam_name, const char *day_name) {
    gchar *day_path = g_build_filename(dir, cam_name, day_name, NULL);
    GDir *day = g_dir_open(day_path, 0, NULL);
    const char *name;
    if (day == NULL) {
        g_free(day_path);
        return;
    }
    while ((name = g_dir_read_name(day)) != NULL) {
        struct segment segment = {0};
        struct stat info;
        gchar *relative = g_strdup_printf("%s/%s/%s", cam_name, day_name, name);
        gchar *path = g_build_filename(day_path, name, NULL);
        if (segments_parse(relative, &segment.camera, &segment.start_us, &segment.suffix) != 0 ||
            stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
            g_free(relative);
            g_free(path);
            continue;
        }
        segment.path = path;
        segment.relative = relative;
        segment.bytes = (uint64_t)info.st_size;
        segment.modified_us = (gint64)info.st_mtim.tv_sec * G_USEC_PER_SEC + info.st_mtim.tv_nsec / 1000;
        g_ptr_array_add(out, g_memdup2(&segment, sizeof segment));
    }
    g_dir_close(day);
    g_free(day_path);
}

GPtrArray *segments_list(const char *dir, int camera) {
    GPtrArray *out = g_ptr_array_new_with_free_func(segment_free);
    int cam;
    for (cam = 0; cam < 10; ++cam) {
        gchar cam_name[8];
        gchar *cam_path;
        GDir *days;
        const char *day_name;
        if (camera >= 0 && cam != camera) continue;
        g_snprintf(cam_name, sizeof cam_name, "cam%d", cam);
        cam_path = g_build_filename(dir, cam_name, NULL);
        days = g_dir_open(cam_path, 0, NULL);
        g_free(cam_path);
        if (days == NULL) continue;
        while ((day_name = g_dir_read_name(days)) != NULL) add_day(out, dir, cam_name, day_name);
        g_dir_close(days);
    }
    g_ptr_array_sort(out, by_start);
    return out;
}

gchar *segments_new_path(const char *dir, int camera, gint64 start_us) {
    GDateTime *when = g_date_time_new_from_unix_utc(start_us / G_USEC_PER_SEC);
    gchar *day = g_date_time_format(when, "%Y-%m-%d");
    gchar *time_of_day = g_date_time_format(when, "%H-%M-%S");
    gchar *day_path = g_strdup_printf("%s/cam%d/%s", dir, camera, day);
    gchar *path = NULL;
    int k;
    g_date_time_unref(when);
    if (g_mkdir_with_parents(day_path, 0755) != 0) {
        const int saved = errno;
        g_free(day);
        g_free(time_of_day);
        g_free(day_path);
        errno = saved;
        return NULL;
    }
    for (k = 1; path == NULL; ++k) {
        gchar *candidate = k == 1 ? g_strdup_printf("%s/%s.mp4", day_path, time_of_day)
                                  : g_strdup_printf("%s/%s-%d.mp4", day_path, time_of_day, k);
        if (!g_file_test(candidate, G_FILE_TEST_EXISTS))
            path = candidate;
        else
            g_free(candidate);
    }
    g_free(day);
    g_free(time_of_day);
    g_free(day_path);
    return path;
}
