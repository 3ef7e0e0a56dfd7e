#define _GNU_SOURCE
#include "runtime_dir.h"

#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

long video_group(void) {
    struct group entry, *found = NULL;
    char buffer[4096];
    if (getgrnam_r("video", &entry, buffer, sizeof buffer, &found) != 0 || found == NULL) return -1;
    return (long)found->gr_gid;
}

/* 0: a folder this process can make sockets in; RUNTIME_DENIED: a folder it
 * may not use; RUNTIME_NONE: no folder. */
static int usable(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno == EACCES ? RUNTIME_DENIED : RUNTIME_NONE;
    if (!S_ISDIR(st.st_mode)) return RUNTIME_NONE;
    return access(path, W_OK | X_OK) == 0 ? 0 : RUNTIME_DENIED;
}

static int named(const char *path, int status, char *out, size_t size) {
    if ((size_t)snprintf(out, size, "%s", path) >= size) return RUNTIME_NONE;
    return status;
}

/* /run/boardcam as the package makes it: the video group's, and its new
 * files too (setgid), so that the service and the group's users share. */
static int make_system_dir(const char *path) {
    const long video = video_group();
    if (mkdir(path, 0700) != 0) return errno == EEXIST ? 0 : -1;
    if (video >= 0 && chown(path, (uid_t)-1, (gid_t)video) == 0) chmod(path, 02770);
    return 0;
}

int runtime_dir(char *out, size_t size) {
    const char *explicit_dir = getenv("BOARDCAM_RUNTIME_DIR");
    const char *xdg = getenv("XDG_RUNTIME_DIR");
    int status;
    if (explicit_dir != NULL && *explicit_dir != '\0') {
        if (mkdir(explicit_dir, 0700) != 0 && errno != EEXIST && errno != EACCES) return RUNTIME_NONE;
        status = usable(explicit_dir);
        return status == RUNTIME_NONE ? status : named(explicit_dir, status, out, size);
    }
    /* The board's folder, once made (by the package, or by root here), is the
     * one every program meets in: a user it refuses may not share. */
    status = usable("/run/boardcam");
    if (status == RUNTIME_NONE && usable("/run") == 0 && make_system_dir("/run/boardcam") == 0)
        status = usable("/run/boardcam");
    if (status != RUNTIME_NONE) return named("/run/boardcam", status, out, size);
    if (xdg != NULL && *xdg == '/') {
        char path[RUNTIME_PATH_MAX];
        if ((size_t)snprintf(path, sizeof path, "%s/boardcam", xdg) >= sizeof path) return RUNTIME_NONE;
        if (mkdir(path, 0700) != 0 && errno != EEXIST) return RUNTIME_NONE;
        if (usable(path) == 0) return named(path, 0, out, size);
    }
    return RUNTIME_NONE;
}

int runtime_path(int id, const char *kind, char *out, size_t size) {
    char dir[RUNTIME_PATH_MAX];
    const int status = runtime_dir(dir, sizeof dir);
    if (status == RUNTIME_DENIED) {
        snprintf(out, size, "%s", dir);
        return status;
    }
    if (status != 0) return status;
    return (size_t)snprintf(out, size, "%s/cam%d.%s", dir, id, kind) < size ? 0 : RUNTIME_NONE;
}
