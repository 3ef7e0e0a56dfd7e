/*
 * Who may attach to this process's cameras: root, this process's own user,
 * and members of group video where that group exists, by the credentials the
 * kernel gives for the peer of a Unix socket (SO_PEERCRED, SO_PEERGROUPS).
 */
#ifndef BOARDCAM_MT_PEER_CHECK_H
#define BOARDCAM_MT_PEER_CHECK_H

#include <stddef.h>
#include <sys/types.h>

/* 0 when the peer on `fd` may attach; -1 with `why` when it may not or its
 * credentials cannot be had. `pid` receives the peer's process id. */
int peer_check(int fd, pid_t *pid, char *why, size_t why_size);

#endif
