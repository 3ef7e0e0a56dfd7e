/*
 * Board media library: camera control and frame delivery.
 *
 * Open, property, read and close calls answer nonzero for success and 0 for
 * failure. This header is shipped by the host board simulator in the place of
 * the board SDK's own.
 */
#ifndef CAMMEDIA_H
#define CAMMEDIA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STATUS_OPEN 1
#define STATUS_CLOSED 2

#define PROP_RESOLUTION 1 /* FrameResolution */
#define PROP_FPS 2        /* int32_t, 1..240 */
#define PROP_MODE 5       /* int32_t, 1 */

typedef struct FrameResolution {
    int32_t width;
    int32_t height;
} FrameResolution;

int MediaLibInit(void);
int QueryCameraStatus(int id);
int OpenCamera(int id);
int SetCameraProperty(int id, int prop, void *value);
int ReadFrameFromCamera(int id, void *buf, uint32_t *size);
int CloseCamera(int id);

#ifdef __cplusplus
}
#endif

#endif
