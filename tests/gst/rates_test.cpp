// Two pipelines at very different rates in one process: the fast camera keeps
// its rate beside the slow one, and both stop promptly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "boardsim.h"
#include "gst_support.h"
#include "journal.h"

namespace {

using Clock = std::chrono::steady_clock;

class Rates : public ::testing::Test {
protected:
    void SetUp() override {
        gsttest::setUp();
        boardsim_set_pacing(true);
    }
};

GstElement *pipelineAt(int camera, int fps) {
    return gsttest::parsePipeline("boardcamsrc camera=" + std::to_string(camera) +
                                  " ! video/x-raw,width=64,height=48,framerate=" + std::to_string(fps) +
                                  "/1 ! fakesink name=sink sync=false signal-handoffs=true");
}

// Sets a pipeline to NULL and returns how long that took.
std::chrono::milliseconds stop(GstElement *pipeline) {
    const auto start = Clock::now();
    gst_element_set_state(pipeline, GST_STATE_NULL);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    gst_object_unref(pipeline);
    return took;
}

TEST_F(Rates, ASixtyFpsCameraBesideAOneFpsCameraKeepsItsRateAndBothStopPromptly) {
    GstElement *slow = pipelineAt(0, 1), *fast = pipelineAt(1, 60);
    std::atomic<int> slowFrames{0}, fastFrames{0};
    gsttest::countBuffers(slow, "sink", &slowFrames);
    gsttest::countBuffers(fast, "sink", &fastFrames);
    gst_element_set_state(slow, GST_STATE_PLAYING);
    gst_element_set_state(fast, GST_STATE_PLAYING);
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    const int fastSeen = fastFrames, slowSeen = slowFrames;

    // Each waits for its next frame when asked to stop: the slow one up to a
    // second away. Starvation or a wait inside a lock shows as seconds here.
    const auto fastStop = stop(fast);
    const auto slowStop = stop(slow);
    EXPECT_GE(fastSeen, 60) << "the 60 fps camera gets at least half its frames";
    EXPECT_GE(slowSeen, 2);
    EXPECT_LE(slowSeen, 4);
    EXPECT_LT(fastStop.count(), 500);
    EXPECT_LT(slowStop.count(), 500);
    EXPECT_EQ(testsupport::firstOverlap(), "");
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

}  // namespace
