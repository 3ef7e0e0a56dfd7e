#define _POSIX_C_SOURCE 200809L

#include "credentials.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* A credentials file is a handful of lines; anything larger is a mistake. */
#define CREDENTIALS_MAX_BYTES (64 * 1024)

static int add_entry(struct credentials *out, const char *line, size_t len) {
    const char *colon = memchr(line, ':', len);
    struct credential *grown;
    if (colon == NULL || colon == line || colon + 1 == line + len) return -1;
    grown = realloc(out->entries, (out->count + 1) * sizeof *grown);
    if (grown == NULL) return -1;
    out->entries = grown;
    grown[out->count].user = strndup(line, (size_t)(colon - line));
    grown[out->count].password = strndup(colon + 1, (size_t)(line + len - colon - 1));
    if (grown[out->count].user == NULL || grown[out->count].password == NULL) {
        free(grown[out->count].user);
        free(grown[out->count].password);
        return -1;
    }
    ++out->count;
    return 0;
}

int credentials_load(const char *path, struct credentials *out, char *error, size_t error_size) {
    struct stat st;
    char *text;
    ssize_t got;
    size_t pos = 0, line_number = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    out->entries = NULL;
    out->count = 0;
    if (fd < 0 || fstat(fd, &st) != 0) {
        snprintf(error, error_size, "cannot read credentials file %s: %s", path, strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        snprintf(error, error_size, "credentials file %s is open to other users (mode %03o); "
                 "make it readable by its owner only: chmod 600 %s", path, (unsigned)(st.st_mode & 0777), path);
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > CREDENTIALS_MAX_BYTES) {
        snprintf(error, error_size, "credentials file %s is not a small regular file", path);
        close(fd);
        return -1;
    }
    text = malloc((size_t)st.st_size + 1);
    got = text != NULL ? read(fd, text, (size_t)st.st_size) : -1;
    close(fd);
    if (got < 0) {
        snprintf(error, error_size, "cannot read credentials file %s", path);
        free(text);
        return -1;
    }
    text[got] = '\0';
    while (pos < (size_t)got) {
        char *end = strchr(text + pos, '\n');
        size_t len = end != NULL ? (size_t)(end - (text + pos)) : strlen(text + pos);
        const char *line = text + pos;
        ++line_number;
        pos += len + 1;
        if (len > 0 && line[len - 1] == '\r') --len;
        if (len == 0 || line[0] == '#') continue;
        if (add_entry(out, line, len) != 0) {
            snprintf(error, error_size, "credentials file %s, line %zu: expected user:password", path, line_number);
            free(text);
            credentials_free(out);
            return -1;
        }
    }
    free(text);
    if (out->count == 0) {
        snprintf(error, error_size, "credentials file %s names no user", path);
        return -1;
    }
    return 0;
}

static int same_secret(const char *a, const char *b) {
    const size_t la = strlen(a), lb = strlen(b);
    unsigned char diff = (unsigned char)(la != lb);
    size_t i;
    for (i = 0; i < la; ++i) diff |= (unsigned char)(a[i] ^ b[i % (lb == 0 ? 1 : lb)]);
    return diff == 0;
}

int credentials_check(const struct credentials *creds, const char *user, const char *password) {
    size_t i;
    int ok = 0;
    if (user == NULL || password == NULL) return 0;
    for (i = 0; i < creds->count; ++i) {
        if (strcmp(creds->entries[i].user, user) == 0) ok |= same_secret(creds->entries[i].password, password);
    }
    return ok;
}

void credentials_free(struct credentials *creds) {
    size_t i;
    for (i = 0; i < creds->count; ++i) {
        free(creds->entries[i].user);
        free(creds->entries[i].password);
    }
    free(creds->entries);
    creds->entries = NULL;
    creds->count = 0;
}
