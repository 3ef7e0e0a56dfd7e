/*
 * boardcamsrc
 *
 * Live NV12 frames from camera 0 or 1 of the board:
 *
 *   gst-launch-1.0 boardcamsrc camera=1 ! video/x-raw,width=1280,height=720,framerate=30/1 ! \
 *       videoconvert ! autovideosink
 *
 * Based on GstPushSrc: the camera hands out one frame per blocking read, in
 * order, and GstPushSrc turns exactly that into a streaming thread with
 * num-buffers, EOS, live behaviour and renegotiation. There is no random
 * access or byte range to serve, which is all GstBaseSrc's create() would add.
 *
 * The camera is opened at the negotiated caps on the first frame after
 * negotiation, reconfigured in place when caps change while running, and
 * closed in stop(). Every call into the camera library goes through
 * libboardcam-mt, which serialises them across the process and waits for each
 * frame outside its lock; unlock() interrupts that wait.
 */
#ifdef HAVE_CONFIG_H
#include "config.h"
#endif

#include "gstboardcamsrc.h"

#include "frame_buffer.h"

GST_DEBUG_CATEGORY_STATIC (gst_boardcam_src_debug);
#define GST_CAT_DEFAULT gst_boardcam_src_debug

#define DEFAULT_CAMERA 0
#define DEFAULT_WIDTH 640
#define DEFAULT_HEIGHT 480
#define DEFAULT_FPS 30

enum
{
  PROP_0,
  PROP_CAMERA,
  PROP_DROPPED_FRAMES,
};

/* Even sizes only: a 4:2:0 frame has a chroma sample per 2x2 block. */
static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE ("src",
    GST_PAD_SRC,
    GST_PAD_ALWAYS,
    GST_STATIC_CAPS ("video/x-raw, format = (string) NV12, "
        "width = (int) [ 2, 8192, 2 ], height = (int) [ 2, 8192, 2 ], "
        "framerate = (fraction) [ 1/1, 240/1 ]"));

GstCaps *
gst_boardcam_src_template_caps (void)
{
  return gst_static_pad_template_get_caps (&src_template);
}

#define gst_boardcam_src_parent_class parent_class
G_DEFINE_TYPE (GstBoardcamSrc, gst_boardcam_src, GST_TYPE_PUSH_SRC);

#define STATE_LOCK(self) pthread_mutex_lock (&(self)->state_lock)
#define STATE_UNLOCK(self) pthread_mutex_unlock (&(self)->state_lock)

static void
gst_boardcam_src_set_property (GObject * object, guint prop_id,
    const GValue * value, GParamSpec * pspec)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (object);

  switch (prop_id) {
    case PROP_CAMERA:
      GST_OBJECT_LOCK (self);
      /* The camera is opened in the streaming thread; switching it under a
       * running element would leave the first one open. */
      if (GST_STATE (self) > GST_STATE_READY
          || GST_STATE_PENDING (self) > GST_STATE_READY) {
        GST_OBJECT_UNLOCK (self);
        g_warning ("%s: camera can only be changed in the NULL or READY state",
            GST_OBJECT_NAME (self));
        return;
      }
      STATE_LOCK (self);
      self->camera = g_value_get_int (value);
      STATE_UNLOCK (self);
      GST_OBJECT_UNLOCK (self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
  }
}

static void
gst_boardcam_src_get_property (GObject * object, guint prop_id,
    GValue * value, GParamSpec * pspec)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (object);

  STATE_LOCK (self);
  switch (prop_id) {
    case PROP_CAMERA:
      g_value_set_int (value, self->camera);
      break;
    case PROP_DROPPED_FRAMES:
      g_value_set_uint64 (value, self->dropped);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
  }
  STATE_UNLOCK (self);
}

static gint
current_camera (GstBoardcamSrc * self)
{
  gint camera;

  STATE_LOCK (self);
  camera = self->camera;
  STATE_UNLOCK (self);
  return camera;
}

/* What downstream leaves open is fixed at the defaults, or, when another
 * program has the camera, at its format, so that this element shares it. */
static GstCaps *
gst_boardcam_src_fixate (GstBaseSrc * bsrc, GstCaps * caps)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (bsrc);
  GstStructure *structure;
  boardcam_mt_camera_status status;
  gint width = DEFAULT_WIDTH, height = DEFAULT_HEIGHT, fps = DEFAULT_FPS;

  if (boardcam_mt_status (current_camera (self), &status) == 0 && status.owned) {
    width = status.width;
    height = status.height;
    fps = status.fps;
  }
  caps = gst_caps_truncate (gst_caps_make_writable (caps));
  structure = gst_caps_get_structure (caps, 0);
  gst_structure_fixate_field_nearest_int (structure, "width", width);
  gst_structure_fixate_field_nearest_int (structure, "height", height);
  gst_structure_fixate_field_nearest_fraction (structure, "framerate", fps, 1);
  return GST_BASE_SRC_CLASS (parent_class)->fixate (bsrc, caps);
}

static gboolean
gst_boardcam_src_set_caps (GstBaseSrc * bsrc, GstCaps * caps)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (bsrc);
  GstVideoInfo info;
  GstClockTime period;
  gboolean latency_changed;
  gint fps;

  if (!gst_video_info_from_caps (&info, caps)
      || GST_VIDEO_INFO_FORMAT (&info) != GST_VIDEO_FORMAT_NV12
      || GST_VIDEO_INFO_WIDTH (&info) % 2 != 0
      || GST_VIDEO_INFO_HEIGHT (&info) % 2 != 0
      || GST_VIDEO_INFO_FPS_N (&info) <= 0 || GST_VIDEO_INFO_FPS_D (&info) <= 0) {
    GST_WARNING_OBJECT (self, "unusable caps %" GST_PTR_FORMAT, caps);
    return FALSE;
  }

  /* The camera runs at whole frames per second: 30000/1001 asks for 30. */
  fps = (GST_VIDEO_INFO_FPS_N (&info) + GST_VIDEO_INFO_FPS_D (&info) / 2) /
      GST_VIDEO_INFO_FPS_D (&info);
  fps = CLAMP (fps, 1, 240);

  period = gst_util_uint64_scale_int (GST_SECOND,
      GST_VIDEO_INFO_FPS_D (&info), GST_VIDEO_INFO_FPS_N (&info));
  STATE_LOCK (self);
  latency_changed = self->period != period;
  self->info = info;
  self->fps = fps;
  self->period = period;
  self->reopen = !self->configured || self->opened_fps != fps
      || self->opened_width != GST_VIDEO_INFO_WIDTH (&info)
      || self->opened_height != GST_VIDEO_INFO_HEIGHT (&info);
  STATE_UNLOCK (self);

  if (latency_changed)
    gst_element_post_message (GST_ELEMENT_CAST (self),
        gst_message_new_latency (GST_OBJECT_CAST (self)));
  GST_DEBUG_OBJECT (self, "negotiated %dx%d at %d fps",
      GST_VIDEO_INFO_WIDTH (&info), GST_VIDEO_INFO_HEIGHT (&info), fps);
  return TRUE;
}

static gboolean
gst_boardcam_src_decide_allocation (GstBaseSrc * bsrc, GstQuery * query)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (bsrc);
  const gboolean video_meta =
      gst_query_find_allocation_meta (query, GST_VIDEO_META_API_TYPE, NULL);

  STATE_LOCK (self);
  self->downstream_video_meta = video_meta;
  STATE_UNLOCK (self);
  return GST_BASE_SRC_CLASS (parent_class)->decide_allocation (bsrc, query);
}

static gboolean
gst_boardcam_src_query (GstBaseSrc * bsrc, GstQuery * query)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (bsrc);
  GstClockTime period;

  if (GST_QUERY_TYPE (query) != GST_QUERY_LATENCY)
    return GST_BASE_SRC_CLASS (parent_class)->query (bsrc, query);

  STATE_LOCK (self);
  period = self->period;
  STATE_UNLOCK (self);
  /* A frame is pushed as soon as it is complete, one period after its
   * exposure began. Before negotiation the rate is not known: answer as any
   * live source does, and post a latency message once it is. */
  if (!GST_CLOCK_TIME_IS_VALID (period))
    return GST_BASE_SRC_CLASS (parent_class)->query (bsrc, query);
  gst_query_set_latency (query, TRUE, period, period);
  return TRUE;
}

static gboolean
gst_boardcam_src_start (GstBaseSrc * bsrc)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (bsrc);

  STATE_LOCK (self);
  self->configured = FALSE;
  self->reopen = TRUE;
  self->period = GST_CLOCK_TIME_NONE;
  self->frames = 0;
  self->dropped = 0;
  self->downstream_video_meta = FALSE;
  STATE_UNLOCK (self);
  return TRUE;
}

static gboolean
gst_boardcam_src_stop (GstBaseSrc * bsrc)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (bsrc);
  const gint camera = current_camera (self);
  boardcam_mt_camera *handle;
  gboolean configured;


  STATE_LOCK (self);
  handle = self->handle;
  self->handle = NULL;
  configured = self->configured;
  self->configured = FALSE;
  self->period = GST_CLOCK_TIME_NONE;
  STATE_UNLOCK (self);

  if (handle != NULL && boardcam_mt_close (handle) != 0 && configured)
    GST_ELEMENT_WARNING (self, RESOURCE, CLOSE,
        ("Could not close camera %d", camera), (NULL));
  return TRUE;
}

/* A read waiting for its frame returns at once from now on. */
static gboolean
gst_boardcam_src_unlock (GstBaseSrc * bsrc)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (bsrc);

  STATE_LOCK (self);
  self->flushing = TRUE;
  boardcam_mt_set_flushing (self->handle, TRUE);
  STATE_UNLOCK (self);
  return TRUE;
}

static gboolean
gst_boardcam_src_unlock_stop (GstBaseSrc * bsrc)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (bsrc);

  STATE_LOCK (self);
  self->flushing = FALSE;
  boardcam_mt_set_flushing (self->handle, FALSE);
  STATE_UNLOCK (self);
  return TRUE;
}

/* Opens the camera at the negotiated values, or reconfigures it at new ones. */
static gboolean
open_camera (GstBoardcamSrc * self, gint camera, const GstVideoInfo * info,
    gint fps)
{
  const gint width = GST_VIDEO_INFO_WIDTH (info);
  const gint height = GST_VIDEO_INFO_HEIGHT (info);
  boardcam_mt_camera *handle;
  gboolean reopening;
  gint32 result;

  STATE_LOCK (self);
  handle = self->handle;
  STATE_UNLOCK (self);
  reopening = handle != NULL;

  if (reopening) {
    result = boardcam_mt_reconfigure (handle, fps, width, height);
  } else {
    result = boardcam_mt_open (camera, fps, width, height, &handle);
    if (result == 0) {
      STATE_LOCK (self);
      self->handle = handle;
      boardcam_mt_set_flushing (handle, self->flushing);
      STATE_UNLOCK (self);
    }
  }

  /* Another program has the camera at a format this one cannot share, or
   * may not share it: the library's message names the owner and says why. */
  if (result == BOARDCAM_MT_BUSY) {
    GST_ELEMENT_ERROR (self, RESOURCE, BUSY,
        ("Camera %d is in use at another format", camera),
        ("%s", boardcam_mt_last_message ()));
    return FALSE;
  }
  if (result == BOARDCAM_MT_DENIED) {
    GST_ELEMENT_ERROR (self, RESOURCE, OPEN_READ,
        ("Camera %d is another user's, and this user may not share it",
            camera), ("%s", boardcam_mt_last_message ()));
    return FALSE;
  }
  if (result != 0) {
    /* A refused configuration has already closed the camera. */
    STATE_LOCK (self);
    self->configured = FALSE;
    STATE_UNLOCK (self);
    if (reopening)
      GST_ELEMENT_ERROR (self, RESOURCE, SETTINGS,
          ("Could not reopen camera %d at %dx%d, %d fps", camera, width, height,
              fps), ("OpenCameraEx failed while renegotiating"));
    else
      GST_ELEMENT_ERROR (self, RESOURCE, OPEN_READ,
          ("Could not open camera %d at %dx%d, %d fps", camera, width, height,
              fps), ("OpenCameraEx failed"));
    return FALSE;
  }

  GST_INFO_OBJECT (self, "camera %d %s at %dx%d, %d fps", camera,
      reopening ? "reopened" : "opened", width, height, fps);
  STATE_LOCK (self);
  self->configured = TRUE;
  self->reopen = FALSE;
  self->opened_width = width;
  self->opened_height = height;
  self->opened_fps = fps;
  STATE_UNLOCK (self);
  return TRUE;
}

/* The running time at which a frame arrived, by the pipeline's clock: the
 * clock's time now, less how long ago the frame arrived. */
static GstClockTime
arrival_running_time (GstBoardcamSrc * self, const boardcam_mt_frame * frame)
{
  GstClock *clock = gst_element_get_clock (GST_ELEMENT_CAST (self));
  GstClockTime now, base_time, age;

  if (clock == NULL)
    return GST_CLOCK_TIME_NONE;
  now = gst_clock_get_time (clock);
  age = (GstClockTime) MAX (g_get_monotonic_time () * GST_USECOND -
      frame->monotonic_ns, 0);
  base_time = gst_element_get_base_time (GST_ELEMENT_CAST (self));
  gst_object_unref (clock);
  now = now > age ? now - age : 0;
  return now >= base_time ? now - base_time : 0;
}

/* Counts the frame, and the frames the camera dropped just before it, which
 * are reported as QoS; returns TRUE when there were any. */
static gboolean
account_for_frame (GstBoardcamSrc * self, const boardcam_mt_frame * frame,
    GstClockTime pts, GstClockTime period)
{
  guint64 processed, dropped;
  GstMessage *qos;

  STATE_LOCK (self);
  processed = self->frames++;
  self->dropped += frame->dropped;
  dropped = self->dropped;
  STATE_UNLOCK (self);
  if (frame->dropped == 0)
    return FALSE;
  GST_DEBUG_OBJECT (self, "%u frame(s) missed before frame %" G_GUINT64_FORMAT,
      frame->dropped, frame->sequence);

  qos = gst_message_new_qos (GST_OBJECT_CAST (self), TRUE, pts, pts, pts,
      period);
  gst_message_set_qos_values (qos, (gint64) (frame->dropped * period), 1.0,
      1000000);
  gst_message_set_qos_stats (qos, GST_FORMAT_BUFFERS, processed, dropped);
  gst_element_post_message (GST_ELEMENT_CAST (self), qos);
  return TRUE;
}

static GstFlowReturn
gst_boardcam_src_create (GstPushSrc * psrc, GstBuffer ** outbuf)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (psrc);
  boardcam_mt_camera *handle;
  boardcam_mt_frame frame;
  GstVideoInfo info;
  GstBuffer *buffer;
  GstClockTime pts, period;
  gboolean reopen, video_meta;
  gint camera, fps;
  gint32 result;

  STATE_LOCK (self);
  camera = self->camera;
  reopen = self->reopen;
  info = self->info;
  fps = self->fps;
  STATE_UNLOCK (self);
  if (reopen && !open_camera (self, camera, &info, fps))
    return GST_FLOW_ERROR;

  STATE_LOCK (self);
  handle = self->handle;
  period = self->period;
  video_meta = self->downstream_video_meta;
  STATE_UNLOCK (self);

  result = boardcam_mt_read (handle, &frame);
  if (result == BOARDCAM_MT_INTERRUPTED)
    return GST_FLOW_FLUSHING;
  if (result == BOARDCAM_MT_BUSY) {
    /* The program this element shares the camera with changed its format. */
    GST_ELEMENT_ERROR (self, RESOURCE, BUSY,
        ("Camera %d is now in use at another format", camera),
        ("%s", boardcam_mt_last_message ()));
    return GST_FLOW_ERROR;
  }
  if (result != 0) {
    GST_ELEMENT_ERROR (self, RESOURCE, READ,
        ("Could not read a frame from camera %d at %dx%d, %d fps", camera,
            GST_VIDEO_INFO_WIDTH (&info), GST_VIDEO_INFO_HEIGHT (&info), fps),
        ("ReadCameraFrame failed"));
    return GST_FLOW_ERROR;
  }
  pts = arrival_running_time (self, &frame);

  buffer = boardcam_gst_wrap_frame (&frame, &info);
  GST_BUFFER_PTS (buffer) = pts;
  GST_BUFFER_DURATION (buffer) = period;
  /* Offsets count camera periods, so a gap shows the frames that were missed. */
  GST_BUFFER_OFFSET (buffer) = frame.sequence;
  GST_BUFFER_OFFSET_END (buffer) = frame.sequence + 1;
  if (account_for_frame (self, &frame, pts, period))
    GST_BUFFER_FLAG_SET (buffer, GST_BUFFER_FLAG_DISCONT);

  if (!video_meta && boardcam_gst_layout_needs_meta (&info)) {
    /* Only for a consumer that would misread the packed planes. */
    GstBuffer *copy = boardcam_gst_copy_to_default_layout (buffer, &info);

    gst_buffer_unref (buffer);
    if (copy == NULL) {
      GST_ELEMENT_ERROR (self, RESOURCE, NO_SPACE_LEFT,
          ("Out of memory for a frame of camera %d", camera), (NULL));
      return GST_FLOW_ERROR;
    }
    buffer = copy;
  }

  *outbuf = buffer;
  return GST_FLOW_OK;
}

static void
gst_boardcam_src_finalize (GObject * object)
{
  GstBoardcamSrc *self = GST_BOARDCAM_SRC (object);

  pthread_mutex_destroy (&self->state_lock);
  G_OBJECT_CLASS (parent_class)->finalize (object);
}

static void
gst_boardcam_src_class_init (GstBoardcamSrcClass * klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS (klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS (klass);
  GstBaseSrcClass *basesrc_class = GST_BASE_SRC_CLASS (klass);
  GstPushSrcClass *pushsrc_class = GST_PUSH_SRC_CLASS (klass);

  gobject_class->set_property = gst_boardcam_src_set_property;
  gobject_class->get_property = gst_boardcam_src_get_property;
  gobject_class->finalize = gst_boardcam_src_finalize;

  g_object_class_install_property (gobject_class, PROP_CAMERA,
      g_param_spec_int ("camera", "Camera", "Camera id, 0 or 1", 0, 1,
          DEFAULT_CAMERA,
          G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY));
  g_object_class_install_property (gobject_class, PROP_DROPPED_FRAMES,
      g_param_spec_uint64 ("dropped-frames", "Dropped frames",
          "Frames the camera produced that were never read, since the element started",
          0, G_MAXUINT64, 0, G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));

  gst_element_class_set_static_metadata (element_class,
      "Board camera source", "Source/Video",
      "Captures NV12 frames from one of the board's cameras without copying them",
      "boardcam developers");
  gst_element_class_add_static_pad_template (element_class, &src_template);

  basesrc_class->fixate = GST_DEBUG_FUNCPTR (gst_boardcam_src_fixate);
  basesrc_class->set_caps = GST_DEBUG_FUNCPTR (gst_boardcam_src_set_caps);
  basesrc_class->decide_allocation =
      GST_DEBUG_FUNCPTR (gst_boardcam_src_decide_allocation);
  basesrc_class->query = GST_DEBUG_FUNCPTR (gst_boardcam_src_query);
  basesrc_class->start = GST_DEBUG_FUNCPTR (gst_boardcam_src_start);
  basesrc_class->stop = GST_DEBUG_FUNCPTR (gst_boardcam_src_stop);
  basesrc_class->unlock = GST_DEBUG_FUNCPTR (gst_boardcam_src_unlock);
  basesrc_class->unlock_stop = GST_DEBUG_FUNCPTR (gst_boardcam_src_unlock_stop);
  pushsrc_class->create = GST_DEBUG_FUNCPTR (gst_boardcam_src_create);

  GST_DEBUG_CATEGORY_INIT (gst_boardcam_src_debug, "boardcamsrc", 0,
      "board camera source");
}

static void
gst_boardcam_src_init (GstBoardcamSrc * self)
{
  pthread_mutex_init (&self->state_lock, NULL);
  self->camera = DEFAULT_CAMERA;
  self->period = GST_CLOCK_TIME_NONE;
  gst_video_info_init (&self->info);
  gst_base_src_set_live (GST_BASE_SRC (self), TRUE);
  gst_base_src_set_format (GST_BASE_SRC (self), GST_FORMAT_TIME);
}
