/* The boardcam GStreamer plugin: one element, boardcamsrc. */
#include <gst/gst.h>

#include "gstboardcamsrc.h"

static gboolean
plugin_init (GstPlugin * plugin)
{
  return gst_element_register (plugin, "boardcamsrc", GST_RANK_NONE,
      GST_TYPE_BOARDCAM_SRC);
}

GST_PLUGIN_DEFINE (GST_VERSION_MAJOR, GST_VERSION_MINOR, boardcam,
    "Sources for the board's cameras", plugin_init, BOARDCAM_VERSION, "MIT/X11",
    "boardcam", "boardcam")
