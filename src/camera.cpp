// The camera module: the camera table, the reporting operations and the five
// exported functions.
#include "boardcam.h"

#include <cstdint>
#include <cstdio>

#include "platform_media.h"
#include "platform_runtime.h"

namespace {

constexpr const char *baseName(const char *path) {
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

// Log records name this file by its base name, whatever path the build used.
constexpr const char *kSourceFile = baseName(__FILE__);

constexpr int32_t kModeDefault = 1;
constexpr int32_t kNoCamera = 255;

bool isCameraId(int32_t id) { return static_cast<uint32_t>(id) <= 1; }

// width * height * 3 / 2 truncated toward zero, computed exactly. |width *
// height| is at most 2^62, so halving before tripling cannot overflow 64 bits.
// False when the result does not fit a non-negative int32_t.
bool frameSizeOf(int32_t width, int32_t height, int32_t *bytes) {
    const int64_t pixels = static_cast<int64_t>(width) * height;
    const int64_t exact = pixels / 2 * 3 + (pixels % 2) * 3 / 2;
    if (exact < 0 || exact > INT32_MAX) return false;
    *bytes = static_cast<int32_t>(exact);
    return true;
}

}  // namespace

// Each report goes to the runtime's application log, then to standard output
// with a newline. The format must be a string literal.
#define BOARDCAM_REPORT(level, fmt, ...)                                             \
    do {                                                                             \
        vekAppLog((level), __func__, kSourceFile, __LINE__, fmt, ##__VA_ARGS__);     \
        std::printf(fmt "\n", ##__VA_ARGS__);                                        \
    } while (0)
#define LOG_INFO(fmt, ...) BOARDCAM_REPORT(VEK_LOG_INFO, fmt, ##__VA_ARGS__)
#define LOG_ERROR(fmt, ...) BOARDCAM_REPORT(VEK_LOG_ERROR, fmt, ##__VA_ARGS__)

extern "C" {

BOARDCAM_API CameraMgr g_CameraMgr = {
    false,
    {
        {false, kNoCamera, 0, 0, 0, 0},
        {false, kNoCamera, 0, 0, 0, 0},
    },
};

BOARDCAM_API int32_t CameraInit(int32_t id, int32_t fps, int32_t width, int32_t height) {
    int32_t frameSize = 0;
    if (!isCameraId(id) || !frameSizeOf(width, height, &frameSize)) return -1;

    if (!g_CameraMgr.mediaLibInited) {
        // Tried once per process, whatever the media library answers.
        (void)MediaLibInit();
        g_CameraMgr.mediaLibInited = true;
    }

    CameraSlot &slot = g_CameraMgr.slots[id];
    slot.initialised = true;
    slot.id = id;
    slot.fps = fps;
    slot.width = width;
    slot.height = height;
    slot.frameSize = frameSize;
    return 0;
}

BOARDCAM_API int32_t ConfigCamera(int32_t id, int32_t fps, int32_t width, int32_t height) {
    int32_t fpsValue = fps;
    if (SetCameraProperty(id, PROP_FPS, &fpsValue) == 0) {
        LOG_ERROR("Set camera fps failed");
        return -1;
    }

    FrameResolution resolution = {width, height};
    if (SetCameraProperty(id, PROP_RESOLUTION, &resolution) == 0) {
        LOG_ERROR("Set camera resolution failed");
        return -1;
    }

    int32_t mode = kModeDefault;
    if (SetCameraProperty(id, PROP_MODE, &mode) == 0) {
        LOG_ERROR("Set camera mode:%d failed", mode);
        return -1;
    }
    return 0;
}

BOARDCAM_API int32_t OpenCameraEx(int32_t id, int32_t fps, int32_t width, int32_t height) {
    if (!isCameraId(id)) {
        LOG_ERROR("Open camera failed for invalid id %d", id);
        return -1;
    }
    int32_t frameSize = 0;
    if (!frameSizeOf(width, height, &frameSize)) {
        LOG_ERROR("Open camera failed for invalid resolution %dx%d", width, height);
        return -1;
    }

    const bool firstOpening = !g_CameraMgr.slots[id].initialised;
    if (firstOpening) (void)CameraInit(id, fps, width, height);

    const int status = QueryCameraStatus(id);
    if (status == STATUS_CLOSED) {
        if (OpenCamera(id) == 0) {
            LOG_ERROR("Camera%d closed, and open failed.", id);
            return -1;
        }
    } else if (status != STATUS_OPEN) {
        LOG_ERROR("Invalid camera%d status %d", id, status);
        return -1;
    }

    if (ConfigCamera(id, fps, width, height) != 0) {
        (void)CloseCamera(id);
        LOG_ERROR("Set camera%d property failed", id);
        return -1;
    }

    // A reopening may bring a new resolution: the slot follows the camera's
    // configuration so that reads are sized for the frames it now delivers.
    if (!firstOpening) (void)CameraInit(id, fps, width, height);

    LOG_INFO("Open camera %d success", id);
    return 0;
}

BOARDCAM_API int32_t ReadCameraFrame(int32_t id, CameraFrame *frame) {
    if (!isCameraId(id)) {
        LOG_ERROR("Read camera frame failed for invalid id %d", id);
        return -1;
    }
    if (frame == nullptr) {
        LOG_ERROR("Read camera frame failed for null frame, id %d", id);
        return -1;
    }

    const int32_t frameSize = g_CameraMgr.slots[id].frameSize;
    uint32_t byteCount = static_cast<uint32_t>(frameSize);
    void *buffer = nullptr;

    const int ret = vekpimoMalloc(&buffer, static_cast<size_t>(static_cast<intptr_t>(frameSize)));
    if (ret != 0) {
        LOG_ERROR("vek malloc pimo data failed, dataSize=%u, ret=%d", byteCount, ret);
        return -1;
    }

    if (ReadFrameFromCamera(id, buffer, &byteCount) == 0 ||
        byteCount != static_cast<uint32_t>(g_CameraMgr.slots[id].frameSize)) {
        (void)vekpimoFree(buffer);
        LOG_ERROR("Get image from camera %d failed, size %d", id, static_cast<int>(byteCount));
        return -1;
    }

    frame->size = g_CameraMgr.slots[id].frameSize;
    frame->data = buffer;
    LOG_INFO("cpp image ptr 0x%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(buffer)));
    return 0;
}

BOARDCAM_API int32_t CloseCameraEx(int32_t id) {
    if (CloseCamera(id) != 0) return 0;
    LOG_ERROR("Close camera %d failed", id);
    return -1;
}

}  // extern "C"
