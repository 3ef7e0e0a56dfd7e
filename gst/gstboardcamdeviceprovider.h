/*
 * boardcamdeviceprovider: lists the board's two cameras for GstDeviceMonitor
 * and gst-device-monitor-1.0. The board always has exactly these two, so
 * listing them calls nothing in the camera library and never disturbs a
 * camera that is streaming.
 */
#ifndef GST_BOARDCAM_DEVICE_PROVIDER_H
#define GST_BOARDCAM_DEVICE_PROVIDER_H

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_BOARDCAM_DEVICE_PROVIDER (gst_boardcam_device_provider_get_type ())
G_DECLARE_FINAL_TYPE (GstBoardcamDeviceProvider, gst_boardcam_device_provider, GST,
    BOARDCAM_DEVICE_PROVIDER, GstDeviceProvider)

struct _GstBoardcamDeviceProvider
{
  GstDeviceProvider parent;
};

G_END_DECLS

#endif
