/*
 * The camera library is not thread safe: its camera table and its one-time
 * media initialisation are unguarded. Every element of this plugin, in any
 * pipeline of the process, reaches the library and the device runtime only
 * through these functions, which hold one process-wide lock for each call.
 *
 * None of them may be called while the lock is already held by the caller:
 * releasing a frame is what a buffer's last unref does, so never drop a
 * buffer inside a locked section.
 */
#ifndef GST_BOARDCAM_LIBRARY_CALLS_H
#define GST_BOARDCAM_LIBRARY_CALLS_H

#include <glib.h>
#include <boardcam.h>

G_BEGIN_DECLS

/* OpenCameraEx(); TRUE when the camera is open and configured. */
gboolean boardcam_gst_open_camera (gint camera, gint fps, gint width, gint height);

/* ReadCameraFrame(); TRUE when @frame holds a new device buffer the caller owns. */
gboolean boardcam_gst_read_frame (gint camera, CameraFrame * frame);

/* CloseCameraEx(); TRUE when the media library closed the camera. */
gboolean boardcam_gst_close_camera (gint camera);

/* vekpimoFree() of a frame's device buffer; a GDestroyNotify. */
void boardcam_gst_release_frame (gpointer data);

G_END_DECLS

#endif
