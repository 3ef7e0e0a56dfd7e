#include "recordings.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "recorder.h"

/* Cameras are watched this often for a fault and its end; a disk too full
 * is looked at again every RETRY_TICKS of them. */
#define WATCH_MS 1000u
#define RETRY_TICKS 5u
#define STOP_WAIT_US (1000 * 1000)
#define RESUME_FREE_BYTES (1u << 20)

struct recordings;

struct camera_recording {
    struct recordings *owner;
    struct feed *feed;
    struct recorder *recorder; /* NULL while paused */
    uint64_t bytes_before;     /* of the recorders before this one */
    uint64_t errors_total;
    gchar *error;              /* why paused */
    int camera_failing;        /* paused for the camera's fault, not the disk's */
    uint64_t frames_at_fault;  /* the camera's frame count when it failed */
    guint failed_idle;
};

struct recordings {
    gchar *dir;
    int segment_s;
    struct retention_policy retention;
    struct camera_recording cameras[2];
    guint watch_timer;
    guint ticks;
    pthread_mutex_t lock; /* the recorders and errors, for recordings_stats() */
};

static void on_segment_closed(void *user);
static void on_failure(void *user);

static void apply_retention(struct recordings *recordings, struct retention_result *result) {
    gchar *writing[3] = {NULL, NULL, NULL};
    int i, n = 0;
    for (i = 0; i < 2; ++i)
        if (recordings->cameras[i].recorder != NULL) {
            gchar *path = recorder_current_path(recordings->cameras[i].recorder);
            if (path != NULL) writing[n++] = path;
        }
    retention_apply(recordings->dir, &recordings->retention, g_get_real_time(), (const char *const *)writing, result);
    if (result->deleted > 0)
        fprintf(stderr, "boardcam-serve: recordings: deleted %u old segments (%.1f MB)\n", result->deleted,
                (double)result->freed_bytes / 1e6);
    for (i = 0; i < n; ++i) g_free(writing[i]);
}

/* `why` NULL: recording again. A camera's fault is the camera's error (its
 * status says so); it is no failure of the recording. */
static void set_error(struct camera_recording *camera, const char *why, int counts) {
    pthread_mutex_lock(&camera->owner->lock);
    if (why != NULL && (camera->error == NULL || strcmp(camera->error, why) != 0)) {
        fprintf(stderr, "boardcam-serve: camera %d: recording paused: %s\n", feed_camera(camera->feed), why);
        if (counts) ++camera->errors_total;
    } else if (why == NULL && camera->error != NULL) {
        fprintf(stderr, "boardcam-serve: camera %d: recording again\n", feed_camera(camera->feed));
    }
    g_free(camera->error);
    camera->error = g_strdup(why);
    pthread_mutex_unlock(&camera->owner->lock);
}

static void pause_camera(struct camera_recording *camera, const char *why, int counts, gint64 wait_us) {
    struct recorder *recorder = camera->recorder;
    struct recorder_stats stats;
    if (recorder != NULL) {
        recorder_stats(recorder, &stats);
        pthread_mutex_lock(&camera->owner->lock);
        camera->recorder = NULL;
        camera->bytes_before += stats.bytes_total;
        pthread_mutex_unlock(&camera->owner->lock);
        recorder_stats_clear(&stats);
        recorder_free(recorder, wait_us);
    }
    set_error(camera, why, counts);
}

static void resume_camera(struct camera_recording *camera) {
    struct recordings *recordings = camera->owner;
    struct recorder_config config = {recordings->dir, recordings->segment_s, on_segment_closed, on_failure, camera};
    GError *error = NULL;
    struct recorder *recorder = recorder_new(camera->feed, &config, &error);
    if (recorder == NULL) {
        set_error(camera, error != NULL ? error->message : "the recording pipeline could not be made", 1);
        if (error != NULL) g_error_free(error);
        return;
    }
    pthread_mutex_lock(&recordings->lock);
    camera->recorder = recorder;
    pthread_mutex_unlock(&recordings->lock);
    camera->camera_failing = 0;
    set_error(camera, NULL, 0);
}

/* After retention, a disk still short of the space asked for pauses every
 * camera. A paused one resumes once there is room for a few fragments: a
 * disk that filled up fails again at once otherwise. */
static void check_space(struct recordings *recordings) {
    struct retention_result result;
    uint64_t free_bytes = 0, total = 0;
    int i, room;
    apply_retention(recordings, &result);
    room = recordings_disk(recordings, &free_bytes, &total) == 0 && free_bytes >= RESUME_FREE_BYTES;
    for (i = 0; i < 2; ++i) {
        struct camera_recording *camera = &recordings->cameras[i];
        if (camera->feed == NULL) continue;
        if (result.short_of_space) {
            pause_camera(camera, "the disk is full: nothing more can be deleted", 1, STOP_WAIT_US);
            camera->camera_failing = 0;
        } else if (camera->recorder == NULL && room && !camera->camera_failing) {
            resume_camera(camera);
        }
    }
}

static void on_segment_closed(void *user) {
    struct camera_recording *camera = user;
    check_space(camera->owner);
}

static gboolean pause_failed(gpointer data) {
    struct camera_recording *camera = data;
    gchar *why = NULL;
    camera->failed_idle = 0;
    if (camera->recorder != NULL) {
        struct recorder_stats stats;
        recorder_stats(camera->recorder, &stats);
        why = g_strdup(stats.error != NULL ? stats.error : "a write failed");
        recorder_stats_clear(&stats);
    }
    /* A failed pipeline ends no segment: nothing to wait for. */
    pause_camera(camera, why, 1, 0);
    g_free(why);
    return G_SOURCE_REMOVE;
}

/* From the recorder's own bus watch: it is freed after that returns. */
static void on_failure(void *user) {
    struct camera_recording *camera = user;
    if (camera->failed_idle == 0) camera->failed_idle = g_idle_add(pause_failed, camera);
}

/* A failing camera ends its segment there, properly closed, rather than
 * leave it open over the gap; a new segment starts when it is back. The
 * recordings' own hold keeps the camera open and retrying meanwhile. */
static void watch_camera(struct camera_recording *camera) {
    struct feed_stats stats;
    feed_stats(camera->feed, &stats);
    if (stats.error != NULL && camera->recorder != NULL) {
        gchar *why = g_strdup_printf("camera %d is failing: %s", feed_camera(camera->feed), stats.error);
        pause_camera(camera, why, 0, STOP_WAIT_US);
        camera->camera_failing = 1;
        camera->frames_at_fault = stats.frames;
        g_free(why);
    } else if (stats.error == NULL && camera->camera_failing && stats.frames > camera->frames_at_fault) {
        /* Back once frames come again, not at an attempt that may fail
         * again: a segment starts only with frames to put in it. */
        camera->camera_failing = 0;
        check_space(camera->owner);
    }
    feed_stats_clear(&stats);
}

static gboolean on_watch(gpointer data) {
    struct recordings *recordings = data;
    int i, paused = 0;
    for (i = 0; i < 2; ++i)
        if (recordings->cameras[i].feed != NULL) watch_camera(&recordings->cameras[i]);
    if (++recordings->ticks % RETRY_TICKS != 0) return G_SOURCE_CONTINUE;
    for (i = 0; i < 2; ++i) paused |= recordings->cameras[i].feed != NULL && recordings->cameras[i].recorder == NULL;
    if (paused) check_space(recordings);
    return G_SOURCE_CONTINUE;
}

struct recordings *recordings_start(struct feed *const feeds[2], const struct recordings_config *config) {
    struct recordings *recordings = g_new0(struct recordings, 1);
    int i;
    pthread_mutex_init(&recordings->lock, NULL);
    recordings->dir = g_strdup(config->dir);
    recordings->segment_s = config->segment_s;
    recordings->retention = config->retention;
    for (i = 0; i < 2; ++i) {
        recordings->cameras[i].owner = recordings;
        recordings->cameras[i].feed = feeds[i];
        if (feeds[i] != NULL) feed_acquire(feeds[i], FEED_H264);
    }
    check_space(recordings);
    recordings->watch_timer = g_timeout_add(WATCH_MS, on_watch, recordings);
    return recordings;
}

void recordings_stop(struct recordings *recordings, gint64 wait_us) {
    int i;
    if (recordings == NULL) return;
    g_source_remove(recordings->watch_timer);
    for (i = 0; i < 2; ++i) {
        struct camera_recording *camera = &recordings->cameras[i];
        if (camera->failed_idle != 0) g_source_remove(camera->failed_idle);
        recorder_free(camera->recorder, wait_us);
        if (camera->feed != NULL) feed_release(camera->feed, FEED_H264);
        g_free(camera->error);
    }
    pthread_mutex_destroy(&recordings->lock);
    g_free(recordings->dir);
    g_free(recordings);
}

int recordings_stats(struct recordings *recordings, int camera_id, struct recording_stats *out) {
    struct camera_recording *camera;
    memset(out, 0, sizeof *out);
    if (recordings == NULL || camera_id < 0 || camera_id > 1 || recordings->cameras[camera_id].feed == NULL) return -1;
    camera = &recordings->cameras[camera_id];
    pthread_mutex_lock(&recordings->lock);
    out->bytes_total = camera->bytes_before;
    out->errors_total = camera->errors_total;
    if (camera->recorder != NULL) {
        struct recorder_stats now;
        recorder_stats(camera->recorder, &now);
        out->bytes_total += now.bytes_total;
        out->segment = now.segment;
        now.segment = NULL;
        recorder_stats_clear(&now);
    }
    out->error = g_strdup(camera->error);
    out->on = camera->recorder != NULL && camera->error == NULL;
    pthread_mutex_unlock(&recordings->lock);
    return 0;
}

void recording_stats_clear(struct recording_stats *stats) {
    g_free(stats->segment);
    g_free(stats->error);
    memset(stats, 0, sizeof *stats);
}

const char *recordings_dir(const struct recordings *recordings) {
    return recordings != NULL ? recordings->dir : NULL;
}

int recordings_disk(struct recordings *recordings, uint64_t *free_bytes, uint64_t *total_bytes) {
    retention_space_fn space = recordings->retention.space != NULL ? recordings->retention.space : retention_disk_space;
    return space(recordings->dir, free_bytes, total_bytes, recordings->retention.space_user);
}
