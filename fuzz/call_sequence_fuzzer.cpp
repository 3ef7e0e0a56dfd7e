// Fuzzes the C interface: each input is a sequence of exported calls with
// arbitrary ids, frame rates and resolutions, null and real records,
// interleaved with scripted faults of the simulated board.
//
// Invariants, checked after every call: the result is 0 or -1; a returned
// frame has the slot's frame size; every filled slot's frame size matches its
// width and height. After every input, once the harness has released what it
// was handed, no device buffer is live.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "boardcam.h"
#include "boardsim.h"
#include "vekpimo.h"

namespace {

constexpr size_t kMaxCalls = 1000;  // keeps each input's journal within the simulator's window

class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    int32_t int32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return int32_t(v);
    }
    // Mostly interesting values, sometimes any 32-bit value.
    template <size_t count>
    int32_t pick(const int32_t (&values)[count]) {
        const uint8_t b = byte();
        return b < count ? values[b] : b == 0xFF ? int32() : values[b % count];
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

const int32_t kIds[] = {0, 1, 0, 1, 2, -1, 255, INT_MIN, INT_MAX};
const int32_t kFps[] = {30, 1, 240, 0, -1, 241, 60, INT_MAX};
const int32_t kSides[] = {2, 4, 64, 48, 640, 480, 0, -2, 3, 8192, 8194, 46341, 65536, INT_MAX, INT_MIN};

[[noreturn]] void violated(const char *what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

void checkResult(int32_t result) {
    if (result != 0 && result != -1) violated("result neither 0 nor -1");
}

void checkTable() {
    for (const CameraSlot &slot : g_CameraMgr.slots) {
        if (!slot.initialised) continue;
        const int64_t pixels = int64_t(slot.width) * slot.height;
        const int64_t exact = pixels / 2 * 3 + (pixels % 2) * 3 / 2;
        if (exact != slot.frameSize) violated("slot frame size does not match width and height");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    boardsim_reset();
    boardsim_set_pacing(false);
    boardsim_set_memory_limit(size_t(8) << 20);

    Input in(data, size);
    std::vector<void *> owned;
    for (size_t calls = 0; !in.empty() && calls < kMaxCalls; ++calls) {
        const uint8_t op = in.byte() % 10;
        const int32_t id = in.pick(kIds);
        switch (op) {
            case 0:
            case 1:
            case 2: {
                // The three calls that take a camera's id, frame rate and resolution.
                using CameraCall = int32_t (*)(int32_t, int32_t, int32_t, int32_t);
                static const CameraCall calls[] = {OpenCameraEx, ConfigCamera, CameraInit};
                const int32_t fps = in.pick(kFps);
                const int32_t width = in.pick(kSides);
                checkResult(calls[op](id, fps, width, in.pick(kSides)));
                break;
            }
            case 3:
            case 4: {
                CameraFrame frame = {-7, nullptr};
                const bool null = op == 4;
                const int32_t result = ReadCameraFrame(id, null ? nullptr : &frame);
                checkResult(result);
                if (result == 0) {
                    if (null || id < 0 || id > 1) violated("frame for an invalid request");
                    if (frame.data == nullptr || frame.size != g_CameraMgr.slots[id].frameSize) {
                        violated("frame record does not match the slot");
                    }
                    owned.push_back(frame.data);
                } else if (frame.size != -7 || frame.data != nullptr) {
                    violated("record written on failure");
                }
                break;
            }
            case 5: checkResult(CloseCameraEx(id)); break;
            case 6:
                boardsim_fail_call(BoardsimCall(in.byte() % BOARDSIM_CALL_COUNT), id,
                                   in.byte() & 1 ? BOARDSIM_FAIL_ALWAYS : BOARDSIM_FAIL_ONCE);
                break;
            case 7: boardsim_set_status(id, in.byte() % 5); break;
            case 8: boardsim_set_next_read_size(id, uint32_t(in.int32())); break;
            case 9:
                if (in.byte() & 1) {
                    boardsim_clear_faults();
                } else {
                    boardsim_fail_nth_call(1 + in.byte() % 16, in.byte() & 1 ? BOARDSIM_FAIL_ALWAYS : BOARDSIM_FAIL_ONCE);
                }
                break;
        }
        checkTable();
    }

    // The caller releases its frames. A buffer whose release the runtime was
    // scripted to refuse inside the library is the runtime's to keep; release
    // it here so that every input starts from an empty device memory.
    boardsim_clear_faults();
    for (void *p : owned) {
        if (vekpimoFree(p) != 0) violated("caller's frame could not be released");
    }
    for (size_t i = 0, n = boardsim_journal_size(); i < n; ++i) {
        BoardsimEvent e;
        if (boardsim_journal_entry(i, &e) == 0 && e.call == BOARDSIM_PIMO_FREE && e.refused) {
            vekpimoFree(reinterpret_cast<void *>(e.ptr));
        }
    }
    if (boardsim_live_buffers() != 0) violated("device buffer leaked");
    return 0;
}
