#include "library_calls.h"

#include "platform_runtime.h"

static GMutex library_lock;

gboolean
boardcam_gst_open_camera (gint camera, gint fps, gint width, gint height)
{
  gint32 result;

  g_mutex_lock (&library_lock);
  result = OpenCameraEx (camera, fps, width, height);
  g_mutex_unlock (&library_lock);
  return result == 0;
}

gboolean
boardcam_gst_read_frame (gint camera, CameraFrame * frame)
{
  gint32 result;

  g_mutex_lock (&library_lock);
  result = ReadCameraFrame (camera, frame);
  g_mutex_unlock (&library_lock);
  return result == 0;
}

gboolean
boardcam_gst_close_camera (gint camera)
{
  gint32 result;

  g_mutex_lock (&library_lock);
  result = CloseCameraEx (camera);
  g_mutex_unlock (&library_lock);
  return result == 0;
}

void
boardcam_gst_release_frame (gpointer data)
{
  /* The runtime's thread safety is the board's business; releasing under
   * the same lock keeps it from racing an allocation in ReadCameraFrame(). */
  g_mutex_lock (&library_lock);
  vekpimoFree (data);
  g_mutex_unlock (&library_lock);
}
