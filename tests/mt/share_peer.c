/*
 * Another program reading a camera through libboardcam-mt, for the sharing
 * tests: a process of its own, as users run them.
 *
 *   share_peer read CAMERA FPS WIDTH HEIGHT FRAMES
 *       opens the camera (0: whatever it runs at), prints
 *       "opened FPS WIDTH HEIGHT", then for each frame
 *       "frame SEQUENCE DROPPED ok|wrong|cannot-check", where ok means the
 *       frame is the sensor's frame of its sequence; then "done".
 *   share_peer hold CAMERA FRAMES
 *       opens the camera at whatever it runs at, reads FRAMES frames and
 *       keeps them, printing "holding", and sleeps until killed.
 *
 * An open that fails prints "refused RESULT MESSAGE" and exits 3.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "boardcam-mt.h"
#include "boardsim.h"

static const char *verdict(int camera, const boardcam_mt_frame *frame, int width, int height) {
    static unsigned char *expected;
    static size_t capacity;
    const size_t size = (size_t)width * (size_t)height * 3 / 2;
    if ((size_t)frame->size != size) return "wrong";
    if (capacity < size) {
        free(expected);
        expected = malloc(size);
        capacity = expected != NULL ? size : 0;
        if (expected == NULL) return "cannot-check";
    }
    if (boardsim_render_frame(camera, (uint32_t)frame->sequence, width, height, expected, size) != size)
        return "cannot-check";
    return memcmp(expected, frame->data, size) == 0 ? "ok" : "wrong";
}

int main(int argc, char **argv) {
    boardcam_mt_camera *camera = NULL;
    int32_t fps = 0, width = 0, height = 0, result;
    int id, frames, i;
    const int hold = argc == 4 && strcmp(argv[1], "hold") == 0;
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (!hold && !(argc == 7 && strcmp(argv[1], "read") == 0)) {
        fprintf(stderr, "usage: share_peer read CAMERA FPS WIDTH HEIGHT FRAMES | hold CAMERA FRAMES\n");
        return 2;
    }
    id = atoi(argv[2]);
    if (!hold) {
        fps = atoi(argv[3]);
        width = atoi(argv[4]);
        height = atoi(argv[5]);
    }
    frames = atoi(argv[hold ? 3 : 6]);
    result = boardcam_mt_open(id, fps, width, height, &camera);
    if (result != 0) {
        printf("refused %d %s\n", (int)result, boardcam_mt_last_message());
        return 3;
    }
    boardcam_mt_format(camera, &fps, &width, &height);
    printf("opened %d %d %d\n", (int)fps, (int)width, (int)height);
    for (i = 0; i < frames; ++i) {
        boardcam_mt_frame frame;
        result = boardcam_mt_read(camera, &frame);
        if (result != 0) {
            printf("failed %d %s\n", (int)result, boardcam_mt_last_message());
            boardcam_mt_close(camera);
            return 1;
        }
        if (hold) continue; /* kept for good */
        printf("frame %llu %u %s\n", (unsigned long long)frame.sequence, frame.dropped,
               verdict(id, &frame, width, height));
        boardcam_mt_release_frame(frame.data);
    }
    if (hold) {
        printf("holding\n");
        for (;;) pause();
    }
    printf("done\n");
    return boardcam_mt_close(camera) == 0 ? 0 : 1;
}
