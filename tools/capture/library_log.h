/*
 * Where the camera library's reports go. The library prints one report per
 * frame on standard output by contract; on a terminal that buries the
 * program's own progress and summary. So the program moves its standard
 * output to a log file once, before the first call into the library; its own
 * messages go to standard error as always.
 */
#ifndef CAPTURE_LIBRARY_LOG_H
#define CAPTURE_LIBRARY_LOG_H

#include <stddef.h>

/* Points file descriptor 1 at `path` (created or emptied). 0 on success; -1
 * with errno set when the file cannot be opened, and standard output is left
 * as it was. */
int library_log_redirect(const char *path);

/* " (the library's report is in PATH)" when reports go to a log, "" when they
 * stay on standard output: for the end of an error line. */
const char *library_log_hint(void);

#endif
