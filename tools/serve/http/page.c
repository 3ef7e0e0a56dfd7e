#include "page.h"

#include <string.h>

const struct embedded_file *page_file(const char *path) {
    const char *name = strcmp(path, "/") == 0 ? "index.html" : NULL;
    size_t i;
    if (name == NULL && strncmp(path, "/page/", 6) == 0) name = path + 6;
    for (i = 0; name != NULL && i < page_file_count; ++i)
        if (strcmp(page_files[i].name, name) == 0) return &page_files[i];
    return NULL;
}
