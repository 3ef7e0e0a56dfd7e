// The simulated media library: two cameras with status, properties and a
// free-running sensor that produces the test pattern at the configured rate.
#include <algorithm>
#include <thread>

#include "camera_hold.h"
#include "cammedia.h"
#include "hooks.h"
#include "pattern.h"
#include "stamp.h"
#include "scene.h"
#include "state.h"

using namespace boardsim;

namespace {

constexpr int kMaxFps = 240;
constexpr int kMaxSide = 8192;

bool validResolution(const FrameResolution &r) {
    return r.width > 0 && r.height > 0 && r.width % 2 == 0 && r.height % 2 == 0 &&
           r.width <= kMaxSide && r.height <= kMaxSide;
}

// The common shape of the calls that take only a camera id: count the call,
// apply faults, run `action` on a valid camera, journal the answer.
template <typename Action>
int cameraCall(BoardsimCall call, int id, Action action) {
    State &s = State::get();
    std::lock_guard<std::mutex> lock(s.mu);
    BoardsimEvent event = makeEvent(call, id);
    event.refused = s.takeFault(call, id);
    if (event.refused || !isCamera(id)) {
        event.result = 0;
    } else {
        event.result = action(s.cameras[id]);
    }
    s.record(event);
    return event.result;
}

}  // namespace

extern "C" {

int boardsim_impl_MediaLibInit(void) {
    // The cameras work whether or not this ran: initialisation is journaled only.
    State &s = State::get();
    std::lock_guard<std::mutex> lock(s.mu);
    BoardsimEvent event = makeEvent(BOARDSIM_MEDIA_LIB_INIT, BOARDSIM_ANY_CAMERA);
    event.refused = s.takeFault(BOARDSIM_MEDIA_LIB_INIT, BOARDSIM_ANY_CAMERA);
    event.result = event.refused ? 0 : 1;
    s.record(event);
    return event.result;
}

int boardsim_impl_QueryCameraStatus(int id) {
    // A camera that another process has is unusable here until it lets go.
    return cameraCall(BOARDSIM_QUERY_CAMERA_STATUS, id, [id](Camera &c) {
        return c.status == STATUS_CLOSED && cameraHeldElsewhere(id) ? BOARDSIM_STATUS_IN_USE : c.status;
    });
}

int boardsim_impl_OpenCamera(int id) {
    return cameraCall(BOARDSIM_OPEN_CAMERA, id, [id](Camera &c) {
        if (c.status == STATUS_OPEN) return 1;
        if (c.status != STATUS_CLOSED || !takeCameraHold(id)) return 0;
        c.status = STATUS_OPEN;
        c.fpsSet = c.resolutionSet = c.modeSet = false;
        c.restartSensor(Clock::now());
        return 1;
    });
}

int boardsim_impl_CloseCamera(int id) {
    return cameraCall(BOARDSIM_CLOSE_CAMERA, id, [id](Camera &c) {
        if (c.status != STATUS_OPEN) return 0;
        dropCameraHold(id);
        c.status = STATUS_CLOSED;
        c.fpsSet = c.resolutionSet = c.modeSet = false;
        return 1;
    });
}

int boardsim_impl_SetCameraProperty(int id, int prop, void *value) {
    State &s = State::get();
    std::unique_lock<std::mutex> lock(s.mu);
    BoardsimEvent event = makeEvent(BOARDSIM_SET_CAMERA_PROPERTY, id);
    bool prepare = false;
    event.prop = prop;
    event.ptr = reinterpret_cast<uintptr_t>(value);
    event.refused = s.takeFault(BOARDSIM_SET_CAMERA_PROPERTY, id);
    event.result = 0;
    if (value != nullptr) {
        if (prop == PROP_RESOLUTION) {
            const auto *r = static_cast<const FrameResolution *>(value);
            event.value[0] = r->width;
            event.value[1] = r->height;
        } else {
            event.value[0] = *static_cast<const int32_t *>(value);
        }
    }
    if (!event.refused && isCamera(id) && value != nullptr && s.cameras[id].status == STATUS_OPEN) {
        Camera &c = s.cameras[id];
        if (prop == PROP_FPS && event.value[0] >= 1 && event.value[0] <= kMaxFps) {
            c.fps = event.value[0];
            c.fpsSet = true;
            c.restartSensor(Clock::now());
            event.result = 1;
        } else if (prop == PROP_RESOLUTION &&
                   validResolution(*static_cast<const FrameResolution *>(value))) {
            c.width = event.value[0];
            c.height = event.value[1];
            c.resolutionSet = true;
            event.result = 1;
            prepare = s.pattern == BOARDSIM_PATTERN_SCENE;
        } else if (prop == PROP_MODE && event.value[0] == 1) {
            c.modeSet = true;
            event.result = 1;
        }
    }
    s.record(event);
    lock.unlock();
    // The scene's picture is built when the size is known, not on a frame's time.
    if (prepare) prepareScene(id, event.value[0], event.value[1]);
    return event.result;
}

int boardsim_impl_ReadFrameFromCamera(int id, void *buf, uint32_t *size) {
    State &s = State::get();
    std::unique_lock<std::mutex> lock(s.mu);
    BoardsimEvent event = makeEvent(BOARDSIM_READ_FRAME_FROM_CAMERA, id);
    event.ptr = reinterpret_cast<uintptr_t>(buf);
    event.size = size != nullptr ? *size : 0;
    event.refused = s.takeFault(BOARDSIM_READ_FRAME_FROM_CAMERA, id);

    const bool ready = !event.refused && isCamera(id) && buf != nullptr && size != nullptr &&
                       s.cameras[id].status == STATUS_OPEN && s.cameras[id].configured() &&
                       s.cameras[id].frameBytes() <= *size;
    if (!ready) {
        event.result = 0;
        event.sizeOut = size != nullptr ? *size : 0;
        s.record(event);
        return 0;
    }

    Camera &c = s.cameras[id];
    const int width = c.width, height = c.height;
    const uint32_t bytes = uint32_t(c.frameBytes());
    const uint32_t reported = c.nextReadSizeSet ? c.nextReadSize : bytes;
    c.nextReadSizeSet = false;
    uint32_t index = c.framesDelivered;
    Clock::time_point due = Clock::now();
    Clock::time_point produced = due;
    if (s.pacing) {
        // The sensor runs on its own clock. The newest frame already
        // produced is delivered at once; if it was delivered before, the read
        // waits for the next one.
        const int64_t period = 1000000000LL / c.fps;
        const int64_t elapsed =
            std::chrono::duration_cast<std::chrono::nanoseconds>(due - c.sensorBase).count();
        const uint64_t newest = uint64_t(c.baseIndex) + uint64_t(std::max<int64_t>(elapsed, 0) / period);
        if (newest >= c.framesDelivered) {
            index = uint32_t(newest);
        } else {
            due = c.sensorBase + std::chrono::nanoseconds(int64_t(index - c.baseIndex) * period);
        }
        produced = c.sensorBase + std::chrono::nanoseconds(int64_t(index - c.baseIndex) * period);
    }
    c.framesDelivered = index + 1;
    event.frame = index;
    const BoardsimPattern pattern = s.pattern;
    const bool stamp = s.stamp;
    lock.unlock();

    std::this_thread::sleep_until(due);
    renderFrame(pattern, id, index, width, height, static_cast<uint8_t *>(buf));
    if (stamp) {
        stampCaptureTime(static_cast<uint8_t *>(buf), width, height,
                         std::chrono::duration_cast<std::chrono::nanoseconds>(produced.time_since_epoch()).count());
    }
    *size = reported;

    lock.lock();
    event.result = 1;
    event.sizeOut = reported;
    s.record(event);
    return 1;
}

}  // extern "C"
