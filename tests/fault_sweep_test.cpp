// Every fault point of a full session: the k-th platform call is refused,
// once or from then on, for every k. Each run checks the results and reports
// against what the platform answered, that no device buffer leaks, and that
// the same process recovers once the faults are cleared.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardcam.h"
#include "child.h"
#include "journal.h"
#include "vekpimo.h"

using testsupport::runInChild;

namespace {

constexpr int kWidth = 64, kHeight = 48, kFps = 30, kReadsPerCamera = 3;
constexpr int32_t kFrameSize = kWidth * kHeight * 3 / 2;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// Runs library calls and checks each against the platform's answers in the
// journal; collects every discrepancy.
class ContractChecker {
  public:
    std::ostringstream problems;
    std::vector<void *> owned;            // frames handed to the caller
    size_t runtimeRefusedLibraryFrees = 0;  // buffers the runtime would not release

    void open(int id) {
        const size_t mark = boardsim_journal_size();
        const int result = OpenCameraEx(id, kFps, kWidth, kHeight);
        const auto events = since(mark);
        std::vector<std::string> logs;
        int expected = -1;
        const BoardsimEvent *query = find(events, BOARDSIM_QUERY_CAMERA_STATUS);
        const BoardsimEvent *opening = find(events, BOARDSIM_OPEN_CAMERA);
        if (query == nullptr) {
            note("OpenCameraEx", id, "no status query");
            return;
        }
        if (query->result == 2 && (opening == nullptr || opening->result == 0)) {
            logs.push_back(format("3|OpenCameraEx|Camera%d closed, and open failed.", id));
        } else if (query->result != 1 && query->result != 2) {
            logs.push_back(format("3|OpenCameraEx|Invalid camera%d status %d", id, query->result));
            if (find(events, BOARDSIM_CLOSE_CAMERA) != nullptr) note("OpenCameraEx", id, "closed after a bad status");
        } else {
            const char *reports[] = {"", "Set camera resolution failed", "Set camera fps failed", "", "",
                                     "Set camera mode:1 failed"};
            int refused = 0, tried = 0;
            for (const BoardsimEvent &e : events) {
                if (e.call != BOARDSIM_SET_CAMERA_PROPERTY) continue;
                if (refused != 0) note("OpenCameraEx", id, "property tried after a refusal");
                ++tried;
                if (e.result == 0) refused = e.prop;
            }
            if (refused != 0) {
                logs.push_back(std::string("3|ConfigCamera|") + reports[refused]);
                logs.push_back(format("3|OpenCameraEx|Set camera%d property failed", id));
                if (find(events, BOARDSIM_CLOSE_CAMERA) == nullptr) note("OpenCameraEx", id, "not closed after refusal");
            } else {
                if (tried != 3) note("OpenCameraEx", id, "not all properties set");
                logs.push_back(format("1|OpenCameraEx|Open camera %d success", id));
                expected = 0;
            }
        }
        expect("OpenCameraEx", id, result, expected, events, logs);
    }

    void read(int id) {
        const size_t mark = boardsim_journal_size();
        CameraFrame frame = {-7, nullptr};
        const int result = ReadCameraFrame(id, &frame);
        const auto events = since(mark);
        const BoardsimEvent *alloc = find(events, BOARDSIM_PIMO_MALLOC);
        const BoardsimEvent *readEvent = find(events, BOARDSIM_READ_FRAME_FROM_CAMERA);
        const BoardsimEvent *release = find(events, BOARDSIM_PIMO_FREE);
        std::vector<std::string> logs;
        int expected = -1;
        if (alloc == nullptr) {
            note("ReadCameraFrame", id, "no allocation");
            return;
        }
        if (alloc->result != 0) {
            logs.push_back(format("3|ReadCameraFrame|vek malloc pimo data failed, dataSize=%u, ret=%d",
                                  unsigned(kFrameSize), alloc->result));
            if (readEvent != nullptr) note("ReadCameraFrame", id, "read without a buffer");
        } else if (readEvent == nullptr || readEvent->result == 0 || readEvent->sizeOut != uint32_t(kFrameSize)) {
            logs.push_back(format("3|ReadCameraFrame|Get image from camera %d failed, size %d", id,
                                  readEvent ? int32_t(readEvent->sizeOut) : 0));
            if (release == nullptr || release->ptr != alloc->ptr) {
                note("ReadCameraFrame", id, "buffer of a failed read not released");
            } else if (release->result != 0) {
                ++runtimeRefusedLibraryFrees;
            }
        } else {
            expected = 0;
            logs.push_back(format("1|ReadCameraFrame|cpp image ptr 0x%x", unsigned(alloc->ptr)));
            if (release != nullptr) note("ReadCameraFrame", id, "released the caller's frame");
            if (frame.data != reinterpret_cast<void *>(alloc->ptr) || frame.size != kFrameSize) {
                note("ReadCameraFrame", id, "record not filled with the buffer");
            }
        }
        if (result != 0 && (frame.size != -7 || frame.data != nullptr)) note("ReadCameraFrame", id, "record written on failure");
        if (result == 0) owned.push_back(frame.data);
        expect("ReadCameraFrame", id, result, expected, events, logs);
    }

    void close(int id) {
        const size_t mark = boardsim_journal_size();
        const int result = CloseCameraEx(id);
        const auto events = since(mark);
        const BoardsimEvent *closing = find(events, BOARDSIM_CLOSE_CAMERA);
        std::vector<std::string> logs;
        const int expected = (closing != nullptr && closing->result != 0) ? 0 : -1;
        if (expected != 0) logs.push_back(format("3|CloseCameraEx|Close camera %d failed", id));
        expect("CloseCameraEx", id, result, expected, events, logs);
    }

    // The caller releases its frames; those the runtime refuses are retried later.
    void releaseOwned() {
        std::vector<void *> kept;
        for (void *p : owned) {
            if (vekpimoFree(p) != 0) kept.push_back(p);
        }
        owned = kept;
    }

  private:
    static std::vector<BoardsimEvent> since(size_t mark) {
        const auto all = testsupport::journal();
        return std::vector<BoardsimEvent>(all.begin() + long(mark), all.end());
    }
    static const BoardsimEvent *find(const std::vector<BoardsimEvent> &events, BoardsimCall call) {
        for (const BoardsimEvent &e : events) {
            if (e.call == call) return &e;
        }
        return nullptr;
    }
    void note(const char *function, int id, const std::string &what) {
        problems << function << "(" << id << "): " << what << "\n";
    }
    void expect(const char *function, int id, int result, int expected, const std::vector<BoardsimEvent> &events,
                const std::vector<std::string> &logs) {
        if (result != expected) note(function, id, format("returned %d, expected %d", result, expected));
        std::vector<std::string> seen;
        for (const BoardsimEvent &e : events) {
            if (e.call == BOARDSIM_APP_LOG) seen.push_back(testsupport::describeLog(e));
        }
        if (seen != logs) {
            std::string text = "reports [";
            for (const auto &s : seen) text += s + "; ";
            text += "] expected [";
            for (const auto &s : logs) text += s + "; ";
            note(function, id, text + "]");
        }
    }
};

void fullSession(ContractChecker &check) {
    check.open(0);
    check.open(1);
    for (int i = 0; i < kReadsPerCamera; ++i) {
        for (int id : {0, 1}) {
            check.read(id);
            check.releaseOwned();
        }
    }
    check.close(0);
    check.close(1);
}

// After the faults are cleared the same process captures normally.
std::string recover(ContractChecker &check) {
    boardsim_clear_faults();
    check.releaseOwned();
    if (!check.owned.empty()) return "caller's frames could not be released\n";
    if (boardsim_live_buffers() != check.runtimeRefusedLibraryFrees) {
        return format("%zu device buffers live, %zu expected\n", boardsim_live_buffers(),
                      check.runtimeRefusedLibraryFrees);
    }
    const size_t leftover = boardsim_live_buffers();
    ContractChecker again;
    fullSession(again);
    std::string problems = again.problems.str();
    for (int id : {0, 1}) {
        CameraFrame frame = {0, nullptr};
        if (OpenCameraEx(id, kFps, kWidth, kHeight) != 0 || ReadCameraFrame(id, &frame) != 0 ||
            vekpimoFree(frame.data) != 0 || CloseCameraEx(id) != 0) {
            problems += format("camera %d did not recover\n", id);
        }
    }
    if (boardsim_live_buffers() != leftover) problems += "recovery leaked a device buffer\n";
    return problems;
}

uint64_t platformCallsInASession() {
    uint64_t calls = 0;
    int fds[2];
    if (pipe(fds) != 0) return 0;
    const auto child = runInChild([&] {
        testsupport::resetBoard();
        ContractChecker check;
        fullSession(check);
        const uint64_t n = boardsim_call_count();
        if (write(fds[1], &n, sizeof n) != sizeof n) return std::string("pipe");
        return check.problems.str();
    });
    close(fds[1]);
    if (child.status != 0 || read(fds[0], &calls, sizeof calls) != sizeof calls) calls = 0;
    close(fds[0]);
    EXPECT_EQ(child.status, 0) << "the fault-free session fails:\n" << child.message;
    return calls;
}

TEST(FaultSweep, EveryPlatformCallRefusedOnceAndFromThenOn) {
    const uint64_t points = platformCallsInASession();
    ASSERT_GT(points, 30u);
    size_t runs = 0;
    for (BoardsimFailMode mode : {BOARDSIM_FAIL_ONCE, BOARDSIM_FAIL_ALWAYS}) {
        for (uint64_t k = 1; k <= points; ++k) {
            const auto child = runInChild([&] {
                testsupport::resetBoard();
                boardsim_fail_nth_call(k, mode);
                ContractChecker check;
                fullSession(check);
                return check.problems.str() + recover(check);
            });
            ++runs;
            EXPECT_EQ(child.status, 0) << (mode == BOARDSIM_FAIL_ONCE ? "once" : "from then on")
                                       << ", refusing platform call " << k << ":\n" << child.message;
        }
    }
    std::printf("fault sweep: %llu fault points x 2 modes = %zu runs\n", (unsigned long long)points, runs);
}

TEST(FaultSweep, EveryByteCountAReadMayReport) {
    const struct {
        uint32_t count;
        int result;
    } cases[] = {{0, -1}, {kFrameSize - 1, -1}, {kFrameSize + 1, -1}, {kFrameSize, 0}, {0xFFFFFFFFu, -1}};
    testsupport::resetBoard();
    ASSERT_EQ(OpenCameraEx(0, kFps, kWidth, kHeight), 0);
    for (const auto &c : cases) {
        ContractChecker check;
        boardsim_set_next_read_size(0, c.count);
        const size_t mark = boardsim_journal_size();
        check.read(0);
        EXPECT_EQ(check.problems.str(), "") << c.count;
        EXPECT_EQ(check.owned.size(), c.result == 0 ? 1u : 0u) << c.count;
        const auto events = testsupport::journal();
        ASSERT_GT(events.size(), mark);
        check.releaseOwned();
        EXPECT_EQ(boardsim_live_buffers(), 0u) << c.count;
    }
}

}  // namespace
