#define _GNU_SOURCE
#include "hub_client.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "hub_owner.h"
#include "hub_protocol.h"
#include "last_message.h"

/* Slots of the owner a subscriber maps at once: what it holds, what the
 * owner keeps warm for it, and room for those of a size gone by. */
#define CLIENT_MAPPINGS 64
/* How long the owner has to answer a hello or a status request. */
#define ANSWER_TIMEOUT_MS 3000

struct mapping {
    uint32_t slot; /* 0: free */
    void *data;
    size_t size;
    bool leased;   /* the program holds this frame */
    bool retired;  /* the owner is done with it: unmapped once released */
};

struct hub_client {
    int fd;
    int id;
    int32_t fps, width, height;
    int32_t owner_fps;
    int32_t owner_pid;
    char owner_program[BOARDCAM_MT_PROGRAM_MAX];
    size_t frame_size;
    struct mapping mappings[CLIENT_MAPPINGS];
    unsigned leases;
    bool closed; /* the handle let go; freed with its last lease */
    struct hub_client *next;
};

/* Every client of the process, for releases by address from any thread.
 * Never held across a wait. */
static pthread_mutex_t clients_mu = PTHREAD_MUTEX_INITIALIZER;
static struct hub_client *clients;
/* Frames held in all: releases of device buffers skip the search while 0. */
static atomic_uint held_frames;

static int connect_to(const char *path, int *error) {
    struct sockaddr_un address;
    int fd;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        *error = ENAMETOOLONG;
        return -1;
    }
    strcpy(address.sun_path, path);
    fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        *error = errno;
        close(fd);
        return -1;
    }
    return fd;
}

static bool send_all(int fd, const void *message, size_t size) {
    return send(fd, message, size, MSG_NOSIGNAL | MSG_DONTWAIT) == (ssize_t)size;
}

/* One message, with a descriptor that came with it (else -1); its size, 0
 * when the peer hung up, -1 on error or after `timeout_ms`. */
static ssize_t receive(int fd, void *buffer, size_t size, int *passed, int timeout_ms) {
    struct iovec part = {buffer, size};
    struct msghdr header;
    union {
        char buffer[CMSG_SPACE(sizeof(int) * 4)];
        struct cmsghdr align;
    } control;
    struct cmsghdr *cmsg;
    ssize_t got;
    *passed = -1;
    if (timeout_ms >= 0) {
        struct pollfd wait = {fd, POLLIN, 0};
        const int ready = poll(&wait, 1, timeout_ms);
        if (ready == 0) errno = ETIMEDOUT;
        if (ready != 1) return -1;
    }
    memset(&header, 0, sizeof header);
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control.buffer;
    header.msg_controllen = sizeof control.buffer;
    got = recvmsg(fd, &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    for (cmsg = got >= 0 ? CMSG_FIRSTHDR(&header) : NULL; cmsg != NULL; cmsg = CMSG_NXTHDR(&header, cmsg)) {
        if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS) {
            const size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            size_t i;
            for (i = 0; i < count; ++i) {
                int fd_passed;
                memcpy(&fd_passed, CMSG_DATA(cmsg) + i * sizeof(int), sizeof(int));
                if (*passed < 0)
                    *passed = fd_passed;
                else
                    close(fd_passed); /* one per message, at most */
            }
        }
    }
    /* A peer reset (an owner that died with connections it had not yet
     * accepted) is a peer gone, as an orderly close is. */
    if (got < 0 && (errno == ECONNRESET || errno == EPIPE)) got = 0;
    if (got >= 0 && (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
        if (*passed >= 0) close(*passed);
        *passed = -1;
        return -1;
    }
    return got;
}

static void describe_unreachable(int id, const char *path, int error) {
    last_message_set("camera %d is in use by another program, and this user may not share it: cannot reach %s: %s",
                     id, path, strerror(error));
}

int hub_client_attach(int id, const char *path, int32_t fps, int32_t width, int32_t height, struct hub_client **out) {
    struct hub_hello hello;
    char buffer[HUB_MESSAGE_MAX];
    enum hub_message_type type;
    struct hub_client *client;
    int error = 0, passed;
    ssize_t got;
    const int fd = connect_to(path, &error);
    if (fd < 0) {
        if (error == ENOENT || error == ECONNREFUSED) return HUB_CLIENT_NO_OWNER;
        if (error == EACCES || error == EPERM) {
            describe_unreachable(id, path, error);
            return BOARDCAM_MT_DENIED;
        }
        last_message_set("camera %d: cannot reach its owner at %s: %s", id, path, strerror(error));
        return BOARDCAM_MT_ERROR;
    }
    memset(&hello, 0, sizeof hello);
    hello.header = hub_header_of(HUB_HELLO);
    hello.fps = fps;
    hello.width = width;
    hello.height = height;
    hello.max_held = BOARDCAM_MT_MAX_HELD;
    hub_program_name(hello.program);
    if (!send_all(fd, &hello, sizeof hello)) {
        close(fd);
        return HUB_CLIENT_NO_OWNER; /* it went as we came */
    }
    got = receive(fd, buffer, sizeof buffer, &passed, ANSWER_TIMEOUT_MS);
    if (passed >= 0) close(passed);
    /* The owner went (see receive()): its successor is looked for, as when
     * nobody listens. */
    if (got == 0) {
        close(fd);
        return HUB_CLIENT_NO_OWNER;
    }
    if (got < 0 || !hub_message_valid((const struct hub_header *)buffer, (size_t)got, &type) ||
        (type != HUB_WELCOME && type != HUB_REFUSED)) {
        last_message_set("camera %d: its owner did not answer", id);
        close(fd);
        return BOARDCAM_MT_ERROR;
    }
    if (type == HUB_REFUSED) {
        const struct hub_refused *refused = (const struct hub_refused *)buffer;
        char text[sizeof refused->text + 1];
        memcpy(text, refused->text, sizeof refused->text);
        text[sizeof refused->text] = '\0';
        last_message_copy(text);
        close(fd);
        return refused->result == BOARDCAM_MT_DENIED ? BOARDCAM_MT_DENIED : BOARDCAM_MT_BUSY;
    }
    client = calloc(1, sizeof *client);
    if (client == NULL) {
        close(fd);
        return BOARDCAM_MT_ERROR;
    }
    {
        const struct hub_welcome *welcome = (const struct hub_welcome *)buffer;
        client->fd = fd;
        client->id = id;
        client->fps = welcome->fps;
        client->width = welcome->width;
        client->height = welcome->height;
        client->owner_fps = welcome->owner_fps;
        client->owner_pid = welcome->owner_pid;
        memcpy(client->owner_program, welcome->owner_program, sizeof client->owner_program);
        client->owner_program[sizeof client->owner_program - 1] = '\0';
        client->frame_size = (size_t)welcome->width * (size_t)welcome->height * 3 / 2;
    }
    pthread_mutex_lock(&clients_mu);
    client->next = clients;
    clients = client;
    pthread_mutex_unlock(&clients_mu);
    *out = client;
    return 0;
}

void hub_client_format(const struct hub_client *client, int32_t *fps, int32_t *width, int32_t *height,
                       int32_t *owner_fps) {
    pthread_mutex_lock(&clients_mu);
    if (owner_fps != NULL) *owner_fps = client->owner_fps;
    if (fps != NULL) *fps = client->fps;
    if (width != NULL) *width = client->width;
    if (height != NULL) *height = client->height;
    pthread_mutex_unlock(&clients_mu);
}

static struct mapping *mapping_of(struct hub_client *client, uint32_t slot) {
    int i;
    for (i = 0; i < CLIENT_MAPPINGS; ++i)
        if (client->mappings[i].slot == slot) return &client->mappings[i];
    return NULL;
}

static void unmap(struct mapping *mapping) {
    munmap(mapping->data, mapping->size);
    memset(mapping, 0, sizeof *mapping);
}

/* A frame message: the frame leased to the program, or false when the
 * owner broke the protocol. With clients_mu held. */
static bool take_frame(struct hub_client *client, const struct hub_frame *message, int passed,
                       boardcam_mt_frame *frame) {
    struct mapping *mapping = mapping_of(client, message->slot);
    if (message->slot == 0 || message->size != client->frame_size) return false;
    if (passed >= 0) {
        void *data;
        if (mapping != NULL) {
            if (mapping->leased) return false;
            unmap(mapping);
        }
        mapping = mapping_of(client, 0);
        if (mapping == NULL) return false;
        data = mmap(NULL, message->size, PROT_READ, MAP_SHARED, passed, 0);
        if (data == MAP_FAILED) return false;
        mapping->slot = message->slot;
        mapping->data = data;
        mapping->size = message->size;
    }
    if (mapping == NULL || mapping->leased || mapping->size != message->size) return false;
    mapping->leased = true;
    ++client->leases;
    atomic_fetch_add(&held_frames, 1);
    frame->data = mapping->data;
    frame->size = (int32_t)message->size;
    frame->sequence = message->sequence;
    frame->dropped = 0;
    frame->monotonic_ns = message->monotonic_ns;
    frame->realtime_ns = message->realtime_ns;
    return true;
}

/* hub_client_read(): a message that ends no read (a slot retired, a format
 * that still fits). */
#define NOTHING_YET INT32_MIN

int hub_client_read(struct hub_client *client, int wake_fd, boardcam_mt_frame *frame) {
    for (;;) {
        struct pollfd waits[2] = {{client->fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        char buffer[HUB_MESSAGE_MAX];
        enum hub_message_type type;
        int passed, result = NOTHING_YET;
        ssize_t got;
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return HUB_CLIENT_GONE;
        }
        if (waits[1].revents & POLLIN) return BOARDCAM_MT_INTERRUPTED;
        got = receive(client->fd, buffer, sizeof buffer, &passed, -1);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0 || !hub_message_valid((const struct hub_header *)buffer, (size_t)got, &type)) {
            if (passed >= 0) close(passed);
            return HUB_CLIENT_GONE;
        }
        pthread_mutex_lock(&clients_mu);
        if (type == HUB_FRAME) {
            result = take_frame(client, (const struct hub_frame *)buffer, passed, frame) ? 0 : HUB_CLIENT_GONE;
        } else if (type == HUB_RETIRE) {
            struct mapping *mapping = mapping_of(client, ((const struct hub_slot_message *)buffer)->slot);
            if (mapping != NULL && mapping->slot != 0) {
                if (mapping->leased)
                    mapping->retired = true;
                else
                    unmap(mapping);
            }
        } else if (type == HUB_FORMAT) {
            const struct hub_format *format = (const struct hub_format *)buffer;
            client->owner_fps = format->fps;
            if (format->width != client->width || format->height != client->height || client->fps > format->fps) {
                last_message_set("camera %d is now in use by %s (pid %d) at %dx%d, %d fps; open it at that size, "
                                 "at %d fps or less, to share it",
                                 client->id, client->owner_program, (int)client->owner_pid, format->width,
                                 format->height, format->fps, format->fps);
                result = BOARDCAM_MT_BUSY;
            }
        } else {
            result = HUB_CLIENT_GONE; /* nothing else is the owner's to send */
        }
        pthread_mutex_unlock(&clients_mu);
        if (passed >= 0) close(passed);
        if (result != NOTHING_YET) return result;
    }
}

int hub_client_set_format(struct hub_client *client, int32_t fps, int32_t width, int32_t height) {
    struct hub_rate rate;
    pthread_mutex_lock(&clients_mu);
    if (fps < 1 || fps > client->owner_fps || width != client->width || height != client->height) {
        last_message_set("camera %d is in use by %s (pid %d) at %dx%d, %d fps; open it at that size, at %d fps or "
                         "less, to share it",
                         client->id, client->owner_program, (int)client->owner_pid, client->width, client->height,
                         client->owner_fps, client->owner_fps);
        pthread_mutex_unlock(&clients_mu);
        return BOARDCAM_MT_BUSY;
    }
    rate.header = hub_header_of(HUB_RATE);
    rate.fps = fps;
    send_all(client->fd, &rate, sizeof rate);
    client->fps = fps;
    pthread_mutex_unlock(&clients_mu);
    return 0;
}

/* With clients_mu held: frees a closed client whose frames are all back. */
static void free_if_done(struct hub_client *client) {
    struct hub_client **link;
    int i;
    if (!client->closed || client->leases > 0) return;
    for (link = &clients; *link != NULL; link = &(*link)->next)
        if (*link == client) {
            *link = client->next;
            break;
        }
    for (i = 0; i < CLIENT_MAPPINGS; ++i)
        if (client->mappings[i].slot != 0) unmap(&client->mappings[i]);
    close(client->fd);
    free(client);
}

void hub_client_close(struct hub_client *client) {
    if (client == NULL) return;
    pthread_mutex_lock(&clients_mu);
    client->closed = true;
    free_if_done(client);
    pthread_mutex_unlock(&clients_mu);
}

bool hub_client_release(void *data) {
    struct hub_client *client;
    if (data == NULL || atomic_load(&held_frames) == 0) return false;
    pthread_mutex_lock(&clients_mu);
    for (client = clients; client != NULL; client = client->next) {
        int i;
        for (i = 0; i < CLIENT_MAPPINGS; ++i) {
            struct mapping *mapping = &client->mappings[i];
            struct hub_slot_message release;
            if (mapping->slot == 0 || mapping->data != data || !mapping->leased) continue;
            mapping->leased = false;
            --client->leases;
            atomic_fetch_sub(&held_frames, 1);
            release.header = hub_header_of(HUB_RELEASE);
            release.slot = mapping->slot;
            /* An owner that has gone needs nothing back. */
            send_all(client->fd, &release, sizeof release);
            if (mapping->retired) unmap(mapping);
            free_if_done(client);
            pthread_mutex_unlock(&clients_mu);
            return true;
        }
    }
    pthread_mutex_unlock(&clients_mu);
    return false;
}

bool hub_client_holds(const void *data) {
    struct hub_client *client;
    bool held = false;
    if (data == NULL || atomic_load(&held_frames) == 0) return false;
    pthread_mutex_lock(&clients_mu);
    for (client = clients; client != NULL && !held; client = client->next) {
        int i;
        for (i = 0; i < CLIENT_MAPPINGS; ++i)
            if (client->mappings[i].slot != 0 && client->mappings[i].leased && client->mappings[i].data == data)
                held = true;
    }
    pthread_mutex_unlock(&clients_mu);
    return held;
}

int hub_client_status(int id, const char *path, boardcam_mt_camera_status *out) {
    const struct hub_header request = hub_header_of(HUB_STATUS);
    char buffer[HUB_MESSAGE_MAX];
    enum hub_message_type type;
    int error = 0, passed;
    ssize_t got;
    const int fd = connect_to(path, &error);
    if (fd < 0) {
        if (error == ENOENT || error == ECONNREFUSED) return HUB_CLIENT_NO_OWNER;
        if (error == EACCES || error == EPERM) {
            describe_unreachable(id, path, error);
            return BOARDCAM_MT_DENIED;
        }
        return BOARDCAM_MT_ERROR;
    }
    if (!send_all(fd, &request, sizeof request)) {
        close(fd);
        return HUB_CLIENT_NO_OWNER;
    }
    got = receive(fd, buffer, sizeof buffer, &passed, ANSWER_TIMEOUT_MS);
    if (passed >= 0) close(passed);
    close(fd);
    if (got == 0) return HUB_CLIENT_NO_OWNER;
    if (got > 0 && hub_message_valid((const struct hub_header *)buffer, (size_t)got, &type) && type == HUB_REFUSED) {
        const struct hub_refused *refused = (const struct hub_refused *)buffer;
        char text[sizeof refused->text + 1];
        memcpy(text, refused->text, sizeof refused->text);
        text[sizeof refused->text] = '\0';
        last_message_copy(text);
        return refused->result == BOARDCAM_MT_DENIED ? BOARDCAM_MT_DENIED : BOARDCAM_MT_ERROR;
    }
    if (got <= 0 || !hub_message_valid((const struct hub_header *)buffer, (size_t)got, &type) ||
        type != HUB_STATUS_REPLY)
        return BOARDCAM_MT_ERROR;
    memcpy(out, &((const struct hub_status_reply *)buffer)->status, sizeof *out);
    return 0;
}
