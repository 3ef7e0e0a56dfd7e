#include "frame_buffer.h"

#include <string.h>


static GstCaps *
unix_time_caps (void)
{
  static GstCaps *caps;

  if (g_once_init_enter (&caps)) {
    GstCaps *made = gst_caps_new_empty_simple ("timestamp/x-unix");

    /* Kept for the life of the process, like a static caps. */
    GST_MINI_OBJECT_FLAG_SET (made, GST_MINI_OBJECT_FLAG_MAY_BE_LEAKED);
    g_once_init_leave (&caps, made);
  }
  return caps;
}

GstBuffer *
boardcam_gst_wrap_frame (const boardcam_mt_frame * frame, const GstVideoInfo * info)
{
  const gint width = GST_VIDEO_INFO_WIDTH (info);
  const gint height = GST_VIDEO_INFO_HEIGHT (info);
  gsize offsets[GST_VIDEO_MAX_PLANES] = { 0, (gsize) width * height };
  gint strides[GST_VIDEO_MAX_PLANES] = { width, width };
  GstBuffer *buffer;

  /* An owner's device buffer is exclusively this buffer's, so downstream may
   * also write into it in place. A frame shared with other programs is
   * read-only: an element that writes in place copies it first. */
  buffer = gst_buffer_new_wrapped_full (boardcam_mt_frame_is_read_only
      (frame->data) ? GST_MEMORY_FLAG_READONLY : 0, frame->data,
      (gsize) frame->size, 0, (gsize) frame->size, frame->data,
      boardcam_mt_release_frame);
  gst_buffer_add_video_meta_full (buffer, GST_VIDEO_FRAME_FLAG_NONE,
      GST_VIDEO_FORMAT_NV12, width, height, 2, offsets, strides);
  if (frame->realtime_ns > 0)
    gst_buffer_add_reference_timestamp_meta (buffer, unix_time_caps (),
        (GstClockTime) frame->realtime_ns, GST_CLOCK_TIME_NONE);
  return buffer;
}

gboolean
boardcam_gst_layout_needs_meta (const GstVideoInfo * info)
{
  const gint width = GST_VIDEO_INFO_WIDTH (info);

  return GST_VIDEO_INFO_PLANE_STRIDE (info, 0) != width
      || GST_VIDEO_INFO_PLANE_STRIDE (info, 1) != width
      || GST_VIDEO_INFO_PLANE_OFFSET (info, 1) !=
      (gsize) width * GST_VIDEO_INFO_HEIGHT (info);
}

GstBuffer *
boardcam_gst_copy_to_default_layout (GstBuffer * frame, const GstVideoInfo * info)
{
  const gint width = GST_VIDEO_INFO_WIDTH (info);
  const gint height = GST_VIDEO_INFO_HEIGHT (info);
  GstBuffer *copy;
  GstMapInfo in, out;
  gint row;

  copy = gst_buffer_new_allocate (NULL, GST_VIDEO_INFO_SIZE (info), NULL);
  if (copy == NULL)
    return NULL;
  if (!gst_buffer_map (frame, &in, GST_MAP_READ)) {
    gst_buffer_unref (copy);
    return NULL;
  }
  gst_buffer_map (copy, &out, GST_MAP_WRITE);
  for (row = 0; row < height; row++) {
    memcpy (out.data + GST_VIDEO_INFO_PLANE_OFFSET (info, 0) +
        (gsize) row * GST_VIDEO_INFO_PLANE_STRIDE (info, 0),
        in.data + (gsize) row * width, width);
  }
  for (row = 0; row < height / 2; row++) {
    memcpy (out.data + GST_VIDEO_INFO_PLANE_OFFSET (info, 1) +
        (gsize) row * GST_VIDEO_INFO_PLANE_STRIDE (info, 1),
        in.data + (gsize) width * height + (gsize) row * width, width);
  }
  gst_buffer_unmap (copy, &out);
  gst_buffer_unmap (frame, &in);
  gst_buffer_copy_into (copy, frame, GST_BUFFER_COPY_METADATA & ~GST_BUFFER_COPY_META, 0, -1);
  return copy;
}
