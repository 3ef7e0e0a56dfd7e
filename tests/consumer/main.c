/* An application outside the project: builds against the installed
 * packages and captures a few frames from camera 0. */
#include <stdio.h>

#include "boardcam.h"
#include "vekpimo.h"

int main(void) {
    CameraFrame frame;
    long bytes = 0;
    int i;
    if (OpenCameraEx(0, 30, 640, 480) != 0) return 1;
    for (i = 0; i < 5; ++i) {
        if (ReadCameraFrame(0, &frame) != 0) break;
        bytes += frame.size;
        vekpimoFree(frame.data);
    }
    if (CloseCameraEx(0) != 0 || i != 5) return 1;
    fprintf(stderr, "consumer: %d frames, %ld bytes\n", i, bytes);
    return bytes == 5L * 640 * 480 * 3 / 2 ? 0 : 1;
}
