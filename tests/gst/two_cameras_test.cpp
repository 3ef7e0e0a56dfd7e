// Both cameras at once: two boardcamsrc elements stream from two threads,
// in two pipelines or in one, and every frame is its own camera's.
#include <gtest/gtest.h>

#include <gst/base/gstbasesink.h>

#include <algorithm>
#include <atomic>

#include "boardsim.h"
#include "gst_support.h"
#include "journal.h"

namespace {

struct Tally {
    int camera;
    std::atomic<int> frames{0};
    std::atomic<int> wrong{0};
};

// Under an emulator on a busy machine the sequence estimate may be one
// period off; the frame must still be this camera's own.
#ifdef BOARDCAM_TEST_EMULATED
constexpr int kSequenceSlack = 1;
#else
constexpr int kSequenceSlack = 0;
#endif

void tallyFrame(Tally *tally, GstBuffer *buffer) {
    const int64_t offset = int64_t(GST_BUFFER_OFFSET(buffer));
    bool own = false;
    for (int64_t index = std::max<int64_t>(0, offset - kSequenceSlack); index <= offset + kSequenceSlack && !own;
         ++index) {
        own = gsttest::holdsFrame(buffer, gsttest::referenceFrame(tally->camera, uint32_t(index), 160, 120));
    }
    if (!own) ++tally->wrong;
    ++tally->frames;
}

// Checks every frame an element hands on, at its source pad or in a fakesink.
void checkEveryFrame(GstElement *pipeline, const char *name, Tally *tally) {
    GstElement *element = gst_bin_get_by_name(GST_BIN(pipeline), name);
    ASSERT_NE(element, nullptr);
    if (GST_IS_BASE_SINK(element)) {
        g_signal_connect(element, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
                             tallyFrame(static_cast<Tally *>(data), buffer);
                         }),
                         tally);
    } else {
        GstPad *pad = gst_element_get_static_pad(element, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER,
                          +[](GstPad *, GstPadProbeInfo *info, gpointer data) {
                              tallyFrame(static_cast<Tally *>(data), GST_PAD_PROBE_INFO_BUFFER(info));
                              return GST_PAD_PROBE_OK;
                          },
                          tally, nullptr);
        gst_object_unref(pad);
    }
    gst_object_unref(element);
}

std::string sourceBranch(int camera, const char *tail) {
    return "boardcamsrc name=src" + std::to_string(camera) + " camera=" + std::to_string(camera) +
           " num-buffers=40 ! video/x-raw,width=160,height=120,framerate=30/1 ! " + tail;
}

class TwoCameras : public ::testing::Test {
protected:
    // Free-running sensors: a frame's offset is the sensor's frame number.
    void SetUp() override {
        gsttest::setUp();
        boardsim_set_pacing(true);
    }
};

TEST_F(TwoCameras, TwoPipelinesStreamAtTheSameTime) {
    Tally tallies[2];
    GstElement *pipelines[2];
    for (int camera = 0; camera < 2; ++camera) {
        tallies[camera].camera = camera;
        pipelines[camera] = gsttest::parsePipeline(
            sourceBranch(camera, "fakesink name=sink sync=false signal-handoffs=true"));
        checkEveryFrame(pipelines[camera], "sink", &tallies[camera]);
    }
    for (GstElement *pipeline : pipelines) gst_element_set_state(pipeline, GST_STATE_PLAYING);
    for (int camera = 0; camera < 2; ++camera) {
        GstMessage *done = gsttest::runUntilDone(pipelines[camera]);
        ASSERT_NE(done, nullptr);
        EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
        gst_message_unref(done);
    }
    for (GstElement *pipeline : pipelines) gsttest::dispose(pipeline);
    for (const Tally &tally : tallies) {
        EXPECT_EQ(tally.frames, 40) << "camera " << tally.camera;
        EXPECT_EQ(tally.wrong, 0) << "camera " << tally.camera;
    }
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(TwoCameras, SideBySideThroughCompositor) {
    GstElementFactory *compositor = gst_element_factory_find("compositor");
    if (compositor == nullptr) GTEST_SKIP() << "the compositor element is not installed";
    gst_object_unref(compositor);

    Tally tallies[2] = {};
    tallies[0].camera = 0;
    tallies[1].camera = 1;
    GstElement *pipeline = gsttest::parsePipeline(
        "compositor name=mix sink_1::xpos=160 ! video/x-raw,width=320,height=120 ! "
        "fakesink name=out sync=false signal-handoffs=true " +
        sourceBranch(0, "mix.sink_0 ") + sourceBranch(1, "mix.sink_1"));
    checkEveryFrame(pipeline, "src0", &tallies[0]);
    checkEveryFrame(pipeline, "src1", &tallies[1]);
    std::atomic<int> composed{0};
    gsttest::countBuffers(pipeline, "out", &composed);

    GstMessage *done = gsttest::runUntilDone(pipeline, 60);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
    gst_message_unref(done);
    gsttest::dispose(pipeline);
    for (const Tally &tally : tallies) {
        EXPECT_EQ(tally.frames, 40) << "camera " << tally.camera;
        EXPECT_EQ(tally.wrong, 0) << "camera " << tally.camera;
    }
    EXPECT_GT(composed, 0);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

}  // namespace
