// Every way the board can refuse boardcamsrc ends in an error message that
// names the camera and what was asked of it, with nothing left behind, and
// the pipeline can be started again.
#include <gtest/gtest.h>

#include "boardsim.h"
#include "gst_support.h"
#include "journal.h"

namespace {

const char *const kPipeline =
    "boardcamsrc camera=1 ! video/x-raw,width=320,height=240,framerate=15/1 ! fakesink sync=false";

class Errors : public ::testing::TestWithParam<BoardsimCall> {
protected:
    void SetUp() override { gsttest::setUp(); }
};

GError *takeError(GstMessage *message) {
    GError *error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    return error;
}

TEST_P(Errors, RefusalIsAResourceErrorNamingCameraSizeAndRate) {
    const BoardsimCall refused = GetParam();
    ASSERT_EQ(boardsim_fail_call(refused, BOARDSIM_ANY_CAMERA, BOARDSIM_FAIL_ALWAYS), 0);
    GstElement *pipeline = gsttest::parsePipeline(kPipeline);

    GstMessage *done = gsttest::runUntilDone(pipeline);
    ASSERT_NE(done, nullptr);
    ASSERT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_ERROR);
    EXPECT_STREQ(GST_OBJECT_NAME(GST_MESSAGE_SRC(done)), "boardcamsrc0");
    GError *error = takeError(done);
    EXPECT_EQ(error->domain, GST_RESOURCE_ERROR);
    EXPECT_NE(std::string(error->message).find("camera 1 at 320x240, 15 fps"), std::string::npos)
        << error->message;
    g_error_free(error);
    gst_message_unref(done);

    gst_element_set_state(pipeline, GST_STATE_NULL);
    EXPECT_EQ(boardsim_live_buffers(), 0u);

    // Once the board answers again, the same pipeline runs.
    boardsim_clear_faults();
    testsupport::resetBoard();
    GstElement *again = gsttest::parsePipeline(
        "boardcamsrc camera=1 num-buffers=3 ! video/x-raw,width=320,height=240,framerate=15/1 ! fakesink sync=false");
    GstMessage *eos = gsttest::runUntilDone(again);
    ASSERT_NE(eos, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(eos), GST_MESSAGE_EOS) << gsttest::describeError(eos);
    gst_message_unref(eos);
    gsttest::dispose(again);
    gsttest::dispose(pipeline);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BoardRefuses, Errors,
                         ::testing::Values(BOARDSIM_OPEN_CAMERA, BOARDSIM_SET_CAMERA_PROPERTY,
                                           BOARDSIM_READ_FRAME_FROM_CAMERA, BOARDSIM_PIMO_MALLOC),
                         [](const ::testing::TestParamInfo<BoardsimCall> &param) {
                             return std::string(boardsim_call_name(param.param));
                         });

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override { gsttest::setUp(); }
};

TEST_F(Lifecycle, OddSizesAreNotNegotiatedAndOpenNothing) {
    GstElement *pipeline = gsttest::parsePipeline("boardcamsrc ! capsfilter name=filter ! fakesink");
    GstElement *filter = gst_bin_get_by_name(GST_BIN(pipeline), "filter");
    GstCaps *odd = gst_caps_from_string("video/x-raw,width=321,height=240");
    g_object_set(filter, "caps", odd, nullptr);
    gst_caps_unref(odd);
    gst_object_unref(filter);
    GstMessage *done = gsttest::runUntilDone(pipeline);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_ERROR);
    gst_message_unref(done);
    gsttest::dispose(pipeline);
    EXPECT_TRUE(testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).empty());
    EXPECT_TRUE(testsupport::entriesOf(BOARDSIM_QUERY_CAMERA_STATUS).empty());
}

TEST_F(Lifecycle, StopClosesTheCameraAndStartOpensItAgain) {
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc camera=1 num-buffers=3 ! video/x-raw,width=64,height=48 ! fakesink sync=false");
    for (int run = 0; run < 2; ++run) {
        GstMessage *done = gsttest::runUntilDone(pipeline);
        ASSERT_NE(done, nullptr);
        EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
        gst_message_unref(done);
        gst_element_set_state(pipeline, GST_STATE_NULL);
    }
    EXPECT_EQ(testsupport::mediaCalls(),
              (std::vector<std::string>{
                  "MediaLibInit()", "QueryCameraStatus(1)", "OpenCamera(1)", "SetCameraProperty(1,2)",
                  "SetCameraProperty(1,1)", "SetCameraProperty(1,5)", "ReadFrameFromCamera(1)",
                  "ReadFrameFromCamera(1)", "ReadFrameFromCamera(1)", "CloseCamera(1)",
                  "QueryCameraStatus(1)", "OpenCamera(1)", "SetCameraProperty(1,2)",
                  "SetCameraProperty(1,1)", "SetCameraProperty(1,5)", "ReadFrameFromCamera(1)",
                  "ReadFrameFromCamera(1)", "ReadFrameFromCamera(1)", "CloseCamera(1)"}));
    gst_object_unref(pipeline);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(Lifecycle, FailedRenegotiationIsAnErrorNamingTheNewSize) {
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc ! capsfilter name=filter caps=video/x-raw,width=320,height=240,framerate=30/1 ! "
        "fakesink name=sink sync=false signal-handoffs=true");
    GstElement *filter = gst_bin_get_by_name(GST_BIN(pipeline), "filter");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    // On the third frame downstream asks for another size, which the board refuses.
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
                         if (GST_BUFFER_OFFSET(buffer) < 2 || g_object_get_data(G_OBJECT(data), "asked")) return;
                         g_object_set_data(G_OBJECT(data), "asked", GINT_TO_POINTER(1));
                         boardsim_fail_call(BOARDSIM_SET_CAMERA_PROPERTY, 0, BOARDSIM_FAIL_ONCE);
                         GstCaps *caps = gst_caps_from_string("video/x-raw,width=640,height=480,framerate=30/1");
                         g_object_set(data, "caps", caps, nullptr);
                         gst_caps_unref(caps);
                     }),
                     filter);
    GstMessage *done = gsttest::runUntilDone(pipeline);
    ASSERT_NE(done, nullptr);
    ASSERT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_ERROR);
    GError *error = takeError(done);
    EXPECT_EQ(error->domain, GST_RESOURCE_ERROR);
    EXPECT_NE(std::string(error->message).find("reopen camera 0 at 640x480, 30 fps"), std::string::npos)
        << error->message;
    g_error_free(error);
    gst_message_unref(done);
    gst_object_unref(filter);
    gst_object_unref(sink);
    gsttest::dispose(pipeline);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(Lifecycle, CameraCannotBeSwitchedWhileRunning) {
    GstElement *pipeline = gsttest::parsePipeline("boardcamsrc name=src ! video/x-raw,width=64,height=48 ! fakesink");
    GstElement *src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    g_object_set(src, "camera", 1, nullptr);  // allowed in NULL
    ASSERT_EQ(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_ASYNC);
    ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
    g_object_set(src, "camera", 0, nullptr);
    int camera = -1;
    g_object_get(src, "camera", &camera, nullptr);
    EXPECT_EQ(camera, 1);
    gst_object_unref(src);
    gsttest::dispose(pipeline);
    for (const BoardsimEvent &e : testsupport::entriesOf(BOARDSIM_OPEN_CAMERA)) EXPECT_EQ(e.camera, 1);
}

}  // namespace
