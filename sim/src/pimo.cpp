// The simulated image-processing device memory: host memory with accounting
// of every live buffer and a limit on the bytes live at once.
//
// Like a device-memory heap, released frame-sized buffers are kept per size
// class and handed out again, so that steady capture touches no new pages.
// BOARDSIM_PIMO_RECYCLE=0 releases every buffer to the C library at once,
// which lets memory checkers see use after release.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "hooks.h"
#include "state.h"

using namespace boardsim;

namespace {

// Buffers below this size come straight from the C library's heap.
constexpr size_t kRecycleFrom = size_t(64) << 10;
constexpr size_t kClassGranule = 4096;
constexpr size_t kBuffersPerClass = 4;
constexpr size_t kCacheLimit = size_t(512) << 20;

size_t sizeClass(size_t bytes) { return (bytes + kClassGranule - 1) / kClassGranule * kClassGranule; }

struct Heap {
    std::unordered_map<void *, size_t> live;  // buffer -> bytes
    size_t liveBytes = 0;
    std::unordered_map<size_t, std::vector<void *>> spare;  // size class -> released buffers
    size_t spareBytes = 0;
    bool recycle = [] {
        const char *env = std::getenv("BOARDSIM_PIMO_RECYCLE");
        return env == nullptr || std::strcmp(env, "0") != 0;
    }();

    void *take(size_t bytes) {
        if (recycle && bytes >= kRecycleFrom) {
            auto it = spare.find(sizeClass(bytes));
            if (it != spare.end() && !it->second.empty()) {
                void *buffer = it->second.back();
                it->second.pop_back();
                spareBytes -= it->first;
                return buffer;
            }
            return std::malloc(sizeClass(bytes));
        }
        return std::malloc(bytes != 0 ? bytes : 1);  // zero bytes still get a distinct address
    }

    void give(void *buffer, size_t bytes) {
        if (recycle && bytes >= kRecycleFrom) {
            const size_t cls = sizeClass(bytes);
            std::vector<void *> &list = spare[cls];
            if (list.size() < kBuffersPerClass && spareBytes + cls <= kCacheLimit) {
                list.push_back(buffer);
                spareBytes += cls;
                return;
            }
        }
        std::free(buffer);
    }
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
        void *buffer = h.take(size);
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
        h.give(ptr, event.size);
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
