/*
 * Who may watch: the users of --credentials, one "user:password" line each.
 * The same users guard HTTP (basic authentication) and RTSP. Like an ssh key,
 * the file must be readable by its owner alone.
 */
#ifndef SERVE_CREDENTIALS_H
#define SERVE_CREDENTIALS_H

#include <stddef.h>

struct credential {
    char *user;
    char *password;
};

struct credentials {
    struct credential *entries;
    size_t count;
};

/* Reads `path`. 0 on success; -1 with a one-line reason in `error` when the
 * file cannot be read, is readable or writable by group or others, or has a
 * line that is not user:password (blank lines and lines starting with # are
 * skipped). */
int credentials_load(const char *path, struct credentials *out, char *error, size_t error_size);

/* 1 when user and password are a pair of the file. Compares passwords in
 * time that does not depend on where they differ. */
int credentials_check(const struct credentials *creds, const char *user, const char *password);

void credentials_free(struct credentials *creds);

#endif
