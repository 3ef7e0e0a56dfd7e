// A frame belongs to its GstBuffer: it stays valid as long as anyone holds
// the buffer, pipeline or not, and its device buffer is released exactly once.
#include <gtest/gtest.h>

#include "boardsim.h"
#include "gst_support.h"
#include "journal.h"

namespace {

class Lifetime : public ::testing::Test {
protected:
    void SetUp() override { gsttest::setUp(); }
};

TEST_F(Lifetime, BufferHeldPastThePipelineStaysReadableAndIsReleasedOnce) {
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc camera=1 num-buffers=4 ! video/x-raw,width=96,height=64 ! "
        "fakesink name=sink signal-handoffs=true sync=false");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    std::vector<GstBuffer *> held;
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
                         static_cast<std::vector<GstBuffer *> *>(data)->push_back(gst_buffer_ref(buffer));
                     }),
                     &held);
    GstMessage *done = gsttest::runUntilDone(pipeline);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
    gst_message_unref(done);
    gst_object_unref(sink);
    gsttest::dispose(pipeline);  // camera closed, element gone

    ASSERT_EQ(held.size(), 4u);
    EXPECT_EQ(boardsim_live_buffers(), 4u);
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_TRUE(gsttest::holdsFrame(held[i], gsttest::referenceFrame(1, uint32_t(i), 96, 64)));
        gst_buffer_unref(held[i]);
        EXPECT_EQ(boardsim_live_buffers(), held.size() - i - 1);
    }
    // One release per frame, of the very buffer each read filled.
    const std::vector<BoardsimEvent> reads = testsupport::entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA);
    const std::vector<BoardsimEvent> frees = testsupport::entriesOf(BOARDSIM_PIMO_FREE);
    ASSERT_EQ(frees.size(), reads.size());
    for (size_t i = 0; i < frees.size(); ++i) EXPECT_EQ(frees[i].ptr, reads[i].ptr);
}

TEST_F(Lifetime, ASubbufferKeepsTheFrameAlive) {
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc num-buffers=1 ! video/x-raw,width=64,height=48 ! fakesink name=sink signal-handoffs=true");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstBuffer *chroma = nullptr;
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
                         *static_cast<GstBuffer **>(data) =
                             gst_buffer_copy_region(buffer, GST_BUFFER_COPY_MEMORY, 64 * 48, 64 * 24);
                     }),
                     &chroma);
    GstMessage *done = gsttest::runUntilDone(pipeline);
    ASSERT_NE(done, nullptr);
    gst_message_unref(done);
    gst_object_unref(sink);
    gsttest::dispose(pipeline);

    ASSERT_NE(chroma, nullptr);
    EXPECT_EQ(boardsim_live_buffers(), 1u);
    const std::vector<uint8_t> frame = gsttest::referenceFrame(0, 0, 64, 48);
    EXPECT_TRUE(gsttest::holdsFrame(chroma, std::vector<uint8_t>(frame.begin() + 64 * 48, frame.end())));
    gst_buffer_unref(chroma);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

}  // namespace
