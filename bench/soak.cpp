// Soak: many open/read/close cycles against the simulator with pacing off.
// Device buffers and the process's memory must be the same before and after.
//   soak [cycles]   (default 100000); exits 1 when either grew.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "boardcam.h"
#include "boardsim.h"
#include "vekpimo.h"

namespace {

// Resident set size in KiB, from /proc.
long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool cycle(int id) {
    CameraFrame frame = {0, nullptr};
    if (OpenCameraEx(id, 30, 64, 48) != 0) return false;
    const bool read = ReadCameraFrame(id, &frame) == 0;
    if (read) vekpimoFree(frame.data);
    return CloseCameraEx(id) == 0 && read;
}

}  // namespace

int main(int argc, char **argv) {
    const long cycles = argc > 1 ? std::atol(argv[1]) : 100000;
    // The library reports every frame on standard output, as a service would log it.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
    boardsim_set_pacing(false);

    // Warm up until the simulator's journal window is full, then measure.
    for (int i = 0; i < 5000; ++i) cycle(i & 1);
    const size_t buffersBefore = boardsim_live_buffers();
    const long rssBefore = residentKiB();
    const auto start = std::chrono::steady_clock::now();
    long failures = 0;
    for (long i = 0; i < cycles; ++i) failures += cycle(int(i & 1)) ? 0 : 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const size_t buffersAfter = boardsim_live_buffers();
    const long rssAfter = residentKiB();

    std::fprintf(stderr,
                 "soak: %ld open/read/close cycles in %.2f s (%.1f us each), %ld failures\n"
                 "soak: device buffers live before %zu, after %zu\n"
                 "soak: resident memory before %ld KiB, after %ld KiB\n",
                 cycles, seconds, seconds * 1e6 / double(cycles), failures, buffersBefore, buffersAfter,
                 rssBefore, rssAfter);
    // A few pages of slack for the C library's own bookkeeping.
    const bool flat = buffersAfter == buffersBefore && rssAfter - rssBefore <= 256;
    std::fprintf(stderr, "soak: %s\n", flat && failures == 0 ? "flat" : "GREW or FAILED");
    return flat && failures == 0 ? 0 : 1;
}
