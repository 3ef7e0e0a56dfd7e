// Opening and configuring cameras, through the simulator's journal.
#include <climits>
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
using testsupport::mediaCalls;

namespace {

class OpenCamera : public testing::Test {
  protected:
    void SetUp() override {
        testsupport::resetBoard();
        testing::internal::CaptureStdout();
    }
    void TearDown() override { stdoutText(); }

    // Standard output written since the test started (read once).
    std::string stdoutText() {
        if (!capturing_) return captured_;
        capturing_ = false;
        captured_ = testing::internal::GetCapturedStdout();
        return captured_;
    }

  private:
    bool capturing_ = true;
    std::string captured_;
};

const std::vector<std::string> kFirstOpenCalls = {
    "MediaLibInit()",          "QueryCameraStatus(0)",    "OpenCamera(0)",
    "SetCameraProperty(0,2)",  "SetCameraProperty(0,1)",  "SetCameraProperty(0,5)",
};

TEST_F(OpenCamera, FirstOpeningInitialisesOpensAndConfigures) {
    EXPECT_EQ(OpenCameraEx(0, 30, 640, 480), 0);
    EXPECT_EQ(mediaCalls(), kFirstOpenCalls);

    const auto props = entriesOf(BOARDSIM_SET_CAMERA_PROPERTY);
    ASSERT_EQ(props.size(), 3u);
    EXPECT_EQ(props[0].value[0], 30);
    EXPECT_EQ(props[1].value[0], 640);
    EXPECT_EQ(props[1].value[1], 480);
    EXPECT_EQ(props[2].value[0], 1);

    const auto logs = entriesOf(BOARDSIM_APP_LOG);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(testsupport::describeLog(logs[0]), "1|OpenCameraEx|Open camera 0 success");
    EXPECT_STREQ(logs[0].file, "camera.cpp");
    EXPECT_GT(logs[0].line, 0);
    EXPECT_EQ(allCalls().back(), "vekAppLog") << "reported after configuring";
    EXPECT_EQ(stdoutText(), "Open camera 0 success\n");

    EXPECT_TRUE(g_CameraMgr.mediaLibInited);
    const CameraSlot &slot = g_CameraMgr.slots[0];
    EXPECT_TRUE(slot.initialised);
    EXPECT_EQ(slot.fps, 30);
    EXPECT_EQ(slot.frameSize, 640 * 480 * 3 / 2);
    EXPECT_EQ(boardsim_status(0), 1);
}

TEST_F(OpenCamera, OpenCameraIsSkippedWhenAlreadyOpen) {
    boardsim_set_status(1, 1);
    EXPECT_EQ(OpenCameraEx(1, 15, 320, 240), 0);
    EXPECT_THAT(mediaCalls(), ElementsAre("MediaLibInit()", "QueryCameraStatus(1)", "SetCameraProperty(1,2)",
                                          "SetCameraProperty(1,1)", "SetCameraProperty(1,5)"));
    EXPECT_EQ(stdoutText(), "Open camera 1 success\n");
}

TEST_F(OpenCamera, UnusableStatusFailsWithoutClosing) {
    for (int status : {0, 3}) {
        boardsim_journal_clear();
        boardsim_set_status(0, status);
        EXPECT_EQ(OpenCameraEx(0, 30, 640, 480), -1);
        EXPECT_THAT(mediaCalls(), testing::Contains("QueryCameraStatus(0)"));
        EXPECT_EQ(mediaCalls().back(), "QueryCameraStatus(0)") << "nothing after the status";
        EXPECT_THAT(logRecords(), ElementsAre("3|OpenCameraEx|Invalid camera0 status " + std::to_string(status)));
    }
    EXPECT_EQ(stdoutText(), "Invalid camera0 status 0\nInvalid camera0 status 3\n");
    EXPECT_TRUE(g_CameraMgr.slots[0].initialised) << "the slot filled on the way stays filled";
}

TEST_F(OpenCamera, RefusedOpenIsReported) {
    boardsim_fail_call(BOARDSIM_OPEN_CAMERA, 1, BOARDSIM_FAIL_ONCE);
    EXPECT_EQ(OpenCameraEx(1, 30, 640, 480), -1);
    EXPECT_THAT(mediaCalls(), ElementsAre("MediaLibInit()", "QueryCameraStatus(1)", "OpenCamera(1)"));
    EXPECT_THAT(logRecords(), ElementsAre("3|OpenCameraEx|Camera1 closed, and open failed."));
    EXPECT_EQ(stdoutText(), "Camera1 closed, and open failed.\n");
}

struct PropertyCase {
    int code;
    const char *report;
    std::vector<std::string> calls;  // media calls after QueryCameraStatus
};

void PrintTo(const PropertyCase &c, std::ostream *os) { *os << c.report; }

class RefusedProperty : public OpenCamera, public testing::WithParamInterface<PropertyCase> {};

TEST_P(RefusedProperty, ClosesBetweenTheTwoReportsAndStops) {
    const PropertyCase &c = GetParam();
    // The camera is already open: a refused property closes it all the same.
    boardsim_set_status(0, 1);
    ASSERT_EQ(CameraInit(0, 30, 640, 480), 0);  // media initialised up front
    boardsim_journal_clear();
    // Refuse the property with this code: it follows QueryCameraStatus and
    // the properties accepted before it.
    const uint64_t accepted = c.calls.size() - 1;
    boardsim_fail_nth_call(accepted + 2, BOARDSIM_FAIL_ONCE);
    EXPECT_EQ(OpenCameraEx(0, 30, 640, 480), -1);

    std::vector<std::string> expected = {"QueryCameraStatus(0)"};
    expected.insert(expected.end(), c.calls.begin(), c.calls.end());
    expected.push_back("CloseCamera(0)");
    EXPECT_EQ(mediaCalls(), expected);

    const std::vector<std::string> all = allCalls();
    ASSERT_GE(all.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(all.end() - 3, all.end()),
                ElementsAre("vekAppLog", "CloseCamera", "vekAppLog"));
    EXPECT_THAT(logRecords(), ElementsAre(std::string("3|ConfigCamera|") + c.report,
                                          "3|OpenCameraEx|Set camera0 property failed"));
    EXPECT_EQ(stdoutText(), std::string(c.report) + "\nSet camera0 property failed\n");
    EXPECT_EQ(boardsim_status(0), 2) << "closed";
}

INSTANTIATE_TEST_SUITE_P(
    EachProperty, RefusedProperty,
    testing::Values(PropertyCase{2, "Set camera fps failed", {"SetCameraProperty(0,2)"}},
                    PropertyCase{1, "Set camera resolution failed",
                                 {"SetCameraProperty(0,2)", "SetCameraProperty(0,1)"}},
                    PropertyCase{5, "Set camera mode:1 failed",
                                 {"SetCameraProperty(0,2)", "SetCameraProperty(0,1)", "SetCameraProperty(0,5)"}}),
    [](const testing::TestParamInfo<PropertyCase> &param) { return "Code" + std::to_string(param.param.code); });

TEST_F(OpenCamera, ASecondCameraDoesNotReinitialiseTheMediaLibrary) {
    ASSERT_EQ(OpenCameraEx(0, 30, 640, 480), 0);
    ASSERT_EQ(OpenCameraEx(1, 25, 320, 240), 0);
    EXPECT_EQ(entriesOf(BOARDSIM_MEDIA_LIB_INIT).size(), 1u);
    EXPECT_EQ(g_CameraMgr.slots[1].frameSize, 320 * 240 * 3 / 2);
    EXPECT_EQ(stdoutText(), "Open camera 0 success\nOpen camera 1 success\n");
}

TEST_F(OpenCamera, InvalidIdsMakeNoMediaCall) {
    EXPECT_EQ(OpenCameraEx(2, 30, 640, 480), -1);
    EXPECT_EQ(OpenCameraEx(-1, 30, 640, 480), -1);
    EXPECT_EQ(OpenCameraEx(INT_MIN, 30, 640, 480), -1);
    EXPECT_THAT(mediaCalls(), IsEmpty());
    EXPECT_THAT(logRecords(), ElementsAre("3|OpenCameraEx|Open camera failed for invalid id 2",
                                          "3|OpenCameraEx|Open camera failed for invalid id -1",
                                          "3|OpenCameraEx|Open camera failed for invalid id -2147483648"));
    EXPECT_EQ(stdoutText(),
              "Open camera failed for invalid id 2\nOpen camera failed for invalid id -1\n"
              "Open camera failed for invalid id -2147483648\n");
    EXPECT_FALSE(g_CameraMgr.mediaLibInited);
    EXPECT_FALSE(g_CameraMgr.slots[0].initialised);
    EXPECT_FALSE(g_CameraMgr.slots[1].initialised);
}

TEST_F(OpenCamera, UnrepresentableFrameSizeMakesNoMediaCall) {
    EXPECT_EQ(OpenCameraEx(0, 30, 65536, 65536), -1);
    EXPECT_EQ(OpenCameraEx(1, 30, -640, 480), -1);
    EXPECT_THAT(mediaCalls(), IsEmpty());
    EXPECT_THAT(logRecords(), ElementsAre("3|OpenCameraEx|Open camera failed for invalid resolution 65536x65536",
                                          "3|OpenCameraEx|Open camera failed for invalid resolution -640x480"));
    EXPECT_FALSE(g_CameraMgr.mediaLibInited);
    EXPECT_FALSE(g_CameraMgr.slots[0].initialised);
    EXPECT_EQ(g_CameraMgr.slots[1].id, 255);
    // The id is checked first.
    EXPECT_EQ(OpenCameraEx(5, 30, 65536, 65536), -1);
    EXPECT_EQ(logRecords().back(), "3|OpenCameraEx|Open camera failed for invalid id 5");
}

TEST_F(OpenCamera, ReopeningAtANewResolutionCapturesAtThatResolution) {
    ASSERT_EQ(OpenCameraEx(0, 30, 640, 480), 0);
    ASSERT_EQ(CloseCameraEx(0), 0);
    ASSERT_EQ(OpenCameraEx(0, 15, 320, 240), 0);
    EXPECT_EQ(entriesOf(BOARDSIM_MEDIA_LIB_INIT).size(), 1u);
    const CameraSlot &slot = g_CameraMgr.slots[0];
    EXPECT_EQ(slot.fps, 15);
    EXPECT_EQ(slot.width, 320);
    EXPECT_EQ(slot.height, 240);
    EXPECT_EQ(slot.frameSize, 320 * 240 * 3 / 2);

    CameraFrame frame = {0, nullptr};
    ASSERT_EQ(ReadCameraFrame(0, &frame), 0);
    EXPECT_EQ(frame.size, 320 * 240 * 3 / 2);
    vekpimoFree(frame.data);

    // A failed reopening leaves the slot as the last success left it.
    ASSERT_EQ(CloseCameraEx(0), 0);
    boardsim_fail_call(BOARDSIM_SET_CAMERA_PROPERTY, 0, BOARDSIM_FAIL_ONCE);
    EXPECT_EQ(OpenCameraEx(0, 60, 1280, 720), -1);
    EXPECT_EQ(slot.width, 320);
    EXPECT_EQ(slot.fps, 15);
    EXPECT_EQ(slot.frameSize, 320 * 240 * 3 / 2);
}

TEST_F(OpenCamera, AFailedFirstOpeningStillFillsTheSlot) {
    boardsim_fail_call(BOARDSIM_OPEN_CAMERA, 0, BOARDSIM_FAIL_ONCE);
    ASSERT_EQ(OpenCameraEx(0, 30, 640, 480), -1);
    EXPECT_TRUE(g_CameraMgr.slots[0].initialised);
    EXPECT_EQ(g_CameraMgr.slots[0].width, 640);
    // The next opening does not initialise again and takes its own resolution.
    boardsim_journal_clear();
    ASSERT_EQ(OpenCameraEx(0, 30, 320, 240), 0);
    EXPECT_EQ(mediaCalls().front(), "QueryCameraStatus(0)");
    EXPECT_EQ(g_CameraMgr.slots[0].width, 320);
}

TEST_F(OpenCamera, ConfigCameraAloneStopsAtTheRefusedFrameRate) {
    ASSERT_EQ(boardsim_set_status(1, 1), 0);
    boardsim_fail_call(BOARDSIM_SET_CAMERA_PROPERTY, 1, BOARDSIM_FAIL_ONCE);
    EXPECT_EQ(ConfigCamera(1, 30, 640, 480), -1);
    EXPECT_THAT(mediaCalls(), ElementsAre("SetCameraProperty(1,2)"));
    EXPECT_THAT(logRecords(), ElementsAre("3|ConfigCamera|Set camera fps failed"));
    EXPECT_EQ(stdoutText(), "Set camera fps failed\n");
    EXPECT_FALSE(g_CameraMgr.mediaLibInited) << "ConfigCamera leaves the table alone";
    EXPECT_FALSE(g_CameraMgr.slots[1].initialised);

    boardsim_journal_clear();
    EXPECT_EQ(ConfigCamera(1, 30, 640, 480), 0);
    EXPECT_EQ(mediaCalls().size(), 3u);
    EXPECT_THAT(logRecords(), IsEmpty()) << "success is silent";
    EXPECT_EQ(g_CameraMgr.slots[1].frameSize, 0);
}

}  // namespace
