/*
 * libboardcam-mt, loaded at the first open of a camera: a program under
 * boardcamify that never opens one never loads it (nor the camera library
 * and the platform's libraries under it).
 */
#ifndef BOARDCAM_V4L2_MT_FUNCTIONS_H
#define BOARDCAM_V4L2_MT_FUNCTIONS_H

#include "boardcam-mt.h"

struct mt_functions {
    int32_t (*open)(int32_t id, int32_t fps, int32_t width, int32_t height, boardcam_mt_camera **camera);
    int32_t (*read)(boardcam_mt_camera *camera, boardcam_mt_frame *frame);
    void (*set_flushing)(boardcam_mt_camera *camera, bool flushing);
    int32_t (*close)(boardcam_mt_camera *camera);
    void (*release_frame)(void *data);
    int32_t (*format)(const boardcam_mt_camera *camera, int32_t *fps, int32_t *width, int32_t *height);
    int32_t (*status)(int32_t id, boardcam_mt_camera_status *out);
    const char *(*last_message)(void);
};

/* The functions, loaded on first use: beside this library first, then
 * through the system's loader (BOARDCAM_MT_LIBRARY names another). NULL
 * when it cannot be loaded (said once on standard error). */
const struct mt_functions *mt_functions(void);

#endif
