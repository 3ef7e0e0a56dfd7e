#define _GNU_SOURCE

#include "sim_pattern.h"

#include <dlfcn.h>
#include <string.h>

/* The simulator's boardsim_set_pattern(): 0 bars, 1 scene. */
typedef int (*set_pattern_fn)(int pattern);

int sim_pattern_select(const char *pattern) {
    set_pattern_fn set_pattern;
    /* A pointer to function from dlsym's void pointer, as POSIX allows. */
    *(void **)&set_pattern = dlsym(RTLD_DEFAULT, "boardsim_set_pattern");
    if (set_pattern == NULL) return -1;
    return set_pattern(strcmp(pattern, "scene") == 0 ? 1 : 0) == 0 ? 0 : -1;
}
