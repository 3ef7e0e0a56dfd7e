// A camera is shared: a second boardcamsrc on it, or one beside a program
// that has it through libboardcam-mt, gets the owner's frames at the owner's
// size; another size gets a busy error naming the owner, and the owner
// streams on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
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

void waitForFrames(const Tally &tally, int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (tally.frames < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(tally.frames, count) << "no frames in 20 s";
}

// The sinks do not wait to preroll, so that a refused branch cannot hold the
// whole pipeline in PAUSED.
const char *kOwner = "boardcamsrc name=first camera=0 ! video/x-raw,width=64,height=48,framerate=30/1 ! "
                     "fakesink name=firstsink sync=false async=false signal-handoffs=true";

TEST_F(Busy, ASecondPipelineAtTheOwnersSizeSharesItsFramesReadOnly) {
    GstElement *owner = gsttest::parsePipeline(kOwner);
    Tally first;
    checkFrames(owner, "firstsink", &first);
    gst_element_set_state(owner, GST_STATE_PLAYING);
    waitForFrames(first, 3);

    // At a third of the owner's rate: every third frame, the sensor's own.
    GstElement *second = gsttest::parsePipeline(
        "boardcamsrc name=second camera=0 ! video/x-raw,width=64,height=48,framerate=10/1 ! "
        "fakesink name=secondsink sync=false signal-handoffs=true");
    Tally shared;
    checkFrames(second, "secondsink", &shared);
    std::atomic<bool> readOnly{true};
    GstElement *sink = gst_bin_get_by_name(GST_BIN(second), "secondsink");
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
                         if (!gst_memory_is_writable(gst_buffer_peek_memory(buffer, 0)))
                             return;
                         static_cast<std::atomic<bool> *>(data)->store(false);
                     }),
                     &readOnly);
    gst_object_unref(sink);
    gst_element_set_state(second, GST_STATE_PLAYING);
    waitForFrames(shared, 10);
    EXPECT_EQ(shared.wrong, 0) << "each shared frame is the sensor frame of its sequence";
    EXPECT_TRUE(readOnly) << "a shared frame is read-only memory";
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).size(), 1u) << "the camera is opened once";
    gsttest::dispose(second);

    // The owner kept its rate and its own frames meanwhile.
    const int before = first.frames;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_GE(first.frames - before, 15);
    EXPECT_EQ(first.wrong, 0);
    gsttest::dispose(owner);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(Busy, AnotherSizeIsRefusedNamingTheOwnerAndTheOwnerStreamsOn) {
    GstElement *owner = gsttest::parsePipeline(kOwner);
    Tally tally;
    checkFrames(owner, "firstsink", &tally);
    gst_element_set_state(owner, GST_STATE_PLAYING);
    waitForFrames(tally, 3);
    const size_t opens = testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).size();

    GstElement *second = gsttest::parsePipeline(
        "boardcamsrc name=second camera=0 ! video/x-raw,width=320,height=240,framerate=15/1 ! fakesink");
    gst_element_set_state(second, GST_STATE_PLAYING);
    GstMessage *error = firstError(second, 10);
    ASSERT_NE(error, nullptr);
    GError *gerror = nullptr;
    gchar *debug = nullptr;
    gst_message_parse_error(error, &gerror, &debug);
    EXPECT_TRUE(g_error_matches(gerror, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY)) << gerror->message;
    EXPECT_STREQ(GST_OBJECT_NAME(GST_MESSAGE_SRC(error)), "second");
    const std::string why = debug != nullptr ? debug : "";
    EXPECT_NE(why.find("camera 0 is in use by "), std::string::npos) << why;
    EXPECT_NE(why.find(" at 64x48, 30 fps; open it at that size, at 30 fps or less, to share it"),
              std::string::npos)
        << why;
    g_error_free(gerror);
    g_free(debug);
    gst_message_unref(error);
    gsttest::dispose(second);
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).size(), opens) << "the busy open reached the library";

    const int before = tally.frames;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_GE(tally.frames - before, 15);
    EXPECT_EQ(tally.wrong, 0);
    gsttest::dispose(owner);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(Busy, TwoElementsOnOneCameraInOnePipelineBothStream) {
    GstElement *pipeline = gsttest::parsePipeline(
        std::string(kOwner) +
        " boardcamsrc name=second camera=0 ! video/x-raw,width=64,height=48,framerate=30/1 ! "
        "fakesink name=secondsink sync=false async=false signal-handoffs=true");
    Tally first, second;
    checkFrames(pipeline, "firstsink", &first);
    checkFrames(pipeline, "secondsink", &second);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    waitForFrames(first, 15);
    waitForFrames(second, 15);
    EXPECT_EQ(first.wrong, 0);
    EXPECT_EQ(second.wrong, 0);
    GstMessage *error = firstError(pipeline, 0);
    EXPECT_EQ(error, nullptr) << gsttest::describeError(error);
    if (error != nullptr) gst_message_unref(error);
    // Counted while both stream: at the stop, whichever element stops second
    // may take the camera over for the moment it has left.
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_OPEN_CAMERA).size(), 1u);
    gsttest::dispose(pipeline);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(Busy, AnElementLeftFreeTakesTheFormatOfTheCamerasOwner) {
    boardcam_mt_camera *camera = nullptr;
    ASSERT_EQ(boardcam_mt_open(0, 15, 64, 48, &camera), 0);
    // Nothing downstream fixes the size or rate: the owner's are taken.
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc name=second camera=0 num-buffers=3 ! fakesink name=sink sync=false signal-handoffs=true");
    Tally tally;
    checkFrames(pipeline, "sink", &tally);
    GstMessage *done = gsttest::runUntilDone(pipeline);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
    gst_message_unref(done);
    EXPECT_EQ(tally.frames, 3);
    EXPECT_EQ(tally.wrong, 0);
    gsttest::dispose(pipeline);
    boardcam_mt_frame frame;
    ASSERT_EQ(boardcam_mt_read(camera, &frame), 0) << "the owner's camera is untouched";
    boardcam_mt_release_frame(frame.data);
    EXPECT_EQ(boardcam_mt_close(camera), 0);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

}  // namespace
