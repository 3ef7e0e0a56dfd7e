#define _DEFAULT_SOURCE

#include "port_sockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>

static int local_port(int fd) {
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    int type = 0;
    socklen_t type_length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) != 0 || type != SOCK_STREAM) return -1;
    if (getsockname(fd, (struct sockaddr *)&address, &length) != 0) return -1;
    if (address.ss_family == AF_INET) return ntohs(((struct sockaddr_in *)&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(((struct sockaddr_in6 *)&address)->sin6_port);
    return -1;
}

int port_sockets_shut_down(int port) {
    DIR *fds = opendir("/proc/self/fd");
    struct dirent *entry;
    int count = 0;
    if (fds == NULL || port <= 0) {
        if (fds != NULL) closedir(fds);
        return 0;
    }
    while ((entry = readdir(fds)) != NULL) {
        struct stat info;
        char *end;
        const long fd = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || fd < 0 || fd == dirfd(fds)) continue;
        if (fstat((int)fd, &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
        if (local_port((int)fd) == port && shutdown((int)fd, SHUT_RDWR) == 0) ++count;
    }
    closedir(fds);
    return count;
}
