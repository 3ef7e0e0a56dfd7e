// The host board simulator's own contract, through the board's call names.
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "boardsim.h"
#include "cammedia.h"
#include "journal.h"
#include "vekpimo.h"
#include "vekrt.h"

using testsupport::journal;
using testsupport::resetBoard;

namespace {

// 75% colour bars in BT.601 limited range: white, yellow, cyan, green,
// magenta, red, blue, black.
const uint8_t kBarY[8] = {180, 162, 131, 112, 84, 65, 35, 16};
const uint8_t kBarU[8] = {128, 44, 156, 72, 184, 100, 212, 128};
const uint8_t kBarV[8] = {128, 142, 44, 58, 198, 212, 114, 128};

bool openAndConfigure(int id, int fps, int width, int height) {
    int32_t rate = fps, mode = 1;
    FrameResolution res = {width, height};
    return OpenCamera(id) != 0 && SetCameraProperty(id, PROP_FPS, &rate) != 0 &&
           SetCameraProperty(id, PROP_RESOLUTION, &res) != 0 &&
           SetCameraProperty(id, PROP_MODE, &mode) != 0;
}

std::vector<uint8_t> readFrame(int id, size_t capacity, int *result = nullptr) {
    std::vector<uint8_t> buf(capacity);
    uint32_t size = uint32_t(capacity);
    const int r = ReadFrameFromCamera(id, buf.data(), &size);
    if (result != nullptr) *result = r;
    buf.resize(r != 0 ? size : 0);
    return buf;
}

class Simulator : public ::testing::Test {
  protected:
    void SetUp() override { resetBoard(); }
};

TEST_F(Simulator, CamerasStartClosedAndOpenAndClose) {
    EXPECT_EQ(QueryCameraStatus(0), STATUS_CLOSED);
    EXPECT_EQ(QueryCameraStatus(1), STATUS_CLOSED);
    EXPECT_EQ(CloseCamera(0), 0) << "closing a closed camera fails";
    EXPECT_NE(OpenCamera(0), 0);
    EXPECT_EQ(QueryCameraStatus(0), STATUS_OPEN);
    EXPECT_EQ(QueryCameraStatus(1), STATUS_CLOSED);
    EXPECT_NE(CloseCamera(0), 0);
    EXPECT_EQ(QueryCameraStatus(0), STATUS_CLOSED);
}

TEST_F(Simulator, UnknownCameraIdsFailWithoutCrashing) {
    uint8_t buf[16];
    uint32_t size = sizeof buf;
    int32_t fps = 30;
    for (int id : {2, -1, 255, INT_MIN, INT_MAX}) {
        EXPECT_EQ(OpenCamera(id), 0) << id;
        EXPECT_EQ(CloseCamera(id), 0) << id;
        EXPECT_NE(QueryCameraStatus(id), STATUS_OPEN) << id;
        EXPECT_NE(QueryCameraStatus(id), STATUS_CLOSED) << id;
        EXPECT_EQ(SetCameraProperty(id, PROP_FPS, &fps), 0) << id;
        EXPECT_EQ(ReadFrameFromCamera(id, buf, &size), 0) << id;
    }
    EXPECT_EQ(boardsim_set_status(2, 1), -1);
    EXPECT_EQ(boardsim_fail_call(BOARDSIM_OPEN_CAMERA, 7, BOARDSIM_FAIL_ONCE), -1);
}

TEST_F(Simulator, PropertiesAcceptOnlyTheirRanges) {
    int32_t value = 30;
    EXPECT_EQ(SetCameraProperty(0, PROP_FPS, &value), 0) << "camera not open";
    ASSERT_NE(OpenCamera(0), 0);
    for (int32_t fps : {1, 240}) EXPECT_NE(SetCameraProperty(0, PROP_FPS, &fps), 0) << fps;
    for (int32_t fps : {0, -1, 241}) EXPECT_EQ(SetCameraProperty(0, PROP_FPS, &fps), 0) << fps;

    const FrameResolution good[] = {{2, 2}, {8192, 8192}, {640, 480}};
    const FrameResolution bad[] = {{0, 480}, {640, 0}, {-640, 480}, {641, 480}, {640, 479}, {8194, 2}, {2, 8194}};
    for (FrameResolution r : good) EXPECT_NE(SetCameraProperty(0, PROP_RESOLUTION, &r), 0) << r.width << "x" << r.height;
    for (FrameResolution r : bad) EXPECT_EQ(SetCameraProperty(0, PROP_RESOLUTION, &r), 0) << r.width << "x" << r.height;

    for (int32_t mode : {0, 2, -1}) EXPECT_EQ(SetCameraProperty(0, PROP_MODE, &mode), 0) << mode;
    value = 1;
    EXPECT_NE(SetCameraProperty(0, PROP_MODE, &value), 0);
    EXPECT_EQ(SetCameraProperty(0, 3, &value), 0) << "unknown property";
    EXPECT_EQ(SetCameraProperty(0, PROP_FPS, nullptr), 0);
}

TEST_F(Simulator, ReadNeedsAnOpenConfiguredCameraAndEnoughCapacity) {
    int result = 1;
    readFrame(0, 64, &result);
    EXPECT_EQ(result, 0) << "camera closed";

    ASSERT_NE(OpenCamera(0), 0);
    readFrame(0, 64, &result);
    EXPECT_EQ(result, 0) << "camera not configured";

    int32_t fps = 30, mode = 1;
    FrameResolution res = {8, 4};
    ASSERT_NE(SetCameraProperty(0, PROP_FPS, &fps), 0);
    ASSERT_NE(SetCameraProperty(0, PROP_RESOLUTION, &res), 0);
    readFrame(0, 64, &result);
    EXPECT_EQ(result, 0) << "mode not set";
    ASSERT_NE(SetCameraProperty(0, PROP_MODE, &mode), 0);

    uint8_t buf[48];
    uint32_t size = 47;
    EXPECT_EQ(ReadFrameFromCamera(0, buf, &size), 0) << "capacity one short";
    EXPECT_EQ(ReadFrameFromCamera(0, nullptr, &size), 0);
    EXPECT_EQ(ReadFrameFromCamera(0, buf, nullptr), 0);
    size = 48;
    EXPECT_NE(ReadFrameFromCamera(0, buf, &size), 0);
    EXPECT_EQ(size, 48u) << "8 x 4 x 3 / 2";

    ASSERT_NE(CloseCamera(0), 0);
    ASSERT_NE(OpenCamera(0), 0);
    size = 48;
    EXPECT_EQ(ReadFrameFromCamera(0, buf, &size), 0) << "reopening drops the configuration";
}

TEST_F(Simulator, FramesAreNv12ColourBarsOfTheConfiguredSize) {
    ASSERT_TRUE(openAndConfigure(0, 30, 64, 32));
    const std::vector<uint8_t> frame = readFrame(0, 64 * 32 * 3 / 2);
    ASSERT_EQ(frame.size(), 64u * 32 * 3 / 2);
    // Top row lies above the block: eight vertical bars of 8 columns each.
    for (int bar = 0; bar < 8; ++bar) {
        for (int x = bar * 8; x < bar * 8 + 8; ++x) EXPECT_EQ(frame[size_t(x)], kBarY[bar]) << x;
        const size_t chroma = 64 * 32 + size_t(bar) * 8;
        EXPECT_EQ(frame[chroma], kBarU[bar]) << bar;
        EXPECT_EQ(frame[chroma + 1], kBarV[bar]) << bar;
    }
}

TEST_F(Simulator, CameraOneStacksTheBarsTopToBottom) {
    ASSERT_TRUE(openAndConfigure(1, 30, 32, 64));
    const std::vector<uint8_t> frame = readFrame(1, 32 * 64 * 3 / 2);
    ASSERT_EQ(frame.size(), 32u * 64 * 3 / 2);
    // Leftmost column lies beside the block.
    for (int bar = 0; bar < 8; ++bar) {
        for (int y = bar * 8; y < bar * 8 + 8; ++y) EXPECT_EQ(frame[size_t(y) * 32], kBarY[bar]) << y;
        const size_t chroma = 32 * 64 + size_t(bar) * 4 * 32;
        EXPECT_EQ(frame[chroma], kBarU[bar]) << bar;
        EXPECT_EQ(frame[chroma + 1], kBarV[bar]) << bar;
    }
}

// Columns (camera 0) whose middle-row luma is the block's white.
std::vector<int> whiteColumns(const std::vector<uint8_t> &frame, int width, int row) {
    std::vector<int> cols;
    for (int x = 0; x < width; ++x) {
        if (frame[size_t(row) * size_t(width) + size_t(x)] == 235) cols.push_back(x);
    }
    return cols;
}

TEST_F(Simulator, TheBlockMovesFromFrameToFrame) {
    ASSERT_TRUE(openAndConfigure(0, 30, 128, 64));
    std::vector<int> previous;
    for (int i = 0; i < 4; ++i) {
        const auto frame = readFrame(0, 128 * 64 * 3 / 2);
        const std::vector<int> cols = whiteColumns(frame, 128, 32);
        ASSERT_EQ(cols.size(), 16u) << "a 16-pixel block in frame " << i;
        EXPECT_EQ(cols.back() - cols.front(), 15);
        if (i > 0) {
            EXPECT_GT(cols.front(), previous.front()) << "frame " << i;
        }
        previous = cols;
    }
    EXPECT_EQ(boardsim_frames_delivered(0), 4u);
    EXPECT_EQ(boardsim_frames_delivered(1), 0u);
}

TEST_F(Simulator, FramesAreDeterministicAndDifferPerCamera) {
    ASSERT_TRUE(openAndConfigure(0, 30, 64, 64));
    ASSERT_TRUE(openAndConfigure(1, 30, 64, 64));
    const size_t bytes = 64 * 64 * 3 / 2;
    const auto a = readFrame(0, bytes), b = readFrame(1, bytes);
    std::vector<uint8_t> rendered(bytes);
    ASSERT_EQ(boardsim_render_frame(0, 0, 64, 64, rendered.data(), bytes), bytes);
    EXPECT_EQ(a, rendered);
    ASSERT_EQ(boardsim_render_frame(1, 0, 64, 64, rendered.data(), bytes), bytes);
    EXPECT_EQ(b, rendered);
    EXPECT_NE(a, b);
    EXPECT_EQ(boardsim_render_frame(0, 0, 63, 64, rendered.data(), bytes), 0u);
    EXPECT_EQ(boardsim_render_frame(0, 0, 64, 64, rendered.data(), bytes - 1), 0u);
}

// When the newest frame rate was set: the journal entry's start, which is
// before the sensor's clock started inside the call.
int64_t rateSetNs() {
    for (const BoardsimEvent &e : testsupport::entriesOf(BOARDSIM_SET_CAMERA_PROPERTY)) {
        if (e.prop == PROP_FPS) return e.startNs;
    }
    return 0;
}

// The index of the sensor frame the newest read delivered, from the journal.
uint32_t lastFrameIndex() {
    const auto reads = testsupport::entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA);
    return reads.empty() ? UINT32_MAX : reads.back().frame;
}

TEST_F(Simulator, PacedReadsWaitForTheNextFrameOfAFreeRunningSensor) {
    boardsim_set_pacing(true);
    // Timed from before the configuration, which starts the sensor: a slow
    // machine may take a while between the two.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(openAndConfigure(0, 20, 16, 16));
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(readFrame(0, 384).size(), 384u);
        EXPECT_EQ(lastFrameIndex(), uint32_t(i));
    }
    // Frame 0 is due at once, frame 3 three periods of 50 ms later.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(149));
    EXPECT_EQ(boardsim_frames_delivered(0), 4u);
}

TEST_F(Simulator, ALateReaderGetsTheNewestFrameAndTheCadenceStays) {
    boardsim_set_pacing(true);
    ASSERT_TRUE(openAndConfigure(0, 50, 16, 16));  // 20 ms periods
    const auto opened = std::chrono::steady_clock::now();
    ASSERT_EQ(readFrame(0, 384).size(), 384u);
    EXPECT_EQ(lastFrameIndex(), 0u);
    // Frames 1 to 4 come and go unread; frame 5 is due at 100 ms, frame 6
    // at 120.
    std::this_thread::sleep_until(opened + std::chrono::milliseconds(115));
    const auto lateRead = std::chrono::steady_clock::now();
    ASSERT_EQ(readFrame(0, 384).size(), 384u);
    EXPECT_LT(std::chrono::steady_clock::now() - lateRead, std::chrono::milliseconds(10)) << "delivered at once";
    const uint32_t late = lastFrameIndex();
    EXPECT_GE(late, 5u);
    // The next read waits for the following frame on the same cadence, not
    // one period after the late read.
    ASSERT_EQ(readFrame(0, 384).size(), 384u);
    EXPECT_EQ(lastFrameIndex(), late + 1);
    // The sensor's clock starts while its rate is set: frame late + 1 is due
    // late + 1 periods later. Had the late read shifted the cadence, it would
    // be due a whole period after that read instead: 15 ms or more past
    // this bound, which leaves 15 ms for a slow machine (valgrind's read
    // returned 12 ms after its frame was due).
    const int64_t since = testsupport::entriesOf(BOARDSIM_READ_FRAME_FROM_CAMERA).back().endNs - rateSetNs();
    EXPECT_GE(since, int64_t(late + 1) * 20000000);
    EXPECT_LT(since, int64_t(late + 1) * 20000000 + 15000000);
}

TEST_F(Simulator, WithoutPacingEveryReadDeliversTheNextFrameAtOnce) {
    ASSERT_TRUE(openAndConfigure(1, 1, 16, 16));
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_EQ(readFrame(1, 384).size(), 384u);
        EXPECT_EQ(lastFrameIndex(), i);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(Simulator, JournalEntriesCarryTheirStartAndEndTimes) {
    boardsim_set_pacing(true);
    ASSERT_TRUE(openAndConfigure(0, 25, 16, 16));
    ASSERT_EQ(readFrame(0, 384).size(), 384u);
    ASSERT_EQ(readFrame(0, 384).size(), 384u);  // waits 40 ms inside the call
    const auto events = journal();
    ASSERT_EQ(events.size(), 6u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_LE(events[i].startNs, events[i].endNs) << i;
        if (i > 0) {
            EXPECT_LE(events[i - 1].endNs, events[i].startNs) << i;
        }
    }
    // Frame 1 is due 40 ms after the rate was set; the read waited for it.
    EXPECT_GE(events.back().endNs - rateSetNs(), 40000000);
    EXPECT_GT(events.back().endNs - events.back().startNs, 0);
}

TEST_F(Simulator, ScriptedFaultsRefuseOnceOrUntilCleared) {
    ASSERT_EQ(boardsim_fail_call(BOARDSIM_OPEN_CAMERA, 1, BOARDSIM_FAIL_ONCE), 0);
    EXPECT_NE(OpenCamera(0), 0) << "fault is for camera 1 only";
    EXPECT_EQ(OpenCamera(1), 0);
    EXPECT_NE(OpenCamera(1), 0) << "a once fault is spent";

    ASSERT_EQ(boardsim_fail_call(BOARDSIM_CLOSE_CAMERA, BOARDSIM_ANY_CAMERA, BOARDSIM_FAIL_ALWAYS), 0);
    EXPECT_EQ(CloseCamera(0), 0);
    EXPECT_EQ(CloseCamera(1), 0);
    boardsim_clear_faults();
    EXPECT_NE(CloseCamera(0), 0);

    const auto events = journal();
    ASSERT_GE(events.size(), 3u);
    EXPECT_TRUE(events[1].refused);
    EXPECT_FALSE(events[2].refused);
}

TEST_F(Simulator, TheNthCallCanBeRefusedWhateverItIs) {
    ASSERT_EQ(boardsim_fail_nth_call(2, BOARDSIM_FAIL_ONCE), 0);
    EXPECT_EQ(QueryCameraStatus(0), STATUS_CLOSED);
    void *p = nullptr;
    EXPECT_EQ(vekpimoMalloc(&p, 8), BOARDSIM_PIMO_ERR_NO_MEMORY);
    EXPECT_EQ(vekpimoMalloc(&p, 8), 0);
    EXPECT_EQ(vekpimoFree(p), 0);

    ASSERT_EQ(boardsim_fail_nth_call(1, BOARDSIM_FAIL_ALWAYS), 0);
    EXPECT_EQ(OpenCamera(0), 0);
    EXPECT_NE(vekAppLog(1, "f", "x.c", 1, "text"), 0);
    boardsim_clear_faults();
    EXPECT_NE(OpenCamera(0), 0);
    EXPECT_EQ(boardsim_fail_nth_call(0, BOARDSIM_FAIL_ONCE), -1);
}

TEST_F(Simulator, ScriptedStatusAndReadSize) {
    ASSERT_EQ(boardsim_set_status(0, 3), 0);
    EXPECT_EQ(QueryCameraStatus(0), 3);
    EXPECT_EQ(OpenCamera(0), 0) << "an unusable camera does not open";
    ASSERT_EQ(boardsim_set_status(0, STATUS_CLOSED), 0);

    ASSERT_TRUE(openAndConfigure(0, 30, 4, 2));
    ASSERT_EQ(boardsim_set_next_read_size(0, 11), 0);
    uint8_t buf[12];
    uint32_t size = sizeof buf;
    EXPECT_NE(ReadFrameFromCamera(0, buf, &size), 0);
    EXPECT_EQ(size, 11u);
    size = sizeof buf;
    EXPECT_NE(ReadFrameFromCamera(0, buf, &size), 0);
    EXPECT_EQ(size, 12u) << "the scripted size applies to one read";
}

TEST_F(Simulator, JournalRecordsArgumentsAndAnswers) {
    ASSERT_TRUE(openAndConfigure(0, 25, 6, 4));
    vekAppLog(3, "Caller", "file.c", 42, "value %d", 7);
    const auto events = journal();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].call, BOARDSIM_OPEN_CAMERA);
    EXPECT_EQ(events[1].prop, PROP_FPS);
    EXPECT_EQ(events[1].value[0], 25);
    EXPECT_EQ(events[2].prop, PROP_RESOLUTION);
    EXPECT_EQ(events[2].value[0], 6);
    EXPECT_EQ(events[2].value[1], 4);
    EXPECT_EQ(events[3].value[0], 1);
    EXPECT_EQ(events[3].result, 1);
    EXPECT_EQ(events[4].call, BOARDSIM_APP_LOG);
    EXPECT_EQ(events[4].level, 3);
    EXPECT_EQ(events[4].line, 42);
    EXPECT_STREQ(events[4].func, "Caller");
    EXPECT_STREQ(events[4].file, "file.c");
    EXPECT_STREQ(events[4].text, "value 7");
    boardsim_journal_enable(false);
    QueryCameraStatus(0);
    EXPECT_EQ(boardsim_journal_size(), 5u);
    boardsim_journal_clear();
    EXPECT_EQ(boardsim_journal_size(), 0u);
}

TEST_F(Simulator, DeviceMemoryIsCountedAndLimited) {
    void *a = nullptr, *b = nullptr, *zero = nullptr;
    ASSERT_EQ(vekpimoMalloc(&a, 100), 0);
    ASSERT_EQ(vekpimoMalloc(&zero, 0), 0);
    EXPECT_NE(zero, nullptr);
    EXPECT_NE(zero, a);
    EXPECT_EQ(boardsim_live_buffers(), 2u);
    EXPECT_EQ(boardsim_live_bytes(), 100u);

    boardsim_set_memory_limit(150);
    EXPECT_EQ(vekpimoMalloc(&b, 51), BOARDSIM_PIMO_ERR_NO_MEMORY);
    EXPECT_EQ(b, nullptr) << "a refused allocation leaves the address alone";
    EXPECT_EQ(vekpimoMalloc(&b, SIZE_MAX), BOARDSIM_PIMO_ERR_NO_MEMORY);
    ASSERT_EQ(vekpimoMalloc(&b, 50), 0);
    EXPECT_EQ(vekpimoMalloc(nullptr, 1), BOARDSIM_PIMO_ERR_ARGUMENT);

    EXPECT_EQ(vekpimoFree(a), 0);
    EXPECT_EQ(vekpimoFree(b), 0);
    EXPECT_EQ(vekpimoFree(zero), 0);
    EXPECT_EQ(boardsim_live_buffers(), 0u);
    EXPECT_EQ(boardsim_live_bytes(), 0u);
}

TEST_F(Simulator, ReleasedFrameBuffersAreHandedOutAgain) {
    // Frame-sized buffers come back from the device heap, so steady capture
    // touches no new pages; the accounting stays exact.
    const size_t frame = 640 * 480 * 3 / 2 + 1;
    void *first = nullptr, *second = nullptr, *other = nullptr;
    ASSERT_EQ(vekpimoMalloc(&first, frame), 0);
    ASSERT_EQ(vekpimoFree(first), 0);
    ASSERT_EQ(vekpimoMalloc(&second, frame), 0);
    EXPECT_EQ(second, first);
    EXPECT_EQ(boardsim_live_bytes(), frame);
    ASSERT_EQ(vekpimoMalloc(&other, frame), 0);
    EXPECT_NE(other, second) << "a live buffer is never handed out twice";
    EXPECT_EQ(vekpimoFree(second), 0);
    EXPECT_EQ(vekpimoFree(other), 0);
    EXPECT_EQ(vekpimoFree(second), BOARDSIM_PIMO_ERR_UNKNOWN) << "a spare buffer is not live";
    EXPECT_EQ(boardsim_live_buffers(), 0u);
    EXPECT_EQ(boardsim_live_bytes(), 0u);
}

TEST_F(Simulator, FreeOfAnUnknownPointerIsReportedNotFatal) {
    int local = 0;
    void *p = nullptr;
    ASSERT_EQ(vekpimoMalloc(&p, 16), 0);
    ASSERT_EQ(vekpimoFree(p), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(vekpimoFree(&local), BOARDSIM_PIMO_ERR_UNKNOWN);
    EXPECT_EQ(vekpimoFree(p), BOARDSIM_PIMO_ERR_UNKNOWN) << "double free";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("vekpimoFree of unknown device buffer"), std::string::npos) << err;
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST(SimulatorExit, ReportsDeviceBuffersStillLive) {
    EXPECT_EXIT(
        {
            void *p = nullptr;
            vekpimoMalloc(&p, 4096);
            vekpimoMalloc(&p, 10);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "2 device buffer\\(s\\) still live at exit \\(4106 bytes\\)");
}

TEST(SimulatorEnvironment, ScriptsFaultsAndPacing) {
    setenv("BOARDSIM_FAIL", "OpenCamera:1,ReadFrameFromCamera,NoSuchCall,CloseCamera:9", 1);
    setenv("BOARDSIM_PACING", "0", 1);
    testing::internal::CaptureStderr();
    // The first platform call reads the environment.
    EXPECT_NE(OpenCamera(0), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ignoring unknown entry 'NoSuchCall'"), std::string::npos) << err;
    EXPECT_NE(err.find("ignoring unknown entry 'CloseCamera:9'"), std::string::npos) << err;
    EXPECT_EQ(OpenCamera(1), 0);
    EXPECT_EQ(OpenCamera(1), 0) << "environment faults last until cleared";
    uint8_t buf[16];
    uint32_t size = sizeof buf;
    EXPECT_EQ(ReadFrameFromCamera(0, buf, &size), 0);
    boardsim_clear_faults();
    EXPECT_NE(OpenCamera(1), 0);
}

TEST(SimulatorEnvironment, AFaultWindowRefusesOnlyItsCallsOfItsCamera) {
    // Camera 1's reads 3 to 5 fail; camera 0's reads never do.
    setenv("BOARDSIM_FAIL", "ReadFrameFromCamera:1@3+3,OpenCamera@x+1,CloseCamera@2+0", 1);
    setenv("BOARDSIM_PACING", "0", 1);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(openAndConfigure(0, 30, 64, 48));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ignoring unknown entry 'OpenCamera@x+1'"), std::string::npos) << err;
    EXPECT_NE(err.find("ignoring unknown entry 'CloseCamera@2+0'"), std::string::npos) << err;
    ASSERT_TRUE(openAndConfigure(1, 30, 64, 48));
    std::string outcomes[2];
    for (int n = 0; n < 9; ++n) {
        for (int id = 0; id < 2; ++id) {
            int result = 0;
            readFrame(id, 64 * 48 * 3 / 2, &result);
            outcomes[id] += result != 0 ? 'r' : '-';
        }
    }
    EXPECT_EQ(outcomes[0], "rrrrrrrrr");
    EXPECT_EQ(outcomes[1], "rrr---rrr");
}

TEST(SimulatorEnvironment, AppendsLogRecordsToTheNamedFile) {
    const std::string path = testing::TempDir() + "boardsim_app_log_test.log";
    std::remove(path.c_str());
    setenv("BOARDSIM_APP_LOG", path.c_str(), 1);
    vekAppLog(1, "OpenCameraEx", "camera.cpp", 12, "Open camera %d success", 0);
    vekAppLog(3, "CloseCameraEx", "camera.cpp", 34, "Close camera %d failed", 1);
    std::ifstream in(path);
    std::string first, second, extra;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "[INFO] camera.cpp:12 OpenCameraEx: Open camera 0 success");
    EXPECT_EQ(second, "[ERROR] camera.cpp:34 CloseCameraEx: Close camera 1 failed");
    EXPECT_FALSE(std::getline(in, extra));
    std::remove(path.c_str());
}

}  // namespace

namespace {

// Another process that opens camera `id`, says so on `ready` and then
// holds it until it reads a byte on `go` (closing the camera first when the
// byte is 'c') or is killed.
pid_t holdInAnotherProcess(int id, int ready[2], int go[2]) {
    if (pipe(ready) != 0 || pipe(go) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const char opened = OpenCamera(id) != 0 ? 'o' : 'x';
        if (write(ready[1], &opened, 1) != 1) _exit(2);
        char what = 0;
        if (read(go[0], &what, 1) == 1 && what == 'c') CloseCamera(id);
        _exit(0);
    }
    char opened = 0;
    if (pid < 0 || read(ready[0], &opened, 1) != 1 || opened != 'o') return -1;
    return pid;
}

TEST_F(Simulator, ACameraAnotherProcessOpenedIsInUseUntilItClosesItOrDies) {
    int ready[2], go[2];
    // Closed by its holder.
    pid_t holder = holdInAnotherProcess(0, ready, go);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(QueryCameraStatus(0), BOARDSIM_STATUS_IN_USE);
    EXPECT_EQ(OpenCamera(0), 0) << "a camera has one process at a time";
    EXPECT_EQ(QueryCameraStatus(1), STATUS_CLOSED) << "the other camera is free";
    ASSERT_EQ(write(go[1], "c", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(QueryCameraStatus(0), STATUS_CLOSED);
    EXPECT_NE(OpenCamera(0), 0);
    EXPECT_NE(CloseCamera(0), 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);

    // Killed while it holds the camera: the hold dies with it.
    holder = holdInAnotherProcess(1, ready, go);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(QueryCameraStatus(1), BOARDSIM_STATUS_IN_USE);
    kill(holder, SIGKILL);
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(QueryCameraStatus(1), STATUS_CLOSED);
    EXPECT_NE(OpenCamera(1), 0);
    // Now this process has it: the other process would find it in use.
    EXPECT_EQ(QueryCameraStatus(1), STATUS_OPEN);
    EXPECT_NE(CloseCamera(1), 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

}  // namespace
