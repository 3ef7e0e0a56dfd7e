#include "device_map.h"

#include <ctype.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#define MAP_ENTRIES 8
#define PATH_LENGTH 128

static struct {
    char path[PATH_LENGTH];
    int camera;
} entries[MAP_ENTRIES];
static int entry_count;
static pthread_once_t once = PTHREAD_ONCE_INIT;

static void add(const char *path, size_t length, int camera) {
    if (entry_count == MAP_ENTRIES || length == 0 || length >= PATH_LENGTH) return;
    memcpy(entries[entry_count].path, path, length);
    entries[entry_count].path[length] = '\0';
    entries[entry_count].camera = camera;
    ++entry_count;
}

static void read_map(void) {
    const char *map = getenv("BOARDCAM_V4L2_DEVICES");
    if (map == NULL || *map == '\0') {
        add("/dev/video0", strlen("/dev/video0"), 0);
        add("/dev/video1", strlen("/dev/video1"), 1);
        return;
    }
    /* "PATH=ID,PATH=ID"; an entry that is not of that form is left out. */
    while (*map != '\0') {
        const char *end = strchr(map, ','), *equals;
        const size_t length = end != NULL ? (size_t)(end - map) : strlen(map);
        equals = memchr(map, '=', length);
        if (equals != NULL && equals + 2 == map + length && (equals[1] == '0' || equals[1] == '1'))
            add(map, (size_t)(equals - map), equals[1] - '0');
        map += length + (end != NULL);
    }
}

int device_map_camera(const char *path) {
    int i;
    if (path == NULL) return -1;
    pthread_once(&once, read_map);
    for (i = 0; i < entry_count; ++i)
        if (strcmp(entries[i].path, path) == 0) return entries[i].camera;
    return -1;
}

int device_map_minor(const char *path) {
    const size_t length = strlen(path);
    size_t start = length;
    while (start > 0 && isdigit((unsigned char)path[start - 1])) --start;
    if (start < length && length - start < 4) return atoi(path + start);
    return device_map_camera(path);
}

const char *device_map_path_of_minor(int minor) {
    int i;
    pthread_once(&once, read_map);
    for (i = 0; i < entry_count; ++i)
        if (device_map_minor(entries[i].path) == minor) return entries[i].path;
    return NULL;
}
