// A camera has one owner in the process: a second boardcamsrc on it gets a
// busy error, and the first keeps streaming its own frames.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "boardcam-mt.h"
#include "boardsim.h"
#include "gst_support.h"
#include "journal.h"

namespace {

class Busy : public ::testing::Test {
protected:
    void SetUp() override {
        gsttest::setUp();
        boardsim_set_pacing(true);
    }
};

// Frames of camera 0 at 64x48, checked against the sensor's frames.
struct Tally : gsttest::FrameTally {
    Tally() {
        width = 64;
        height = 48;
    }
};

using gsttest::checkFrames;

// The first error on the bus within `seconds`, or nullptr.
GstMessage *firstError(GstElement *pipeline, int seconds) {
    GstBus *bus = gst_element_get_bus(pipeline);
    GstMessage *error = gst_bus_timed_pop_filtered(bus, GstClockTime(seconds) * GST_SECOND, GST_MESSAGE_ERROR);
    gst_object_unref(bus);
    return error;
}

void expectBusyError(GstMessage *message, const char *from) {
    ASSERT_NE(message, nullptr) << "no error";
    GError *error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    EXPECT_TRUE(g_error_matches(error, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY)) << error->message;
    EXPECT_STREQ(error->message, "Camera 0 is already in use in this process");
    EXPECT_STREQ(GST_OBJECT_NAME(GST_MESSAGE_SRC(message)), from);
    g_error_free(error);
}

// The sinks do not wait to preroll, so that a refused branch cannot hold the
// whole pipeline in PAUSED.
const char *kOwner = "boardcamsrc name=first camera=0 ! video/x-raw,width=64,height=48,framerate=30/1 ! "
                     "fakesink name=firstsink sync=false async=false signal-handoffs=true";

TEST_F(Busy, ASecondPipelineOnTheSameCameraIsRefusedAndTheFirstStreamsOn) {
    GstElement *owner = gsttest::parsePipeline(kOwner);
    Tally tally;
    checkFrames(owner, "firstsink", &tally);
    gst_element_set_state(owner, GST_STATE_PLAYING);
    while (tally.frames < 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const size_t opens = testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).size();

    GstElement *second = gsttest::parsePipeline(
        "boardcamsrc name=second camera=0 ! video/x-raw,width=320,height=240,framerate=15/1 ! fakesink");
    gst_element_set_state(second, GST_STATE_PLAYING);
    GstMessage *error = firstError(second, 10);
    expectBusyError(error, "second");
    if (error != nullptr) gst_message_unref(error);
    gsttest::dispose(second);
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).size(), opens) << "the busy open reached the library";

    // The owner keeps its rate and its own frames for the next second.
    const int before = tally.frames;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_GE(tally.frames - before, 15);
    EXPECT_EQ(tally.wrong, 0);
    gsttest::dispose(owner);

    // Once the owner has closed, the camera opens again.
    GstElement *next = gsttest::parsePipeline(
        "boardcamsrc camera=0 num-buffers=3 ! video/x-raw,width=64,height=48,framerate=30/1 ! fakesink");
    GstMessage *done = gsttest::runUntilDone(next);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
    gst_message_unref(done);
    gsttest::dispose(next);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(Busy, TwoElementsOnOneCameraInOnePipeline) {
    GstElement *pipeline = gsttest::parsePipeline(
        std::string(kOwner) +
        " boardcamsrc name=second camera=0 ! video/x-raw,width=320,height=240,framerate=15/1 ! fakesink async=false");
    Tally tally;
    checkFrames(pipeline, "firstsink", &tally);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstMessage *error = firstError(pipeline, 10);
    ASSERT_NE(error, nullptr);
    // Whichever streaming thread opened first is the owner; the other is refused.
    const std::string refused = GST_OBJECT_NAME(GST_MESSAGE_SRC(error));
    expectBusyError(error, refused == "first" ? "first" : "second");
    gst_message_unref(error);
    if (refused == "second") {
        const int before = tally.frames;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_GE(tally.frames - before, 7) << "the owner streams on at its rate";
    }
    EXPECT_EQ(tally.wrong, 0);
    gsttest::dispose(pipeline);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).size(), 1u);
}

TEST_F(Busy, ACameraOwnedThroughTheThreadSafeLayerIsRefusedToTheElement) {
    boardcam_mt_camera *camera = nullptr;
    ASSERT_EQ(boardcam_mt_open(0, 30, 64, 48, &camera), 0);
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc name=second camera=0 ! video/x-raw,width=64,height=48,framerate=30/1 ! fakesink");
    GstMessage *done = gsttest::runUntilDone(pipeline);
    expectBusyError(done, "second");
    if (done != nullptr) gst_message_unref(done);
    gsttest::dispose(pipeline);
    boardcam_mt_frame frame;
    ASSERT_EQ(boardcam_mt_read(camera, &frame), 0) << "the owner's camera is untouched";
    boardcam_mt_release_frame(frame.data);
    EXPECT_EQ(boardcam_mt_close(camera), 0);
}

}  // namespace
