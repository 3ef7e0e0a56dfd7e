#define _POSIX_C_SOURCE 200809L

#include "library_log.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char hint[4200];
static char log_path[4096];

static int point_stdout_at(const char *path, int flags) {
    int fd;
    fflush(stdout);
    fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) return -1;
    if (dup2(fd, STDOUT_FILENO) < 0) {
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

int library_log_redirect(const char *path) {
    if (strlen(path) >= sizeof log_path || point_stdout_at(path, O_TRUNC) != 0) return -1;
    snprintf(hint, sizeof hint, " (the library's report is in %s)", path);
    strcpy(log_path, path);
    return 0;
}

int library_log_rotate(long limit) {
    struct stat st;
    char older[sizeof log_path + 2];
    if (log_path[0] == '\0' || fstat(STDOUT_FILENO, &st) != 0 || st.st_size <= limit) return 0;
    snprintf(older, sizeof older, "%s.1", log_path);
    fflush(stdout);
    if (rename(log_path, older) != 0) return -1;
    return point_stdout_at(log_path, O_TRUNC) == 0 ? 1 : -1;
}

const char *library_log_hint(void) { return hint; }
