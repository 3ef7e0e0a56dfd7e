// A camera's two tiers through the real capture (the simulator, boardcamsrc,
// x264): a sink moves to another tier only at that tier's key frame, which
// carries its parameter sets before its first slice; the low tier runs at the
// rate its slowest viewer's link takes; and viewers' key-frame requests are
// coalesced by the main encoder's governor.
#include <gtest/gtest.h>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <string>
#include <vector>

#include "gst_support.h"

extern "C" {
#include "feed/feed.h"
}

namespace {

constexpr int kWidth = 1280, kHeight = 720, kFps = 30;

// One access unit as a sink got it.
struct Unit {
    int width = 0;
    bool key = false;
    std::vector<int> nals;  // NAL unit types in order
};

std::vector<int> NalTypes(GstBuffer *buffer) {
    std::vector<int> types;
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return types;
    for (gsize i = 0; i + 3 < map.size; ++i) {
        if (map.data[i] == 0 && map.data[i + 1] == 0 && map.data[i + 2] == 1) {
            types.push_back(map.data[i + 3] & 0x1f);
            i += 3;
        }
    }
    gst_buffer_unmap(buffer, &map);
    return types;
}

class Tiers : public ::testing::Test {
protected:
    void SetUp() override {
        gsttest::setUp();
        struct feed_config config{};
        config.camera = 0;
        config.width = kWidth;
        config.height = kHeight;
        config.fps = kFps;
        config.h264_encoder = "x264enc tune=zerolatency speed-preset=ultrafast bitrate=2000 key-int-max=60";
        config.low_h264_encoder = "x264enc tune=zerolatency speed-preset=ultrafast bitrate=600 key-int-max=30";
        config.jpeg_quality = 80;
        config.linger_s = 1;
        GError *error = nullptr;
        feed_ = feed_new(&config, &error);
        ASSERT_NE(feed_, nullptr) << (error != nullptr ? error->message : "");
        ASSERT_TRUE(feed_has_low_tier(feed_));
        // A viewer's own pipeline: what the feed pushes comes out of the appsink.
        viewer_ = gst_parse_launch(
            "appsrc name=src is-live=true format=time do-timestamp=false max-buffers=0 max-bytes=0 ! "
            "appsink name=sink sync=false max-buffers=0",
            nullptr);
        ASSERT_NE(viewer_, nullptr);
        src_ = GST_APP_SRC(gst_bin_get_by_name(GST_BIN(viewer_), "src"));
        sink_ = GST_APP_SINK(gst_bin_get_by_name(GST_BIN(viewer_), "sink"));
        gst_element_set_state(viewer_, GST_STATE_PLAYING);
        feed_add_h264_sink(feed_, src_);
        feed_acquire(feed_, FEED_H264);
    }

    void TearDown() override {
        if (feed_ != nullptr) {
            feed_remove_h264_sink(feed_, src_);
            feed_release(feed_, FEED_H264);
            feed_free(feed_);
        }
        if (viewer_ != nullptr) {
            gst_element_set_state(viewer_, GST_STATE_NULL);
            gst_object_unref(src_);
            gst_object_unref(sink_);
            gst_object_unref(viewer_);
        }
    }

    // The sink's next access unit, running the main loop meanwhile; a unit
    // with width 0 when none came in `seconds`.
    Unit Next(double seconds = 10) {
        const gint64 deadline = g_get_monotonic_time() + gint64(seconds * G_USEC_PER_SEC);
        while (g_get_monotonic_time() < deadline) {
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            GstSample *sample = gst_app_sink_try_pull_sample(sink_, 20 * GST_MSECOND);
            if (sample == nullptr) continue;
            Unit unit;
            const GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
            gst_structure_get_int(s, "width", &unit.width);
            GstBuffer *buffer = gst_sample_get_buffer(sample);
            unit.key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
            unit.nals = NalTypes(buffer);
            gst_sample_unref(sample);
            return unit;
        }
        return Unit{};
    }

    // Reads units until one of `width` comes; returns it, and the count of
    // units of other widths read before it in `before`.
    Unit FirstOf(int width, int *before, int limit = 300) {
        *before = 0;
        for (int i = 0; i < limit; ++i) {
            Unit unit = Next();
            if (unit.width == 0) break;
            if (unit.width == width) return unit;
            ++*before;
        }
        return Unit{};
    }

    struct feed *feed_ = nullptr;
    GstElement *viewer_ = nullptr;
    GstAppSrc *src_ = nullptr;
    GstAppSink *sink_ = nullptr;
};

::testing::AssertionResult StartsWithParameterSets(const Unit &unit) {
    bool sps = false, pps = false;
    for (int type : unit.nals) {
        if (type == 7) sps = true;
        if (type == 8) pps = true;
        if (type == 5 || type == 1) {
            if (sps && pps && type == 5) return ::testing::AssertionSuccess();
            return ::testing::AssertionFailure() << "a slice of type " << type << " before SPS and PPS";
        }
    }
    return ::testing::AssertionFailure() << "no slice";
}

TEST_F(Tiers, ASinkMovesOnlyAtTheKeyFrameOfTheTierItGoesTo) {
    // Main first, until it is well under way (past its first key frame).
    for (int i = 0; i < 20; ++i) ASSERT_EQ(Next().width, kWidth) << "unit " << i;

    ASSERT_EQ(feed_switch_h264_sink(feed_, src_, FEED_TIER_LOW), 0);
    int before = 0;
    const Unit low = FirstOf(640, &before);
    ASSERT_EQ(low.width, 640) << "the low tier is 640x360 for a 16:9 camera";
    EXPECT_LE(before, 2) << "going down, the main stream stops at once (but for what was on its way)";
    EXPECT_TRUE(low.key);
    EXPECT_TRUE(StartsWithParameterSets(low));
    // Once on the low tier, nothing of the main tier comes.
    for (int i = 0; i < 45; ++i) ASSERT_EQ(Next().width, 640) << "unit " << i << " after the switch";
    int switching_to = 0;
    EXPECT_EQ(feed_sink_tier(feed_, src_, &switching_to), FEED_TIER_LOW);
    EXPECT_EQ(switching_to, -1);

    // Up again at the main encoder's own next key frame (every 2 s here),
    // the low tier feeding the sink until then.
    ASSERT_EQ(feed_switch_h264_sink(feed_, src_, FEED_TIER_MAIN), 0);
    const Unit main = FirstOf(kWidth, &before);
    ASSERT_EQ(main.width, kWidth);
    EXPECT_TRUE(main.key);
    EXPECT_TRUE(StartsWithParameterSets(main));
    EXPECT_LE(before, 31) << "no more than a main group of pictures of low units (15 fps) in between";
    for (int i = 0; i < 30; ++i) ASSERT_EQ(Next().width, kWidth) << "unit " << i << " back on main";

    struct feed_stats stats{};
    feed_stats(feed_, &stats);
    EXPECT_EQ(stats.tier_switches, 2u);
    EXPECT_TRUE(stats.low_running) << "the low tier lingers after its last viewer";
    feed_stats_clear(&stats);
}

TEST_F(Tiers, TheLowTierRunsAtItsSlowestViewersRate) {
    ASSERT_EQ(Next().width, kWidth);
    ASSERT_EQ(feed_switch_h264_sink(feed_, src_, FEED_TIER_LOW), 0);
    feed_set_low_tier_wish(feed_, src_, 800);
    struct feed_stats stats{};
    feed_stats(feed_, &stats);
    EXPECT_EQ(stats.low_kbps, 800);
    EXPECT_EQ(stats.low_fps, 15);
    feed_stats_clear(&stats);

    // Below 300 kbit/s the frame rate halves: about 7 units a second reach
    // the sink.
    feed_set_low_tier_wish(feed_, src_, 200);
    feed_stats(feed_, &stats);
    EXPECT_EQ(stats.low_kbps, 200);
    EXPECT_EQ(stats.low_fps, 7);
    feed_stats_clear(&stats);
    int before = 0;
    ASSERT_EQ(FirstOf(640, &before).width, 640);
    for (int i = 0; i < 10; ++i) Next();  // past the change of rate
    const gint64 start = g_get_monotonic_time();
    int units = 0;
    while (g_get_monotonic_time() - start < 3 * G_USEC_PER_SEC && Next(5).width == 640) ++units;
    const double seconds = double(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
    EXPECT_LE(units / seconds, 9.0) << units << " units in " << seconds << " s";
    EXPECT_GE(units / seconds, 4.0) << units << " units in " << seconds << " s";
}

TEST_F(Tiers, ViewersKeyFrameRequestsAreCoalesced) {
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Next().width, kWidth);
    struct feed_stats before{};
    feed_stats(feed_, &before);
    // A storm of PLIs: twenty in half a second.
    for (int i = 0; i < 20; ++i) {
        feed_request_sink_key_frame(feed_, src_, 0);
        g_usleep(25000);
    }
    const gint64 start = g_get_monotonic_time();
    int keys = 0;
    while (g_get_monotonic_time() - start < 3 * G_USEC_PER_SEC) {
        const Unit unit = Next();
        ASSERT_EQ(unit.width, kWidth);
        if (unit.key) ++keys;
    }
    struct feed_stats after{};
    feed_stats(feed_, &after);
    EXPECT_EQ(after.key_frames_asked - before.key_frames_asked, 20u);
    EXPECT_LE(after.key_frames_made - before.key_frames_made, 2u);
    EXPECT_GE(after.key_frames_made - before.key_frames_made, 1u);
    // In about 3.5 s: at most two requested, and the encoder's own every 2 s.
    EXPECT_LE(keys, 5);
    feed_stats_clear(&before);
    feed_stats_clear(&after);
}

}  // namespace
