/* The page at /, built into the program from page/index.html. */
#ifndef SERVE_PAGE_H
#define SERVE_PAGE_H

#include <stddef.h>

extern const char page_html[];
extern const size_t page_html_size;

#endif
