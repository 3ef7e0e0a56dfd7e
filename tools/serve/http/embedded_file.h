/* A file the program carries in itself, made at build time by
 * cmake/EmbedFiles.cmake. */
#ifndef SERVE_EMBEDDED_FILE_H
#define SERVE_EMBEDDED_FILE_H

#include <stddef.h>

struct embedded_file {
    const char *name; /* "index.html" */
    const char *type; /* its media type */
    const char *data; /* its bytes, then a NUL */
    size_t size;      /* not counting the NUL */
};

#endif
