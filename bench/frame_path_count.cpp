// Reads a fixed number of frames through the library or through the
// platform calls directly, for counting instructions under callgrind, where
// the count does not depend on what else the machine is doing.
//   frame_path_count library|direct <width> <height> <frames>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boardcam.h"
#include "boardsim.h"
#include "cammedia.h"
#include "vekpimo.h"

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s library|direct <width> <height> <frames>\n", argv[0]);
        return 2;
    }
    const bool library = std::strcmp(argv[1], "library") == 0;
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    const long frames = std::atol(argv[4]);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
    boardsim_set_pacing(false);
    boardsim_journal_enable(false);
    if (OpenCameraEx(0, 240, width, height) != 0) return 1;
    const size_t bytes = size_t(width) * size_t(height) * 3 / 2;

    for (long i = 0; i < frames; ++i) {
        if (library) {
            CameraFrame frame;
            if (ReadCameraFrame(0, &frame) != 0) return 1;
            vekpimoFree(frame.data);
        } else {
            void *buf = nullptr;
            uint32_t size = uint32_t(bytes);
            if (vekpimoMalloc(&buf, bytes) != 0 || ReadFrameFromCamera(0, buf, &size) == 0) return 1;
            vekpimoFree(buf);
        }
    }
    return CloseCameraEx(0) == 0 ? 0 : 1;
}
