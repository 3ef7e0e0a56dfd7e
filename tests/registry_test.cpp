// The camera table and CameraInit, against the built library and the simulator.
#include <climits>

#include <gtest/gtest.h>

#include "boardcam.h"
#include "journal.h"

using testsupport::entriesOf;
using testsupport::journal;

namespace {

void expectSlot(const CameraSlot &slot, bool initialised, int32_t id, int32_t fps, int32_t width,
                int32_t height, int32_t frameSize) {
    EXPECT_EQ(slot.initialised, initialised);
    EXPECT_EQ(slot.id, id);
    EXPECT_EQ(slot.fps, fps);
    EXPECT_EQ(slot.width, width);
    EXPECT_EQ(slot.height, height);
    EXPECT_EQ(slot.frameSize, frameSize);
}

size_t mediaInits() { return entriesOf(BOARDSIM_MEDIA_LIB_INIT).size(); }

TEST(CameraTable, HoldsItsStaticValuesAtLoad) {
    EXPECT_FALSE(g_CameraMgr.mediaLibInited);
    expectSlot(g_CameraMgr.slots[0], false, 255, 0, 0, 0, 0);
    expectSlot(g_CameraMgr.slots[1], false, 255, 0, 0, 0, 0);
    EXPECT_EQ(boardsim_call_count(), 0u) << "the library ran code at load";
}

TEST(CameraInit, InitialisesMediaOnceAndFillsBothSlots) {
    EXPECT_EQ(CameraInit(0, 30, 4, 2), 0);
    EXPECT_TRUE(g_CameraMgr.mediaLibInited);
    expectSlot(g_CameraMgr.slots[0], true, 0, 30, 4, 2, 12);
    expectSlot(g_CameraMgr.slots[1], false, 255, 0, 0, 0, 0);

    // An odd pixel count drops the half byte: 27 * 3 / 2 = 40.
    EXPECT_EQ(CameraInit(1, 25, 3, 9), 0);
    expectSlot(g_CameraMgr.slots[1], true, 1, 25, 3, 9, 40);
    EXPECT_EQ(mediaInits(), 1u);
    EXPECT_EQ(journal().size(), 1u) << "CameraInit reports nothing and calls nothing else";
}

TEST(CameraInit, TruncatesTowardZero) {
    EXPECT_EQ(CameraInit(1, 25, 3, 3), 0);
    EXPECT_EQ(g_CameraMgr.slots[1].frameSize, 13);
    // A negative even product stays exact.
    EXPECT_EQ(CameraInit(0, 1, -2, -3), 0);
    EXPECT_EQ(g_CameraMgr.slots[0].frameSize, 9);
}

TEST(CameraInit, OverwritesTheWholeSlot) {
    ASSERT_EQ(CameraInit(0, 30, 640, 480), 0);
    ASSERT_EQ(CameraInit(0, 15, 1920, 1080), 0);
    expectSlot(g_CameraMgr.slots[0], true, 0, 15, 1920, 1080, 3110400);
    EXPECT_EQ(mediaInits(), 1u);
}

TEST(CameraInit, FailedMediaInitialisationIsNotRetried) {
    boardsim_fail_call(BOARDSIM_MEDIA_LIB_INIT, BOARDSIM_ANY_CAMERA, BOARDSIM_FAIL_ALWAYS);
    EXPECT_EQ(CameraInit(0, 30, 4, 2), 0);
    EXPECT_TRUE(g_CameraMgr.mediaLibInited);
    boardsim_clear_faults();
    EXPECT_EQ(CameraInit(1, 30, 4, 2), 0);
    EXPECT_EQ(CameraInit(0, 30, 4, 2), 0);
    const auto inits = entriesOf(BOARDSIM_MEDIA_LIB_INIT);
    ASSERT_EQ(inits.size(), 1u);
    EXPECT_TRUE(inits[0].refused);
}

TEST(CameraInit, RejectsIdsOutsideTheTable) {
    for (int32_t id : {2, -1, 255, INT_MIN, INT_MAX}) {
        EXPECT_EQ(CameraInit(id, 30, 4, 2), -1) << id;
    }
    EXPECT_FALSE(g_CameraMgr.mediaLibInited);
    expectSlot(g_CameraMgr.slots[0], false, 255, 0, 0, 0, 0);
    expectSlot(g_CameraMgr.slots[1], false, 255, 0, 0, 0, 0);
    EXPECT_TRUE(journal().empty());
}

TEST(CameraInit, ComputesLargeFrameSizesExactly) {
    // 32768 * 32768 overflows 32 bits on the way, not in the result.
    EXPECT_EQ(CameraInit(0, 30, 32768, 32768), 0);
    EXPECT_EQ(g_CameraMgr.slots[0].frameSize, 1610612736);
    // The largest pixel count whose frame size fits: 1431655765 * 3 / 2 = INT32_MAX.
    EXPECT_EQ(CameraInit(1, 30, 5, 286331153), 0);
    EXPECT_EQ(g_CameraMgr.slots[1].frameSize, INT32_MAX);
}

TEST(CameraInit, RejectsFrameSizesThatDoNotFit) {
    const struct {
        int32_t width, height;
    } cases[] = {
        {2, 715827883},        // 1431655766 pixels: one past the largest
        {65536, 65536},        // 2^32 pixels
        {INT_MAX, INT_MAX},    // far above
        {INT_MIN, INT_MIN},    // 2^62 pixels, positive but far above
        {-2, 2},               // negative
        {INT_MIN, 1},          // negative
    };
    for (const auto &c : cases) {
        EXPECT_EQ(CameraInit(0, 30, c.width, c.height), -1) << c.width << "x" << c.height;
    }
    EXPECT_FALSE(g_CameraMgr.mediaLibInited);
    expectSlot(g_CameraMgr.slots[0], false, 255, 0, 0, 0, 0);
    EXPECT_TRUE(journal().empty());
}

TEST(CameraInit, RejectedSizeLeavesAFilledSlotAsItWas) {
    ASSERT_EQ(CameraInit(0, 30, 4, 2), 0);
    EXPECT_EQ(CameraInit(0, 60, 65536, 65536), -1);
    expectSlot(g_CameraMgr.slots[0], true, 0, 30, 4, 2, 12);
}

}  // namespace
