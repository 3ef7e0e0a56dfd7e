/*
 * Camera handles: who has each camera, reads scheduled outside the
 * process-wide lock, and the flushing switch that interrupts them.
 *
 * A handle is one of three kinds:
 *  - a lone reader (nothing can be shared: no runtime folder): it reads the
 *    camera itself, and a second open in the process is refused;
 *  - the owner: it opened the camera, and shares it through its hub
 *    (hub_owner.c). With no subscriber it reads the camera itself, exactly
 *    as a lone reader; with subscribers the hub's pump reads in its place,
 *    and its own reads take the newest frame from a mailbox of one;
 *  - a subscriber (hub_client.c), reading the owner's frames. When its owner
 *    goes, its next read takes over: it becomes the owner or attaches to the
 *    one that did.
 *
 * Each handle has a mutex of its own that guards its state. It is never held
 * across a library call or while the hub's lock is taken, and the
 * process-wide lock is never held across a wait.
 */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "boardcam-mt.h"
#include "hub_client.h"
#include "hub_owner.h"
#include "last_message.h"
#include "owner_reads.h"
#include "process_lock.h"
#include "read_schedule.h"
#include "runtime_dir.h"
#include "vekpimo.h"

#define CAMERA_COUNT 2
#define DEFAULT_FPS 30
#define DEFAULT_WIDTH 640
#define DEFAULT_HEIGHT 480
/* How long an open, or a subscriber's read whose owner went, waits for an
 * owner that is starting (or going) before it gives up. */
#define TAKE_OVER_NS (3 * 1000000000LL)

enum role { ROLE_LONE, ROLE_OWNER, ROLE_SUBSCRIBER };

struct boardcam_mt_camera {
    int32_t id;
    pthread_mutex_t mu;
    pthread_cond_t changed;  /* flushing switched, a read ended, the pump came or went, a frame was delivered */
    bool flushing;
    int wake_fd;             /* readable while flushing: a subscriber's wait watches it */
    int reads_in_progress;
    enum role role;
    int32_t asked_fps, asked_width, asked_height; /* what the open asked; 0: whatever */
    int32_t fps, width, height;                   /* what the handle reads at */
    int32_t owner_fps;                            /* a subscriber's owner's rate */
    /* What the program saw last, for the sequence across a take-over. */
    bool has_last;
    uint64_t last_sequence;
    int64_t last_arrival_ns;
    int64_t sequence_offset;  /* added to the sequence of every frame from the current owner */
    bool rebase;              /* the owner changed: set the offset at the next frame */

    /* A lone reader and the owner. */
    bool configured;          /* the last open or reconfiguration succeeded */
    struct read_schedule schedule;
    int lock_fd;              /* the owner's lock; -1 for a lone reader */
    struct hub *hub;          /* NULL: not shared */
    bool settled;             /* an owner's hub was made, or could not be: guarded by the process lock */
    bool pumped;              /* the hub's pump reads the camera */
    bool pump_stopping;
    bool direct_reading;      /* a read of the owner's own is inside the library */
    bool mailbox_full;
    int mailbox_result;
    boardcam_mt_frame mailbox;
    uint64_t frames_read;     /* from the camera, by the owner's reads or its pump */

    /* A subscriber. */
    struct hub_client *client;
};

/* The handle that owns each camera in this process; guarded by the
 * process-wide lock. */
static boardcam_mt_camera *owners[CAMERA_COUNT];

static int64_t period_of(int32_t fps) { return fps > 0 ? 1000000000LL / fps : 0; }

static void sleep_ns(int64_t ns) {
    struct timespec pause;
    pause.tv_sec = (time_t)(ns / 1000000000);
    pause.tv_nsec = (long)(ns % 1000000000);
    nanosleep(&pause, NULL);
}

static boardcam_mt_camera *new_handle(int32_t id) {
    boardcam_mt_camera *camera = calloc(1, sizeof *camera);
    pthread_condattr_t attr;
    if (camera == NULL) return NULL;
    camera->id = id;
    camera->lock_fd = -1;
    camera->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (camera->wake_fd < 0 || pthread_mutex_init(&camera->mu, NULL) != 0) {
        if (camera->wake_fd >= 0) close(camera->wake_fd);
        free(camera);
        return NULL;
    }
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (pthread_cond_init(&camera->changed, &attr) != 0) {
        pthread_condattr_destroy(&attr);
        pthread_mutex_destroy(&camera->mu);
        close(camera->wake_fd);
        free(camera);
        return NULL;
    }
    pthread_condattr_destroy(&attr);
    return camera;
}

static void free_handle(boardcam_mt_camera *camera) {
    pthread_cond_destroy(&camera->changed);
    pthread_mutex_destroy(&camera->mu);
    close(camera->wake_fd);
    free(camera);
}

/* --- opening: alone, as the owner, or as a subscriber ------------------- */

/* Opens the camera in the library at the handle's format (process lock
 * taken here); 0 or BOARDCAM_MT_ERROR. */
static int32_t open_in_library(boardcam_mt_camera *camera) {
    int64_t opened;
    int32_t result;
    process_lock();
    /* The sensor starts somewhere inside the call: take its middle. */
    opened = monotonic_ns();
    result = OpenCameraEx(camera->id, camera->fps, camera->width, camera->height);
    opened += (monotonic_ns() - opened) / 2;
    if (result == 0 && camera->id >= 0 && camera->id < CAMERA_COUNT) owners[camera->id] = camera;
    process_unlock();
    if (result != 0) return BOARDCAM_MT_ERROR;
    camera->configured = true;
    read_schedule_init(&camera->schedule, period_of(camera->fps), BOARDCAM_MT_GUARD_NS);
    read_schedule_opened(&camera->schedule, opened);
    return 0;
}

/* What an owner opens at: what was asked, else the defaults. */
static void format_or_defaults(boardcam_mt_camera *camera) {
    pthread_mutex_lock(&camera->mu);
    camera->fps = camera->asked_fps != 0 ? camera->asked_fps : camera->fps != 0 ? camera->fps : DEFAULT_FPS;
    if (camera->asked_width != 0 || camera->asked_height != 0) {
        camera->width = camera->asked_width;
        camera->height = camera->asked_height;
    } else if (camera->width == 0 || camera->height == 0) {
        camera->width = DEFAULT_WIDTH;
        camera->height = DEFAULT_HEIGHT;
    }
    pthread_mutex_unlock(&camera->mu);
}

/* As the camera's owner, with its lock taken: opens it and shares it. */
static int32_t become_owner(boardcam_mt_camera *camera, int lock_fd, const char *socket_path) {
    struct hub *hub;
    format_or_defaults(camera);
    hub = hub_listen(camera, camera->id, socket_path);
    if (open_in_library(camera) != 0) {
        if (hub != NULL) hub_discard(hub);
        close(lock_fd);
        last_message_set("camera %d could not be opened (the camera library's report says why); a program that "
                         "does not share it may have it",
                         camera->id);
        return BOARDCAM_MT_ERROR;
    }
    camera->role = ROLE_OWNER;
    camera->lock_fd = lock_fd;
    /* Without its socket the camera is still this handle's, just not shared. */
    if (hub != NULL && hub_serve(hub, camera->fps, camera->width, camera->height) != 0) hub = NULL;
    camera->hub = hub;
    process_lock();
    camera->settled = true;
    process_unlock();
    return 0;
}

/* Owns the camera when nobody has it, else attaches to its owner; waits up
 * to TAKE_OVER_NS for an owner that is starting or going. */
static int32_t own_or_attach(boardcam_mt_camera *camera) {
    char lock_path[RUNTIME_PATH_MAX], socket_path[RUNTIME_PATH_MAX];
    const int64_t deadline = monotonic_ns() + TAKE_OVER_NS;
    if (runtime_path(camera->id, "lock", lock_path, sizeof lock_path) != 0 ||
        runtime_path(camera->id, "sock", socket_path, sizeof socket_path) != 0)
        return BOARDCAM_MT_ERROR;
    for (;;) {
        const int lock_fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0660);
        int32_t result;
        if (lock_fd < 0) {
            last_message_set("camera %d: this user may not use the shared cameras: %s: %s", camera->id, lock_path,
                             strerror(errno));
            return errno == EACCES || errno == EPERM ? BOARDCAM_MT_DENIED : BOARDCAM_MT_ERROR;
        }
        if (flock(lock_fd, LOCK_EX | LOCK_NB) == 0) return become_owner(camera, lock_fd, socket_path);
        close(lock_fd);
        process_lock();
        /* Owned here, and not shared: nothing to attach to. (An owner still
         * making its hub is waited for, as one of another process is.) */
        if (owners[camera->id] != NULL && owners[camera->id]->settled && owners[camera->id]->hub == NULL) {
            process_unlock();
            last_message_set("camera %d is open in this program and cannot be shared", camera->id);
            return BOARDCAM_MT_BUSY;
        }
        process_unlock();
        result = hub_client_attach(camera->id, socket_path, camera->asked_fps, camera->asked_width,
                                   camera->asked_height, &camera->client);
        if (result == 0) {
            pthread_mutex_lock(&camera->mu);
            camera->role = ROLE_SUBSCRIBER;
            hub_client_format(camera->client, &camera->fps, &camera->width, &camera->height, &camera->owner_fps);
            pthread_mutex_unlock(&camera->mu);
            return 0;
        }
        if (result != HUB_CLIENT_NO_OWNER) return result;
        if (monotonic_ns() > deadline) {
            last_message_set("camera %d: its owner did not come up in time", camera->id);
            return BOARDCAM_MT_ERROR;
        }
        pthread_mutex_lock(&camera->mu);
        if (camera->flushing) {
            pthread_mutex_unlock(&camera->mu);
            return BOARDCAM_MT_INTERRUPTED;
        }
        pthread_mutex_unlock(&camera->mu);
        sleep_ns(10 * 1000000);
    }
}

/* Nothing can be shared: the camera is this handle's alone, and a second
 * open in the process is refused, as before sharing. */
static int32_t open_alone(boardcam_mt_camera *camera) {
    const int owned = camera->id >= 0 && camera->id < CAMERA_COUNT;
    process_lock();
    if (owned && owners[camera->id] != NULL) {
        process_unlock();
        last_message_set("camera %d is already open in this program, and nothing can be shared here (no runtime "
                         "folder: set BOARDCAM_RUNTIME_DIR)",
                         camera->id);
        return BOARDCAM_MT_BUSY;
    }
    process_unlock();
    format_or_defaults(camera);
    /* An id outside 0 and 1 still reaches the library, which reports it. */
    if (open_in_library(camera) != 0 || !owned) return BOARDCAM_MT_ERROR;
    camera->role = ROLE_LONE;
    return 0;
}

BOARDCAM_MT_API int32_t boardcam_mt_open(int32_t id, int32_t fps, int32_t width, int32_t height,
                                         boardcam_mt_camera **out) {
    boardcam_mt_camera *camera;
    char dir[RUNTIME_PATH_MAX];
    int32_t result;
    int sharing;

    last_message_clear();
    if (out == NULL) return BOARDCAM_MT_ERROR;
    camera = new_handle(id);
    if (camera == NULL) return BOARDCAM_MT_ERROR;
    camera->asked_fps = fps;
    camera->asked_width = width;
    camera->asked_height = height;
    camera->fps = fps;
    camera->width = width;
    camera->height = height;
    sharing = id >= 0 && id < CAMERA_COUNT ? runtime_dir(dir, sizeof dir) : RUNTIME_NONE;
    if (sharing == RUNTIME_DENIED) {
        last_message_set("camera %d: this user may not use the shared cameras: %s is not theirs to use", id, dir);
        result = BOARDCAM_MT_DENIED;
    } else if (sharing == RUNTIME_NONE) {
        result = open_alone(camera);
    } else {
        result = own_or_attach(camera);
    }
    if (result != 0) {
        free_handle(camera);
        return result;
    }
    *out = camera;
    return 0;
}

/* --- reading ------------------------------------------------------------ */

/* Whether a wait for the next frame ends early: the handle flushes (unless
 * the pump reads, which the owner's switch does not stop), or `stop`. */
static bool interrupted(const boardcam_mt_camera *camera, const bool *stop, bool by_pump) {
    return (camera->flushing && !by_pump) || *stop;
}

/* Waits, holding only the handle's mutex (released while asleep), until
 * `until` or until interrupted(). Returns false when interrupted. */
static bool wait_until(boardcam_mt_camera *camera, int64_t until, const bool *stop, bool by_pump) {
    struct timespec deadline;
    deadline.tv_sec = (time_t)(until / 1000000000);
    deadline.tv_nsec = (long)(until % 1000000000);
    while (!interrupted(camera, stop, by_pump) && monotonic_ns() < until) {
        const int rc = pthread_cond_timedwait(&camera->changed, &camera->mu, &deadline);
        if (rc == ETIMEDOUT) break;
    }
    return !interrupted(camera, stop, by_pump);
}

/* One read of the camera in the library at the schedule's time, with the
 * handle's mutex held at the call and at the return (released meanwhile).
 * An interrupted wait (see interrupted()) gives BOARDCAM_MT_INTERRUPTED. */
static int32_t read_in_library(boardcam_mt_camera *camera, const bool *stop, bool by_pump, boardcam_mt_frame *frame) {
    CameraFrame record = {0, NULL};
    int64_t start, end, wall, wake;
    int32_t result;
    wake = read_schedule_next_read(&camera->schedule);
    if (interrupted(camera, stop, by_pump) || (wake != INT64_MIN && !wait_until(camera, wake, stop, by_pump)))
        return BOARDCAM_MT_INTERRUPTED;
    pthread_mutex_unlock(&camera->mu);

    process_lock();
    start = monotonic_ns();
    result = ReadCameraFrame(camera->id, &record);
    end = monotonic_ns();
    wall = realtime_ns();
    process_unlock();

    pthread_mutex_lock(&camera->mu);
    if (result != 0) return BOARDCAM_MT_ERROR;
    ++camera->frames_read;
    read_schedule_frame_read(&camera->schedule, wake, start, end, &frame->sequence, &frame->dropped);
    frame->data = record.data;
    frame->size = record.size;
    frame->monotonic_ns = end;
    frame->realtime_ns = wall;
    return 0;
}

static void end_read(boardcam_mt_camera *camera) {
    if (--camera->reads_in_progress == 0) pthread_cond_broadcast(&camera->changed);
}

/* The owner's own read: the camera itself, or with the pump running the
 * mailbox (`from_pump` then set). With the handle's mutex held. */
static int32_t owner_read(boardcam_mt_camera *camera, boardcam_mt_frame *frame, bool *from_pump) {
    for (;;) {
        int32_t result;
        if (camera->flushing) return BOARDCAM_MT_INTERRUPTED;
        if (camera->pumped || camera->mailbox_full) {
            while (!camera->mailbox_full && !camera->flushing && camera->pumped)
                pthread_cond_wait(&camera->changed, &camera->mu);
            if (!camera->mailbox_full) continue;
            camera->mailbox_full = false;
            if (camera->mailbox_result != 0) return camera->mailbox_result;
            *frame = camera->mailbox;
            *from_pump = true;
            return 0;
        }
        camera->direct_reading = true;
        result = read_in_library(camera, &camera->pumped, false, frame);
        camera->direct_reading = false;
        pthread_cond_broadcast(&camera->changed);
        /* The pump came while this read waited: its frames are the ones now. */
        if (result == BOARDCAM_MT_INTERRUPTED && camera->pumped && !camera->flushing) continue;
        return result;
    }
}

void owner_pump_starts(boardcam_mt_camera *camera) {
    pthread_mutex_lock(&camera->mu);
    camera->pumped = true;
    camera->pump_stopping = false;
    pthread_cond_broadcast(&camera->changed);
    while (camera->direct_reading) pthread_cond_wait(&camera->changed, &camera->mu);
    pthread_mutex_unlock(&camera->mu);
}

void owner_pump_ends(boardcam_mt_camera *camera) {
    pthread_mutex_lock(&camera->mu);
    camera->pumped = false;
    camera->pump_stopping = false;
    pthread_cond_broadcast(&camera->changed);
    pthread_mutex_unlock(&camera->mu);
}

int owner_pump_read(boardcam_mt_camera *camera, boardcam_mt_frame *frame) {
    int32_t result;
    pthread_mutex_lock(&camera->mu);
    result = read_in_library(camera, &camera->pump_stopping, true, frame);
    pthread_mutex_unlock(&camera->mu);
    return result == BOARDCAM_MT_INTERRUPTED ? OWNER_READ_STOPPED : result;
}

void owner_pump_stop(boardcam_mt_camera *camera) {
    pthread_mutex_lock(&camera->mu);
    camera->pump_stopping = true;
    pthread_cond_broadcast(&camera->changed);
    pthread_mutex_unlock(&camera->mu);
}

uint64_t owner_frames(const boardcam_mt_camera *camera) {
    boardcam_mt_camera *handle = (boardcam_mt_camera *)camera;
    uint64_t frames;
    pthread_mutex_lock(&handle->mu);
    frames = handle->frames_read;
    pthread_mutex_unlock(&handle->mu);
    return frames;
}

void owner_deliver(boardcam_mt_camera *camera, int result, const boardcam_mt_frame *frame) {
    void *replaced = NULL;
    pthread_mutex_lock(&camera->mu);
    /* A frame the owner's reader has not taken is overtaken by a newer one:
     * a reader gets the newest frame, as it would from the camera. */
    if (camera->mailbox_full && camera->mailbox_result == 0) replaced = camera->mailbox.data;
    camera->mailbox_full = true;
    camera->mailbox_result = result;
    if (result == 0) camera->mailbox = *frame;
    pthread_cond_broadcast(&camera->changed);
    pthread_mutex_unlock(&camera->mu);
    boardcam_mt_release_frame(replaced);
}

/* The subscriber's owner went: this handle takes over, as the owner or as a
 * subscriber of the one that did, at the format it had. */
static int32_t take_over(boardcam_mt_camera *camera) {
    int32_t result;
    hub_client_close(camera->client);
    camera->client = NULL;
    camera->asked_fps = camera->fps;
    camera->asked_width = camera->width;
    camera->asked_height = camera->height;
    result = own_or_attach(camera);
    pthread_mutex_lock(&camera->mu);
    camera->rebase = true;
    pthread_mutex_unlock(&camera->mu);
    return result;
}

/* The sequence the program sees: the owner's, and across a take-over the
 * last one seen plus the periods that passed. Frames that are not the
 * camera's own next one say what was missed. */
static void account(boardcam_mt_camera *camera, boardcam_mt_frame *frame, bool recount_dropped) {
    if (camera->rebase) {
        const int64_t period = period_of(camera->fps);
        const int64_t missed = camera->has_last && period > 0
                                   ? (frame->monotonic_ns - camera->last_arrival_ns + period / 2) / period
                                   : 1;
        const uint64_t next = camera->has_last ? camera->last_sequence + (uint64_t)(missed > 1 ? missed : 1) : 0;
        camera->sequence_offset = (int64_t)(next - frame->sequence);
        camera->rebase = false;
        recount_dropped = true;
    }
    frame->sequence += (uint64_t)camera->sequence_offset;
    if (recount_dropped) {
        /* A subscriber slower than the camera takes every step-th frame: the
         * frames between are not its to miss. */
        const double step = camera->role == ROLE_SUBSCRIBER && camera->fps > 0 && camera->owner_fps > camera->fps
                                ? (double)camera->owner_fps / camera->fps
                                : 1.0;
        const double periods = camera->has_last && frame->sequence > camera->last_sequence
                                   ? (double)(frame->sequence - camera->last_sequence) / step
                                   : 1.0;
        frame->dropped = periods >= 1.5 ? (uint32_t)(periods + 0.5) - 1 : 0;
    }
    camera->has_last = true;
    camera->last_sequence = frame->sequence;
    camera->last_arrival_ns = frame->monotonic_ns;
}

BOARDCAM_MT_API int32_t boardcam_mt_read(boardcam_mt_camera *camera, boardcam_mt_frame *frame) {
    boardcam_mt_frame got;
    int32_t result;
    last_message_clear();
    if (camera == NULL || frame == NULL) return BOARDCAM_MT_ERROR;
    memset(&got, 0, sizeof got);
    pthread_mutex_lock(&camera->mu);
    ++camera->reads_in_progress;
    for (;;) {
        if (camera->role != ROLE_SUBSCRIBER) {
            static const bool never = false;
            bool from_pump = false;
            result = camera->role == ROLE_OWNER ? owner_read(camera, &got, &from_pump)
                                                : read_in_library(camera, &never, false, &got);
            if (result == 0) account(camera, &got, from_pump);
            break;
        }
        pthread_mutex_unlock(&camera->mu);
        result = hub_client_read(camera->client, camera->wake_fd, &got);
        if (result == HUB_CLIENT_GONE) result = take_over(camera);
        pthread_mutex_lock(&camera->mu);
        if (result == 0 && camera->role == ROLE_SUBSCRIBER && got.data != NULL) {
            hub_client_format(camera->client, NULL, NULL, NULL, &camera->owner_fps); /* it may have changed */
            account(camera, &got, true);
            break;
        }
        if (result != 0) break;
        /* Taken over: read from the new owner, or as it. */
        memset(&got, 0, sizeof got);
    }
    end_read(camera);
    pthread_mutex_unlock(&camera->mu);
    if (result == 0) *frame = got;
    return result;
}

/* --- the rest of the interface ------------------------------------------ */

BOARDCAM_MT_API int32_t boardcam_mt_reconfigure(boardcam_mt_camera *camera, int32_t fps, int32_t width,
                                                int32_t height) {
    int64_t opened;
    int32_t result;
    last_message_clear();
    if (camera == NULL) return BOARDCAM_MT_ERROR;
    if (camera->role == ROLE_SUBSCRIBER) {
        result = hub_client_set_format(camera->client, fps, width, height);
        if (result == 0) {
            pthread_mutex_lock(&camera->mu);
            camera->fps = fps;
            pthread_mutex_unlock(&camera->mu);
        }
        return result;
    }
    if (camera->hub != NULL) {
        void *unread = NULL;
        hub_pause(camera->hub);
        /* A frame of the old format is nobody's now. */
        pthread_mutex_lock(&camera->mu);
        if (camera->mailbox_full && camera->mailbox_result == 0) unread = camera->mailbox.data;
        camera->mailbox_full = false;
        pthread_mutex_unlock(&camera->mu);
        boardcam_mt_release_frame(unread);
    }
    process_lock();
    opened = monotonic_ns();
    result = OpenCameraEx(camera->id, fps, width, height);
    opened += (monotonic_ns() - opened) / 2;
    process_unlock();

    pthread_mutex_lock(&camera->mu);
    camera->configured = result == 0;
    read_schedule_restart(&camera->schedule, period_of(fps));
    if (result == 0) {
        read_schedule_opened(&camera->schedule, opened);
        camera->fps = fps;
        camera->width = width;
        camera->height = height;
    }
    pthread_mutex_unlock(&camera->mu);
    if (camera->hub != NULL) {
        if (result == 0) hub_set_format(camera->hub, fps, width, height);
        hub_resume(camera->hub);
    }
    return result == 0 ? 0 : BOARDCAM_MT_ERROR;
}

BOARDCAM_MT_API void boardcam_mt_set_flushing(boardcam_mt_camera *camera, bool flushing) {
    uint64_t value = 1;
    if (camera == NULL) return;
    pthread_mutex_lock(&camera->mu);
    camera->flushing = flushing;
    /* The eventfd is readable exactly while flushing. */
    if (flushing) {
        if (write(camera->wake_fd, &value, sizeof value) < 0) {
            /* Already readable: its count is at most a few. */
        }
    } else if (read(camera->wake_fd, &value, sizeof value) < 0) {
        /* It was not readable. */
    }
    pthread_cond_broadcast(&camera->changed);
    pthread_mutex_unlock(&camera->mu);
}

BOARDCAM_MT_API int32_t boardcam_mt_close(boardcam_mt_camera *camera) {
    int32_t result = 0;
    bool configured;
    void *unread = NULL;
    if (camera == NULL) return 0;
    last_message_clear();

    /* Interrupt a waiting read and wait out one inside the library. */
    boardcam_mt_set_flushing(camera, true);
    pthread_mutex_lock(&camera->mu);
    while (camera->reads_in_progress > 0) pthread_cond_wait(&camera->changed, &camera->mu);
    pthread_mutex_unlock(&camera->mu);

    if (camera->role == ROLE_SUBSCRIBER) {
        hub_client_close(camera->client);
        free_handle(camera);
        return 0;
    }
    /* Subscribers are let go first; they take over once the camera is closed
     * and the owner's lock released. */
    hub_close(camera->hub);
    pthread_mutex_lock(&camera->mu);
    configured = camera->configured;
    if (camera->mailbox_full && camera->mailbox_result == 0) unread = camera->mailbox.data;
    camera->mailbox_full = false;
    pthread_mutex_unlock(&camera->mu);
    boardcam_mt_release_frame(unread);

    process_lock();
    /* A refused configuration has already closed the camera. */
    if (configured) result = CloseCameraEx(camera->id);
    if (camera->id >= 0 && camera->id < CAMERA_COUNT && owners[camera->id] == camera) owners[camera->id] = NULL;
    process_unlock();
    if (camera->lock_fd >= 0) close(camera->lock_fd);

    free_handle(camera);
    return result == 0 ? 0 : BOARDCAM_MT_ERROR;
}

BOARDCAM_MT_API int32_t boardcam_mt_camera_id(const boardcam_mt_camera *camera) {
    return camera != NULL ? camera->id : -1;
}

BOARDCAM_MT_API int32_t boardcam_mt_format(const boardcam_mt_camera *camera, int32_t *fps, int32_t *width,
                                           int32_t *height) {
    boardcam_mt_camera *handle = (boardcam_mt_camera *)camera;
    last_message_clear();
    if (camera == NULL) return BOARDCAM_MT_ERROR;
    pthread_mutex_lock(&handle->mu);
    if (fps != NULL) *fps = camera->fps;
    if (width != NULL) *width = camera->width;
    if (height != NULL) *height = camera->height;
    pthread_mutex_unlock(&handle->mu);
    return 0;
}

BOARDCAM_MT_API bool boardcam_mt_frame_is_read_only(const void *data) { return hub_client_holds(data); }

BOARDCAM_MT_API int32_t boardcam_mt_status(int32_t id, boardcam_mt_camera_status *out) {
    char path[RUNTIME_PATH_MAX];
    boardcam_mt_camera *here;
    int status;
    last_message_clear();
    if (out == NULL || id < 0 || id >= CAMERA_COUNT) return BOARDCAM_MT_ERROR;
    memset(out, 0, sizeof *out);
    out->id = id;
    process_lock();
    here = owners[id];
    if (here != NULL && here->role == ROLE_OWNER && !here->settled) here = NULL; /* ask its socket, soon there */
    if (here != NULL && here->hub != NULL) {
        struct hub *hub = here->hub;
        process_unlock();
        hub_status(hub, out);
        return 0;
    }
    if (here != NULL) {
        out->owned = true;
        out->frames = here->frames_read;
        out->fps = out->owner.fps = here->fps;
        out->width = here->width;
        out->height = here->height;
        out->owner.pid = (int32_t)getpid();
        hub_program_name(out->owner.program);
        process_unlock();
        return 0;
    }
    process_unlock();
    status = runtime_path(id, "sock", path, sizeof path);
    if (status == RUNTIME_DENIED) {
        last_message_set("camera %d: this user may not use the shared cameras: %s is not theirs to use", id, path);
        return BOARDCAM_MT_DENIED;
    }
    if (status != 0) return 0;
    status = hub_client_status(id, path, out);
    if (status == HUB_CLIENT_NO_OWNER) {
        memset(out, 0, sizeof *out);
        out->id = id;
        return 0;
    }
    return status;
}

BOARDCAM_MT_API void boardcam_mt_release_frame(void *data) {
    if (data == NULL || hub_client_release(data)) return;
    /* The runtime's allocator is not ours to trust with threads: a release
     * must not race the allocation inside another camera's read. */
    process_lock();
    vekpimoFree(data);
    process_unlock();
}
