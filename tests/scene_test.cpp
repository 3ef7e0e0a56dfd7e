// The simulated scene: reproducible to the byte, different from frame to
// frame and from camera to camera, and what the sensor delivers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "boardsim.h"
#include "cammedia.h"
#include "journal.h"

namespace {

std::vector<uint8_t> render(int camera, uint32_t index, int width, int height) {
    std::vector<uint8_t> frame(size_t(width) * size_t(height) * 3 / 2);
    EXPECT_EQ(boardsim_render_frame(camera, index, width, height, frame.data(), frame.size()), frame.size());
    return frame;
}

size_t differingBytes(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return n;
}

class Scene : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::resetBoard();
        ASSERT_EQ(boardsim_set_pattern(BOARDSIM_PATTERN_SCENE), 0);
    }
};

TEST_F(Scene, EveryFrameIsReproducibleToTheByte) {
    for (int camera = 0; camera < 2; ++camera) {
        for (uint32_t index : {0u, 1u, 77u, 100000u}) {
            EXPECT_EQ(render(camera, index, 320, 240), render(camera, index, 320, 240))
                << "camera " << camera << " frame " << index;
        }
    }
    // A picture built anew (another size in between) is the same picture.
    const auto first = render(0, 5, 320, 240);
    render(0, 5, 640, 480);
    EXPECT_EQ(render(0, 5, 320, 240), first);
}

TEST_F(Scene, ConsecutiveFramesAndTheTwoCamerasDiffer) {
    const auto a = render(0, 10, 320, 240), b = render(0, 11, 320, 240), c = render(1, 10, 320, 240);
    // Noise changes most samples; moving objects change whole regions.
    EXPECT_GT(differingBytes(a, b), a.size() / 2);
    EXPECT_GT(differingBytes(a, c), a.size() / 2);
    // Not noise alone: the background has structure, so a frame is far
    // from its own mean everywhere.
    long sum = 0;
    for (size_t i = 0; i < 320 * 240; ++i) sum += a[i];
    const double mean = double(sum) / (320 * 240);
    double variance = 0;
    for (size_t i = 0; i < 320 * 240; ++i) variance += (a[i] - mean) * (a[i] - mean);
    EXPECT_GT(variance / (320 * 240), 400.0) << "a luma spread of at least 20 levels";
}

TEST_F(Scene, TheSensorDeliversTheRenderedFrameAndBarsStayTheDefault) {
    int32_t fps = 30, mode = 1;
    FrameResolution resolution = {160, 120};
    ASSERT_NE(OpenCamera(1), 0);
    ASSERT_NE(SetCameraProperty(1, PROP_FPS, &fps), 0);
    ASSERT_NE(SetCameraProperty(1, PROP_RESOLUTION, &resolution), 0);
    ASSERT_NE(SetCameraProperty(1, PROP_MODE, &mode), 0);
    for (uint32_t i = 0; i < 3; ++i) {
        std::vector<uint8_t> frame(160 * 120 * 3 / 2);
        uint32_t size = uint32_t(frame.size());
        ASSERT_NE(ReadFrameFromCamera(1, frame.data(), &size), 0);
        EXPECT_EQ(frame, render(1, i, 160, 120)) << "frame " << i;
    }
    boardsim_reset();
    EXPECT_EQ(boardsim_pattern(), BOARDSIM_PATTERN_BARS);
    EXPECT_EQ(boardsim_set_pattern(7), -1);
    const auto bars = render(1, 0, 160, 120);
    ASSERT_EQ(boardsim_set_pattern(BOARDSIM_PATTERN_SCENE), 0);
    EXPECT_NE(render(1, 0, 160, 120), bars);
}

}  // namespace
