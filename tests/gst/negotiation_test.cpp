// boardcamsrc negotiates its format with downstream and opens the camera at
// exactly the negotiated values, also when they change while it runs.
#include <gst/check/gstharness.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include "boardsim.h"
#include "gst_support.h"
#include "journal.h"

namespace {

struct Opened {
    int fps = -1, width = -1, height = -1;
};

// The values the camera was last configured with, from the simulator's journal.
Opened lastConfiguration(int camera) {
    Opened opened;
    for (const BoardsimEvent &e : testsupport::entriesOf(BOARDSIM_SET_CAMERA_PROPERTY)) {
        if (e.camera != camera) continue;
        if (e.prop == 2) opened.fps = e.value[0];
        if (e.prop == 1) opened.width = e.value[0], opened.height = e.value[1];
    }
    return opened;
}

GstVideoInfo negotiated(GstHarness *h) {
    GstVideoInfo info;
    GstCaps *caps = gst_pad_get_current_caps(h->sinkpad);
    EXPECT_NE(caps, nullptr);
    EXPECT_TRUE(gst_video_info_from_caps(&info, caps));
    gst_caps_unref(caps);
    return info;
}

class Negotiation : public ::testing::Test {
protected:
    void SetUp() override { gsttest::setUp(); }
};

TEST_F(Negotiation, FixedCapsOpenTheCameraAtThoseValues) {
    GstHarness *h = gst_harness_new_parse(
        "boardcamsrc camera=1 ! capsfilter caps=video/x-raw,width=320,height=240,framerate=15/1");
    gst_harness_play(h);
    GstBuffer *buffer = gst_harness_pull(h);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(gst_buffer_get_size(buffer), 320u * 240 * 3 / 2);
    gst_buffer_unref(buffer);

    const Opened opened = lastConfiguration(1);
    EXPECT_EQ(opened.fps, 15);
    EXPECT_EQ(opened.width, 320);
    EXPECT_EQ(opened.height, 240);
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).size(), 1u);
    gst_harness_teardown(h);
}

TEST_F(Negotiation, RangeFromDownstreamFixesToAnEvenSizeInsideIt) {
    GstHarness *h = gst_harness_new("boardcamsrc");
    gst_harness_set_sink_caps_str(
        h, "video/x-raw,format=NV12,width=[101,201],height=[51,99],framerate=[5/1,10/1]");
    gst_harness_play(h);
    GstBuffer *buffer = gst_harness_pull(h);
    ASSERT_NE(buffer, nullptr);
    gst_buffer_unref(buffer);

    const GstVideoInfo info = negotiated(h);
    const int width = GST_VIDEO_INFO_WIDTH(&info), height = GST_VIDEO_INFO_HEIGHT(&info);
    EXPECT_GE(width, 101);
    EXPECT_LE(width, 201);
    EXPECT_GE(height, 51);
    EXPECT_LE(height, 99);
    EXPECT_EQ(width % 2, 0);
    EXPECT_EQ(height % 2, 0);
    EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), 10);  // nearest to the default 30
    EXPECT_EQ(GST_VIDEO_INFO_FPS_D(&info), 1);

    const Opened opened = lastConfiguration(0);
    EXPECT_EQ(opened.width, width);
    EXPECT_EQ(opened.height, height);
    EXPECT_EQ(opened.fps, 10);
    gst_harness_teardown(h);
}

TEST_F(Negotiation, WithoutPreferenceItIs640x480At30) {
    GstHarness *h = gst_harness_new("boardcamsrc");
    gst_harness_play(h);
    GstBuffer *buffer = gst_harness_pull(h);
    ASSERT_NE(buffer, nullptr);
    gst_buffer_unref(buffer);

    const GstVideoInfo info = negotiated(h);
    EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_NV12);
    EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), 640);
    EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 480);
    EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), 30);
    EXPECT_EQ(GST_VIDEO_INFO_FPS_D(&info), 1);
    const Opened opened = lastConfiguration(0);
    EXPECT_EQ(opened.fps, 30);
    EXPECT_EQ(opened.width, 640);
    EXPECT_EQ(opened.height, 480);
    gst_harness_teardown(h);
}

TEST_F(Negotiation, NewCapsWhileRunningReopenTheCameraAtTheNewSize) {
    // Free-running sensors: a frame's offset is the sensor's frame number.
    boardsim_set_pacing(true);
    GstHarness *h = gst_harness_new_parse("boardcamsrc camera=1");
    gst_harness_add_propose_allocation_meta(h, GST_VIDEO_META_API_TYPE, nullptr);
    gst_harness_set_blocking_push_mode(h);  // one frame in flight at a time
    gst_harness_set_sink_caps_str(h, "video/x-raw,format=NV12,width=320,height=240,framerate=30/1");
    gst_harness_play(h);
    GstBuffer *before = gst_harness_pull(h);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(gst_buffer_get_size(before), 320u * 240 * 3 / 2);
    gst_buffer_unref(before);

    gst_harness_set_sink_caps_str(h, "video/x-raw,format=NV12,width=640,height=360,framerate=30/1");
    gst_pad_push_event(h->sinkpad, gst_event_new_reconfigure());

    // Frames already read at the old size may still arrive; then the new size.
    GstBuffer *after = nullptr;
    for (int i = 0; i < 4; ++i) {
        after = gst_harness_pull(h);
        ASSERT_NE(after, nullptr);
        if (gst_buffer_get_size(after) == 640u * 360 * 3 / 2) break;
        gst_buffer_unref(after);
        after = nullptr;
    }
    ASSERT_NE(after, nullptr) << "no frame at the new size";
    // The frame is the camera's own at the new size, not a rescaled old one;
    // offsets are the camera's frame numbers since the element started.
    EXPECT_TRUE(gsttest::holdsFrame(
        after, gsttest::referenceFrame(1, uint32_t(GST_BUFFER_OFFSET(after)), 640, 360)));
    gst_buffer_unref(after);

    const Opened opened = lastConfiguration(1);
    EXPECT_EQ(opened.width, 640);
    EXPECT_EQ(opened.height, 360);
    // Reopened in place: the camera was not closed in between.
    EXPECT_TRUE(testsupport::entriesOf(BOARDSIM_CLOSE_CAMERA).empty());
    gst_harness_teardown(h);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

}  // namespace
