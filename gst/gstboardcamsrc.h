/*
 * boardcamsrc: a live source of NV12 frames from one of the board's two
 * cameras. Each buffer wraps the device buffer the camera library filled;
 * nothing is copied, and the device buffer is released when the last
 * reference to the GstBuffer goes.
 */
#ifndef GST_BOARDCAM_SRC_H
#define GST_BOARDCAM_SRC_H

#include <pthread.h>

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>
#include <boardcam-mt.h>

G_BEGIN_DECLS

#define GST_TYPE_BOARDCAM_SRC (gst_boardcam_src_get_type ())
G_DECLARE_FINAL_TYPE (GstBoardcamSrc, gst_boardcam_src, GST, BOARDCAM_SRC, GstPushSrc)

struct _GstBoardcamSrc
{
  GstPushSrc parent;

  /* Guards every field below. A lock of the element's own rather than the
   * object lock: never held across a read's wait or while posting a message,
   * and a pthread mutex, so that ThreadSanitizer sees it. */
  pthread_mutex_t state_lock;

  /* Property; fixed from READY upwards. */
  gint camera;

  /* The open camera; set by the streaming thread, cleared by stop(), used by
   * unlock() from another thread. */
  boardcam_mt_camera *handle;
  gboolean flushing;            /* between unlock() and unlock_stop() */

  /* Streaming state, touched by the streaming thread and by start/stop. */
  GstVideoInfo info;            /* negotiated format */
  gint fps;                     /* the integer rate the camera was asked for */
  GstClockTime period;          /* one frame at the negotiated rate */
  gboolean reopen;              /* caps changed since the camera was opened */
  gboolean configured;          /* the camera is configured at opened_* */
  gint opened_width, opened_height, opened_fps;
  gboolean downstream_video_meta; /* downstream reads GstVideoMeta */
  guint64 frames;               /* frames pushed since start */

  /* Read-only property. */
  guint64 dropped;
};

/* The caps boardcamsrc can produce: its source pad template's. */
GstCaps *gst_boardcam_src_template_caps (void);

G_END_DECLS

#endif
