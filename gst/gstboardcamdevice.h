/*
 * One of the board's cameras as a GstDevice: "Board camera 0" or "Board
 * camera 1", class Video/Source, the caps boardcamsrc can produce, and a
 * boardcamsrc for that camera from gst_device_create_element().
 */
#ifndef GST_BOARDCAM_DEVICE_H
#define GST_BOARDCAM_DEVICE_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_BOARDCAM_DEVICE (gst_boardcam_device_get_type ())
G_DECLARE_FINAL_TYPE (GstBoardcamDevice, gst_boardcam_device, GST, BOARDCAM_DEVICE, GstDevice)

struct _GstBoardcamDevice
{
  GstDevice parent;
  gint camera;
};

/* A new floating device for camera @camera. */
GstDevice *gst_boardcam_device_new (gint camera);

G_END_DECLS

#endif
