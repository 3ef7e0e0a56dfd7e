/* Frames as GstBuffers: the device buffer wrapped as it is, described by a GstVideoMeta. */
#ifndef GST_BOARDCAM_FRAME_BUFFER_H
#define GST_BOARDCAM_FRAME_BUFFER_H

#include <gst/gst.h>
#include <gst/video/video.h>
#include <boardcam-mt.h>

G_BEGIN_DECLS

/*
 * A buffer over the frame's device memory, with no copy. It owns the device
 * buffer from now on: the buffer's last unref releases it with
 * boardcam_mt_release_frame(), whenever that happens. The planes are tightly
 * packed (both strides equal the width), as the camera writes them. The
 * frame's wall-clock arrival goes along as a timestamp/x-unix reference
 * timestamp.
 */
GstBuffer *boardcam_gst_wrap_frame (const boardcam_mt_frame * frame, const GstVideoInfo * info);

/* TRUE when a tightly packed frame differs from the default layout of @info,
 * which is what a consumer without GstVideoMeta support assumes. */
gboolean boardcam_gst_layout_needs_meta (const GstVideoInfo * info);

/* A system-memory copy of @frame in the default layout of @info, for
 * consumers that cannot read GstVideoMeta; NULL if memory runs out. */
GstBuffer *boardcam_gst_copy_to_default_layout (GstBuffer * frame, const GstVideoInfo * info);

G_END_DECLS

#endif
