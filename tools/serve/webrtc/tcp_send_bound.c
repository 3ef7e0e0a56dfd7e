#include "tcp_send_bound.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

int tcp_send_bound_ports(const char *sdp, int *ports, int max) {
    const char *line = sdp;
    int count = 0;
    while (count < max && (line = strstr(line, "a=candidate:")) != NULL) {
        const char *end = strchr(line, '\n');
        const size_t length = end != NULL ? (size_t)(end - line) : strlen(line);
        char candidate[512];
        char transport[8];
        unsigned port;
        if (length < sizeof candidate) {
            memcpy(candidate, line, length);
            candidate[length] = '\0';
            /* a=candidate:FOUNDATION COMPONENT TRANSPORT PRIORITY ADDRESS PORT typ host tcptype passive */
            if (strstr(candidate, "tcptype passive") != NULL &&
                sscanf(candidate, "a=candidate:%*s %*u %7s %*u %*s %u", transport, &port) == 2 && port > 0 &&
                port < 65536)
                ports[count++] = (int)port;
        }
        line += 12;
    }
    return count;
}

static int local_port(int fd) {
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    if (getsockname(fd, (struct sockaddr *)&address, &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(((struct sockaddr_in *)&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(((struct sockaddr_in6 *)&address)->sin6_port);
    return 0;
}

static int wanted(int port, const int *ports, int count) {
    int i;
    for (i = 0; i < count; ++i)
        if (ports[i] == port) return 1;
    return 0;
}

int tcp_send_bound_apply(const int *ports, int count) {
    DIR *fds;
    struct dirent *entry;
    int connections = 0;
    if (count <= 0 || (fds = opendir("/proc/self/fd")) == NULL) return 0;
    while ((entry = readdir(fds)) != NULL) {
        const int fd = atoi(entry->d_name);
        int type = 0, bound = 0;
        socklen_t size = sizeof type;
        struct sockaddr_storage peer;
        socklen_t peer_length = sizeof peer;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == dirfd(fds)) continue;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) continue;
        if (!wanted(local_port(fd), ports, count)) continue;
        /* The listening socket too: a connection it accepts later starts bounded. */
        size = sizeof bound;
        if (getsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bound, &size) == 0 && bound != TCP_SEND_BOUND_BYTES) {
            bound = TCP_SEND_BOUND_BYTES;
            setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bound, sizeof bound);
        }
        if (getpeername(fd, (struct sockaddr *)&peer, &peer_length) == 0) ++connections;
    }
    closedir(fds);
    return connections;
}
