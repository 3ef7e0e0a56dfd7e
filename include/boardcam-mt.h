/*
 * boardcam-mt: the board's two cameras from any number of threads.
 *
 * The camera library (boardcam.h) is not thread safe: every call into it, and
 * every release of a frame, must be serialised across the whole process. This
 * companion library does that with one process-wide lock, and schedules reads
 * so that the lock is never held while a camera waits for its next frame:
 * two cameras at different rates each keep their own rate.
 *
 * Use either libboardcam-mt or your own serialisation, never both at once. The
 * GStreamer element, the Python package and boardcam-capture all go through
 * this library, so one process may mix them freely.
 *
 * How a read is scheduled. Each open camera keeps its frame period (from the
 * rate it was opened at) and an estimate of when its next frame is due. A read
 * first waits, holding nothing, until the next frame is due less a guard of
 * BOARDCAM_MT_GUARD_NS; only then does it take the lock and call
 * ReadCameraFrame(). The lock is therefore held for about the guard plus the
 * frame transfer, never for a frame period. The first read after opening reads
 * at once. A read that returns at once shows the estimate was late, one that
 * blocks shows it was early; both correct it.
 *
 * Ownership of cameras. A camera opened through this library belongs to the
 * handle that opened it until that handle is closed. A second open of the same
 * camera in the process, by any consumer, gets BOARDCAM_MT_BUSY and calls
 * nothing in the camera library, so the owner's stream is untouched. The owner
 * itself may reconfigure its camera (boardcam_mt_reconfigure()). Across
 * processes nothing is guaranteed here: whether a second process may open a
 * camera is the board's media library's decision.
 *
 * Results: 0 on success; BOARDCAM_MT_ERROR (-1, the camera library's failure)
 * when the library or the runtime refused; BOARDCAM_MT_INTERRUPTED and
 * BOARDCAM_MT_BUSY as described at the functions that return them. No failed
 * call leaves a device buffer behind.
 *
 * Reports: the camera library's own reports (runtime log and standard output)
 * are made as the library makes them; this library adds none.
 *
 * This header compiles as C99 and later, and as C++.
 */
#ifndef BOARDCAM_MT_H
#define BOARDCAM_MT_H

#include <stdbool.h>
#include <stdint.h>

#include <boardcam.h>

#if defined(BOARDCAM_MT_BUILDING_LIBRARY) && (defined(__GNUC__) || defined(__clang__))
#define BOARDCAM_MT_API __attribute__((visibility("default")))
#else
#define BOARDCAM_MT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** The camera library refused, or the arguments were unusable. */
#define BOARDCAM_MT_ERROR (-1)
/** The read was interrupted by boardcam_mt_set_flushing(); no frame was read. */
#define BOARDCAM_MT_INTERRUPTED (-2)
/** The camera is already open through this library in this process. */
#define BOARDCAM_MT_BUSY (-3)

/** How long before a frame is due a read takes the lock: 1 ms. */
#define BOARDCAM_MT_GUARD_NS 1000000

/** A camera opened through this library; opaque. */
typedef struct boardcam_mt_camera boardcam_mt_camera;

/**
 * One frame with what is known of its timing; filled by boardcam_mt_read().
 */
typedef struct boardcam_mt_frame {
    void *data;           /**< the frame in image-processing device memory, NV12;
                               owned by the caller, released with
                               boardcam_mt_release_frame() */
    int32_t size;         /**< bytes in the frame */
    uint64_t sequence;    /**< camera periods since the camera was opened: 0 for
                               the first frame; a step of n + 1 from the previous
                               frame means n frames were missed */
    uint32_t dropped;     /**< periods missed just before this frame: a gap of
                               more than 1.5 periods since the previous frame */
    int64_t monotonic_ns; /**< arrival time on CLOCK_MONOTONIC, nanoseconds */
    int64_t realtime_ns;  /**< arrival time on CLOCK_REALTIME, nanoseconds */
} boardcam_mt_frame;

/**
 * Open a camera through OpenCameraEx() and take ownership of it.
 *
 * \param id     camera id, 0 or 1
 * \param fps    frame rate, frames per second; the read schedule's period
 * \param width  frame width in pixels
 * \param height frame height in pixels
 * \param camera receives the new handle on success; untouched otherwise
 * \returns 0: the camera is open and configured, and *camera is its handle,
 *          owned by the caller until boardcam_mt_close();
 *          BOARDCAM_MT_BUSY: the camera is already open through this library
 *          in this process; nothing was called and the owner is untouched;
 *          BOARDCAM_MT_ERROR: OpenCameraEx() failed (its reports say why), or
 *          \p camera is NULL, or memory for the handle ran out.
 *
 * Thread safe.
 */
BOARDCAM_MT_API int32_t boardcam_mt_open(int32_t id, int32_t fps, int32_t width, int32_t height,
                                         boardcam_mt_camera **camera);

/**
 * Configure the owner's open camera at new values through OpenCameraEx(),
 * for example when a stream renegotiates. The read schedule starts afresh;
 * frame sequences go on from where they were.
 *
 * \param camera a handle from boardcam_mt_open()
 * \param fps    frame rate, frames per second
 * \param width  frame width in pixels
 * \param height frame height in pixels
 * \returns 0 on success; BOARDCAM_MT_ERROR when OpenCameraEx() failed (a
 *          refused configuration has closed the camera: reads then fail until
 *          a reconfiguration succeeds) or \p camera is NULL. The handle stays
 *          the owner either way; close it with boardcam_mt_close().
 *
 * Thread safe; must not run at the same time as a read of the same handle.
 */
BOARDCAM_MT_API int32_t boardcam_mt_reconfigure(boardcam_mt_camera *camera, int32_t fps, int32_t width,
                                                int32_t height);

/**
 * Read the camera's next frame.
 *
 * Waits, holding no lock, until the next frame is due less the guard, then
 * reads it with ReadCameraFrame() under the process-wide lock. A read that is
 * waiting, or about to wait, while the handle is flushing returns
 * BOARDCAM_MT_INTERRUPTED at once; a ReadCameraFrame() already in progress is
 * not interrupted (the guard bounds how long it lasts).
 *
 * \param camera a handle from boardcam_mt_open()
 * \param frame  receives the frame and its metadata; written on success only
 * \returns 0: frame->data is a new device buffer that belongs to the caller,
 *          who releases it with boardcam_mt_release_frame();
 *          BOARDCAM_MT_INTERRUPTED: the handle is flushing; no frame;
 *          BOARDCAM_MT_ERROR: ReadCameraFrame() failed (the library released
 *          its buffer), or an argument is NULL.
 *
 * Thread safe. Reads of different cameras run in parallel; one thread at a
 * time should read a given handle, or frame metadata loses its meaning.
 */
BOARDCAM_MT_API int32_t boardcam_mt_read(boardcam_mt_camera *camera, boardcam_mt_frame *frame);

/**
 * Turn a handle's flushing switch on or off.
 *
 * While it is on, every read of the handle that waits or is about to wait
 * returns BOARDCAM_MT_INTERRUPTED at once. It stays on until turned off.
 *
 * \param camera   a handle from boardcam_mt_open(); NULL does nothing
 * \param flushing true to interrupt reads, false to let them run again
 *
 * Thread safe, and made to be called from a thread other than the reader's.
 */
BOARDCAM_MT_API void boardcam_mt_set_flushing(boardcam_mt_camera *camera, bool flushing);

/**
 * Close the camera through CloseCameraEx(), give up its ownership and free
 * the handle.
 *
 * A read of the handle that is waiting in another thread is interrupted first,
 * and one already in ReadCameraFrame() is waited for, so closing from another
 * thread is safe. After this returns the handle must not be used again.
 * Frames already read stay valid until released.
 *
 * \param camera a handle from boardcam_mt_open(); NULL does nothing
 * \returns 0 when the camera was closed (or was left closed by a failed
 *          reconfiguration), BOARDCAM_MT_ERROR when CloseCameraEx() failed.
 *          The handle is freed and the camera free for the next open either way.
 *
 * Thread safe.
 */
BOARDCAM_MT_API int32_t boardcam_mt_close(boardcam_mt_camera *camera);

/**
 * The camera id of a handle.
 *
 * \param camera a handle from boardcam_mt_open()
 * \returns 0 or 1; -1 for NULL.
 *
 * Thread safe.
 */
BOARDCAM_MT_API int32_t boardcam_mt_camera_id(const boardcam_mt_camera *camera);

/**
 * Release a frame's device buffer with vekpimoFree() under the process-wide
 * lock.
 *
 * \param data a frame's data from boardcam_mt_read(), released exactly once;
 *             NULL does nothing
 *
 * Thread safe; may be called from any thread, also after the camera closed.
 */
BOARDCAM_MT_API void boardcam_mt_release_frame(void *data);

/**
 * Copy the camera library's table (g_CameraMgr) under the process-wide lock.
 *
 * \param out receives the copy; NULL does nothing
 *
 * Thread safe.
 */
BOARDCAM_MT_API void boardcam_mt_table(CameraMgr *out);

/**
 * Take the process-wide lock, to call another function of the camera library
 * (CameraInit(), ConfigCamera()) serialised with everything else.
 *
 * Hold it only for the call: never across a wait, and never while calling a
 * boardcam_mt_ function, which takes it itself (the lock is not recursive).
 *
 * Thread safe.
 */
BOARDCAM_MT_API void boardcam_mt_lock(void);

/**
 * Release the lock taken by boardcam_mt_lock().
 *
 * Thread safe; only the thread that took the lock may release it.
 */
BOARDCAM_MT_API void boardcam_mt_unlock(void);

#ifdef __cplusplus
}
#endif

#endif /* BOARDCAM_MT_H */
