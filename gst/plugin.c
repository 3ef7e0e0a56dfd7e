/* The boardcam GStreamer plugin: the element boardcamsrc and the device
 * provider that lists the board's cameras. */
#include <gst/gst.h>

#include "gstboardcamdeviceprovider.h"
#include "gstboardcamsrc.h"

static gboolean
plugin_init (GstPlugin * plugin)
{
  return gst_element_register (plugin, "boardcamsrc", GST_RANK_NONE,
      GST_TYPE_BOARDCAM_SRC)
      && gst_device_provider_register (plugin, "boardcamdeviceprovider",
      GST_RANK_SECONDARY, GST_TYPE_BOARDCAM_DEVICE_PROVIDER);
}

GST_PLUGIN_DEFINE (GST_VERSION_MAJOR, GST_VERSION_MINOR, boardcam,
    "Sources for the board's cameras", plugin_init, BOARDCAM_VERSION, "MIT/X11",
    "boardcam", "boardcam")
