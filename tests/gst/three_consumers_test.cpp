// Three users of the cameras in one process: a boardcamsrc pipeline on
// camera 0, then on camera 1 the capture tool's own readers and encoders, and
// after them a plain C thread through libboardcam-mt. Every frame is its
// camera's, and no two library calls ever overlap.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

extern "C" {
#include "encoder_pool.h"
#include "frame_queue.h"
#include "options.h"
#include "reader.h"
}

#include "boardcam-mt.h"
#include "boardsim.h"
#include "gst_support.h"
#include "files.h"
#include "journal.h"

namespace {

class ThreeConsumers : public ::testing::Test {
protected:
    void SetUp() override {
        gsttest::setUp();
        boardsim_set_pacing(true);
    }
};

// Camera 1 through the capture tool's readers and encoders, writing NV12
// files into `dir`, for `seconds`; returns the frames written.
long captureToolReaders(const std::string &dir, double seconds) {
    const char *argv[] = {"boardcam-capture", "--camera", "1",   "--fps",   "60", "--size", "64x48",
                          "--format",         "nv12",     "--out", dir.c_str(), "--jobs", "1"};
    capture_options opts;
    char error[256];
    EXPECT_EQ(parse_options(int(sizeof argv / sizeof *argv), const_cast<char **>(argv), &opts, error, sizeof error),
              PARSE_OK)
        << error;
    opts.frames = 0;
    opts.duration = seconds;
    frame_writer_config config = {&opts, {nullptr, nullptr}};
    frame_queue queue;
    encoder_pool pool;
    EXPECT_EQ(frame_queue_init(&queue, size_t(queue_length(opts.jobs))), 0);
    EXPECT_EQ(encoder_pool_start(&pool, &queue, &config, opts.jobs), 0);
    boardcam_mt_camera *cameras[2] = {nullptr, nullptr};
    EXPECT_EQ(boardcam_mt_open(1, 60, 64, 48, &cameras[0]), 0);
    timestamps_file timestamps[2] = {{nullptr, -1}, {nullptr, -1}};
    reader_group readers;
    readers_init(&readers, &opts, &queue, &pool, timestamps);
    EXPECT_EQ(reader_start(&readers, 0, cameras[0]), 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    readers_stop(&readers);
    readers_join(&readers);
    frame_queue_close(&queue);
    encoder_pool_join(&pool);
    frame_queue_destroy(&queue);
    EXPECT_EQ(readers.failed, 0);
    EXPECT_EQ(pool.failures, 0);
    EXPECT_EQ(boardcam_mt_close(cameras[0]), 0);
    return pool.written[0];
}

TEST_F(ThreeConsumers, TheElementTheCaptureToolAndACThreadShareTheProcess) {
    GstElement *pipeline = gsttest::parsePipeline(
        "boardcamsrc camera=0 ! video/x-raw,width=64,height=48,framerate=30/1 ! "
        "fakesink name=sink sync=false signal-handoffs=true");
    gsttest::FrameTally element;
    element.width = 64;
    element.height = 48;
    gsttest::checkFrames(pipeline, "sink", &element);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    {
        testsupport::ScratchDir scratch("boardcam-three");
        ASSERT_FALSE(scratch.path().empty());
        const long written = captureToolReaders(scratch.path(), 1.0);
        EXPECT_GE(written, 30) << "the capture readers' 60 fps camera gets at least half its frames";
    }

    // A C thread of its own on camera 1, now that the tool has closed it.
    int cThreadFrames = 0, cThreadWrong = 0;
    std::thread cThread([&] {
        boardcam_mt_camera *camera = nullptr;
        ASSERT_EQ(boardcam_mt_open(1, 60, 64, 48, &camera), 0);
        std::vector<uint8_t> expected(64 * 48 * 3 / 2);
        uint32_t first = 0;  // the sensor's frame number at this opening's first frame
        for (int i = 0; i < 30; ++i) {
            boardcam_mt_frame frame;
            ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);
            if (i == 0) first = testsupport::entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).back().frame;
            boardsim_render_frame(1, first + uint32_t(frame.sequence), 64, 48, expected.data(), expected.size());
            if (std::memcmp(frame.data, expected.data(), expected.size()) != 0) ++cThreadWrong;
            ++cThreadFrames;
            boardcam_mt_release_frame(frame.data);
        }
        EXPECT_EQ(boardcam_mt_close(camera), 0);
    });
    cThread.join();
    gsttest::dispose(pipeline);

    EXPECT_EQ(cThreadFrames, 30);
    EXPECT_EQ(cThreadWrong, 0);
    EXPECT_GE(element.frames, 30) << "the element's 30 fps camera over about 1.5 s";
    EXPECT_EQ(element.wrong, 0);
    EXPECT_EQ(testsupport::firstOverlap(), "") << "library calls overlapped";
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

}  // namespace
