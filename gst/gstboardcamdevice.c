#include "gstboardcamdevice.h"

#include "gstboardcamsrc.h"

G_DEFINE_TYPE (GstBoardcamDevice, gst_boardcam_device, GST_TYPE_DEVICE);

static GstElement *
gst_boardcam_device_create_element (GstDevice * device, const gchar * name)
{
  GstElement *element = gst_element_factory_make ("boardcamsrc", name);

  if (element != NULL)
    g_object_set (element, "camera", GST_BOARDCAM_DEVICE (device)->camera,
        NULL);
  return element;
}

/* The camera of an element made from another device can be switched to this
 * one's, as long as the element is not running. */
static gboolean
gst_boardcam_device_reconfigure_element (GstDevice * device,
    GstElement * element)
{
  if (!GST_IS_BOARDCAM_SRC (element))
    return FALSE;
  g_object_set (element, "camera", GST_BOARDCAM_DEVICE (device)->camera, NULL);
  return TRUE;
}

static void
gst_boardcam_device_class_init (GstBoardcamDeviceClass * klass)
{
  GstDeviceClass *device_class = GST_DEVICE_CLASS (klass);

  device_class->create_element = gst_boardcam_device_create_element;
  device_class->reconfigure_element = gst_boardcam_device_reconfigure_element;
}

static void
gst_boardcam_device_init (GstBoardcamDevice * self)
{
  self->camera = 0;
}

GstDevice *
gst_boardcam_device_new (gint camera)
{
  GstBoardcamDevice *device;
  GstCaps *caps = gst_boardcam_src_template_caps ();
  GstStructure *properties = gst_structure_new ("boardcam-device",
      "device.api", G_TYPE_STRING, "boardcam",
      "boardcam.camera", G_TYPE_INT, camera, NULL);
  gchar *name = g_strdup_printf ("Board camera %d", camera);

  device = g_object_new (GST_TYPE_BOARDCAM_DEVICE, "display-name", name,
      "device-class", "Video/Source", "caps", caps, "properties", properties,
      NULL);
  device->camera = camera;
  g_free (name);
  gst_structure_free (properties);
  gst_caps_unref (caps);
  return GST_DEVICE (device);
}
