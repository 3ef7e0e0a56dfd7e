#define _GNU_SOURCE
#include "hub_owner.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "hub_protocol.h"
#include "owner_reads.h"
#include "peer_check.h"
#include "process_lock.h"
#include "runtime_dir.h"
#include "shared_frame.h"

#define CAMERA_COUNT 2
/* Connections a hub keeps at once: its subscribers, and those still saying
 * hello or asking for status. */
#define HUB_CONNECTIONS (BOARDCAM_MT_MAX_SUBSCRIBERS + 4)
/* Frames in shared memory: each subscriber's, and one being written. */
#define HUB_SLOTS (BOARDCAM_MT_MAX_SUBSCRIBERS * BOARDCAM_MT_MAX_HELD + 2)
/* A connection that has not said who it is by then is let go. */
#define HELLO_TIMEOUT_NS (2 * 1000000000LL)
/* Messages taken from one connection per round, so that a flood from one
 * peer cannot starve the others. */
#define MESSAGES_PER_ROUND 16
#define WAKE_KEY UINT64_MAX

struct connection {
    int fd;                 /* -1: free */
    uint32_t generation;    /* changes with each new connection in this entry */
    bool welcomed;          /* a subscriber */
    bool displaced;         /* the owner's new format does not fit it: no more frames */
    pid_t pid;
    char program[BOARDCAM_MT_PROGRAM_MAX];
    int32_t fps;
    int32_t width, height;  /* the size it was given */
    int64_t period_ns;
    int64_t next_due_ns;
    uint32_t max_held;
    uint32_t held[BOARDCAM_MT_MAX_HELD]; /* slot ids */
    uint32_t held_count;
    uint64_t frames;
    uint64_t dropped;
    int64_t hello_deadline_ns;
};

struct slot {
    bool made;
    uint32_t id;             /* never 0; new for each memory */
    struct shared_frame memory;
    int reader_fd;           /* read-only descriptor handed to subscribers */
    uint32_t refs;           /* subscribers holding it */
    bool writing;            /* the pump is copying a frame into it */
    uint32_t given;          /* connections (by index) that have its descriptor */
};

struct hub {
    int id;
    boardcam_mt_camera *camera;
    int32_t fps, width, height;
    size_t frame_size;
    int listen_fd;
    char socket_path[RUNTIME_PATH_MAX];
    struct connection connections[HUB_CONNECTIONS];
    struct slot slots[HUB_SLOTS];
    uint32_t next_slot_id;
    uint32_t subscribers;    /* welcomed connections */
    uint64_t copies;         /* frames copied into slots */
    /* The pump: a thread while wanted (subscribers, not paused). */
    pthread_t pump;
    bool pump_made;          /* a thread to join */
    bool pump_alive;         /* it has not yet decided to end */
    bool paused;
};

/* Every hub, its connections and slots; never held across a wait. */
static pthread_mutex_t hub_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t pump_ended = PTHREAD_COND_INITIALIZER;
static struct hub *hubs[CAMERA_COUNT];
/* The thread that serves every hub's sockets, while any hub is open. */
static int epoll_fd = -1, wake_fd = -1;
static pthread_t io_thread;
static bool io_running;
static bool io_stopping; /* the thread is being joined */
static pthread_cond_t io_stopped = PTHREAD_COND_INITIALIZER;
static uint32_t connections_made; /* for each connection's generation */

void hub_program_name(char out[BOARDCAM_MT_PROGRAM_MAX]) {
    snprintf(out, BOARDCAM_MT_PROGRAM_MAX, "%s", program_invocation_short_name);
}

static int64_t period_of(int32_t fps) { return fps > 0 ? 1000000000LL / fps : 0; }

static uint64_t key_of(const struct hub *hub, int index) { return ((uint64_t)hub->id << 32) | (uint32_t)index; }

static bool send_message(int fd, const void *message, size_t size, int pass_fd) {
    struct iovec part = {(void *)message, size};
    struct msghdr header;
    union {
        char buffer[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    memset(&header, 0, sizeof header);
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    if (pass_fd >= 0) {
        struct cmsghdr *cmsg;
        memset(&control, 0, sizeof control);
        header.msg_control = control.buffer;
        header.msg_controllen = sizeof control.buffer;
        cmsg = CMSG_FIRSTHDR(&header);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(cmsg), &pass_fd, sizeof(int));
    }
    /* Never waits: a peer whose socket is full is one that does not read. */
    return sendmsg(fd, &header, MSG_DONTWAIT | MSG_NOSIGNAL) == (ssize_t)size;
}

static void refuse(int fd, int result, const char *text) {
    struct hub_refused refused;
    memset(&refused, 0, sizeof refused);
    refused.header = hub_header_of(HUB_REFUSED);
    refused.result = result;
    snprintf(refused.text, sizeof refused.text, "%s", text);
    send_message(fd, &refused, sizeof refused, -1);
}

/* --- slots ------------------------------------------------------------- */

static struct slot *slot_by_id(struct hub *hub, uint32_t id) {
    int i;
    for (i = 0; i < HUB_SLOTS; ++i)
        if (hub->slots[i].made && hub->slots[i].id == id) return &hub->slots[i];
    return NULL;
}

static void tell_given(struct hub *hub, struct slot *slot, const void *message, size_t size) {
    int i;
    for (i = 0; i < HUB_CONNECTIONS; ++i)
        if ((slot->given & (1u << i)) && hub->connections[i].fd >= 0)
            send_message(hub->connections[i].fd, message, size, -1);
}

static void retire_slot(struct hub *hub, struct slot *slot) {
    struct hub_slot_message retire;
    retire.header = hub_header_of(HUB_RETIRE);
    retire.slot = slot->id;
    tell_given(hub, slot, &retire, sizeof retire);
    if (slot->reader_fd >= 0) close(slot->reader_fd);
    shared_frame_free(&slot->memory);
    memset(slot, 0, sizeof *slot);
    slot->reader_fd = -1;
}

/* Memory no subscriber holds, of the frame's size; NULL when none can be had. */
static struct slot *free_slot(struct hub *hub) {
    struct slot *empty = NULL;
    int i;
    for (i = 0; i < HUB_SLOTS; ++i) {
        struct slot *slot = &hub->slots[i];
        if (!slot->made) {
            if (empty == NULL) empty = slot;
        } else if (slot->refs == 0 && !slot->writing) {
            if (slot->memory.size == hub->frame_size) return slot;
            retire_slot(hub, slot); /* of an old size */
            if (empty == NULL) empty = slot;
        }
    }
    if (empty == NULL || shared_frame_make(&empty->memory, hub->id, hub->frame_size) != 0) return NULL;
    empty->reader_fd = shared_frame_reader_fd(&empty->memory);
    if (empty->reader_fd < 0) {
        shared_frame_free(&empty->memory);
        return NULL;
    }
    empty->made = true;
    empty->id = ++hub->next_slot_id == 0 ? ++hub->next_slot_id : hub->next_slot_id;
    return empty;
}

/* Keeps memory for the subscribers there are, and a frame more; none
 * without subscribers. */
static void trim_slots(struct hub *hub) {
    uint32_t made = 0, keep = hub->subscribers > 0 ? hub->subscribers * BOARDCAM_MT_MAX_HELD + 1 : 0;
    int i;
    for (i = 0; i < HUB_SLOTS; ++i) made += hub->slots[i].made;
    for (i = 0; i < HUB_SLOTS && made > keep; ++i) {
        struct slot *slot = &hub->slots[i];
        if (slot->made && slot->refs == 0 && !slot->writing) {
            retire_slot(hub, slot);
            --made;
        }
    }
}

/* --- the pump ---------------------------------------------------------- */

static void *pump_main(void *data);

/* Starts the pump when subscribers want it; with hub_mu held. */
static void want_pump(struct hub *hub) {
    if (hub->subscribers == 0 || hub->paused || hub->pump_alive) return;
    if (hub->pump_made) {
        /* The last one has decided to end and is returning. */
        pthread_join(hub->pump, NULL);
        hub->pump_made = false;
    }
    if (pthread_create(&hub->pump, NULL, pump_main, hub) == 0) {
        hub->pump_made = true;
        hub->pump_alive = true;
    }
}

/* Asks the pump to end and waits until it has; with hub_mu held, released
 * while waiting. */
static void end_pump(struct hub *hub) {
    if (hub->pump_alive) owner_pump_stop(hub->camera);
    while (hub->pump_alive) pthread_cond_wait(&pump_ended, &hub_mu);
    if (hub->pump_made) {
        pthread_join(hub->pump, NULL);
        hub->pump_made = false;
    }
}

static void drop_connection(struct hub *hub, int index);

/* Whether a subscriber is due a frame that arrived at `now`: a subscriber
 * slower than the camera takes one on its own schedule. */
static bool due(const struct hub *hub, struct connection *c, int64_t now) {
    const int64_t half = period_of(hub->fps) / 2;
    if (now < c->next_due_ns - half) return false;
    c->next_due_ns = now - c->next_due_ns >= c->period_ns ? now + c->period_ns : c->next_due_ns + c->period_ns;
    return true;
}

/* Copies `frame` once for every subscriber it is due to, and sends it. */
static void publish(struct hub *hub, const boardcam_mt_frame *frame) {
    int recipients[HUB_CONNECTIONS];
    uint32_t generations[HUB_CONNECTIONS];
    int count = 0, i;
    struct slot *slot;
    pthread_mutex_lock(&hub_mu);
    for (i = 0; i < HUB_CONNECTIONS; ++i) {
        struct connection *c = &hub->connections[i];
        if (c->fd < 0 || !c->welcomed || c->displaced) continue;
        if (c->held_count >= c->max_held) {
            /* It holds all it may: it misses this one, and takes the next
             * as soon as it gives one back. */
            ++c->dropped;
            continue;
        }
        if (!due(hub, c, frame->monotonic_ns)) continue;
        recipients[count] = i;
        generations[count++] = c->generation;
    }
    slot = count > 0 && (size_t)frame->size == hub->frame_size ? free_slot(hub) : NULL;
    if (slot == NULL) {
        pthread_mutex_unlock(&hub_mu);
        return;
    }
    for (i = 0; i < count; ++i) {
        struct connection *c = &hub->connections[recipients[i]];
        c->held[c->held_count++] = slot->id;
    }
    slot->refs = (uint32_t)count;
    slot->writing = true;
    pthread_mutex_unlock(&hub_mu);

    /* The one copy, whatever the number of subscribers; no lock held. */
    memcpy(slot->memory.data, frame->data, hub->frame_size);

    pthread_mutex_lock(&hub_mu);
    slot->writing = false;
    ++hub->copies;
    for (i = 0; i < count; ++i) {
        struct connection *c = &hub->connections[recipients[i]];
        struct hub_frame message;
        const bool first = (slot->given & (1u << recipients[i])) == 0;
        /* Gone meanwhile: its hold on the slot went with it. */
        if (c->fd < 0 || c->generation != generations[i]) continue;
        message.header = hub_header_of(HUB_FRAME);
        message.slot = slot->id;
        message.size = (uint32_t)hub->frame_size;
        message.sequence = frame->sequence;
        message.monotonic_ns = frame->monotonic_ns;
        message.realtime_ns = frame->realtime_ns;
        if (!send_message(c->fd, &message, sizeof message, first ? slot->reader_fd : -1)) {
            drop_connection(hub, recipients[i]);
            continue;
        }
        slot->given |= 1u << recipients[i];
        ++c->frames;
    }
    pthread_mutex_unlock(&hub_mu);
}

static void *pump_main(void *data) {
    struct hub *hub = data;
    int failures = 0;
    owner_pump_starts(hub->camera);
    for (;;) {
        boardcam_mt_frame frame;
        int result;
        pthread_mutex_lock(&hub_mu);
        if (hub->subscribers == 0 || hub->paused) {
            hub->pump_alive = false;
            pthread_cond_broadcast(&pump_ended);
            pthread_mutex_unlock(&hub_mu);
            break;
        }
        pthread_mutex_unlock(&hub_mu);
        result = owner_pump_read(hub->camera, &frame);
        if (result == OWNER_READ_STOPPED) continue;
        if (result != 0) {
            /* The owner's reader is told; its program decides what to do. */
            owner_deliver(hub->camera, result, NULL);
            if (++failures > 1) {
                const struct timespec pause = {0, 100 * 1000000};
                nanosleep(&pause, NULL);
            }
            continue;
        }
        failures = 0;
        publish(hub, &frame);
        owner_deliver(hub->camera, 0, &frame);
    }
    owner_pump_ends(hub->camera);
    return NULL;
}

/* --- connections ------------------------------------------------------- */

static void drop_connection(struct hub *hub, int index) {
    struct connection *c = &hub->connections[index];
    uint32_t i;
    int s;
    if (c->fd < 0) return;
    for (i = 0; i < c->held_count; ++i) {
        struct slot *slot = slot_by_id(hub, c->held[i]);
        if (slot != NULL && slot->refs > 0) --slot->refs;
    }
    for (s = 0; s < HUB_SLOTS; ++s) hub->slots[s].given &= ~(1u << index);
    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, c->fd, NULL);
    close(c->fd);
    c->fd = -1;
    if (c->welcomed) {
        --hub->subscribers;
        trim_slots(hub);
    }
    c->welcomed = false;
    /* The pump notices when the last subscriber has gone. */
}

static void welcome(struct hub *hub, int index, const struct hub_hello *hello) {
    struct connection *c = &hub->connections[index];
    const int32_t fps = hello->fps != 0 ? hello->fps : hub->fps;
    const bool any_size = hello->width == 0 && hello->height == 0;
    struct hub_welcome answer;
    memcpy(c->program, hello->program, sizeof c->program);
    c->program[sizeof c->program - 1] = '\0';
    if (hub->subscribers >= BOARDCAM_MT_MAX_SUBSCRIBERS) {
        char text[256];
        snprintf(text, sizeof text, "camera %d is shared by as many programs as it takes (%d)", hub->id,
                 BOARDCAM_MT_MAX_SUBSCRIBERS);
        refuse(c->fd, BOARDCAM_MT_BUSY, text);
        drop_connection(hub, index);
        return;
    }
    if (fps < 1 || fps > hub->fps || (!any_size && (hello->width != hub->width || hello->height != hub->height))) {
        char text[384], owner[BOARDCAM_MT_PROGRAM_MAX];
        hub_program_name(owner);
        snprintf(text, sizeof text,
                 "camera %d is in use by %s (pid %d) at %dx%d, %d fps; open it at that size, at %d fps or less, "
                 "to share it",
                 hub->id, owner, (int)getpid(), hub->width, hub->height, hub->fps, hub->fps);
        refuse(c->fd, BOARDCAM_MT_BUSY, text);
        drop_connection(hub, index);
        return;
    }
    c->fps = fps;
    c->width = hub->width;
    c->height = hub->height;
    c->period_ns = period_of(fps);
    c->next_due_ns = monotonic_ns();
    c->max_held = hello->max_held >= 1 && hello->max_held <= BOARDCAM_MT_MAX_HELD ? hello->max_held
                                                                                : BOARDCAM_MT_MAX_HELD;
    memset(&answer, 0, sizeof answer);
    answer.header = hub_header_of(HUB_WELCOME);
    answer.fps = fps;
    answer.width = hub->width;
    answer.height = hub->height;
    answer.owner_fps = hub->fps;
    answer.owner_pid = (int32_t)getpid();
    hub_program_name(answer.owner_program);
    if (!send_message(c->fd, &answer, sizeof answer, -1)) {
        drop_connection(hub, index);
        return;
    }
    c->welcomed = true;
    ++hub->subscribers;
    want_pump(hub);
}

static void fill_status(struct hub *hub, boardcam_mt_camera_status *out) {
    int i;
    memset(out, 0, sizeof *out);
    out->id = hub->id;
    out->owned = true;
    out->width = hub->width;
    out->height = hub->height;
    out->fps = hub->fps;
    out->copies = hub->copies;
    out->owner.pid = (int32_t)getpid();
    out->owner.fps = hub->fps;
    hub_program_name(out->owner.program);
    for (i = 0; i < HUB_CONNECTIONS && out->subscriber_count < BOARDCAM_MT_MAX_SUBSCRIBERS; ++i) {
        const struct connection *c = &hub->connections[i];
        boardcam_mt_peer *peer;
        if (c->fd < 0 || !c->welcomed) continue;
        peer = &out->subscribers[out->subscriber_count++];
        peer->pid = (int32_t)c->pid;
        memcpy(peer->program, c->program, sizeof peer->program);
        peer->fps = c->fps;
        peer->held = c->held_count;
        peer->frames = c->frames;
        peer->dropped = c->dropped;
    }
}

/* One message from a connection; false when the connection must end. */
static bool take_message(struct hub *hub, int index, const void *buffer, size_t size) {
    struct connection *c = &hub->connections[index];
    enum hub_message_type type;
    if (!hub_message_valid(buffer, size, &type)) return false;
    if (!c->welcomed && (type == HUB_HELLO || type == HUB_STATUS)) {
        /* Checked once its first message has been read, so that a refusal
         * reaches it (see close_after_refusal()). */
        char why[256], text[384];
        if (peer_check(c->fd, &c->pid, why, sizeof why) != 0) {
            snprintf(text, sizeof text, "camera %d is in use by another program, and %s", hub->id, why);
            refuse(c->fd, BOARDCAM_MT_DENIED, text);
            return false;
        }
    }
    if (!c->welcomed) {
        if (type == HUB_HELLO) {
            welcome(hub, index, buffer);
            return hub->connections[index].fd >= 0;
        }
        if (type == HUB_STATUS) {
            struct hub_status_reply reply;
            reply.header = hub_header_of(HUB_STATUS_REPLY);
            fill_status(hub, &reply.status);
            /* The handle's count, taken under its own mutex, which the
             * pump never holds while it waits for this one. */
            reply.status.frames = owner_frames(hub->camera);
            send_message(c->fd, &reply, sizeof reply, -1);
        }
        return false;
    }
    if (type == HUB_RELEASE) {
        const uint32_t id = ((const struct hub_slot_message *)buffer)->slot;
        uint32_t i;
        for (i = 0; i < c->held_count && c->held[i] != id; ++i) {
        }
        if (i == c->held_count) return false; /* not its to give back */
        c->held[i] = c->held[--c->held_count];
        {
            struct slot *slot = slot_by_id(hub, id);
            if (slot != NULL && slot->refs > 0) --slot->refs;
        }
        return true;
    }
    if (type == HUB_RATE) {
        const int32_t fps = ((const struct hub_rate *)buffer)->fps;
        if (fps < 1 || fps > hub->fps) return false;
        c->fps = fps;
        c->period_ns = period_of(fps);
        return true;
    }
    return false;
}

static void serve_connection(struct hub *hub, int index, uint32_t events) {
    char buffer[HUB_MESSAGE_MAX];
    int round;
    for (round = 0; round < MESSAGES_PER_ROUND && hub->connections[index].fd >= 0; ++round) {
        const ssize_t got = recv(hub->connections[index].fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        if (got <= 0 || (size_t)got > sizeof buffer || !take_message(hub, index, buffer, (size_t)got)) {
            drop_connection(hub, index);
            return;
        }
    }
    if ((events & (EPOLLHUP | EPOLLERR)) && hub->connections[index].fd >= 0) {
        /* Whatever it sent before hanging up has been read above. */
        if (recv(hub->connections[index].fd, buffer, 1, MSG_DONTWAIT | MSG_PEEK) <= 0) drop_connection(hub, index);
    }
}

/* Closes a connection just refused. What it sent is read first: a socket
 * closed with unread messages resets the connection, and the peer would get
 * that instead of the refusal. */
static void close_after_refusal(int fd) {
    char buffer[HUB_MESSAGE_MAX];
    int round;
    for (round = 0; round < MESSAGES_PER_ROUND && recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++round) {
    }
    close(fd);
}

static void accept_connections(struct hub *hub) {
    int round;
    for (round = 0; round < MESSAGES_PER_ROUND; ++round) {
        const int fd = accept4(hub->listen_fd, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK);
        int index;
        struct epoll_event event;
        if (fd < 0) return;
        for (index = 0; index < HUB_CONNECTIONS && hub->connections[index].fd >= 0; ++index) {
        }
        if (index == HUB_CONNECTIONS) {
            char text[128];
            snprintf(text, sizeof text, "camera %d is shared by as many programs as it takes (%d)", hub->id,
                     BOARDCAM_MT_MAX_SUBSCRIBERS);
            refuse(fd, BOARDCAM_MT_BUSY, text);
            close_after_refusal(fd);
            continue;
        }
        memset(&hub->connections[index], 0, sizeof hub->connections[index]);
        hub->connections[index].fd = fd;
        hub->connections[index].generation = ++connections_made;
        hub->connections[index].hello_deadline_ns = monotonic_ns() + HELLO_TIMEOUT_NS;
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = key_of(hub, index);
        if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) {
            close(fd);
            hub->connections[index].fd = -1;
        }
    }
}

static void *io_main(void *data) {
    (void)data;
    for (;;) {
        struct epoll_event events[32];
        const int count = epoll_wait(epoll_fd, events, 32, 250);
        int i, camera;
        pthread_mutex_lock(&hub_mu);
        if (!io_running) {
            pthread_mutex_unlock(&hub_mu);
            return NULL;
        }
        for (i = 0; i < count; ++i) {
            const uint64_t key = events[i].data.u64;
            struct hub *hub;
            if (key == WAKE_KEY) {
                uint64_t drained;
                if (read(wake_fd, &drained, sizeof drained) < 0) continue;
                continue;
            }
            hub = (key >> 32) < CAMERA_COUNT ? hubs[key >> 32] : NULL;
            if (hub == NULL) continue;
            if ((uint32_t)key == UINT32_MAX)
                accept_connections(hub);
            else if ((uint32_t)key < HUB_CONNECTIONS)
                serve_connection(hub, (int)(uint32_t)key, events[i].events);
        }
        /* Connections that never said hello. */
        for (camera = 0; camera < CAMERA_COUNT; ++camera) {
            struct hub *hub = hubs[camera];
            const int64_t now = monotonic_ns();
            if (hub == NULL) continue;
            for (i = 0; i < HUB_CONNECTIONS; ++i)
                if (hub->connections[i].fd >= 0 && !hub->connections[i].welcomed &&
                    now > hub->connections[i].hello_deadline_ns)
                    drop_connection(hub, i);
        }
        pthread_mutex_unlock(&hub_mu);
    }
}

/* With hub_mu held: the thread runs while any hub is open. */
static int start_io(void) {
    struct epoll_event event;
    while (io_stopping) pthread_cond_wait(&io_stopped, &hub_mu);
    if (io_running) return 0;
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    event.events = EPOLLIN;
    event.data.u64 = WAKE_KEY;
    if (epoll_fd < 0 || wake_fd < 0 || epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &event) != 0) goto fail;
    io_running = true;
    if (pthread_create(&io_thread, NULL, io_main, NULL) != 0) {
        io_running = false;
        goto fail;
    }
    return 0;
fail:
    if (epoll_fd >= 0) close(epoll_fd);
    if (wake_fd >= 0) close(wake_fd);
    epoll_fd = wake_fd = -1;
    return -1;
}

/* With hub_mu held; released while the thread ends. */
static void stop_io_if_idle(void) {
    const uint64_t one = 1;
    int camera;
    for (camera = 0; camera < CAMERA_COUNT; ++camera)
        if (hubs[camera] != NULL) return;
    if (!io_running || io_stopping) return;
    io_running = false;
    io_stopping = true;
    if (write(wake_fd, &one, sizeof one) < 0) {
        /* The thread wakes on its own within its poll's timeout. */
    }
    pthread_mutex_unlock(&hub_mu);
    pthread_join(io_thread, NULL);
    pthread_mutex_lock(&hub_mu);
    close(epoll_fd);
    close(wake_fd);
    epoll_fd = wake_fd = -1;
    io_stopping = false;
    pthread_cond_broadcast(&io_stopped);
}

/* --- the interface ----------------------------------------------------- */

static int listen_on(const char *path) {
    struct sockaddr_un address;
    const long video = video_group();
    int fd;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) return -1;
    strcpy(address.sun_path, path);
    fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    /* Whoever had the camera before is gone: its socket is ours to replace
     * (we hold the owner's lock). */
    unlink(path);
    if (bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    if (video >= 0 && chown(path, (uid_t)-1, (gid_t)video) != 0) {
        /* Not ours to give to the group: its owner's user and root still share. */
    }
    chmod(path, 0660);
    return fd;
}

struct hub *hub_listen(boardcam_mt_camera *camera, int id, const char *socket_path) {
    struct hub *hub;
    int i, started;
    if (id < 0 || id >= CAMERA_COUNT) return NULL;
    hub = calloc(1, sizeof *hub);
    if (hub == NULL) return NULL;
    hub->id = id;
    hub->camera = camera;
    snprintf(hub->socket_path, sizeof hub->socket_path, "%s", socket_path);
    for (i = 0; i < HUB_CONNECTIONS; ++i) hub->connections[i].fd = -1;
    for (i = 0; i < HUB_SLOTS; ++i) hub->slots[i].reader_fd = -1;
    hub->listen_fd = listen_on(socket_path);
    if (hub->listen_fd < 0) {
        free(hub);
        return NULL;
    }
    pthread_mutex_lock(&hub_mu);
    started = start_io();
    pthread_mutex_unlock(&hub_mu);
    if (started != 0) {
        hub_discard(hub);
        return NULL;
    }
    return hub;
}

int hub_serve(struct hub *hub, int32_t fps, int32_t width, int32_t height) {
    struct epoll_event event;
    pthread_mutex_lock(&hub_mu);
    hub->fps = fps;
    hub->width = width;
    hub->height = height;
    hub->frame_size = (size_t)width * (size_t)height * 3 / 2;
    event.events = EPOLLIN;
    event.data.u64 = key_of(hub, (int)UINT32_MAX);
    /* The I/O thread may have stopped meanwhile, with another camera's hub. */
    if (hubs[hub->id] != NULL || start_io() != 0 || epoll_ctl(epoll_fd, EPOLL_CTL_ADD, hub->listen_fd, &event) != 0) {
        pthread_mutex_unlock(&hub_mu);
        hub_discard(hub);
        return -1;
    }
    hubs[hub->id] = hub;
    pthread_mutex_unlock(&hub_mu);
    return 0;
}

void hub_discard(struct hub *hub) {
    pthread_mutex_lock(&hub_mu);
    stop_io_if_idle();
    pthread_mutex_unlock(&hub_mu);
    unlink(hub->socket_path);
    close(hub->listen_fd);
    free(hub);
}

void hub_set_format(struct hub *hub, int32_t fps, int32_t width, int32_t height) {
    struct hub_format message;
    int i;
    pthread_mutex_lock(&hub_mu);
    hub->fps = fps;
    hub->width = width;
    hub->height = height;
    hub->frame_size = (size_t)width * (size_t)height * 3 / 2;
    message.header = hub_header_of(HUB_FORMAT);
    message.fps = fps;
    message.width = width;
    message.height = height;
    for (i = 0; i < HUB_CONNECTIONS; ++i) {
        struct connection *c = &hub->connections[i];
        if (c->fd < 0 || !c->welcomed) continue;
        /* One that no longer fits gets no more frames; it is told at its next
         * read, and frames it holds stay as they are. A size that changed
         * fits nobody: a subscriber reads at the size it was given. */
        const bool sent = send_message(c->fd, &message, sizeof message, -1);
        if (!sent || c->fps > fps || width != c->width || height != c->height) c->displaced = true;
    }
    pthread_mutex_unlock(&hub_mu);
}

void hub_pause(struct hub *hub) {
    pthread_mutex_lock(&hub_mu);
    hub->paused = true;
    end_pump(hub);
    pthread_mutex_unlock(&hub_mu);
}

void hub_resume(struct hub *hub) {
    pthread_mutex_lock(&hub_mu);
    hub->paused = false;
    want_pump(hub);
    pthread_mutex_unlock(&hub_mu);
}

void hub_close(struct hub *hub) {
    int i;
    if (hub == NULL) return;
    pthread_mutex_lock(&hub_mu);
    hub->paused = true;
    end_pump(hub);
    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, hub->listen_fd, NULL);
    /* No new subscriber from here on; the socket goes before the lock, so
     * that whoever takes over makes its own. */
    unlink(hub->socket_path);
    close(hub->listen_fd);
    for (i = 0; i < HUB_CONNECTIONS; ++i) drop_connection(hub, i);
    for (i = 0; i < HUB_SLOTS; ++i)
        if (hub->slots[i].made) {
            /* Subscribers' mappings keep their frames. */
            if (hub->slots[i].reader_fd >= 0) close(hub->slots[i].reader_fd);
            shared_frame_free(&hub->slots[i].memory);
        }
    hubs[hub->id] = NULL;
    stop_io_if_idle();
    pthread_mutex_unlock(&hub_mu);
    free(hub);
}

void hub_status(struct hub *hub, boardcam_mt_camera_status *out) {
    pthread_mutex_lock(&hub_mu);
    fill_status(hub, out);
    pthread_mutex_unlock(&hub_mu);
    out->frames = owner_frames(hub->camera);
}
