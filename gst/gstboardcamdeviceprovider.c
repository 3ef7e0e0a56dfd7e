#include "gstboardcamdeviceprovider.h"

#include "gstboardcamdevice.h"

#define CAMERA_COUNT 2

G_DEFINE_TYPE (GstBoardcamDeviceProvider, gst_boardcam_device_provider,
    GST_TYPE_DEVICE_PROVIDER);

static GList *
gst_boardcam_device_provider_probe (GstDeviceProvider * provider)
{
  GList *devices = NULL;
  gint camera;

  (void) provider;
  for (camera = CAMERA_COUNT - 1; camera >= 0; camera--)
    devices = g_list_prepend (devices, gst_boardcam_device_new (camera));
  return devices;
}

static void
gst_boardcam_device_provider_class_init (GstBoardcamDeviceProviderClass * klass)
{
  GstDeviceProviderClass *provider_class = GST_DEVICE_PROVIDER_CLASS (klass);

  provider_class->probe = gst_boardcam_device_provider_probe;
  gst_device_provider_class_set_static_metadata (provider_class,
      "Board camera device provider", "Source/Video",
      "Lists the board's two cameras", "boardcam developers");
}

static void
gst_boardcam_device_provider_init (GstBoardcamDeviceProvider * self)
{
  (void) self;
}
