// The simulator's one shared state: cameras, scripted faults, the journal and
// the device-memory accounting. Every field is guarded by State::mu.
#ifndef BOARDSIM_STATE_H
#define BOARDSIM_STATE_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "boardsim.h"

namespace boardsim {

constexpr int kCameraCount = 2;
constexpr size_t kJournalCapacity = 16384;

using Clock = std::chrono::steady_clock;

struct Camera {
    int status = 2;  // closed
    int fps = 0;
    int width = 0;
    int height = 0;
    bool fpsSet = false;
    bool resolutionSet = false;
    bool modeSet = false;
    uint32_t framesDelivered = 0;  // one past the newest frame index delivered
    bool nextReadSizeSet = false;
    uint32_t nextReadSize = 0;
    // The sensor's clock: frame baseIndex + n is due at sensorBase + n periods.
    Clock::time_point sensorBase{};
    uint32_t baseIndex = 0;

    // Restarts the sensor's cadence now, with the next frame due at once.
    void restartSensor(Clock::time_point now) {
        sensorBase = now;
        baseIndex = framesDelivered;
    }

    bool configured() const { return fpsSet && resolutionSet && modeSet; }
    uint64_t frameBytes() const { return uint64_t(width) * uint64_t(height) * 3 / 2; }
};

struct Fault {
    BoardsimCall call;
    int camera;  // BOARDSIM_ANY_CAMERA or an id
    BoardsimFailMode mode;
    // A window of matching calls, counted from 0: calls windowStart to
    // windowStart + windowLength - 1 are refused, the others pass. Only
    // with `windowed`; such a fault never ends the search for others.
    bool windowed = false;
    uint64_t windowStart = 0;
    uint64_t windowLength = 0;
    uint64_t matched = 0;  // matching calls seen so far
};

struct State {
    std::mutex mu;
    Camera cameras[kCameraCount];
    std::vector<Fault> faults;
    uint64_t callCount = 0;
    uint64_t failFromCall = 0;  // 0: no index fault
    BoardsimFailMode failFromMode = BOARDSIM_FAIL_ONCE;
    bool pacing = true;
    BoardsimPattern pattern = BOARDSIM_PATTERN_BARS;
    bool journalOn = true;
    bool stamp = false;          // BOARDSIM_STAMP=1: capture time in each frame's pixels
    std::FILE *callLog = nullptr; // BOARDSIM_CALL_LOG: one line per media call, for other processes
    std::deque<BoardsimEvent> journal;
    size_t memoryLimit = BOARDSIM_DEFAULT_MEMORY_LIMIT;

    // The process-wide instance, set up from the environment on first use.
    static State &get();

    // Counts one platform call and says whether a scripted fault refuses it.
    bool takeFault(BoardsimCall call, int camera);
    // Stamps the end time and keeps the entry.
    void record(BoardsimEvent &event);
    void resetLocked();
};

// A journal entry for a call, stamped with its start time, to be filled in
// and recorded.
BoardsimEvent makeEvent(BoardsimCall call, int camera);

// CLOCK_MONOTONIC in nanoseconds.
int64_t monotonicNs();

bool isCamera(int id);

// Reads BOARDSIM_FAIL, BOARDSIM_PACING, BOARDSIM_PATTERN, BOARDSIM_PIMO_LIMIT,
// BOARDSIM_STAMP and BOARDSIM_CALL_LOG into the state.
void applyEnvironment(State &state);

}  // namespace boardsim

#endif
