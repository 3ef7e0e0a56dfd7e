/* A strict C99 client: the headers compile, the layout holds, the libraries link. */
#include <stdio.h>

#include "boardcam.h"
#include "boardcam-mt.h"
#include "boardsim.h"
#include "vekpimo.h"

int main(void) {
    CameraFrame frame = {0, NULL};
    int failures = 0;

    if (g_CameraMgr.slots[0].id != 255 || g_CameraMgr.mediaLibInited) {
        fprintf(stderr, "camera table not at its initial values\n");
        ++failures;
    }
    if (CameraInit(0, 30, 4, 2) != 0 || g_CameraMgr.slots[0].frameSize != 12) {
        fprintf(stderr, "CameraInit did not fill slot 0\n");
        ++failures;
    }
    if (OpenCameraEx(1, 30, 4, 2) == 0) {
        if (ReadCameraFrame(1, &frame) != 0 || frame.size != 12 || frame.data == NULL) {
            fprintf(stderr, "ReadCameraFrame did not deliver a 12-byte frame\n");
            ++failures;
        } else {
            vekpimoFree(frame.data);
        }
        CloseCameraEx(1);
    } else {
        fprintf(stderr, "OpenCameraEx failed\n");
        ++failures;
    }
    {
        /* At 1 fps the first read, however slow the machine, comes within
         * the first period: its frame is frame 0. */
        boardcam_mt_camera *camera = NULL;
        boardcam_mt_frame mt_frame;
        if (boardcam_mt_open(0, 1, 4, 2, &camera) != 0) {
            fprintf(stderr, "boardcam_mt_open failed\n");
            ++failures;
        } else {
            if (boardcam_mt_read(camera, &mt_frame) != 0) {
                fprintf(stderr, "boardcam_mt_read failed\n");
                ++failures;
            } else {
                if (mt_frame.size != 12 || mt_frame.sequence != 0) {
                    fprintf(stderr, "boardcam_mt_read did not deliver frame 0 of 12 bytes\n");
                    ++failures;
                }
                boardcam_mt_release_frame(mt_frame.data);
            }
            if (boardcam_mt_close(camera) != 0) ++failures;
        }
    }
    if (boardsim_live_buffers() != 0) {
        fprintf(stderr, "device buffers left live\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
