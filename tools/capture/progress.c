#include "progress.h"

#include <stdio.h>
#include <unistd.h>

#define BAR_WIDTH 30

void progress_start(struct progress *p, long total) {
    p->enabled = isatty(STDERR_FILENO);
    p->total = total;
}

void progress_update(const struct progress *p, long done, double elapsed) {
    char bar[BAR_WIDTH + 1];
    int filled, i;
    if (!p->enabled) return;
    filled = p->total > 0 ? (int)((double)done / (double)p->total * BAR_WIDTH) : 0;
    for (i = 0; i < BAR_WIDTH; ++i) bar[i] = i < filled ? '#' : '.';
    bar[BAR_WIDTH] = '\0';
    fprintf(stderr, "\r[%s] %ld/%ld frames  %.1f s  %.1f fps ", bar, done, p->total, elapsed,
            elapsed > 0 ? (double)done / elapsed : 0.0);
    fflush(stderr);
}

void progress_finish(const struct progress *p) {
    if (p->enabled) fputc('\n', stderr);
}
