#define _POSIX_C_SOURCE 200809L

#include "library_log.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static char hint[4200];

int library_log_redirect(const char *path) {
    int fd;
    fflush(stdout);
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (dup2(fd, STDOUT_FILENO) < 0) {
        close(fd);
        return -1;
    }
    close(fd);
    snprintf(hint, sizeof hint, " (the library's report is in %s)", path);
    return 0;
}

const char *library_log_hint(void) { return hint; }
