#include "state.h"

#include "camera_hold.h"

#include <cstring>
#include <ctime>

namespace boardsim {

State &State::get() {
    // Never destroyed: platform calls may still arrive from other libraries'
    // destructors at exit.
    static State *state = [] {
        auto *s = new State;
        applyEnvironment(*s);
        return s;
    }();
    return *state;
}

bool State::takeFault(BoardsimCall call, int camera) {
    ++callCount;
    bool refused = false;
    if (failFromCall != 0 && callCount >= failFromCall) {
        if (callCount == failFromCall || failFromMode == BOARDSIM_FAIL_ALWAYS) refused = true;
        if (failFromMode == BOARDSIM_FAIL_ONCE) failFromCall = 0;
    }
    // Every window sees every matching call, so that each keeps its own
    // count whatever else refuses the call.
    for (Fault &fault : faults) {
        if (!fault.windowed || fault.call != call) continue;
        if (fault.camera != BOARDSIM_ANY_CAMERA && fault.camera != camera) continue;
        const uint64_t n = fault.matched++;
        if (n >= fault.windowStart && n - fault.windowStart < fault.windowLength) refused = true;
    }
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->windowed || it->call != call) continue;
        if (it->camera != BOARDSIM_ANY_CAMERA && it->camera != camera) continue;
        refused = true;
        if (it->mode == BOARDSIM_FAIL_ONCE) faults.erase(it);
        break;
    }
    return refused;
}

void State::record(BoardsimEvent &event) {
    event.endNs = monotonicNs();
    if (callLog != nullptr && event.call <= BOARDSIM_CLOSE_CAMERA) {
        std::fprintf(callLog, "%s %d %d%s\n", boardsim_call_name(event.call), event.camera, event.result,
                     event.refused ? " refused" : "");
        std::fflush(callLog);
    }
    if (!journalOn) return;
    if (journal.size() == kJournalCapacity) journal.pop_front();
    journal.push_back(event);
}

void State::resetLocked() {
    for (int id = 0; id < kCameraCount; ++id) {
        dropCameraHold(id);
        cameras[id] = Camera{};
    }
    faults.clear();
    callCount = 0;
    failFromCall = 0;
    pacing = true;
    pattern = BOARDSIM_PATTERN_BARS;
    journalOn = true;
    journal.clear();
    memoryLimit = BOARDSIM_DEFAULT_MEMORY_LIMIT;
}

BoardsimEvent makeEvent(BoardsimCall call, int camera) {
    BoardsimEvent event;
    std::memset(&event, 0, sizeof event);
    event.call = call;
    event.camera = camera;
    event.startNs = monotonicNs();
    return event;
}

int64_t monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool isCamera(int id) { return id >= 0 && id < kCameraCount; }

}  // namespace boardsim
