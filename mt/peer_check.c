#define _GNU_SOURCE
#include "peer_check.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime_dir.h"

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

static int in_group(int fd, gid_t primary, gid_t group) {
    gid_t groups[256];
    socklen_t length = sizeof groups;
    size_t i;
    if (primary == group) return 1;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &length) != 0) return 0;
    for (i = 0; i < length / sizeof groups[0]; ++i)
        if (groups[i] == group) return 1;
    return 0;
}

static void user_name(uid_t uid, char *out, size_t size) {
    struct passwd entry, *found = NULL;
    char buffer[1024];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != NULL)
        snprintf(out, size, "%s", found->pw_name);
    else
        snprintf(out, size, "uid %u", (unsigned)uid);
}

int peer_check(int fd, pid_t *pid, char *why, size_t why_size) {
    struct ucred peer;
    socklen_t length = sizeof peer;
    const long video = video_group();
    char name[64];
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        snprintf(why, why_size, "the peer's credentials cannot be read: %s", strerror(errno));
        return -1;
    }
    *pid = peer.pid;
    if (peer.uid == 0 || peer.uid == geteuid()) return 0;
    if (video >= 0 && in_group(fd, peer.gid, (gid_t)video)) return 0;
    user_name(peer.uid, name, sizeof name);
    snprintf(why, why_size, "user %s may not share it: only root, its owner's user%s may", name,
             video >= 0 ? " and group video" : "");
    return -1;
}
