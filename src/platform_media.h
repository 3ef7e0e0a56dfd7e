/*
 * The board's media library, as the camera module calls it.
 *
 * The media library is a closed platform library linked by these names.
 * Open, property, read and close calls answer nonzero for success and 0 for
 * failure; MediaLibInit's answer is not used.
 */
#ifndef BOARDCAM_PLATFORM_MEDIA_H
#define BOARDCAM_PLATFORM_MEDIA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* QueryCameraStatus answers */
#define STATUS_OPEN 1   /* open, ready to configure */
#define STATUS_CLOSED 2 /* closed, must be opened */

/* SetCameraProperty codes; the value is read through the address during the call */
#define PROP_RESOLUTION 1 /* FrameResolution */
#define PROP_FPS 2        /* int32_t frames per second */
#define PROP_MODE 5       /* int32_t; the library always passes 1 */

typedef struct FrameResolution {
    int32_t width;
    int32_t height;
} FrameResolution;

int MediaLibInit(void);
int QueryCameraStatus(int id);
int OpenCamera(int id);
int SetCameraProperty(int id, int prop, void *value);
/* *size: the buffer's capacity on the way in, the bytes written on the way out */
int ReadFrameFromCamera(int id, void *buf, uint32_t *size);
int CloseCamera(int id);

#ifdef __cplusplus
}
#endif

#endif
