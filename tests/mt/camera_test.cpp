// libboardcam-mt's contract with one camera at a time: ownership, the
// flushing switch, frame metadata, failures and the release of every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "boardcam-mt.h"
#include "boardsim.h"
#include "journal.h"

using testsupport::entriesOf;
using testsupport::mediaCalls;

namespace {

using Clock = std::chrono::steady_clock;

class MtCamera : public ::testing::Test {
protected:
    void SetUp() override { testsupport::resetBoard(); }
    void TearDown() override { EXPECT_EQ(boardsim_live_buffers(), 0u); }
};

std::vector<uint8_t> reference(int camera, uint32_t index, int width, int height) {
    std::vector<uint8_t> frame(size_t(width) * size_t(height) * 3 / 2);
    boardsim_render_frame(camera, index, width, height, frame.data(), frame.size());
    return frame;
}

bool holds(const boardcam_mt_frame &frame, const std::vector<uint8_t> &expected) {
    return size_t(frame.size) == expected.size() && std::memcmp(frame.data, expected.data(), expected.size()) == 0;
}

TEST_F(MtCamera, ReadsFramesWithTheirMetadataAndReleasesEachOnce) {
    boardsim_set_pacing(true);
    boardcam_mt_camera *camera = nullptr;
    // 10 fps: under valgrind on a busy machine a read held up for a whole
    // 33 ms period would be numbered with the frame before.
    ASSERT_EQ(boardcam_mt_open(1, 10, 64, 48, &camera), 0);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(boardcam_mt_camera_id(camera), 1);

    std::vector<void *> buffers;
    uint64_t previous = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        const int64_t before = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   Clock::now().time_since_epoch()).count();
        boardcam_mt_frame frame;
        ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);
        // The sequence is the sensor's own frame number, and the frame is that frame.
        const uint32_t sensorFrame = entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).back().frame;
        EXPECT_EQ(frame.sequence, sensorFrame) << "frame " << i;
        EXPECT_TRUE(holds(frame, reference(1, sensorFrame, 64, 48))) << "frame " << i;
        if (i == 0) {
            EXPECT_EQ(frame.sequence, 0u);
        } else {
            EXPECT_EQ(frame.sequence - previous, 1u + frame.dropped) << "frame " << i;
        }
        previous = frame.sequence;
        // Arrival on the monotonic clock, just now; the realtime stamp is today's.
        EXPECT_GE(frame.monotonic_ns, before);
        EXPECT_LT(frame.monotonic_ns - before, 1000000000);
        EXPECT_GT(frame.realtime_ns, int64_t(1600000000) * 1000000000);
        buffers.push_back(frame.data);
    }
    EXPECT_EQ(std::set<void *>(buffers.begin(), buffers.end()).size(), 5u) << "every frame its own buffer";
    for (void *data : buffers) boardcam_mt_release_frame(data);
    boardcam_mt_release_frame(nullptr);
    EXPECT_EQ(boardcam_mt_close(camera), 0);

    std::multiset<uintptr_t> freed;
    for (const BoardsimEvent &e : entriesOf(BOARDSIM_PIMO_FREE)) freed.insert(e.ptr);
    std::multiset<uintptr_t> read;
    for (const BoardsimEvent &e : entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA)) read.insert(e.ptr);
    EXPECT_EQ(freed, read);
    EXPECT_EQ(mediaCalls().back(), "CloseCamera(1)");
}

TEST_F(MtCamera, ASecondOpenOfAnOwnedCameraIsBusyAndCallsNothing) {
    boardcam_mt_camera *owner = nullptr;
    ASSERT_EQ(boardcam_mt_open(0, 30, 64, 48, &owner), 0);
    const size_t calls = boardsim_journal_size();
    boardcam_mt_camera *second = nullptr;
    EXPECT_EQ(boardcam_mt_open(0, 15, 320, 240, &second), BOARDCAM_MT_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(boardsim_journal_size(), calls) << "the library was not called";

    // The owner's stream goes on at its own size.
    boardcam_mt_frame frame;
    ASSERT_EQ(boardcam_mt_read(owner, &frame), 0);
    EXPECT_TRUE(holds(frame, reference(0, 0, 64, 48)));
    boardcam_mt_release_frame(frame.data);

    // The other camera is free, and so is this one once its owner closes.
    boardcam_mt_camera *other = nullptr;
    ASSERT_EQ(boardcam_mt_open(1, 30, 64, 48, &other), 0);
    EXPECT_EQ(boardcam_mt_close(owner), 0);
    ASSERT_EQ(boardcam_mt_open(0, 15, 32, 16, &second), 0);
    EXPECT_EQ(boardcam_mt_close(second), 0);
    EXPECT_EQ(boardcam_mt_close(other), 0);
}

TEST_F(MtCamera, TheOwnerReconfiguresInPlace) {
    boardcam_mt_camera *camera = nullptr;
    ASSERT_EQ(boardcam_mt_open(0, 30, 64, 48, &camera), 0);
    boardcam_mt_frame frame;
    ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);
    boardcam_mt_release_frame(frame.data);
    ASSERT_EQ(boardcam_mt_reconfigure(camera, 15, 32, 16), 0);
    ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);
    EXPECT_TRUE(holds(frame, reference(0, 1, 32, 16)));
    // The sensor is paced: a read that valgrind and a busy machine slow past
    // a period finds a frame dropped, and the sequence counts it.
    EXPECT_GE(frame.sequence, 1u) << "sequences go on across a reconfiguration";
    boardcam_mt_release_frame(frame.data);
    EXPECT_EQ(boardcam_mt_close(camera), 0);
    const auto calls = mediaCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "CloseCamera(0)"), 1);
}

TEST_F(MtCamera, AFlushingHandleInterruptsAWaitingReadAtOnce) {
    boardsim_set_pacing(true);
    boardcam_mt_camera *camera = nullptr;
    ASSERT_EQ(boardcam_mt_open(0, 1, 32, 16, &camera), 0);  // one frame a second
    boardcam_mt_frame frame;
    ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);  // the first read reads at once
    boardcam_mt_release_frame(frame.data);

    std::atomic<int> result{1};
    std::atomic<int64_t> tookMs{0};
    std::thread reader([&] {
        const auto start = Clock::now();
        boardcam_mt_frame waiting;
        result = boardcam_mt_read(camera, &waiting);
        tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    boardcam_mt_set_flushing(camera, true);
    reader.join();
    EXPECT_EQ(result, BOARDCAM_MT_INTERRUPTED);
    EXPECT_LT(tookMs, 700) << "interrupted, not left to wait for the frame";
    EXPECT_EQ(entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).size(), 1u) << "the interrupted read never reached the library";
    EXPECT_EQ(boardcam_mt_close(camera), 0);
}

TEST_F(MtCamera, FlushingBeforeAReadInterruptsItUntilCleared) {
    boardcam_mt_camera *camera = nullptr;
    // 1 fps: the first read, however slow the machine (valgrind), comes
    // within the first period, so its sequence is 0.
    ASSERT_EQ(boardcam_mt_open(1, 1, 32, 16, &camera), 0);
    boardcam_mt_set_flushing(camera, true);
    boardcam_mt_frame frame;
    frame.data = nullptr;
    EXPECT_EQ(boardcam_mt_read(camera, &frame), BOARDCAM_MT_INTERRUPTED);
    EXPECT_EQ(boardcam_mt_read(camera, &frame), BOARDCAM_MT_INTERRUPTED);
    EXPECT_EQ(frame.data, nullptr) << "the record is written on success only";
    EXPECT_TRUE(entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).empty());
    boardcam_mt_set_flushing(camera, false);
    ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);
    EXPECT_EQ(frame.sequence, 0u);
    boardcam_mt_release_frame(frame.data);
    EXPECT_EQ(boardcam_mt_close(camera), 0);
}

TEST_F(MtCamera, CloseFromAnotherThreadReleasesAWaitingReader) {
    boardsim_set_pacing(true);
    boardcam_mt_camera *camera = nullptr;
    ASSERT_EQ(boardcam_mt_open(0, 1, 32, 16, &camera), 0);
    boardcam_mt_frame frame;
    ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);
    boardcam_mt_release_frame(frame.data);
    std::atomic<int> result{1};
    std::thread reader([&] {
        boardcam_mt_frame waiting;
        result = boardcam_mt_read(camera, &waiting);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    EXPECT_EQ(boardcam_mt_close(camera), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(700));
    reader.join();
    EXPECT_EQ(result, BOARDCAM_MT_INTERRUPTED);
    EXPECT_EQ(mediaCalls().back(), "CloseCamera(0)");
}

TEST_F(MtCamera, AStallShowsAsDroppedFramesAndASequenceGap) {
    boardsim_set_pacing(true);
    boardcam_mt_camera *camera = nullptr;
    // 100 ms periods: the stall ends half a period from any frame, a margin
    // that even valgrind's slowness between the stall and the read keeps.
    ASSERT_EQ(boardcam_mt_open(0, 10, 32, 16, &camera), 0);
    uint64_t previous = 0;
    for (int i = 0; i < 8; ++i) {
        if (i == 4) std::this_thread::sleep_for(std::chrono::milliseconds(550));  // five and a half periods
        boardcam_mt_frame frame;
        ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);
        const BoardsimEvent read = entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).back();
        EXPECT_EQ(frame.sequence, read.frame) << "read " << i << ": the sequence is the sensor's frame";
        EXPECT_TRUE(holds(frame, reference(0, read.frame, 32, 16)));
        if (i > 0) {
            EXPECT_EQ(frame.sequence - previous, 1u + frame.dropped) << "read " << i;
        }
        if (i == 4) {
            EXPECT_GE(frame.dropped, 4u);
        } else {
            EXPECT_EQ(frame.dropped, 0u) << "read " << i;
        }
        previous = frame.sequence;
        boardcam_mt_release_frame(frame.data);
    }
    EXPECT_EQ(boardcam_mt_close(camera), 0);
}

TEST_F(MtCamera, AFirstReadLateAfterOpeningCountsThePeriodsSinceThen) {
    boardsim_set_pacing(true);
    boardcam_mt_camera *camera = nullptr;
    const auto opening = Clock::now();
    ASSERT_EQ(boardcam_mt_open(1, 50, 32, 16, &camera), 0);  // 20 ms periods
    const auto openTook = Clock::now() - opening;
    std::this_thread::sleep_for(std::chrono::milliseconds(110));  // frames 0 to 5 come unread
    boardcam_mt_frame frame;
    ASSERT_EQ(boardcam_mt_read(camera, &frame), 0);
    const uint32_t sensorFrame = entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).back().frame;
    EXPECT_GE(sensorFrame, 5u);
    // The sensor starts somewhere inside the open call; only when that call
    // was quick (not under a memory checker) is the count exact.
    if (openTook < std::chrono::milliseconds(5)) {
        EXPECT_EQ(frame.sequence, sensorFrame);
    } else {
        // Off by at most the periods the open call took, either way.
        const int64_t slack = std::chrono::duration_cast<std::chrono::milliseconds>(openTook).count() / 20 + 1;
        EXPECT_LE(int64_t(frame.sequence), int64_t(sensorFrame) + slack);
        EXPECT_GE(int64_t(frame.sequence) + slack, int64_t(sensorFrame));
    }
    EXPECT_EQ(frame.dropped, frame.sequence) << "the frames before the first were never read";
    boardcam_mt_release_frame(frame.data);
    EXPECT_EQ(boardcam_mt_close(camera), 0);
}

TEST_F(MtCamera, RefusedCallsAreErrorsThatLeaveNothingBehind) {
    boardcam_mt_camera *camera = nullptr;
    // A refused open takes no ownership.
    ASSERT_EQ(boardsim_fail_call(BOARDSIM_OPEN_CAMERA, 0, BOARDSIM_FAIL_ONCE), 0);
    EXPECT_EQ(boardcam_mt_open(0, 30, 32, 16, &camera), BOARDCAM_MT_ERROR);
    EXPECT_EQ(camera, nullptr);
    EXPECT_EQ(boardcam_mt_open(5, 30, 32, 16, &camera), BOARDCAM_MT_ERROR);
    EXPECT_EQ(boardcam_mt_open(0, 30, 32, 16, nullptr), BOARDCAM_MT_ERROR);
    ASSERT_EQ(boardcam_mt_open(0, 30, 32, 16, &camera), 0);

    boardcam_mt_frame frame;
    ASSERT_EQ(boardsim_fail_call(BOARDSIM_READ_FRAME_FROM_CAMERA, 0, BOARDSIM_FAIL_ONCE), 0);
    EXPECT_EQ(boardcam_mt_read(camera, &frame), BOARDCAM_MT_ERROR);
    ASSERT_EQ(boardsim_fail_call(BOARDSIM_PIMO_MALLOC, BOARDSIM_ANY_CAMERA, BOARDSIM_FAIL_ONCE), 0);
    EXPECT_EQ(boardcam_mt_read(camera, &frame), BOARDCAM_MT_ERROR);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
    EXPECT_EQ(boardcam_mt_read(camera, nullptr), BOARDCAM_MT_ERROR);
    EXPECT_EQ(boardcam_mt_read(nullptr, &frame), BOARDCAM_MT_ERROR);

    // A refused reconfiguration closes the camera; reads fail, close calls
    // nothing more, and the camera is free again.
    ASSERT_EQ(boardsim_fail_call(BOARDSIM_SET_CAMERA_PROPERTY, 0, BOARDSIM_FAIL_ONCE), 0);
    EXPECT_EQ(boardcam_mt_reconfigure(camera, 30, 64, 48), BOARDCAM_MT_ERROR);
    EXPECT_EQ(boardcam_mt_read(camera, &frame), BOARDCAM_MT_ERROR);
    const size_t closes = entriesOf(BOARDSIM_CLOSE_CAMERA).size();
    EXPECT_EQ(boardcam_mt_close(camera), 0);
    EXPECT_EQ(entriesOf(BOARDSIM_CLOSE_CAMERA).size(), closes);
    ASSERT_EQ(boardcam_mt_open(0, 30, 32, 16, &camera), 0);

    // A refused close is reported, and still frees the camera.
    ASSERT_EQ(boardsim_fail_call(BOARDSIM_CLOSE_CAMERA, 0, BOARDSIM_FAIL_ONCE), 0);
    EXPECT_EQ(boardcam_mt_close(camera), BOARDCAM_MT_ERROR);
    ASSERT_EQ(boardcam_mt_open(0, 30, 32, 16, &camera), 0);
    EXPECT_EQ(boardcam_mt_close(camera), 0);
    EXPECT_EQ(boardcam_mt_close(nullptr), 0);
}

TEST_F(MtCamera, TheTableAndTheLockServeOtherLibraryCalls) {
    boardcam_mt_camera *camera = nullptr;
    ASSERT_EQ(boardcam_mt_open(1, 15, 64, 48, &camera), 0);
    CameraMgr table;
    boardcam_mt_table(&table);
    EXPECT_TRUE(table.mediaLibInited);
    EXPECT_TRUE(table.slots[1].initialised);
    EXPECT_EQ(table.slots[1].frameSize, 64 * 48 * 3 / 2);
    boardcam_mt_lock();
    EXPECT_EQ(ConfigCamera(1, 15, 64, 48), 0);
    boardcam_mt_unlock();
    EXPECT_EQ(boardcam_mt_close(camera), 0);
}

}  // namespace
