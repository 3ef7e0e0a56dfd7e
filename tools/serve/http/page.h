/* The page: / is page/index.html, and /page/NAME the module or style NAME
 * it loads, each built into the program from the files of page/. */
#ifndef SERVE_PAGE_H
#define SERVE_PAGE_H

#include "embedded_file.h"

extern const struct embedded_file page_files[];
extern const size_t page_file_count;

/* The file served at `path`, or NULL when `path` is none of the page's. */
const struct embedded_file *page_file(const char *path);

#endif
