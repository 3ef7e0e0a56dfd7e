// An MSE viewer's stream from access units: a description and an
// initialization segment before the first key frame and at each new
// configuration, each unit held until the next gives its duration, nothing
// before a key frame, and frames skipped on the way leaving no hole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <gst/gst.h>

extern "C" {
#include "mse/fmp4_live.h"
#include "mse/mse_stream.h"
}

namespace {

struct Message {
    mse_message kind;
    std::string bytes;
    bool key_frame;
};

void Collect(mse_message kind, GBytes *bytes, int key_frame, void *user) {
    gsize size = 0;
    const char *data = static_cast<const char *>(g_bytes_get_data(bytes, &size));
    static_cast<std::vector<Message> *>(user)->push_back({kind, std::string(data, size), key_frame != 0});
    g_bytes_unref(bytes);
}

uint32_t Be32(const std::string &bytes, size_t at) {
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
}

// A fragment's decode time (tfdt) and its sample's duration (trun), at the
// fixed offsets the writer puts them.
uint64_t DecodeTime(const std::string &fragment) {
    const size_t tfdt = fragment.find("tfdt");
    return (uint64_t(Be32(fragment, tfdt + 8)) << 32) | Be32(fragment, tfdt + 12);
}

uint32_t Duration(const std::string &fragment) { return Be32(fragment, fragment.find("trun") + 16); }

class MseStream : public ::testing::Test {
  protected:
    void SetUp() override {
        gst_init(nullptr, nullptr);
        mse_stream_init(&stream_);
    }
    void TearDown() override {
        mse_stream_clear(&stream_);
        for (GstCaps *caps : caps_) gst_caps_unref(caps);
    }

    // Caps of a `width`-wide picture whose configuration's level is `level`.
    GstCaps *Caps(int width, guint8 level) {
        const guint8 config[] = {1, 0x42, 0xc0, level, 0xff, 0xe1, 0, 4, 0x67, 0x42, 0xc0, level, 1, 0, 2, 0x68, 0xce};
        GstBuffer *codec_data = gst_buffer_new_memdup(config, sizeof config);
        GstCaps *caps = gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "avc", "alignment",
                                            G_TYPE_STRING, "au", "width", G_TYPE_INT, width, "height", G_TYPE_INT,
                                            width * 9 / 16, "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
        gst_buffer_unref(codec_data);
        caps_.push_back(caps);
        return caps;
    }

    void Push(GstClockTime pts_ms, bool key, GstCaps *caps) {
        const guint8 unit[] = {0, 0, 0, 2, key ? guint8(0x65) : guint8(0x41), 0x88};
        GstBuffer *buffer = gst_buffer_new_memdup(unit, sizeof unit);
        GST_BUFFER_PTS(buffer) = pts_ms * GST_MSECOND;
        if (!key) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        mse_stream_push(&stream_, buffer, caps, 1700000000000000 + gint64(pts_ms) * 1000, Collect, &out_);
        gst_buffer_unref(buffer);
    }

    std::vector<Message> Fragments() const {
        std::vector<Message> fragments;
        for (const Message &m : out_)
            if (m.kind == MSE_FRAGMENT) fragments.push_back(m);
        return fragments;
    }

    mse_stream stream_{};
    std::vector<GstCaps *> caps_;
    std::vector<Message> out_;
};

TEST_F(MseStream, StartsAtAKeyFrameWithItsConfigurationAndHoldsEachUnitForItsDuration) {
    GstCaps *main = Caps(1280, 0x1f);
    Push(1000, false, main);  // before any key frame: not playable
    Push(1033, true, main);
    ASSERT_EQ(out_.size(), 2u);  // the unit waits for the next to know its duration
    EXPECT_EQ(out_[0].kind, MSE_DESCRIPTION);
    EXPECT_NE(out_[0].bytes.find("\"codec\":\"avc1.42c01f\""), std::string::npos);
    EXPECT_NE(out_[0].bytes.find("\"width\":1280,\"height\":720"), std::string::npos);
    EXPECT_NE(out_[0].bytes.find("\"epoch_ms\":1700000001033"), std::string::npos);
    EXPECT_EQ(out_[1].kind, MSE_INIT);
    EXPECT_EQ(out_[1].bytes.substr(4, 4), "ftyp");
    Push(1066, false, main);
    Push(1100, false, main);
    const auto fragments = Fragments();
    ASSERT_EQ(fragments.size(), 2u);
    EXPECT_TRUE(fragments[0].key_frame);
    EXPECT_FALSE(fragments[1].key_frame);
    EXPECT_EQ(DecodeTime(fragments[0].bytes), 0u);
    EXPECT_EQ(Duration(fragments[0].bytes), 33u * 90);
    EXPECT_EQ(DecodeTime(fragments[1].bytes), 33u * 90);
    EXPECT_EQ(stream_.skipped, 1u);
}

TEST_F(MseStream, FramesSkippedOnTheWayLeaveNoHole) {
    GstCaps *main = Caps(1280, 0x1f);
    Push(0, true, main);
    Push(33, false, main);
    Push(1500, true, main);  // the frames between were left out for this key frame
    Push(1533, false, main);
    const auto fragments = Fragments();
    ASSERT_EQ(fragments.size(), 3u);
    EXPECT_EQ(DecodeTime(fragments[1].bytes) + Duration(fragments[1].bytes), DecodeTime(fragments[2].bytes));
    EXPECT_EQ(DecodeTime(fragments[2].bytes), 1500u * 90);
}

TEST_F(MseStream, ANewTierBringsANewInitializationSegmentAtItsKeyFrameOnTheSameTimeLine) {
    GstCaps *main = Caps(1280, 0x1f), *low = Caps(640, 0x16);
    Push(0, true, main);
    Push(33, false, main);
    Push(66, false, low);  // caps of the other tier, not at its key frame: waits
    Push(100, true, low);
    Push(166, false, low);
    std::vector<mse_message> kinds;
    for (const Message &m : out_) kinds.push_back(m.kind);
    const std::vector<mse_message> expected = {MSE_DESCRIPTION, MSE_INIT,     MSE_FRAGMENT,   MSE_FRAGMENT,
                                               MSE_DESCRIPTION, MSE_INIT,     MSE_FRAGMENT};
    EXPECT_EQ(kinds, expected);
    EXPECT_NE(out_[4].bytes.find("\"codec\":\"avc1.42c016\""), std::string::npos);
    EXPECT_NE(out_[4].bytes.find("\"width\":640"), std::string::npos);
    // The epoch stays the first's: the page's clock does not jump.
    EXPECT_NE(out_[4].bytes.find("\"epoch_ms\":1700000000000"), std::string::npos);
    // The main tier's last unit lasts until the low tier's first.
    EXPECT_EQ(Duration(out_[3].bytes), 67u * 90);
    EXPECT_EQ(DecodeTime(out_[6].bytes), 100u * 90);
    EXPECT_TRUE(out_[6].key_frame);
}

TEST_F(MseStream, UnitsBeforeTheTimeLinesZeroOrWithoutTimeAreLeftOut) {
    GstCaps *main = Caps(1280, 0x1f);
    Push(1000, true, main);
    Push(900, false, main);
    GstBuffer *untimed = gst_buffer_new_allocate(nullptr, 8, nullptr);
    GST_BUFFER_FLAG_SET(untimed, GST_BUFFER_FLAG_DELTA_UNIT);
    mse_stream_push(&stream_, untimed, main, 0, Collect, &out_);
    gst_buffer_unref(untimed);
    Push(1033, false, main);
    const auto fragments = Fragments();
    ASSERT_EQ(fragments.size(), 1u);
    EXPECT_EQ(Duration(fragments[0].bytes), 33u * 90);
}

TEST(Fmp4Live, RefusesAConfigurationTooShortOrAPictureOutOfRange) {
    const guint8 config[] = {1, 0x64, 0, 0x28, 0xff, 0xe0};
    EXPECT_EQ(fmp4_live_init_segment(1280, 720, config, 5), nullptr);
    EXPECT_EQ(fmp4_live_init_segment(0, 720, config, sizeof config), nullptr);
    EXPECT_EQ(fmp4_live_init_segment(70000, 720, config, sizeof config), nullptr);
    const guint8 not_version_1[] = {0, 0x64, 0, 0x28, 0xff, 0xe0};
    EXPECT_EQ(fmp4_live_init_segment(1280, 720, not_version_1, sizeof not_version_1), nullptr);
    GBytes *init = fmp4_live_init_segment(1280, 720, config, sizeof config);
    ASSERT_NE(init, nullptr);
    gchar *codec = fmp4_live_codec(config, sizeof config);
    EXPECT_STREQ(codec, "avc1.640028");
    g_free(codec);
    g_bytes_unref(init);
}

}  // namespace
