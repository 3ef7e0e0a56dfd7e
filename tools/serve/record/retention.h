/*
 * Deleting old segments: those older than the kept days, then the oldest of
 * every camera while the disk has less free space than asked. A segment
 * being written is never deleted.
 *
 * Threads: keeps no state; any thread may call it, one at a time per DIR.
 */
#ifndef SERVE_RETENTION_H
#define SERVE_RETENTION_H

#include <stdint.h>

#include <glib.h>

/* The disk's free and total bytes under `dir`; 0 on success. */
typedef int (*retention_space_fn)(const char *dir, uint64_t *free_bytes, uint64_t *total_bytes, void *user);

struct retention_policy {
    int keep_days;             /* 0 keeps every segment, whatever its age */
    uint64_t keep_free_bytes;  /* with keep_free_percent 0: free space to keep */
    double keep_free_percent;  /* when > 0: free space to keep, % of the disk */
    retention_space_fn space;  /* NULL: statvfs() */
    void *space_user;
};

struct retention_result {
    unsigned deleted;
    uint64_t freed_bytes;
    int short_of_space; /* still below the free space asked, nothing left to delete */
};

/* The disk's space as statvfs() says; 0 on success. */
int retention_disk_space(const char *dir, uint64_t *free_bytes, uint64_t *total_bytes, void *unused);

/* Applies `policy` to the segments under `dir` at wall time `now_us`.
 * `writing` names the paths being written (NULL-terminated; may be NULL),
 * never deleted. */
void retention_apply(const char *dir, const struct retention_policy *policy, gint64 now_us,
                     const char *const *writing, struct retention_result *result);

#endif
