// The simulated image-processing device memory: host memory with accounting
// of every live buffer and a limit on the bytes live at once.
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "hooks.h"
#include "state.h"

using namespace boardsim;

namespace {

struct Heap {
    std::unordered_map<void *, size_t> live;  // buffer -> bytes
    size_t liveBytes = 0;
};

// Guarded by State::mu. Never destroyed, so the exit report can read it.
Heap &heap() {
    static Heap *h = new Heap;
    return *h;
}

// An application that leaks frames sees it when it exits.
__attribute__((destructor)) void reportLiveBuffers() {
    State &s = State::get();
    std::lock_guard<std::mutex> lock(s.mu);
    const Heap &h = heap();
    if (h.live.empty()) return;
    std::fprintf(stderr, "boardsim: %zu device buffer(s) still live at exit (%zu bytes)\n",
                 h.live.size(), h.liveBytes);
}

}  // namespace

extern "C" {

int boardsim_impl_vekpimoMalloc(void **ptr, size_t size) {
    State &s = State::get();
    std::lock_guard<std::mutex> lock(s.mu);
    BoardsimEvent event = makeEvent(BOARDSIM_PIMO_MALLOC, BOARDSIM_ANY_CAMERA);
    event.size = size;
    event.refused = s.takeFault(BOARDSIM_PIMO_MALLOC, BOARDSIM_ANY_CAMERA);
    Heap &h = heap();
    if (event.refused) {
        event.result = BOARDSIM_PIMO_ERR_NO_MEMORY;
    } else if (ptr == nullptr) {
        event.result = BOARDSIM_PIMO_ERR_ARGUMENT;
    } else if (size > s.memoryLimit || h.liveBytes > s.memoryLimit - size) {
        event.result = BOARDSIM_PIMO_ERR_NO_MEMORY;
    } else {
        // Zero-byte requests still get a distinct address, as device heaps give.
        void *buffer = std::malloc(size != 0 ? size : 1);
        if (buffer == nullptr) {
            event.result = BOARDSIM_PIMO_ERR_NO_MEMORY;
        } else {
            h.live.emplace(buffer, size);
            h.liveBytes += size;
            *ptr = buffer;
            event.ptr = reinterpret_cast<uintptr_t>(buffer);
            event.result = 0;
        }
    }
    s.record(event);
    return event.result;
}

int boardsim_impl_vekpimoFree(void *ptr) {
    State &s = State::get();
    std::lock_guard<std::mutex> lock(s.mu);
    BoardsimEvent event = makeEvent(BOARDSIM_PIMO_FREE, BOARDSIM_ANY_CAMERA);
    event.ptr = reinterpret_cast<uintptr_t>(ptr);
    event.refused = s.takeFault(BOARDSIM_PIMO_FREE, BOARDSIM_ANY_CAMERA);
    Heap &h = heap();
    auto it = h.live.find(ptr);
    if (event.refused) {
        event.result = BOARDSIM_PIMO_ERR_ARGUMENT;
    } else if (ptr == nullptr) {
        event.result = 0;  // like free(NULL)
    } else if (it == h.live.end()) {
        std::fprintf(stderr, "boardsim: vekpimoFree of unknown device buffer %p\n", ptr);
        event.result = BOARDSIM_PIMO_ERR_UNKNOWN;
    } else {
        event.size = it->second;
        h.liveBytes -= it->second;
        h.live.erase(it);
        std::free(ptr);
        event.result = 0;
    }
    s.record(event);
    return event.result;
}

}  // extern "C"

extern "C" BOARDSIM_API size_t boardsim_live_buffers(void) {
    State &s = State::get();
    std::lock_guard<std::mutex> lock(s.mu);
    return heap().live.size();
}

extern "C" BOARDSIM_API size_t boardsim_live_bytes(void) {
    State &s = State::get();
    std::lock_guard<std::mutex> lock(s.mu);
    return heap().liveBytes;
}
