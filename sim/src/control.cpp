// The control interface: scripting the board and reading back what happened.
#include <cstring>

#include "camera_hold.h"
#include "cammedia.h"
#include "pattern.h"
#include "state.h"

using namespace boardsim;

namespace {

const char *const kCallNames[BOARDSIM_CALL_COUNT] = {
    "MediaLibInit", "QueryCameraStatus", "OpenCamera",    "SetCameraProperty", "ReadFrameFromCamera",
    "CloseCamera",  "vekAppLog",         "vekpimoMalloc", "vekpimoFree",
};

template <typename F>
auto locked(F f) {
    State &s = State::get();
    std::lock_guard<std::mutex> lock(s.mu);
    return f(s);
}

}  // namespace

extern "C" {

BOARDSIM_API const char *boardsim_call_name(BoardsimCall call) {
    return (call >= 0 && call < BOARDSIM_CALL_COUNT) ? kCallNames[call] : nullptr;
}

BOARDSIM_API int boardsim_call_from_name(const char *name, BoardsimCall *call) {
    if (name == nullptr || call == nullptr) return -1;
    for (int i = 0; i < BOARDSIM_CALL_COUNT; ++i) {
        if (std::strcmp(name, kCallNames[i]) == 0) {
            *call = BoardsimCall(i);
            return 0;
        }
    }
    return -1;
}

BOARDSIM_API void boardsim_reset(void) {
    locked([](State &s) { s.resetLocked(); });
}

BOARDSIM_API int boardsim_fail_call(BoardsimCall call, int camera, BoardsimFailMode mode) {
    if (call < 0 || call >= BOARDSIM_CALL_COUNT) return -1;
    if (camera != BOARDSIM_ANY_CAMERA && !isCamera(camera)) return -1;
    return locked([&](State &s) {
        s.faults.push_back({call, camera, mode});
        return 0;
    });
}

BOARDSIM_API int boardsim_fail_nth_call(uint64_t k, BoardsimFailMode mode) {
    if (k == 0) return -1;
    return locked([&](State &s) {
        s.failFromCall = s.callCount + k;
        s.failFromMode = mode;
        return 0;
    });
}

BOARDSIM_API void boardsim_clear_faults(void) {
    locked([](State &s) {
        s.faults.clear();
        s.failFromCall = 0;
    });
}

BOARDSIM_API uint64_t boardsim_call_count(void) {
    return locked([](State &s) { return s.callCount; });
}

BOARDSIM_API int boardsim_set_status(int camera, int status) {
    if (!isCamera(camera)) return -1;
    return locked([&](State &s) {
        // A camera scripted out of the open state is no longer this process's.
        if (status != STATUS_OPEN) dropCameraHold(camera);
        s.cameras[camera].status = status;
        return 0;
    });
}

BOARDSIM_API int boardsim_status(int camera) {
    if (!isCamera(camera)) return 0;
    return locked([&](State &s) { return s.cameras[camera].status; });
}

BOARDSIM_API int boardsim_set_next_read_size(int camera, uint32_t bytes) {
    if (!isCamera(camera)) return -1;
    return locked([&](State &s) {
        s.cameras[camera].nextReadSizeSet = true;
        s.cameras[camera].nextReadSize = bytes;
        return 0;
    });
}

BOARDSIM_API void boardsim_set_memory_limit(size_t bytes) {
    locked([&](State &s) { s.memoryLimit = bytes; });
}

BOARDSIM_API int boardsim_set_pattern(int pattern) {
    if (pattern != BOARDSIM_PATTERN_BARS && pattern != BOARDSIM_PATTERN_SCENE) return -1;
    return locked([&](State &s) {
        s.pattern = BoardsimPattern(pattern);
        return 0;
    });
}

BOARDSIM_API BoardsimPattern boardsim_pattern(void) {
    return locked([](State &s) { return s.pattern; });
}

BOARDSIM_API void boardsim_set_pacing(bool on) {
    locked([&](State &s) { s.pacing = on; });
}

BOARDSIM_API void boardsim_journal_enable(bool on) {
    locked([&](State &s) { s.journalOn = on; });
}

BOARDSIM_API size_t boardsim_journal_size(void) {
    return locked([](State &s) { return s.journal.size(); });
}

BOARDSIM_API int boardsim_journal_entry(size_t index, BoardsimEvent *out) {
    if (out == nullptr) return -1;
    return locked([&](State &s) {
        if (index >= s.journal.size()) return -1;
        *out = s.journal[index];
        return 0;
    });
}

BOARDSIM_API void boardsim_journal_clear(void) {
    locked([](State &s) { s.journal.clear(); });
}

BOARDSIM_API uint32_t boardsim_frames_delivered(int camera) {
    if (!isCamera(camera)) return 0;
    return locked([&](State &s) { return s.cameras[camera].framesDelivered; });
}

BOARDSIM_API size_t boardsim_render_frame(int camera, uint32_t index, int width, int height,
                                          void *buf, size_t capacity) {
    if (!isCamera(camera) || buf == nullptr || width <= 0 || height <= 0 || width % 2 != 0 ||
        height % 2 != 0) {
        return 0;
    }
    const size_t bytes = size_t(width) * size_t(height) * 3 / 2;
    if (capacity < bytes) return 0;
    const BoardsimPattern pattern = locked([](State &s) { return s.pattern; });
    renderFrame(pattern, camera, index, width, height, static_cast<uint8_t *>(buf));
    return bytes;
}

}  // extern "C"
