/*
 * Which paths are the board's cameras: /dev/video0 and /dev/video1 for
 * cameras 0 and 1, or what BOARDCAM_V4L2_DEVICES says
 * ("/dev/video4=0,/dev/video5=1"), for a PC whose own webcam is /dev/video0.
 * Any other path is the system's, untouched.
 */
#ifndef BOARDCAM_V4L2_DEVICE_MAP_H
#define BOARDCAM_V4L2_DEVICE_MAP_H

/* The camera a path names, or -1. The map is read from the environment
 * once. */
int device_map_camera(const char *path);

/* The minor number the node answers with in stat(): the digits ending its
 * path (/dev/video4: 4), else the camera id. */
int device_map_minor(const char *path);

/* The mapped path whose node has minor number `minor`, or NULL. */
const char *device_map_path_of_minor(int minor);

#endif
