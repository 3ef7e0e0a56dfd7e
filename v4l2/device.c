#define _GNU_SOURCE
#include "device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <linux/videodev2.h>

#include "mt_functions.h"
#include "pixel_formats.h"
#include "real_calls.h"

#define CAMERA_COUNT 2
/* Descriptors a camera's handle may have: the lowest free ones. */
#define FD_TABLE_SIZE 4096
/* Buffers a program gets at most: ffmpeg asks for 256. */
#define MAX_BUFFERS 32
#define MIN_BUFFERS 2
#define MAX_MAPPINGS (MAX_BUFFERS * 4)
#define DEFAULT_WIDTH 640
#define DEFAULT_HEIGHT 480
#define DEFAULT_FPS 30

/* Sizes ENUM_FRAMESIZES offers: a list, which every program understands.
 * S_FMT takes any even size from the smallest of them to the largest: a
 * driver of a sensor with a list of sizes would scale to any other, and
 * V4L2's programs and tests hold it to those. */
static const struct {
    uint32_t width, height;
} common_sizes[] = {{160, 120}, {320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
#define SIZES (sizeof common_sizes / sizeof common_sizes[0])
/* Rates ENUM_FRAMEINTERVALS offers; S_PARM takes any whole rate from 1 to 240. */
static const uint32_t common_rates[] = {60, 30, 15};

enum buffer_state { BUFFER_DEQUEUED, BUFFER_QUEUED, BUFFER_DONE };

struct buffer {
    int memfd;
    void *data;          /* our mapping, where frames are written */
    enum buffer_state state;
    uint32_t bytesused;
    uint32_t sequence;
    struct timeval timestamp;
    bool error;
    int mappings;        /* the program's mappings of it */
};

struct camera_file {
    struct device *device;
    char path[128];
    int signal_fd;       /* our own descriptor of the handle's eventfd */
    int descriptors;     /* the program's descriptors of it */
    int references;      /* descriptors, and calls in progress */
    enum v4l2_priority priority;
};

struct device {
    pthread_mutex_t mu;
    pthread_cond_t changed;
    int camera;
    int handles;
    unsigned priorities[V4L2_PRIORITY_RECORD + 1]; /* handles at each priority */
    /* The format, every handle's. */
    uint32_t fourcc, width, height, fps;
    /* The buffers, of the handle that asked for them. */
    struct camera_file *owner;
    struct buffer buffers[MAX_BUFFERS];
    unsigned buffer_count;
    size_t buffer_length;  /* page-rounded: each buffer's offset step */
    unsigned queued[MAX_BUFFERS], queued_count; /* in the order QBUF gave them */
    unsigned done[MAX_BUFFERS], done_count;
    unsigned filling;      /* taken off the queue, being written */
    bool streaming;
    /* The stream: a thread reading the camera through libboardcam-mt. */
    boardcam_mt_camera *camera_handle;
    pthread_t reader;
    bool reader_running;
    bool stopping;
    uint32_t last_sequence; /* of the last buffer filled: the reader's */
};

static struct device devices[CAMERA_COUNT] = {
    {.mu = PTHREAD_MUTEX_INITIALIZER, .changed = PTHREAD_COND_INITIALIZER, .camera = 0},
    {.mu = PTHREAD_MUTEX_INITIALIZER, .changed = PTHREAD_COND_INITIALIZER, .camera = 1},
};

/* Descriptor -> handle; read without the lock on every call the program
 * makes, written with it. */
static _Atomic(struct camera_file *) table[FD_TABLE_SIZE];
static pthread_mutex_t table_mu = PTHREAD_MUTEX_INITIALIZER;

/* Where the program mapped a buffer, for munmap(). */
static struct {
    void *address;
    size_t length;
    struct device *device;
    unsigned index;
} mappings[MAX_MAPPINGS];
static pthread_mutex_t mappings_mu = PTHREAD_MUTEX_INITIALIZER;

static size_t page_rounded(size_t size) {
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return (size + page - 1) / page * page;
}

static uint32_t image_size(const struct device *d) { return pixel_format_image_size(d->fourcc, d->width, d->height); }

/* --- handles and descriptors ------------------------------------------- */

static void release_handle(struct camera_file *handle);

struct camera_file *device_handle_get(int fd) {
    struct camera_file *handle;
    if (fd < 0 || fd >= FD_TABLE_SIZE || atomic_load(&table[fd]) == NULL) return NULL;
    pthread_mutex_lock(&table_mu);
    handle = atomic_load(&table[fd]);
    if (handle != NULL) ++handle->references;
    pthread_mutex_unlock(&table_mu);
    return handle;
}

void device_handle_put(struct camera_file *handle) {
    bool last;
    if (handle == NULL) return;
    pthread_mutex_lock(&table_mu);
    last = --handle->references == 0;
    pthread_mutex_unlock(&table_mu);
    if (last) release_handle(handle);
}

void device_handle_adopt(struct camera_file *handle, int fd) {
    if (fd < 0 || fd >= FD_TABLE_SIZE) return;
    pthread_mutex_lock(&table_mu);
    if (atomic_load(&table[fd]) == NULL) {
        ++handle->descriptors;
        ++handle->references;
        atomic_store(&table[fd], handle);
    }
    pthread_mutex_unlock(&table_mu);
}

int device_forget(int fd) {
    struct camera_file *handle;
    bool last = false;
    if (fd < 0 || fd >= FD_TABLE_SIZE || atomic_load(&table[fd]) == NULL) return 0;
    pthread_mutex_lock(&table_mu);
    handle = atomic_load(&table[fd]);
    if (handle != NULL) {
        atomic_store(&table[fd], NULL);
        --handle->descriptors;
        last = --handle->references == 0;
    }
    pthread_mutex_unlock(&table_mu);
    if (last) release_handle(handle);
    return handle != NULL;
}

const char *device_handle_path(const struct camera_file *handle) { return handle->path; }

void device_forget_all_in_child(void) {
    int fd;
    /* Only this thread lives in the child: no lock is held by another. */
    pthread_mutex_init(&table_mu, NULL);
    pthread_mutex_init(&mappings_mu, NULL);
    for (fd = 0; fd < FD_TABLE_SIZE; ++fd) atomic_store(&table[fd], NULL);
    memset(mappings, 0, sizeof mappings);
    for (fd = 0; fd < CAMERA_COUNT; ++fd) {
        struct device *d = &devices[fd];
        pthread_mutex_init(&d->mu, NULL);
        pthread_cond_init(&d->changed, NULL);
        memset(&d->priorities, 0, sizeof d->priorities);
        d->handles = 0;
        d->owner = NULL;
        d->buffer_count = 0;
        d->queued_count = d->done_count = 0;
        d->streaming = false;
        d->camera_handle = NULL;
        d->reader_running = false;
    }
}

/* --- the camera's format, as another program may have fixed it ---------- */

/* The camera's owner elsewhere, when it is another program: its size and
 * rate. False when nobody else has it (or this device streams it). */
static bool owned_elsewhere(const struct device *d, uint32_t *width, uint32_t *height, uint32_t *fps) {
    const struct mt_functions *mt = mt_functions();
    boardcam_mt_camera_status status;
    if (d->camera_handle != NULL || mt == NULL || mt->status(d->camera, &status) != 0 || !status.owned ||
        status.owner.pid == (int32_t)getpid())
        return false;
    *width = (uint32_t)status.width;
    *height = (uint32_t)status.height;
    *fps = (uint32_t)status.fps;
    return true;
}

/* A format as the device would take it: a known pixel format (else NV12),
 * an even size the cameras take, or the owner's size where another program
 * has the camera. */
static void adjust_format(const struct device *d, struct v4l2_pix_format *pix) {
    uint32_t width, height, fps;
    if (!pixel_format_known(pix->pixelformat)) pix->pixelformat = V4L2_PIX_FMT_NV12;
    if (owned_elsewhere(d, &width, &height, &fps)) {
        pix->width = width;
        pix->height = height;
    } else {
        if (pix->width < common_sizes[0].width) pix->width = common_sizes[0].width;
        if (pix->height < common_sizes[0].height) pix->height = common_sizes[0].height;
        if (pix->width > common_sizes[SIZES - 1].width) pix->width = common_sizes[SIZES - 1].width;
        if (pix->height > common_sizes[SIZES - 1].height) pix->height = common_sizes[SIZES - 1].height;
        pix->width &= ~1u;
        pix->height &= ~1u;
    }
    pix->field = V4L2_FIELD_NONE;
    pix->bytesperline = pixel_format_bytes_per_line(pix->pixelformat, pix->width);
    pix->sizeimage = pixel_format_image_size(pix->pixelformat, pix->width, pix->height);
    pix->colorspace = V4L2_COLORSPACE_SMPTE170M;
    pix->priv = V4L2_PIX_FMT_PRIV_MAGIC;
    pix->flags = 0;
    pix->ycbcr_enc = V4L2_YCBCR_ENC_601;
    pix->quantization = V4L2_QUANTIZATION_LIM_RANGE;
    pix->xfer_func = V4L2_XFER_FUNC_709;
}

static void current_format(struct device *d, struct v4l2_pix_format *pix) {
    memset(pix, 0, sizeof *pix);
    pix->pixelformat = d->fourcc;
    pix->width = d->width;
    pix->height = d->height;
    adjust_format(d, pix);
    /* What another program's camera runs at is what this one gets. */
    if (d->camera_handle == NULL && d->buffer_count == 0) {
        d->width = pix->width;
        d->height = pix->height;
    }
}

/* --- the stream -------------------------------------------------------- */

static void post(int signal_fd) {
    const uint64_t one = 1;
    if (write(signal_fd, &one, sizeof one) < 0) {
        /* The counter is far below its limit: buffers are few. */
    }
}

/* Takes one "done" back off the eventfd, if there is one. */
static void unpost(int signal_fd) {
    struct pollfd ready = {signal_fd, POLLIN, 0};
    uint64_t value;
    if (poll(&ready, 1, 0) == 1 && real_read(signal_fd, &value, sizeof value) < 0) {
        /* Taken by nobody else: only the device reads it. */
    }
}

static void *read_camera(void *data) {
    struct device *d = data;
    const struct mt_functions *mt = mt_functions();
    for (;;) {
        boardcam_mt_frame frame;
        int32_t result;
        unsigned index;
        struct buffer *buffer;
        pthread_mutex_lock(&d->mu);
        if (d->stopping) {
            pthread_mutex_unlock(&d->mu);
            break;
        }
        pthread_mutex_unlock(&d->mu);
        result = mt->read(d->camera_handle, &frame);
        if (result == BOARDCAM_MT_INTERRUPTED) continue;
        pthread_mutex_lock(&d->mu);
        if (d->queued_count == 0 || d->stopping) {
            /* No buffer to fill: the frame is missed, as a driver's is. */
            pthread_mutex_unlock(&d->mu);
            if (result == 0) mt->release_frame(frame.data);
            if (result != 0) {
                const struct timespec pause = {0, 50 * 1000000};
                nanosleep(&pause, NULL);
            }
            continue;
        }
        index = d->queued[0];
        memmove(d->queued, d->queued + 1, (d->queued_count - 1) * sizeof d->queued[0]);
        --d->queued_count;
        ++d->filling;
        buffer = &d->buffers[index];
        pthread_mutex_unlock(&d->mu);

        /* The one write of the frame into the program's buffer. */
        if (result == 0 && (uint32_t)frame.size == d->width * d->height * 3 / 2) {
            pixel_format_convert(d->fourcc, frame.data, d->width, d->height, buffer->data);
            buffer->bytesused = image_size(d);
            buffer->error = false;
            buffer->sequence = (uint32_t)frame.sequence;
            buffer->timestamp.tv_sec = (time_t)(frame.monotonic_ns / 1000000000);
            buffer->timestamp.tv_usec = (suseconds_t)(frame.monotonic_ns % 1000000000 / 1000);
        } else {
            /* A frame lost on the way: a driver returns the buffer marked,
             * in its place in the sequence, and goes on. */
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            buffer->bytesused = 0;
            buffer->error = true;
            buffer->sequence = d->last_sequence + 1;
            buffer->timestamp.tv_sec = now.tv_sec;
            buffer->timestamp.tv_usec = (suseconds_t)(now.tv_nsec / 1000);
        }
        d->last_sequence = buffer->sequence;
        if (result == 0) mt->release_frame(frame.data);

        pthread_mutex_lock(&d->mu);
        --d->filling;
        buffer->state = BUFFER_DONE;
        d->done[d->done_count++] = index;
        if (d->owner != NULL) post(d->owner->signal_fd);
        pthread_cond_broadcast(&d->changed);
        pthread_mutex_unlock(&d->mu);
        if (result != 0) {
            /* A failing camera is asked again a frame later, not at once. */
            const struct timespec period = {0, 1000000000L / (long)(d->fps > 0 ? d->fps : 30)};
            nanosleep(&period, NULL);
        }
    }
    return NULL;
}

/* Stops the stream, with the device's mutex held (released while the
 * reading thread ends): every buffer is the program's again. */
static void stop_stream(struct device *d) {
    const struct mt_functions *mt = mt_functions();
    unsigned i;
    if (d->reader_running) {
        pthread_t reader = d->reader;
        d->stopping = true;
        mt->set_flushing(d->camera_handle, true);
        pthread_mutex_unlock(&d->mu);
        pthread_join(reader, NULL);
        pthread_mutex_lock(&d->mu);
        d->reader_running = false;
        d->stopping = false;
    }
    if (d->camera_handle != NULL) {
        boardcam_mt_camera *camera = d->camera_handle;
        d->camera_handle = NULL;
        pthread_mutex_unlock(&d->mu);
        mt->close(camera);
        pthread_mutex_lock(&d->mu);
    }
    if (d->owner != NULL)
        for (i = 0; i < d->done_count; ++i) unpost(d->owner->signal_fd);
    for (i = 0; i < d->buffer_count; ++i) d->buffers[i].state = BUFFER_DEQUEUED;
    d->queued_count = d->done_count = 0;
    d->streaming = false;
    pthread_cond_broadcast(&d->changed);
}

/* Where another program has the camera, its size is the one there is and
 * its rate the most there is: a program that takes the format G_FMT gives,
 * without S_FMT or S_PARM, streams at what it was told. The size only while
 * no buffers are made (`with_size`). With the handle's mutex held. */
static void follow_owner(struct device *d, bool with_size) {
    uint32_t width, height, fps;
    if (!owned_elsewhere(d, &width, &height, &fps)) return;
    if (with_size) {
        d->width = width;
        d->height = height;
    }
    if (fps != 0 && d->fps > fps) d->fps = fps;
}

static int start_stream(struct device *d) {
    const struct mt_functions *mt = mt_functions();
    boardcam_mt_camera *camera = NULL;
    int32_t result;
    if (mt == NULL) return ENODEV;
    /* The buffers are made; the rate may still follow the owner's. */
    follow_owner(d, false);
    pthread_mutex_unlock(&d->mu);
    result = mt->open(d->camera, (int32_t)d->fps, (int32_t)d->width, (int32_t)d->height, &camera);
    pthread_mutex_lock(&d->mu);
    if (result == BOARDCAM_MT_BUSY || result == BOARDCAM_MT_DENIED) {
        fprintf(stderr, "boardcam-v4l2: %s\n", mt->last_message());
        return EBUSY;
    }
    if (result != 0) return EIO;
    d->camera_handle = camera;
    d->stopping = false;
    if (pthread_create(&d->reader, NULL, read_camera, d) != 0) {
        d->camera_handle = NULL;
        pthread_mutex_unlock(&d->mu);
        mt->close(camera);
        pthread_mutex_lock(&d->mu);
        return ENOMEM;
    }
    d->reader_running = true;
    d->streaming = true;
    return 0;
}

/* --- buffers ----------------------------------------------------------- */

static bool buffers_mapped(const struct device *d) {
    unsigned i;
    for (i = 0; i < d->buffer_count; ++i)
        if (d->buffers[i].mappings > 0) return true;
    return false;
}

/* Not while streaming: the queue goes with the buffers, which a REQBUFS
 * may free while some are still queued. */
static void free_buffers(struct device *d) {
    unsigned i;
    if (d->owner != NULL)
        for (i = 0; i < d->done_count; ++i) unpost(d->owner->signal_fd);
    d->queued_count = d->done_count = 0;
    for (i = 0; i < d->buffer_count; ++i) {
        if (d->buffers[i].data != MAP_FAILED && d->buffers[i].data != NULL)
            real_munmap(d->buffers[i].data, d->buffer_length);
        if (d->buffers[i].memfd >= 0) real_close(d->buffers[i].memfd);
    }
    memset(d->buffers, 0, sizeof d->buffers);
    d->buffer_count = 0;
    d->owner = NULL;
}

static int allocate_buffers(struct device *d, unsigned count) {
    unsigned i;
    d->buffer_length = page_rounded(image_size(d));
    for (i = 0; i < count; ++i) {
        struct buffer *b = &d->buffers[i];
        char name[32];
        snprintf(name, sizeof name, "boardcam-v4l2-%d-%u", d->camera, i);
        b->memfd = memfd_create(name, MFD_CLOEXEC);
        b->data = MAP_FAILED;
        if (b->memfd < 0 || ftruncate(b->memfd, (off_t)d->buffer_length) != 0) break;
        b->data = real_mmap(NULL, d->buffer_length, PROT_READ | PROT_WRITE, MAP_SHARED, b->memfd, 0);
        if (b->data == MAP_FAILED) break;
        b->state = BUFFER_DEQUEUED;
        d->buffer_count = i + 1;
    }
    if (d->buffer_count == count) return 0;
    if (d->buffer_count < count && i < count && d->buffers[i].memfd >= 0) real_close(d->buffers[i].memfd);
    free_buffers(d);
    return ENOMEM;
}

static void describe_buffer(const struct device *d, unsigned index, struct v4l2_buffer *out) {
    const struct buffer *b = &d->buffers[index];
    memset(out, 0, sizeof *out);
    out->index = index;
    out->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out->memory = V4L2_MEMORY_MMAP;
    out->m.offset = (uint32_t)(index * d->buffer_length);
    out->length = image_size(d);
    out->field = V4L2_FIELD_NONE;
    out->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
    if (b->mappings > 0) out->flags |= V4L2_BUF_FLAG_MAPPED;
    if (b->state == BUFFER_QUEUED) out->flags |= V4L2_BUF_FLAG_QUEUED;
    if (b->state == BUFFER_DONE) out->flags |= V4L2_BUF_FLAG_DONE;
    if (b->state != BUFFER_QUEUED) {
        out->bytesused = b->bytesused;
        out->sequence = b->sequence;
        out->timestamp = b->timestamp;
        if (b->error) out->flags |= V4L2_BUF_FLAG_ERROR;
    }
}

/* --- opening and closing ----------------------------------------------- */

int device_open(int camera, const char *path, int flags) {
    struct camera_file *handle;
    struct device *d;
    int fd;
    if (camera < 0 || camera >= CAMERA_COUNT) {
        errno = ENODEV;
        return -1;
    }
    if (mt_functions() == NULL) {
        errno = ENODEV;
        return -1;
    }
    handle = calloc(1, sizeof *handle);
    if (handle == NULL) {
        errno = ENOMEM;
        return -1;
    }
    fd = eventfd(0, EFD_SEMAPHORE | ((flags & O_NONBLOCK) ? EFD_NONBLOCK : 0) |
                        ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    if (fd < 0 || fd >= FD_TABLE_SIZE) {
        if (fd >= 0) real_close(fd);
        free(handle);
        errno = fd >= 0 ? EMFILE : errno;
        return -1;
    }
    handle->signal_fd = fcntl(fd, F_DUPFD_CLOEXEC, FD_TABLE_SIZE);
    if (handle->signal_fd < 0) handle->signal_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    d = &devices[camera];
    handle->device = d;
    handle->priority = V4L2_PRIORITY_DEFAULT;
    snprintf(handle->path, sizeof handle->path, "%s", path);
    pthread_mutex_lock(&d->mu);
    if (d->handles++ == 0 && d->fourcc == 0) {
        d->fourcc = V4L2_PIX_FMT_NV12;
        d->width = DEFAULT_WIDTH;
        d->height = DEFAULT_HEIGHT;
        d->fps = DEFAULT_FPS;
    }
    ++d->priorities[handle->priority];
    pthread_mutex_unlock(&d->mu);
    device_handle_adopt(handle, fd); /* the table's reference is the handle's first */
    return fd;
}

static void release_handle(struct camera_file *handle) {
    struct device *d = handle->device;
    pthread_mutex_lock(&d->mu);
    if (d->owner == handle) {
        /* A close without STREAMOFF, or without freeing its buffers. */
        stop_stream(d);
        free_buffers(d);
    }
    --d->priorities[handle->priority];
    --d->handles;
    pthread_mutex_unlock(&d->mu);
    real_close(handle->signal_fd);
    free(handle);
}

/* --- the ioctls -------------------------------------------------------- */

static enum v4l2_priority highest_priority(const struct device *d) {
    int p;
    for (p = V4L2_PRIORITY_RECORD; p > V4L2_PRIORITY_UNSET; --p)
        if (d->priorities[p] > 0) return (enum v4l2_priority)p;
    return V4L2_PRIORITY_UNSET;
}

/* A handle below another's priority may not change what they share. */
static bool may_change(const struct camera_file *handle) {
    return handle->priority >= highest_priority(handle->device);
}

/* A V4L2 driver reports the kernel's version: the system's own here. */
static uint32_t kernel_version(void) {
    struct utsname system;
    unsigned major = 0, minor = 0, patch = 0;
    if (uname(&system) == 0) sscanf(system.release, "%u.%u.%u", &major, &minor, &patch);
    if (minor > 255) minor = 255;
    if (patch > 255) patch = 255;
    return (major << 16) | (minor << 8) | patch;
}

static int query_capabilities(struct device *d, struct v4l2_capability *cap) {
    memset(cap, 0, sizeof *cap);
    snprintf((char *)cap->driver, sizeof cap->driver, "boardcam");
    snprintf((char *)cap->card, sizeof cap->card, "Board camera %d", d->camera);
    snprintf((char *)cap->bus_info, sizeof cap->bus_info, "platform:boardcam-%d", d->camera);
    cap->version = kernel_version();
    cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

static int enumerate_formats(struct v4l2_fmtdesc *desc) {
    const uint32_t fourcc = pixel_format_at(desc->index);
    const uint32_t index = desc->index, type = desc->type;
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE || fourcc == 0) return EINVAL;
    memset(desc, 0, sizeof *desc);
    desc->index = index;
    desc->type = type;
    desc->pixelformat = fourcc;
    snprintf((char *)desc->description, sizeof desc->description, "%s", pixel_format_name(fourcc));
    return 0;
}

static int enumerate_sizes(struct device *d, struct v4l2_frmsizeenum *size) {
    uint32_t width, height, fps;
    const uint32_t index = size->index, fourcc = size->pixel_format;
    if (!pixel_format_known(fourcc)) return EINVAL;
    memset(size, 0, sizeof *size);
    size->index = index;
    size->pixel_format = fourcc;
    size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
    if (owned_elsewhere(d, &width, &height, &fps)) {
        /* Another program has the camera: its size is the one there is. */
        if (index > 0) return EINVAL;
        size->discrete.width = width;
        size->discrete.height = height;
        return 0;
    }
    if (index >= SIZES) return EINVAL;
    size->discrete.width = common_sizes[index].width;
    size->discrete.height = common_sizes[index].height;
    return 0;
}

static int enumerate_intervals(struct device *d, struct v4l2_frmivalenum *interval) {
    const uint32_t index = interval->index, fourcc = interval->pixel_format, width = interval->width,
                   height = interval->height;
    uint32_t owner_width, owner_height, owner_fps = 240, seen = 0;
    size_t i;
    const bool shared = owned_elsewhere(d, &owner_width, &owner_height, &owner_fps);
    if (!pixel_format_known(fourcc) || width < common_sizes[0].width || height < common_sizes[0].height ||
        width > common_sizes[SIZES - 1].width || height > common_sizes[SIZES - 1].height || width % 2 != 0 ||
        height % 2 != 0 ||
        (shared && (width != owner_width || height != owner_height)))
        return EINVAL;
    memset(interval, 0, sizeof *interval);
    interval->index = index;
    interval->pixel_format = fourcc;
    interval->width = width;
    interval->height = height;
    interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    /* Sharing, the owner's rate and those below it. */
    for (i = 0; i < sizeof common_rates / sizeof common_rates[0]; ++i) {
        if (common_rates[i] > owner_fps) continue;
        if (seen++ == index) {
            interval->discrete.numerator = 1;
            interval->discrete.denominator = common_rates[i];
            return 0;
        }
    }
    if (shared && seen == index && owner_fps != 0) {
        /* An owner at a rate not in the list: its own. */
        bool listed = false;
        for (i = 0; i < sizeof common_rates / sizeof common_rates[0]; ++i) listed |= common_rates[i] == owner_fps;
        if (!listed) {
            interval->discrete.numerator = 1;
            interval->discrete.denominator = owner_fps;
            return 0;
        }
    }
    return EINVAL;
}

static int get_format(struct device *d, struct v4l2_format *format) {
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    current_format(d, &format->fmt.pix);
    return 0;
}

static int set_format(struct camera_file *handle, struct v4l2_format *format, bool apply) {
    struct device *d = handle->device;
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    adjust_format(d, &format->fmt.pix);
    if (!apply) return 0;
    if (!may_change(handle)) return EBUSY;
    /* Not while buffers of the old size are out. */
    if (d->buffer_count > 0 || d->streaming) {
        const bool same = format->fmt.pix.pixelformat == d->fourcc && format->fmt.pix.width == d->width &&
                          format->fmt.pix.height == d->height;
        return same ? 0 : EBUSY;
    }
    d->fourcc = format->fmt.pix.pixelformat;
    d->width = format->fmt.pix.width;
    d->height = format->fmt.pix.height;
    return 0;
}

static int get_parameters(struct device *d, struct v4l2_streamparm *parm) {
    if (parm->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    memset(&parm->parm, 0, sizeof parm->parm);
    parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parm->parm.capture.timeperframe.numerator = 1;
    parm->parm.capture.timeperframe.denominator = d->fps;
    return 0;
}

static int set_parameters(struct camera_file *handle, struct v4l2_streamparm *parm) {
    struct device *d = handle->device;
    const struct v4l2_fract asked = parm->parm.capture.timeperframe;
    uint32_t fps = d->fps, width, height, owner_fps;
    if (parm->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    if (!may_change(handle)) return EBUSY;
    if (asked.numerator != 0 && asked.denominator != 0) {
        /* Whole frames per second, as the cameras run. */
        fps = (asked.denominator + asked.numerator / 2) / asked.numerator;
        if (fps < 1) fps = 1;
        if (fps > 240) fps = 240;
    }
    if (owned_elsewhere(d, &width, &height, &owner_fps) && fps > owner_fps) fps = owner_fps;
    if (d->streaming && fps != d->fps) return EBUSY;
    d->fps = fps;
    return get_parameters(d, parm);
}

static int request_buffers(struct camera_file *handle, struct v4l2_requestbuffers *request) {
    struct device *d = handle->device;
    unsigned count = request->count;
    int error;
    if (request->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request->memory != V4L2_MEMORY_MMAP) return EINVAL;
    memset(request->reserved, 0, sizeof request->reserved);
    request->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    request->flags = 0;
    if (!may_change(handle)) return EBUSY;
    if (d->owner != NULL && d->owner != handle) return EBUSY;
    if (d->streaming) return EBUSY;
    if (d->buffer_count > 0) {
        if (buffers_mapped(d)) return EBUSY;
        free_buffers(d);
    }
    if (count == 0) {
        request->count = 0;
        return 0;
    }
    if (count < MIN_BUFFERS) count = MIN_BUFFERS;
    if (count > MAX_BUFFERS) count = MAX_BUFFERS;
    follow_owner(d, true);
    error = allocate_buffers(d, count);
    if (error != 0) return error;
    d->owner = handle;
    request->count = count;
    return 0;
}

static int query_buffer(struct camera_file *handle, struct v4l2_buffer *buffer) {
    struct device *d = handle->device;
    if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->index >= d->buffer_count) return EINVAL;
    describe_buffer(d, buffer->index, buffer);
    return 0;
}

static int queue_buffer(struct camera_file *handle, struct v4l2_buffer *buffer) {
    struct device *d = handle->device;
    struct buffer *b;
    if (d->owner != handle && d->owner != NULL) return EBUSY;
    if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP ||
        buffer->index >= d->buffer_count)
        return EINVAL;
    b = &d->buffers[buffer->index];
    if (b->state != BUFFER_DEQUEUED) return EINVAL;
    b->state = BUFFER_QUEUED;
    d->queued[d->queued_count++] = buffer->index;
    describe_buffer(d, buffer->index, buffer);
    pthread_cond_broadcast(&d->changed);
    return 0;
}

static int dequeue_buffer(struct camera_file *handle, int fd, struct v4l2_buffer *buffer) {
    struct device *d = handle->device;
    unsigned index;
    const bool nonblocking = (real_fcntl_int(fd, F_GETFL, 0) & O_NONBLOCK) != 0;
    if (d->owner != handle && d->owner != NULL) return EBUSY;
    if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP) return EINVAL;
    for (;;) {
        if (!d->streaming) return EINVAL;
        if (d->done_count > 0) break;
        if (nonblocking) return EAGAIN;
        /* Until a buffer is done, or the stream stops. */
        pthread_cond_wait(&d->changed, &d->mu);
    }
    index = d->done[0];
    memmove(d->done, d->done + 1, (d->done_count - 1) * sizeof d->done[0]);
    --d->done_count;
    unpost(handle->signal_fd);
    d->buffers[index].state = BUFFER_DEQUEUED;
    describe_buffer(d, index, buffer);
    return 0;
}

static int export_buffer(struct camera_file *handle, struct v4l2_exportbuffer *export) {
    struct device *d = handle->device;
    int fd;
    if (export->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || export->index >= d->buffer_count || export->plane != 0 ||
        (export->flags & ~(unsigned)(O_CLOEXEC | O_ACCMODE)) != 0)
        return EINVAL;
    fd = fcntl(d->buffers[export->index].memfd, (export->flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
    if (fd < 0) return errno;
    export->fd = fd;
    return 0;
}

static int stream(struct camera_file *handle, const int *type, bool on) {
    struct device *d = handle->device;
    if (*type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    if (d->owner != NULL && d->owner != handle) return EBUSY;
    if (!on) {
        /* Also with nothing streaming: every buffer is the program's. */
        if (d->owner == handle) stop_stream(d);
        return 0;
    }
    if (d->owner == NULL || d->buffer_count == 0) return EINVAL;
    if (d->streaming) return 0;
    return start_stream(d);
}

static int enumerate_input(struct v4l2_input *input) {
    const uint32_t index = input->index;
    if (index != 0) return EINVAL;
    memset(input, 0, sizeof *input);
    snprintf((char *)input->name, sizeof input->name, "Camera");
    input->type = V4L2_INPUT_TYPE_CAMERA;
    return 0;
}

static int set_priority(struct camera_file *handle, const enum v4l2_priority *priority) {
    struct device *d = handle->device;
    const enum v4l2_priority p = *priority;
    /* As V4L2's own: below another handle's priority, not even this. */
    if (!may_change(handle)) return EBUSY;
    if (p < V4L2_PRIORITY_BACKGROUND || p > V4L2_PRIORITY_RECORD) return EINVAL;
    --d->priorities[handle->priority];
    handle->priority = p;
    ++d->priorities[p];
    return 0;
}

static int extended_controls(unsigned long request, struct v4l2_ext_controls *controls) {
    /* No control exists: an empty list is fine, any named one is not. A
     * get or a set fails as a whole, before anything is done (error_idx is
     * the count); a try at the first control it names. */
    controls->error_idx = controls->count;
    if (controls->count == 0) return 0;
    if (request == VIDIOC_TRY_EXT_CTRLS) controls->error_idx = 0;
    return EINVAL;
}

/* Whether the device answers `request`: the others are ENOTTY, whatever
 * their argument. */
static bool known_request(unsigned long request) {
    switch (request) {
    case VIDIOC_QUERYCAP: case VIDIOC_ENUM_FMT: case VIDIOC_G_FMT: case VIDIOC_S_FMT: case VIDIOC_TRY_FMT:
    case VIDIOC_ENUM_FRAMESIZES: case VIDIOC_ENUM_FRAMEINTERVALS: case VIDIOC_G_PARM: case VIDIOC_S_PARM:
    case VIDIOC_REQBUFS: case VIDIOC_QUERYBUF: case VIDIOC_QBUF: case VIDIOC_DQBUF: case VIDIOC_EXPBUF:
    case VIDIOC_STREAMON: case VIDIOC_STREAMOFF: case VIDIOC_ENUMINPUT: case VIDIOC_G_INPUT: case VIDIOC_S_INPUT:
    case VIDIOC_G_PRIORITY: case VIDIOC_S_PRIORITY: case VIDIOC_G_EXT_CTRLS: case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS: case VIDIOC_QUERYCTRL: case VIDIOC_QUERY_EXT_CTRL: case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL: case VIDIOC_S_CTRL: case VIDIOC_LOG_STATUS:
        return true;
    }
    return false;
}

int device_ioctl(struct camera_file *handle, int fd, unsigned long request, void *argument) {
    struct device *d = handle->device;
    int error;
    if (!known_request(request)) {
        errno = ENOTTY;
        return -1;
    }
    if (argument == NULL && request != VIDIOC_LOG_STATUS) {
        errno = EFAULT;
        return -1;
    }
    pthread_mutex_lock(&d->mu);
    switch (request) {
    case VIDIOC_QUERYCAP: error = query_capabilities(d, argument); break;
    case VIDIOC_ENUM_FMT: error = enumerate_formats(argument); break;
    case VIDIOC_G_FMT: error = get_format(d, argument); break;
    case VIDIOC_S_FMT: error = set_format(handle, argument, true); break;
    case VIDIOC_TRY_FMT: error = set_format(handle, argument, false); break;
    case VIDIOC_ENUM_FRAMESIZES: error = enumerate_sizes(d, argument); break;
    case VIDIOC_ENUM_FRAMEINTERVALS: error = enumerate_intervals(d, argument); break;
    case VIDIOC_G_PARM: error = get_parameters(d, argument); break;
    case VIDIOC_S_PARM: error = set_parameters(handle, argument); break;
    case VIDIOC_REQBUFS: error = request_buffers(handle, argument); break;
    case VIDIOC_QUERYBUF: error = query_buffer(handle, argument); break;
    case VIDIOC_QBUF: error = queue_buffer(handle, argument); break;
    case VIDIOC_DQBUF: error = dequeue_buffer(handle, fd, argument); break;
    case VIDIOC_EXPBUF: error = export_buffer(handle, argument); break;
    case VIDIOC_STREAMON: error = stream(handle, argument, true); break;
    case VIDIOC_STREAMOFF: error = stream(handle, argument, false); break;
    case VIDIOC_ENUMINPUT: error = enumerate_input(argument); break;

    case VIDIOC_G_INPUT:
        *(int *)argument = 0;
        error = 0;
        break;
    case VIDIOC_S_INPUT: error = *(int *)argument == 0 ? (may_change(handle) ? 0 : EBUSY) : EINVAL; break;
    case VIDIOC_G_PRIORITY:
        *(enum v4l2_priority *)argument = highest_priority(d);
        error = 0;
        break;
    case VIDIOC_S_PRIORITY: error = set_priority(handle, argument); break;
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS: error = extended_controls(request, argument); break;
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: error = EINVAL; break;
    case VIDIOC_LOG_STATUS: error = 0; break;
    default: error = ENOTTY; break;
    }
    pthread_mutex_unlock(&d->mu);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

/* --- mappings ---------------------------------------------------------- */

void *device_mmap(struct camera_file *handle, void *address, size_t length, int protection, int flags,
                  off_t offset) {
    struct device *d = handle->device;
    void *mapped;
    unsigned index;
    int i;
    pthread_mutex_lock(&d->mu);
    index = d->buffer_length > 0 ? (unsigned)((size_t)offset / d->buffer_length) : 0;
    if (d->buffer_length == 0 || (size_t)offset % d->buffer_length != 0 || index >= d->buffer_count ||
        length == 0 || length > d->buffer_length || !(flags & MAP_SHARED)) {
        pthread_mutex_unlock(&d->mu);
        errno = EINVAL;
        return MAP_FAILED;
    }
    mapped = real_mmap(address, length, protection, flags, d->buffers[index].memfd, 0);
    if (mapped != MAP_FAILED) {
        pthread_mutex_lock(&mappings_mu);
        for (i = 0; i < MAX_MAPPINGS && mappings[i].address != NULL; ++i) {
        }
        if (i < MAX_MAPPINGS) {
            mappings[i].address = mapped;
            mappings[i].length = length;
            mappings[i].device = d;
            mappings[i].index = index;
            ++d->buffers[index].mappings;
        }
        pthread_mutex_unlock(&mappings_mu);
    }
    pthread_mutex_unlock(&d->mu);
    return mapped;
}

void device_unmapped(void *address, size_t length) {
    struct device *d = NULL;
    unsigned index = 0;
    int i;
    (void)length;
    if (address == NULL) return;
    pthread_mutex_lock(&mappings_mu);
    for (i = 0; i < MAX_MAPPINGS; ++i)
        if (mappings[i].address == address) {
            d = mappings[i].device;
            index = mappings[i].index;
            memset(&mappings[i], 0, sizeof mappings[i]);
            break;
        }
    pthread_mutex_unlock(&mappings_mu);
    if (d == NULL) return;
    pthread_mutex_lock(&d->mu);
    if (index < d->buffer_count && d->buffers[index].mappings > 0) --d->buffers[index].mappings;
    pthread_mutex_unlock(&d->mu);
}
