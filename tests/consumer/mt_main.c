/* An application outside the project: reads both cameras at two rates from
 * two threads through the installed libboardcam-mt. */
#include <pthread.h>
#include <stdio.h>

#include "boardcam-mt.h"

struct capture {
    int camera, fps, frames;
};

static void *read_camera(void *arg) {
    struct capture *c = arg;
    boardcam_mt_camera *camera = NULL;
    if (boardcam_mt_open(c->camera, c->fps, 64, 48, &camera) != 0) return NULL;
    for (; c->frames < c->fps / 5; ++c->frames) {
        boardcam_mt_frame frame;
        if (boardcam_mt_read(camera, &frame) != 0) break;
        boardcam_mt_release_frame(frame.data);
    }
    boardcam_mt_close(camera);
    return NULL;
}

int main(void) {
    struct capture captures[2] = {{0, 10, 0}, {1, 60, 0}};
    pthread_t threads[2];
    int i;
    for (i = 0; i < 2; ++i) pthread_create(&threads[i], NULL, read_camera, &captures[i]);
    for (i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
    fprintf(stderr, "mt consumer: %d and %d frames\n", captures[0].frames, captures[1].frames);
    return captures[0].frames == 2 && captures[1].frames == 12 ? 0 : 1;
}
