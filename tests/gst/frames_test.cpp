// What boardcamsrc pushes: the camera's frames, in the device buffers the
// library returned, stamped and counted.
#include <gst/check/gstharness.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include "boardsim.h"
#include "gst_support.h"
#include "journal.h"

namespace {

class Frames : public ::testing::Test {
protected:
    void SetUp() override { gsttest::setUp(); }
};

TEST_F(Frames, EachBufferIsTheDeviceBufferHoldingTheReferenceFrame) {
    // Free-running sensors: a frame's offset is the sensor's frame number.
    boardsim_set_pacing(true);
    GstHarness *h = gst_harness_new_parse(
        "boardcamsrc camera=1 ! capsfilter caps=video/x-raw,width=320,height=240");
    gst_harness_add_propose_allocation_meta(h, GST_VIDEO_META_API_TYPE, nullptr);
    gst_harness_play(h);
    std::vector<GstBuffer *> buffers;
    for (int i = 0; i < 5; ++i) {
        buffers.push_back(gst_harness_pull(h));
        ASSERT_NE(buffers.back(), nullptr);
    }
    const std::vector<BoardsimEvent> reads = testsupport::entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA);
    ASSERT_GE(reads.size(), buffers.size());

    for (size_t i = 0; i < buffers.size(); ++i) {
        GstBuffer *buffer = buffers[i];
        SCOPED_TRACE("buffer " + std::to_string(i));
        if (i > 0) {
            EXPECT_GT(GST_BUFFER_OFFSET(buffer), GST_BUFFER_OFFSET(buffers[i - 1]));
        } else {
            EXPECT_EQ(GST_BUFFER_OFFSET(buffer), 0u);
        }
        EXPECT_TRUE(gsttest::holdsFrame(
            buffer, gsttest::referenceFrame(1, uint32_t(GST_BUFFER_OFFSET(buffer)), 320, 240)));

        // No copy: one memory, whose data is the buffer the camera wrote.
        ASSERT_EQ(gst_buffer_n_memory(buffer), 1u);
        GstMapInfo map;
        ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(map.data), reads[i].ptr);
        gst_buffer_unmap(buffer, &map);

        GstVideoMeta *meta = gst_buffer_get_video_meta(buffer);
        ASSERT_NE(meta, nullptr);
        EXPECT_EQ(meta->format, GST_VIDEO_FORMAT_NV12);
        EXPECT_EQ(meta->n_planes, 2u);
        EXPECT_EQ(meta->offset[0], 0u);
        EXPECT_EQ(meta->offset[1], 320u * 240);
        EXPECT_EQ(meta->stride[0], 320);
        EXPECT_EQ(meta->stride[1], 320);
    }
    // Each buffer still holds its device buffer; the last unref releases it.
    EXPECT_GE(boardsim_live_buffers(), buffers.size());
    for (GstBuffer *buffer : buffers) gst_buffer_unref(buffer);
    gst_harness_teardown(h);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_PIMO_FREE).size(),
              testsupport::entriesOf(BOARDSIM_PIMO_MALLOC).size());
}

// A width that is not a multiple of 4 has packed rows that differ from the
// default NV12 layout, so a consumer that cannot read GstVideoMeta gets a
// copy in the layout it assumes; one that can gets the device buffer.
TEST_F(Frames, NarrowRowsAreRepackedOnlyForConsumersWithoutVideoMeta) {
    for (bool videoMeta : {false, true}) {
        SCOPED_TRACE(videoMeta ? "with GstVideoMeta" : "without GstVideoMeta");
        testsupport::resetBoard();
        GstHarness *h = gst_harness_new_parse(
        "boardcamsrc ! capsfilter caps=video/x-raw,width=322,height=240");
        if (videoMeta) gst_harness_add_propose_allocation_meta(h, GST_VIDEO_META_API_TYPE, nullptr);
        gst_harness_play(h);
        GstBuffer *buffer = gst_harness_pull(h);
        ASSERT_NE(buffer, nullptr);
        const std::vector<uint8_t> reference = gsttest::referenceFrame(0, 0, 322, 240);

        GstVideoInfo info;
        gst_video_info_set_format(&info, GST_VIDEO_FORMAT_NV12, 322, 240);
        GstVideoFrame frame;
        ASSERT_TRUE(gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ));
        for (int row = 0; row < 240; ++row) {
            const uint8_t *luma = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)) +
                                  row * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
            ASSERT_EQ(0, memcmp(luma, reference.data() + row * 322, 322)) << "luma row " << row;
        }
        for (int row = 0; row < 120; ++row) {
            const uint8_t *chroma = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 1)) +
                                    row * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 1);
            ASSERT_EQ(0, memcmp(chroma, reference.data() + 322 * 240 + row * 322, 322)) << "chroma row " << row;
        }
        gst_video_frame_unmap(&frame);

        const BoardsimEvent read = testsupport::entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).at(0);
        GstMapInfo map;
        ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(map.data) == read.ptr, videoMeta);
        gst_buffer_unmap(buffer, &map);
        gst_buffer_unref(buffer);
        gst_harness_teardown(h);
        EXPECT_EQ(boardsim_live_buffers(), 0u);
    }
}

TEST_F(Frames, TimestampsAreRunningTimeAtCaptureAndAdvanceByAboutAPeriod) {
    boardsim_set_pacing(true);
    GstHarness *h = gst_harness_new_parse(
        "boardcamsrc ! capsfilter caps=video/x-raw,width=64,height=48,framerate=50/1");
    gst_harness_use_systemclock(h);
    gst_harness_play(h);
    const GstClockTime period = GST_SECOND / 50;
    GstClockTime previous = GST_CLOCK_TIME_NONE;
    for (guint64 i = 0; i < 6; ++i) {
        GstBuffer *buffer = gst_harness_pull(h);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(GST_BUFFER_OFFSET(buffer), i);
        EXPECT_EQ(GST_BUFFER_OFFSET_END(buffer), i + 1);
        EXPECT_EQ(GST_BUFFER_DURATION(buffer), period);
        ASSERT_TRUE(GST_BUFFER_PTS_IS_VALID(buffer));
        if (GST_CLOCK_TIME_IS_VALID(previous)) {
            // The camera delivers one frame per period; the stamp is taken
            // when it arrives, so the spacing is a period give or take jitter.
            EXPECT_GT(GST_BUFFER_PTS(buffer), previous + period / 2);
        }
        previous = GST_BUFFER_PTS(buffer);
        gst_buffer_unref(buffer);
    }
    // Captured frames are in the past of the element's running time.
    GstElement *src = gst_harness_find_element(h, "boardcamsrc");
    GstClock *clock = gst_element_get_clock(src);
    ASSERT_NE(clock, nullptr);
    EXPECT_LE(previous, gst_clock_get_time(clock) - gst_element_get_base_time(src));
    gst_object_unref(clock);

    GstQuery *latency = gst_query_new_latency();
    ASSERT_TRUE(gst_element_query(src, latency));
    gboolean live = FALSE;
    GstClockTime min = 0, max = 0;
    gst_query_parse_latency(latency, &live, &min, &max);
    EXPECT_TRUE(live);
    EXPECT_EQ(min, period);
    EXPECT_EQ(max, period);
    gst_query_unref(latency);
    gst_object_unref(src);
    gst_harness_teardown(h);
}

TEST_F(Frames, NumBuffersEndsTheStreamWithEos) {
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc num-buffers=7 ! video/x-raw,width=64,height=48 ! fakesink name=sink signal-handoffs=true");
    std::atomic<int> count{0};
    gsttest::countBuffers(pipeline, "sink", &count);
    GstMessage *done = gsttest::runUntilDone(pipeline);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_EOS) << gsttest::describeError(done);
    gst_message_unref(done);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).size(), 7u);
    gsttest::dispose(pipeline);
    EXPECT_EQ(testsupport::entriesOf(BOARDSIM_CLOSE_CAMERA).size(), 1u);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

// What the sink saw of each buffer after a stall.
struct Seen {
    guint64 offset;
    bool discont;
    bool isReferenceFrame;
    GstClockTime unixTime;  // from the timestamp/x-unix reference meta
};

// A reader that falls behind misses frames; the element counts them from the
// frame metadata, says so as QoS, and its offsets step over them.
TEST_F(Frames, AStalledReaderCountsDroppedFramesAndPostsQos) {
    boardsim_set_pacing(true);
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc name=src num-buffers=6 ! video/x-raw,width=64,height=48,framerate=20/1 ! "
        "fakesink name=sink signal-handoffs=true sync=false");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    std::vector<Seen> seen;
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
                         static GstCaps *unixCaps = gst_caps_new_empty_simple("timestamp/x-unix");
                         GstReferenceTimestampMeta *meta = gst_buffer_get_reference_timestamp_meta(buffer, unixCaps);
                         static_cast<std::vector<Seen> *>(data)->push_back(
                             {GST_BUFFER_OFFSET(buffer), GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT),
                              bool(gsttest::holdsFrame(buffer, gsttest::referenceFrame(
                                                                   0, uint32_t(GST_BUFFER_OFFSET(buffer)), 64, 48))),
                              meta != nullptr ? meta->timestamp : GST_CLOCK_TIME_NONE});
                         // Once, on the third frame: six and a half periods, so
                         // that the next read lands well inside a period.
                         if (static_cast<std::vector<Seen> *>(data)->size() == 3) g_usleep(325000);
                     }),
                     &seen);
    // Keep the QoS messages that arrive on the way to EOS.
    GstBus *bus = gst_element_get_bus(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstMessage *qos = nullptr;
    for (;;) {
        GstMessage *message = gst_bus_timed_pop_filtered(
            bus, 30 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_QOS));
        ASSERT_NE(message, nullptr) << "no EOS";
        const GstMessageType type = GST_MESSAGE_TYPE(message);
        if (type == GST_MESSAGE_QOS && qos == nullptr) {
            qos = message;
            continue;
        }
        EXPECT_NE(type, GST_MESSAGE_ERROR) << gsttest::describeError(message);
        gst_message_unref(message);
        if (type != GST_MESSAGE_QOS) break;
    }

    GstElement *src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    guint64 dropped = 0;
    g_object_get(src, "dropped-frames", &dropped, nullptr);
    EXPECT_GE(dropped, 4u);

    ASSERT_NE(qos, nullptr) << "no QoS message";
    EXPECT_EQ(GST_MESSAGE_SRC(qos), GST_OBJECT(src));
    GstFormat format;
    guint64 processed = 0, qosDropped = 0;
    gst_message_parse_qos_stats(qos, &format, &processed, &qosDropped);
    EXPECT_EQ(format, GST_FORMAT_BUFFERS);
    EXPECT_EQ(processed, 3u);
    EXPECT_GE(qosDropped, 4u);
    EXPECT_LE(qosDropped, dropped);
    gst_message_unref(qos);

    // Offsets are the camera's frame numbers: a step over the missed frames,
    // and the buffer after it marked DISCONT.
    ASSERT_EQ(seen.size(), 6u);
    const GstClockTime now = GstClockTime(g_get_real_time()) * GST_USECOND;
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE("buffer " + std::to_string(i));
        EXPECT_TRUE(seen[i].isReferenceFrame) << "offset " << seen[i].offset;
        ASSERT_NE(seen[i].unixTime, GST_CLOCK_TIME_NONE) << "no timestamp/x-unix reference timestamp";
        EXPECT_LT(now - seen[i].unixTime, 10 * GST_SECOND);
        if (i == 0) continue;
        EXPECT_GT(seen[i].unixTime, seen[i - 1].unixTime);
        const guint64 step = seen[i].offset - seen[i - 1].offset;
        if (i == 3) {
            EXPECT_GE(step, 6u) << "six and a half periods stalled";
            EXPECT_EQ(step - 1, dropped);
            EXPECT_TRUE(seen[i].discont);
        } else {
            EXPECT_EQ(step, 1u);
            EXPECT_FALSE(seen[i].discont);
        }
    }
    gst_object_unref(bus);
    gst_object_unref(src);
    gst_object_unref(sink);
    gsttest::dispose(pipeline);
}

}  // namespace
