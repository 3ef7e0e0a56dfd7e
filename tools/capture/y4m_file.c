#include "y4m_file.h"

#include <errno.h>

#include "nv12_planes.h"

static const char frame_header[] = "FRAME\n";

long y4m_open(struct y4m_file *y4m, const char *path, int width, int height, int fps) {
    int header;
    y4m->file = fopen(path, "wb");
    if (y4m->file == NULL) return -1;
    pthread_mutex_init(&y4m->mu, NULL);
    pthread_cond_init(&y4m->turn, NULL);
    y4m->next = 0;
    y4m->width = width;
    y4m->height = height;
    /* Progressive, square pixels, centred 4:2:0 chroma. */
    header = fprintf(y4m->file, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n", width, height, fps);
    return header < 0 ? -1 : header;
}

static void wait_turn(struct y4m_file *y4m, long index) {
    while (y4m->next != index) pthread_cond_wait(&y4m->turn, &y4m->mu);
}

static void pass_turn(struct y4m_file *y4m) {
    ++y4m->next;
    pthread_cond_broadcast(&y4m->turn);
}

long y4m_append(struct y4m_file *y4m, long index, const uint8_t *nv12, uint8_t *chroma) {
    const size_t luma = (size_t)y4m->width * (size_t)y4m->height, quarter = luma / 4;
    int ok;
    nv12_split_chroma(nv12 + luma, quarter, chroma, chroma + quarter);

    pthread_mutex_lock(&y4m->mu);
    wait_turn(y4m, index);
    ok = fwrite(frame_header, 1, sizeof frame_header - 1, y4m->file) == sizeof frame_header - 1 &&
         fwrite(nv12, 1, luma, y4m->file) == luma && fwrite(chroma, 1, 2 * quarter, y4m->file) == 2 * quarter;
    pass_turn(y4m);
    pthread_mutex_unlock(&y4m->mu);
    if (!ok) {
        if (errno == 0) errno = EIO;
        return -1;
    }
    return (long)(sizeof frame_header - 1 + luma + 2 * quarter);
}

void y4m_skip(struct y4m_file *y4m, long index) {
    pthread_mutex_lock(&y4m->mu);
    wait_turn(y4m, index);
    pass_turn(y4m);
    pthread_mutex_unlock(&y4m->mu);
}

int y4m_close(struct y4m_file *y4m) {
    const int result = fclose(y4m->file) == 0 ? 0 : -1;
    pthread_cond_destroy(&y4m->turn);
    pthread_mutex_destroy(&y4m->mu);
    return result;
}
