/*
 * One YUV4MPEG2 file per camera, 4:2:0 with the frame rate in the header.
 * Encoders convert frames in parallel and append them in frame order: each
 * waits for its turn, and a frame that will not be written passes its turn on.
 */
#ifndef CAPTURE_Y4M_FILE_H
#define CAPTURE_Y4M_FILE_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

struct y4m_file {
    FILE *file;
    pthread_mutex_t mu;
    pthread_cond_t turn;
    long next;   /* index of the frame whose turn it is */
    int width, height;
};

/* Creates the file and writes its header; returns the header's bytes, or -1 with errno set. */
long y4m_open(struct y4m_file *y4m, const char *path, int width, int height, int fps);

/*
 * Appends frame `index` once every earlier frame has had its turn. `chroma`
 * is scratch space for width * height / 2 bytes. Returns the bytes written,
 * or -1 with errno set.
 */
long y4m_append(struct y4m_file *y4m, long index, const uint8_t *nv12, uint8_t *chroma);

/* Passes frame `index`'s turn on without writing it. */
void y4m_skip(struct y4m_file *y4m, long index);

/* 0, or -1 when the file did not close cleanly. */
int y4m_close(struct y4m_file *y4m);

#endif
