/*
 * Where a camera's owner and subscribers meet: the runtime folder,
 * $BOARDCAM_RUNTIME_DIR, else /run/boardcam where it can be used, else
 * $XDG_RUNTIME_DIR/boardcam. In it, for camera N:
 *   camN.lock  held (flock) by the camera's owner for as long as it owns it:
 *              the kernel drops it when the owner dies, so that the next
 *              program can take over;
 *   camN.sock  the owner's socket, where subscribers attach.
 */
#ifndef BOARDCAM_MT_RUNTIME_DIR_H
#define BOARDCAM_MT_RUNTIME_DIR_H

#include <stddef.h>

#define RUNTIME_PATH_MAX 256

#define RUNTIME_NONE (-1)   /* no folder can be used: nothing is shared */
#define RUNTIME_DENIED (-2) /* the folder is there, and this user may not use it */

/* The folder, made when missing: 0 and `out` set (RUNTIME_DENIED: `out`
 * names the folder refused), or RUNTIME_NONE. */
int runtime_dir(char *out, size_t size);

/* "<folder>/cam<id>.<kind>": 0, or runtime_dir()'s failure (RUNTIME_NONE
 * also when the path is too long). */
int runtime_path(int id, const char *kind, char *out, size_t size);

/* Group video's id, or -1 where there is no such group. */
long video_group(void);

#endif
