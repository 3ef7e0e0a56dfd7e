#define _GNU_SOURCE
#include "mt_functions.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MT_LIBRARY "libboardcam-mt.so.1"

static struct mt_functions functions;
static const struct mt_functions *loaded;
static pthread_once_t once = PTHREAD_ONCE_INIT;

/* BOARDCAM_MT_LIBRARY when set; else one folder up from this library (its
 * installed place, lib/boardcam/), or beside it; else the system's loader. */
static void *open_library(void) {
    const char *named = getenv("BOARDCAM_MT_LIBRARY");
    static const char *const near[] = {"/../" MT_LIBRARY, "/" MT_LIBRARY};
    Dl_info self;
    size_t i;
    if (named != NULL && *named != '\0') return dlopen(named, RTLD_NOW | RTLD_GLOBAL);
    if (dladdr((void *)mt_functions, &self) != 0 && self.dli_fname != NULL) {
        const char *slash = strrchr(self.dli_fname, '/');
        for (i = 0; slash != NULL && i < sizeof near / sizeof near[0]; ++i) {
            char path[4096];
            void *library;
            if ((size_t)snprintf(path, sizeof path, "%.*s%s", (int)(slash - self.dli_fname), self.dli_fname,
                                 near[i]) >= sizeof path)
                continue;
            library = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
            if (library != NULL) return library;
        }
    }
    return dlopen(MT_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
}

static void load(void) {
    void *library = open_library();
    if (library == NULL) {
        fprintf(stderr, "boardcam-v4l2: cannot load %s: %s\n", MT_LIBRARY, dlerror());
        return;
    }
#define LOAD(field, name)                                                  \
    do {                                                                   \
        *(void **)&functions.field = dlsym(library, name);                 \
        if (functions.field == NULL) {                                     \
            fprintf(stderr, "boardcam-v4l2: %s lacks %s\n", MT_LIBRARY, name); \
            return;                                                        \
        }                                                                  \
    } while (0)
    LOAD(open, "boardcam_mt_open");
    LOAD(read, "boardcam_mt_read");
    LOAD(set_flushing, "boardcam_mt_set_flushing");
    LOAD(close, "boardcam_mt_close");
    LOAD(release_frame, "boardcam_mt_release_frame");
    LOAD(format, "boardcam_mt_format");
    LOAD(status, "boardcam_mt_status");
    LOAD(last_message, "boardcam_mt_last_message");
#undef LOAD
    loaded = &functions;
}

const struct mt_functions *mt_functions(void) {
    pthread_once(&once, load);
    return loaded;
}
