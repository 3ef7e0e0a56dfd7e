// Frame capture and closing, through the simulator.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "boardcam.h"
#include "journal.h"
#include "vekpimo.h"

using testing::ElementsAre;
using testing::IsEmpty;
using testsupport::allCalls;
using testsupport::entriesOf;
using testsupport::logRecords;

namespace {

class ReadFrame : public testing::Test {
  protected:
    void SetUp() override { testsupport::resetBoard(); }

    // Opens a camera and forgets the journal of doing so.
    void open(int id, int width, int height) {
        ASSERT_EQ(OpenCameraEx(id, 30, width, height), 0);
        boardsim_journal_clear();
    }

    // A record the library must leave alone on failure.
    CameraFrame untouched() {
        CameraFrame frame;
        frame.size = -7;
        frame.data = &sentinel_;
        return frame;
    }
    void expectUntouched(const CameraFrame &frame) {
        EXPECT_EQ(frame.size, -7);
        EXPECT_EQ(frame.data, &sentinel_);
    }

  private:
    int sentinel_ = 0;
};

std::string hexLow32(const void *p) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%x", unsigned(reinterpret_cast<uintptr_t>(p)));
    return text;
}

TEST_F(ReadFrame, DeliversATwelveByteFrameAtFourByTwo) {
    open(0, 4, 2);
    CameraFrame frame = {0, nullptr};
    testing::internal::CaptureStdout();
    ASSERT_EQ(ReadCameraFrame(0, &frame), 0);
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(frame.size, 12);
    const auto mallocs = entriesOf(BOARDSIM_PIMO_MALLOC);
    ASSERT_EQ(mallocs.size(), 1u);
    EXPECT_EQ(mallocs[0].size, 12u);
    EXPECT_EQ(reinterpret_cast<void *>(mallocs[0].ptr), frame.data);
    const auto reads = entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].size, 12u) << "capacity passed in";
    EXPECT_EQ(reinterpret_cast<void *>(reads[0].ptr), frame.data);

    EXPECT_THAT(allCalls(), ElementsAre("vekpimoMalloc", "ReadFrameFromCamera", "vekAppLog"));
    EXPECT_THAT(logRecords(), ElementsAre("1|ReadCameraFrame|cpp image ptr " + hexLow32(frame.data)));
    EXPECT_EQ(out, "cpp image ptr " + hexLow32(frame.data) + "\n");

    uint8_t expected[12];
    ASSERT_EQ(boardsim_render_frame(0, 0, 4, 2, expected, sizeof expected), 12u);
    EXPECT_EQ(std::memcmp(frame.data, expected, 12), 0);
    EXPECT_EQ(boardsim_live_buffers(), 1u) << "the frame is the caller's";
    EXPECT_EQ(vekpimoFree(frame.data), 0);
}

TEST_F(ReadFrame, RefusedAllocationReadsNothing) {
    open(0, 1920, 1080);
    boardsim_fail_call(BOARDSIM_PIMO_MALLOC, BOARDSIM_ANY_CAMERA, BOARDSIM_FAIL_ONCE);
    CameraFrame frame = untouched();
    EXPECT_EQ(ReadCameraFrame(0, &frame), -1);
    expectUntouched(frame);
    EXPECT_THAT(allCalls(), ElementsAre("vekpimoMalloc", "vekAppLog"));
    EXPECT_THAT(logRecords(), ElementsAre("3|ReadCameraFrame|vek malloc pimo data failed, dataSize=3110400, ret=2"));
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(ReadFrame, AllocationSizeIsReportedUnsigned) {
    // A table overwritten by a client: the request is the frame size widened
    // as a signed value, and the report shows it unsigned.
    open(1, 4, 2);
    g_CameraMgr.slots[1].frameSize = -1;
    CameraFrame frame = untouched();
    EXPECT_EQ(ReadCameraFrame(1, &frame), -1);
    expectUntouched(frame);
    const auto mallocs = entriesOf(BOARDSIM_PIMO_MALLOC);
    ASSERT_EQ(mallocs.size(), 1u);
    EXPECT_EQ(mallocs[0].size, uint64_t(SIZE_MAX));
    EXPECT_THAT(logRecords(), ElementsAre("3|ReadCameraFrame|vek malloc pimo data failed, dataSize=4294967295, ret=2"));
}

TEST_F(ReadFrame, FailedReadReleasesTheBuffer) {
    open(0, 4, 2);
    boardsim_fail_call(BOARDSIM_READ_FRAME_FROM_CAMERA, 0, BOARDSIM_FAIL_ONCE);
    CameraFrame frame = untouched();
    EXPECT_EQ(ReadCameraFrame(0, &frame), -1);
    expectUntouched(frame);
    EXPECT_THAT(allCalls(), ElementsAre("vekpimoMalloc", "ReadFrameFromCamera", "vekpimoFree", "vekAppLog"));
    EXPECT_EQ(entriesOf(BOARDSIM_PIMO_FREE)[0].ptr, entriesOf(BOARDSIM_PIMO_MALLOC)[0].ptr);
    EXPECT_THAT(logRecords(), ElementsAre("3|ReadCameraFrame|Get image from camera 0 failed, size 12"));
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(ReadFrame, WrongByteCountIsAFailedRead) {
    open(0, 4, 2);
    for (uint32_t count : {0u, 11u, 13u, 0xFFFFFFFFu}) {
        boardsim_journal_clear();
        boardsim_set_next_read_size(0, count);
        CameraFrame frame = untouched();
        EXPECT_EQ(ReadCameraFrame(0, &frame), -1) << count;
        expectUntouched(frame);
        EXPECT_THAT(logRecords(), ElementsAre("3|ReadCameraFrame|Get image from camera 0 failed, size " +
                                              std::to_string(int(count))));
        EXPECT_EQ(entriesOf(BOARDSIM_PIMO_FREE).size(), 1u);
        EXPECT_EQ(boardsim_live_buffers(), 0u);
    }
    // The next frame is read normally: nothing is retried, nothing is stuck.
    CameraFrame frame = {0, nullptr};
    ASSERT_EQ(ReadCameraFrame(0, &frame), 0);
    vekpimoFree(frame.data);
}

TEST_F(ReadFrame, EveryReadIsANewBufferThatTheLibraryNeverFrees) {
    open(0, 64, 48);
    CameraFrame a = {0, nullptr}, b = {0, nullptr};
    ASSERT_EQ(ReadCameraFrame(0, &a), 0);
    ASSERT_EQ(ReadCameraFrame(0, &b), 0);
    EXPECT_NE(a.data, b.data);
    EXPECT_EQ(boardsim_live_buffers(), 2u);
    EXPECT_EQ(boardsim_live_bytes(), 2u * 64 * 48 * 3 / 2);
    ASSERT_EQ(CloseCameraEx(0), 0);
    EXPECT_THAT(entriesOf(BOARDSIM_PIMO_FREE), IsEmpty());
    EXPECT_NE(std::memcmp(a.data, b.data, size_t(a.size)), 0) << "the block moved";
    vekpimoFree(a.data);
    vekpimoFree(b.data);
}

TEST_F(ReadFrame, NeverOpenedCameraRequestsZeroBytes) {
    CameraFrame frame = untouched();
    EXPECT_EQ(ReadCameraFrame(1, &frame), -1);
    expectUntouched(frame);
    const auto mallocs = entriesOf(BOARDSIM_PIMO_MALLOC);
    ASSERT_EQ(mallocs.size(), 1u);
    EXPECT_EQ(mallocs[0].size, 0u);
    EXPECT_THAT(logRecords(), ElementsAre("3|ReadCameraFrame|Get image from camera 1 failed, size 0"));
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST_F(ReadFrame, InvalidIdsAndNullRecordsTouchNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadCameraFrame(2, nullptr), -1);
    CameraFrame frame = untouched();
    EXPECT_EQ(ReadCameraFrame(-1, &frame), -1);
    EXPECT_EQ(ReadCameraFrame(INT_MIN, &frame), -1);
    EXPECT_EQ(ReadCameraFrame(0, nullptr), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    expectUntouched(frame);
    EXPECT_THAT(allCalls(), ElementsAre("vekAppLog", "vekAppLog", "vekAppLog", "vekAppLog"));
    EXPECT_THAT(logRecords(), ElementsAre("3|ReadCameraFrame|Read camera frame failed for invalid id 2",
                                          "3|ReadCameraFrame|Read camera frame failed for invalid id -1",
                                          "3|ReadCameraFrame|Read camera frame failed for invalid id -2147483648",
                                          "3|ReadCameraFrame|Read camera frame failed for null frame, id 0"));
    EXPECT_EQ(out,
              "Read camera frame failed for invalid id 2\nRead camera frame failed for invalid id -1\n"
              "Read camera frame failed for invalid id -2147483648\n"
              "Read camera frame failed for null frame, id 0\n");
}

TEST_F(ReadFrame, CloseFailureIsReportedAndTheTableStays) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(CloseCameraEx(1), -1) << "camera 1 is not open";
    EXPECT_THAT(logRecords(), ElementsAre("3|CloseCameraEx|Close camera 1 failed"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Close camera 1 failed\n");

    open(1, 4, 2);
    const CameraSlot before = g_CameraMgr.slots[1];
    EXPECT_EQ(CloseCameraEx(1), 0);
    EXPECT_THAT(logRecords(), IsEmpty()) << "a successful close is silent";
    EXPECT_EQ(std::memcmp(&before, &g_CameraMgr.slots[1], sizeof before), 0);

    // No id check of its own: the media library answers for other ids.
    boardsim_journal_clear();
    EXPECT_EQ(CloseCameraEx(7), -1);
    EXPECT_THAT(testsupport::mediaCalls(), ElementsAre("CloseCamera(7)"));
}

TEST_F(ReadFrame, FullCycleOnBothCamerasDeliversThePattern) {
    const int width = 320, height = 240;
    const size_t bytes = size_t(width) * height * 3 / 2;
    ASSERT_EQ(OpenCameraEx(0, 30, width, height), 0);
    ASSERT_EQ(OpenCameraEx(1, 30, width, height), 0);
    std::vector<uint8_t> expected(bytes);
    for (uint32_t index = 0; index < 3; ++index) {
        for (int id : {0, 1}) {
            CameraFrame frame = {0, nullptr};
            ASSERT_EQ(ReadCameraFrame(id, &frame), 0);
            ASSERT_EQ(frame.size, int32_t(bytes));
            ASSERT_EQ(boardsim_render_frame(id, index, width, height, expected.data(), bytes), bytes);
            EXPECT_EQ(std::memcmp(frame.data, expected.data(), bytes), 0) << "camera " << id << " frame " << index;
            EXPECT_EQ(vekpimoFree(frame.data), 0);
        }
    }
    EXPECT_EQ(CloseCameraEx(0), 0);
    EXPECT_EQ(CloseCameraEx(1), 0);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

}  // namespace
