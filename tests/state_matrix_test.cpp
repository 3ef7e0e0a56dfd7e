// Every exported call in every state of a camera, for both cameras and for
// ids outside the table: each cell in a fresh child process.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardcam.h"
#include "child.h"
#include "journal.h"
#include "vekpimo.h"

namespace {

enum class State { NeverOpened, Open, Closed, FailedOpen };
enum class Call { Init, Open, Config, Read, ReadNull, Close };

const char *name(State s) {
    switch (s) {
        case State::NeverOpened: return "never opened";
        case State::Open: return "open";
        case State::Closed: return "closed";
        case State::FailedOpen: return "failed open";
    }
    return "?";
}
const char *name(Call c) {
    switch (c) {
        case Call::Init: return "CameraInit";
        case Call::Open: return "OpenCameraEx";
        case Call::Config: return "ConfigCamera";
        case Call::Read: return "ReadCameraFrame";
        case Call::ReadNull: return "ReadCameraFrame(null)";
        case Call::Close: return "CloseCameraEx";
    }
    return "?";
}

// Brings camera `id` into `state`; false when that did not work.
bool enter(State state, int id) {
    switch (state) {
        case State::NeverOpened: return true;
        case State::Open: return OpenCameraEx(id, 30, 64, 48) == 0;
        case State::Closed: return OpenCameraEx(id, 30, 64, 48) == 0 && CloseCameraEx(id) == 0;
        case State::FailedOpen:
            boardsim_fail_call(BOARDSIM_OPEN_CAMERA, id, BOARDSIM_FAIL_ONCE);
            return OpenCameraEx(id, 30, 64, 48) == -1;
    }
    return false;
}

// Runs the call; a frame handed out is released at once.
int perform(Call call, int id) {
    CameraFrame frame = {0, nullptr};
    int result = -2;
    switch (call) {
        case Call::Init: result = CameraInit(id, 30, 64, 48); break;
        case Call::Open: result = OpenCameraEx(id, 30, 64, 48); break;
        case Call::Config: result = ConfigCamera(id, 30, 64, 48); break;
        case Call::Read:
            result = ReadCameraFrame(id, &frame);
            if (result == 0) vekpimoFree(frame.data);
            break;
        case Call::ReadNull: result = ReadCameraFrame(id, nullptr); break;
        case Call::Close: result = CloseCameraEx(id); break;
    }
    return result;
}

// What each call answers in each state of the simulated board: only an open
// camera configures, delivers frames and closes; opening works from every
// state once nothing is scripted to fail.
int expected(State state, Call call) {
    switch (call) {
        case Call::Init:
        case Call::Open: return 0;
        case Call::ReadNull: return -1;
        case Call::Config:
        case Call::Read:
        case Call::Close: return state == State::Open ? 0 : -1;
    }
    return -2;
}

TEST(StateMatrix, EveryCallInEveryState) {
    const State states[] = {State::NeverOpened, State::Open, State::Closed, State::FailedOpen};
    const Call calls[] = {Call::Init, Call::Open, Call::Config, Call::Read, Call::ReadNull, Call::Close};
    size_t cells = 0;
    for (State state : states) {
        for (int id : {0, 1}) {
            for (Call call : calls) {
                const auto child = testsupport::runInChild([&]() -> std::string {
                    testsupport::resetBoard();
                    // The other camera is open throughout: the cell must not disturb it.
                    const int other = 1 - id;
                    if (OpenCameraEx(other, 30, 32, 32) != 0) return "other camera did not open";
                    if (!enter(state, id)) return "could not enter the state";
                    const int result = perform(call, id);
                    std::string problems;
                    if (result != expected(state, call)) {
                        problems += "returned " + std::to_string(result) + "\n";
                    }
                    if (boardsim_live_buffers() != 0) problems += "device buffer leaked\n";
                    CameraFrame frame = {0, nullptr};
                    if (ReadCameraFrame(other, &frame) != 0 || frame.size != 32 * 32 * 3 / 2) {
                        problems += "other camera disturbed\n";
                    } else {
                        vekpimoFree(frame.data);
                    }
                    return problems;
                });
                ++cells;
                EXPECT_EQ(child.status, 0) << name(call) << " on camera " << id << " " << name(state) << ": "
                                           << child.message;
            }
        }
    }
    // Ids outside the table fail every call and touch no camera.
    for (int id : {2, -1, 255, INT32_MIN}) {
        for (Call call : calls) {
            const auto child = testsupport::runInChild([&]() -> std::string {
                testsupport::resetBoard();
                const int result = perform(call, id);
                std::string problems;
                if (result != -1) problems += "returned " + std::to_string(result) + "\n";
                if (boardsim_live_buffers() != 0) problems += "device buffer leaked\n";
                if (g_CameraMgr.slots[0].initialised || g_CameraMgr.slots[1].initialised) {
                    problems += "a slot was filled\n";
                }
                return problems;
            });
            ++cells;
            EXPECT_EQ(child.status, 0) << name(call) << " on id " << id << ": " << child.message;
        }
    }
    std::printf("state matrix: %zu cells\n", cells);
}

}  // namespace
