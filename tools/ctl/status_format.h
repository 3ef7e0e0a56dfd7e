/* A camera's sharing status as text for people and as JSON for scripts. */
#ifndef TOOLS_CTL_STATUS_FORMAT_H
#define TOOLS_CTL_STATUS_FORMAT_H

#include <stdio.h>

#include "boardcam-mt.h"

/* "camera 0: boardcam-serve (pid 812) at 640x480, 30 fps" and a line per
 * subscriber; "camera 1: free". */
void print_camera_status(FILE *out, const boardcam_mt_camera_status *status);

/* {"cameras": [...]} with a newline, for cameras first..last whose known[]
 * is set; the caller frees it with camera_statuses_free(). NULL when out of
 * memory. */
char *camera_statuses_json(const boardcam_mt_camera_status *cameras, const int known[2], int first, int last);
void camera_statuses_free(char *text);

#endif
