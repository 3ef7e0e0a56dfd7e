// The recording pipeline of the README, through gst-launch-1.0: both cameras
// side by side, VP8 in WebM. The file is decoded back and counted.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "gst_support.h"

namespace {

TEST(Recording, BothCamerasSideBySideDecodeBackAsVp8InWebm) {
    const std::string out = std::string(BOARDCAM_GST_TEST_DIR) + "/both-" + std::to_string(getpid()) + ".webm";
    gsttest::setUp();
    // The script runs gst-launch-1.0 against the same plugin and system plugins.
    const std::string command = std::string(BOARDCAM_RECORD_COMMAND) + " " + out + " 2 > /dev/null";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << " failed: " << status;

    GstElement *pipeline = gsttest::parsePipeline(
        "filesrc location=" + out + " ! matroskademux ! vp8dec ! fakesink name=sink signal-handoffs=true");
    std::atomic<int> frames{0};
    gsttest::countBuffers(pipeline, "sink", &frames);
    GstMessage *done = gsttest::runUntilDone(pipeline);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
    gst_message_unref(done);

    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstPad *pad = gst_element_get_static_pad(sink, "sink");
    GstCaps *caps = gst_pad_get_current_caps(pad);
    ASSERT_NE(caps, nullptr);
    const GstStructure *s = gst_caps_get_structure(caps, 0);
    int width = 0, height = 0;
    gst_structure_get_int(s, "width", &width);
    gst_structure_get_int(s, "height", &height);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 480);
    // 2 s at 30 fps from each camera, none lost. A live compositor also
    // emits a frame on its own whenever an input is late, more so on a
    // loaded machine; a third more is the bound.
    EXPECT_GE(frames.load(), 60);
    EXPECT_LE(frames.load(), 80);
    gst_caps_unref(caps);
    gst_object_unref(pad);
    gst_object_unref(sink);
    gsttest::dispose(pipeline);
    std::remove(out.c_str());
}

}  // namespace
