// GStreamer in the plugin's tests: the build tree's plugin, a fixed set of
// system plugins, and helpers to run pipelines and compare frames.
#ifndef BOARDCAM_TEST_GST_SUPPORT_H
#define BOARDCAM_TEST_GST_SUPPORT_H

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace gsttest {

// Points GStreamer at the plugin under test, initialises it and puts the
// simulated board back to a known start with pacing off.
void setUp();

// The reference frame `index` of a camera, as the simulator renders it.
std::vector<uint8_t> referenceFrame(int camera, uint32_t index, int width, int height);

// True when `buffer` holds exactly `expected`; otherwise describes the first difference.
::testing::AssertionResult holdsFrame(GstBuffer *buffer, const std::vector<uint8_t> &expected);

// A pipeline from gst-launch syntax; fails the test when it does not parse.
GstElement *parsePipeline(const std::string &description);

// Counts the buffers that reach the fakesink `sinkName` of `pipeline`
// (which must have signal-handoffs=true).
void countBuffers(GstElement *pipeline, const char *sinkName, std::atomic<int> *count);

// What a sink saw: its frames, and how many were not the reference frame of
// their camera at their offset (the sensor's frame number).
struct FrameTally {
    int camera = 0, width = 0, height = 0;
    std::atomic<int> frames{0};
    std::atomic<int> wrong{0};
};

// Checks every frame reaching the fakesink `sinkName` of `pipeline` (which
// must have signal-handoffs=true) into `tally`.
void checkFrames(GstElement *pipeline, const char *sinkName, FrameTally *tally);

// Plays `pipeline` until EOS or an error, at most `seconds`, and returns the
// message that ended it (unref it), or nullptr on time-out.
GstMessage *runUntilDone(GstElement *pipeline, int seconds = 30);

// The error text and debug detail of an error message, on one line.
std::string describeError(GstMessage *error);

// Stops and drops a pipeline.
void dispose(GstElement *pipeline);

}  // namespace gsttest

#endif
