#include "timestamps_file.h"

int timestamps_open(struct timestamps_file *t, const char *path) {
    t->first_ns = -1;
    t->file = fopen(path, "w");
    if (t->file == NULL) return -1;
    if (fputs("# timestamp format v2\n", t->file) < 0) {
        fclose(t->file);
        t->file = NULL;
        return -1;
    }
    return 0;
}

int timestamps_append(struct timestamps_file *t, int64_t arrival_ns) {
    int64_t since;
    if (t->first_ns < 0) t->first_ns = arrival_ns;
    since = arrival_ns - t->first_ns;
    return fprintf(t->file, "%lld.%06lld\n", (long long)(since / 1000000), (long long)(since % 1000000)) < 0 ? -1 : 0;
}

int timestamps_close(struct timestamps_file *t) {
    int failed;
    if (t->file == NULL) return 0;
    failed = ferror(t->file) != 0;
    failed |= fclose(t->file) != 0;
    t->file = NULL;
    return failed ? -1 : 0;
}
