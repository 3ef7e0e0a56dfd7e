/*
 * Where the camera library's reports go. The library prints one report per
 * frame on standard output by contract; on a terminal that buries the
 * program's own progress and summary. So the program moves its standard
 * output to a log file once, before the first call into the library; its own
 * messages go to standard error as always.
 */
#ifndef TOOLS_LIBRARY_LOG_H
#define TOOLS_LIBRARY_LOG_H

#include <stddef.h>

/* Points file descriptor 1 at `path` (created or emptied). 0 on success; -1
 * with errno set when the file cannot be opened, and standard output is left
 * as it was. */
int library_log_redirect(const char *path);

/* " (the library's report is in PATH)" when reports go to a log, "" when they
 * stay on standard output: for the end of an error line. */
const char *library_log_hint(void);

/* For programs that run for days: when the log has grown past `limit` bytes,
 * it becomes PATH.1 (replacing an older one) and the reports go on into a new
 * PATH, so the two never hold more than about twice `limit`. Returns 1 when
 * it rotated, 0 when there was nothing to do (or no log), -1 with errno set
 * when the new file could not be opened (the reports go on into PATH.1).
 * Other threads may go on printing meanwhile: stdio locks the stream, and
 * dup2() swaps the descriptor in one step, so a report lands whole in one
 * file or the other. */
int library_log_rotate(long limit);

#endif
