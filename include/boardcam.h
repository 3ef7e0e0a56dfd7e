/*
 * boardcam: flat C interface to the board's two cameras.
 *
 * A camera is opened at a frame rate and resolution with OpenCameraEx(),
 * frames are read one at a time with ReadCameraFrame() into buffers of the
 * device's image-processing memory, and the camera is closed with
 * CloseCameraEx(). Camera ids are 0 and 1.
 *
 * Results: every function returns 0 on success and -1 on failure.
 *
 * Reports: every failure, and two successes (a camera opened, a frame read),
 * is reported twice, in this order: one record in the device runtime's
 * application log (level 1 for information, 3 for errors, with the function
 * name, the source file "camera.cpp" and the line), then the same text with a
 * newline on standard output. Standard output is not flushed by the library.
 *
 * Threads: the library creates no threads and takes no locks. The camera table
 * and the one-time media initialisation are unguarded: callers serialise every
 * call into the library (one thread at a time, across both cameras).
 *
 * Memory: the only resources the library acquires are frame buffers, one per
 * successful ReadCameraFrame(); each belongs to the caller, who releases it
 * with the device runtime's vekpimoFree().
 *
 * This header compiles as C99 and later, and as C++.
 */
#ifndef BOARDCAM_H
#define BOARDCAM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(BOARDCAM_BUILDING_LIBRARY) && (defined(__GNUC__) || defined(__clang__))
#define BOARDCAM_API __attribute__((visibility("default")))
#else
#define BOARDCAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/**
 * One camera's record in the camera table.
 *
 * Filled when the camera is first opened and again by every successful
 * OpenCameraEx(); never cleared, not even by CloseCameraEx().
 */
typedef struct CameraSlot {
    bool initialised;  /**< filled at least once in this process */
    int32_t id;        /**< camera id; 255 until the slot is filled */
    int32_t fps;       /**< frame rate, frames per second */
    int32_t width;     /**< frame width in pixels */
    int32_t height;    /**< frame height in pixels */
    int32_t frameSize; /**< bytes per frame: width * height * 3 / 2, truncated */
} CameraSlot;

/** The process-wide camera table; slot i belongs to the camera with id i. */
typedef struct CameraMgr {
    bool mediaLibInited;  /**< the media library's initialisation has run */
    CameraSlot slots[2];
} CameraMgr;

/**
 * The caller's frame record, written by ReadCameraFrame() on success only.
 *
 * Frames are 12-bit YUV 4:2:0: a luma plane of width * height bytes followed
 * by interleaved chroma (NV12).
 */
typedef struct CameraFrame {
    int32_t size; /**< bytes in the frame: the camera's frameSize */
    void *data;   /**< the frame in image-processing device memory; owned by
                       the caller, released with vekpimoFree() */
} CameraFrame;

/* The layout of these records is part of the library's binary interface. */
#if defined(__cplusplus)
#define BOARDCAM_LAYOUT_CHECK(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define BOARDCAM_LAYOUT_CHECK(cond, name) _Static_assert(cond, #name)
#else
#define BOARDCAM_LAYOUT_CHECK(cond, name) typedef char boardcam_layout_##name[(cond) ? 1 : -1]
#endif
BOARDCAM_LAYOUT_CHECK(offsetof(CameraSlot, id) == 4, slot_id);
BOARDCAM_LAYOUT_CHECK(offsetof(CameraSlot, frameSize) == 20, slot_frame_size);
BOARDCAM_LAYOUT_CHECK(sizeof(CameraSlot) == 24, slot_size);
BOARDCAM_LAYOUT_CHECK(offsetof(CameraMgr, slots) == 4, table_slots);
BOARDCAM_LAYOUT_CHECK(sizeof(CameraMgr) == 52, table_size);
BOARDCAM_LAYOUT_CHECK(offsetof(CameraFrame, data) == sizeof(void *), frame_data);
#undef BOARDCAM_LAYOUT_CHECK

/**
 * The camera table.
 *
 * At load: mediaLibInited false; in both slots initialised false, id 255 and
 * every other field 0. Readable by clients at any time; the library owns it
 * for the life of the process. Clients must not write to it.
 */
extern BOARDCAM_API CameraMgr g_CameraMgr;

/**
 * Initialise the media library once per process and fill one camera's slot.
 *
 * OpenCameraEx() calls this on a camera's first opening; applications rarely
 * need it themselves.
 *
 * On the first successful call of the process the media library is
 * initialised; its outcome is not examined and it is never tried again. Then
 * the slot of \p id is overwritten with id, fps, width, height and the frame
 * size width * height * 3 / 2 (computed exactly, truncated toward zero).
 *
 * \param id     camera id, 0 or 1
 * \param fps    frame rate, recorded as given
 * \param width  frame width in pixels, recorded as given
 * \param height frame height in pixels, recorded as given
 * \returns 0 when the slot was filled (also when the media initialisation
 *          failed); -1 when \p id is not 0 or 1 or the frame size is negative
 *          or above INT32_MAX, in which case nothing is called or changed.
 *
 * Reports nothing. Not thread safe: callers serialise.
 */
BOARDCAM_API int32_t CameraInit(int32_t id, int32_t fps, int32_t width, int32_t height);

/**
 * Open a camera and configure frame rate, resolution and mode.
 *
 * Order of work: the id is checked, then the frame size; on the camera's first
 * opening CameraInit() fills its slot. The media library's status decides what
 * follows: closed (2) opens the camera, open (1) goes straight to
 * configuration, anything else fails without closing. ConfigCamera() then sets
 * the three properties; if it fails the camera is closed (also when it was
 * already open before this call).
 *
 * On success the camera's slot holds this call's id, fps, width, height and
 * frame size, and ReadCameraFrame() captures frames of that size. A failed
 * call leaves an already filled slot as it was.
 *
 * \param id     camera id, 0 or 1 (negative ids fail)
 * \param fps    frame rate, frames per second
 * \param width  frame width in pixels
 * \param height frame height in pixels
 * \returns 0 when the camera is open and configured, -1 on any failure.
 *
 * Reports (E = error level, I = information):
 *  - E "Open camera failed for invalid id %d" (id): id not 0 or 1; no media call.
 *  - E "Open camera failed for invalid resolution %dx%d" (width, height): the
 *    frame size is negative or above INT32_MAX; no media call, table unchanged.
 *  - E "Camera%d closed, and open failed." (id): the media library refused to open.
 *  - E "Invalid camera%d status %d" (id, status): status neither 1 nor 2.
 *  - ConfigCamera()'s report, then E "Set camera%d property failed" (id): a
 *    property was refused; the camera was closed between the two reports.
 *  - I "Open camera %d success" (id): the result is 0.
 *
 * Not thread safe: callers serialise.
 */
BOARDCAM_API int32_t OpenCameraEx(int32_t id, int32_t fps, int32_t width, int32_t height);

/**
 * Set frame rate, then resolution, then mode 1 on a camera that is open.
 *
 * Stops at the first property the media library refuses. Neither checks the
 * id nor touches the camera table: the frame size that ReadCameraFrame() uses
 * follows the last successful OpenCameraEx(), not this call, so configure
 * through OpenCameraEx() to change the resolution.
 *
 * \param id     camera id as the media library knows it
 * \param fps    frame rate, frames per second
 * \param width  frame width in pixels
 * \param height frame height in pixels
 * \returns 0 when all three properties were set, -1 at the first refusal.
 *
 * Reports, all at error level, with function name ConfigCamera also when
 * OpenCameraEx() is the caller:
 *  - "Set camera fps failed"
 *  - "Set camera resolution failed"
 *  - "Set camera mode:%d failed" (the mode passed, 1)
 *
 * Not thread safe: callers serialise.
 */
BOARDCAM_API int32_t ConfigCamera(int32_t id, int32_t fps, int32_t width, int32_t height);

/**
 * Capture one frame into a new buffer of image-processing device memory.
 *
 * Every call allocates a new buffer of exactly the camera's frameSize bytes
 * with vekpimoMalloc(); buffers are never pooled or reused by the library.
 * The media library fills it; a frame of any other byte count is a failure.
 *
 * \param id    camera id, 0 or 1
 * \param frame the caller's record; written on success only
 * \returns 0 on success: frame->size is the frame size and frame->data the
 *          buffer, which now belongs to the caller, who must release it with
 *          vekpimoFree() (the library keeps no reference to it);
 *          -1 on failure: the record is untouched and no buffer is handed out
 *          (the library released any buffer it had allocated).
 *
 * Reports (E = error level, I = information):
 *  - E "Read camera frame failed for invalid id %d" (id): no allocation.
 *  - E "Read camera frame failed for null frame, id %d" (id): no allocation.
 *  - E "vek malloc pimo data failed, dataSize=%u, ret=%d" (frame size,
 *    runtime code): the allocation was refused.
 *  - E "Get image from camera %d failed, size %d" (id, byte count the media
 *    library reported): the read failed or delivered the wrong byte count.
 *  - I "cpp image ptr 0x%x" (low 32 bits of the buffer address): success.
 *
 * Not thread safe: callers serialise.
 */
BOARDCAM_API int32_t ReadCameraFrame(int32_t id, CameraFrame *frame);

/**
 * Close a camera through the media library.
 *
 * Performs no id check of its own and leaves the camera table unchanged, so
 * reopening the camera does not reinitialise its slot.
 *
 * \param id camera id as the media library knows it
 * \returns 0 when the media library closed the camera, -1 otherwise.
 *
 * Reports: E "Close camera %d failed" (id) on failure; nothing on success.
 *
 * Not thread safe: callers serialise.
 */
BOARDCAM_API int32_t CloseCameraEx(int32_t id);

#ifdef __cplusplus
}
#endif

#endif /* BOARDCAM_H */
