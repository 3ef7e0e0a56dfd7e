#include <gtest/gtest.h>

#include "gst_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "boardsim.h"
#include "journal.h"

namespace gsttest {

void setUp() {
    // Only the plugin under test and the system plugins the tests use, never
    // a boardcam plugin installed on the machine. The registry is scanned in
    // this process: no helper to run under an emulator or a sanitizer.
    setenv("GST_PLUGIN_PATH", BOARDCAM_GST_PLUGIN_DIR, 1);
    setenv("GST_PLUGIN_SYSTEM_PATH", BOARDCAM_GST_SYSTEM_PLUGINS, 1);
    setenv("GST_REGISTRY", BOARDCAM_GST_REGISTRY, 1);
    setenv("GST_REGISTRY_FORK", "no", 1);
    gst_init(nullptr, nullptr);
    testsupport::resetBoard();
}

std::vector<uint8_t> referenceFrame(int camera, uint32_t index, int width, int height) {
    std::vector<uint8_t> frame(size_t(width) * height * 3 / 2);
    EXPECT_EQ(boardsim_render_frame(camera, index, width, height, frame.data(), frame.size()),
              frame.size());
    return frame;
}

::testing::AssertionResult holdsFrame(GstBuffer *buffer, const std::vector<uint8_t> &expected) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return ::testing::AssertionFailure() << "unmappable";
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    if (map.size != expected.size()) {
        result = ::testing::AssertionFailure() << map.size << " bytes, expected " << expected.size();
    } else if (std::memcmp(map.data, expected.data(), map.size) != 0) {
        size_t at = 0;
        while (map.data[at] == expected[at]) ++at;
        result = ::testing::AssertionFailure() << "byte " << at << " is " << int(map.data[at])
                                               << ", expected " << int(expected[at]);
    }
    gst_buffer_unmap(buffer, &map);
    return result;
}

GstElement *parsePipeline(const std::string &description) {
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
    EXPECT_EQ(error, nullptr) << description << ": " << (error ? error->message : "");
    if (error != nullptr) g_error_free(error);
    return pipeline;
}

void countBuffers(GstElement *pipeline, const char *sinkName, std::atomic<int> *count) {
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), sinkName);
    ASSERT_NE(sink, nullptr) << sinkName;
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *, GstPad *, gpointer data) {
                         ++*static_cast<std::atomic<int> *>(data);
                     }),
                     count);
    gst_object_unref(sink);
}

// An emulator's clock is too coarse for the sequence estimate: a read the
// emulator holds up past a frame boundary is labelled with the frame before,
// and the estimate keeps that one-period offset. ThreadSanitizer's slowdown,
// beside other tests, holds reads up past whole periods the same way. There
// a frame may be one period off its offset, but must still be its own
// camera's; natively and under the other checkers, exact.
#if defined(BOARDCAM_TEST_EMULATED) || defined(__SANITIZE_THREAD__)
constexpr int64_t kSequenceSlack = 1;
#else
constexpr int64_t kSequenceSlack = 0;
#endif

void checkFrames(GstElement *pipeline, const char *sinkName, FrameTally *tally) {
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), sinkName);
    ASSERT_NE(sink, nullptr) << sinkName;
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
                         auto *t = static_cast<FrameTally *>(data);
                         const int64_t offset = int64_t(GST_BUFFER_OFFSET(buffer));
                         bool own = false;
                         for (int64_t index = std::max<int64_t>(0, offset - kSequenceSlack);
                              index <= offset + kSequenceSlack && !own; ++index) {
                             own = holdsFrame(buffer, referenceFrame(t->camera, uint32_t(index), t->width, t->height));
                         }
                         if (!own) ++t->wrong;
                         ++t->frames;
                     }),
                     tally);
    gst_object_unref(sink);
}

GstMessage *runUntilDone(GstElement *pipeline, int seconds) {
    GstBus *bus = gst_element_get_bus(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstMessage *message = gst_bus_timed_pop_filtered(
        bus, GstClockTime(seconds) * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    gst_object_unref(bus);
    return message;
}

std::string describeError(GstMessage *error) {
    if (error == nullptr || GST_MESSAGE_TYPE(error) != GST_MESSAGE_ERROR) return "(no error)";
    GError *gerror = nullptr;
    gchar *debug = nullptr;
    gst_message_parse_error(error, &gerror, &debug);
    std::string text = std::string(gerror->message) + " | " + (debug ? debug : "");
    g_error_free(gerror);
    g_free(debug);
    return text;
}

void dispose(GstElement *pipeline) {
    if (pipeline == nullptr) return;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

}  // namespace gsttest
