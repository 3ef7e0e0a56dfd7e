/* A one-line progress bar on standard error, drawn only on a terminal. */
#ifndef CAPTURE_PROGRESS_H
#define CAPTURE_PROGRESS_H

struct progress {
    int enabled;
    long total;
};

void progress_start(struct progress *p, long total);
void progress_update(const struct progress *p, long done, double elapsed);
void progress_finish(const struct progress *p);

#endif
