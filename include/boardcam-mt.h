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
 * GStreamer element, the Python package, boardcam-capture and boardcam-serve
 * all go through this library, so one process may mix them freely, and
 * several programs may read one camera at once (see "Sharing a camera").
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
 * Sharing a camera. On the board a camera belongs to one process at a time.
 * This library shares it: the first open of a camera anywhere on the board
 * opens it in the camera library and owns it; every later open of the same
 * camera, in the same process or in another, attaches to the owner as a
 * subscriber and gets the owner's frames, with the owner's sequence and
 * capture times. Nothing but the first open calls the camera library.
 *
 *  - Format. A subscriber gets the owner's size, at the owner's rate or a
 *    lower one of its own (a subscriber at 10 fps of a camera at 30 gets
 *    every third frame). Width, height and fps of 0 mean "whatever the camera
 *    runs at", or the defaults (640x480, 30 fps) when nobody has it;
 *    boardcam_mt_format() tells what a handle got. Another size, or a higher
 *    rate, gets BOARDCAM_MT_BUSY, and boardcam_mt_last_message() names the
 *    owner: "camera 0 is in use by boardcam-serve (pid 812) at 1280x720,
 *    30 fps; open it at that size, at 30 fps or less, to share it".
 *  - Memory. With no subscriber the owner reads exactly as a lone reader
 *    does, and frames are the caller's device buffers. With subscribers, the
 *    owner's process reads the camera at its rate on a thread of its own and
 *    copies each frame once into shared memory that every subscriber maps
 *    read-only (a subscriber's frame cannot be written:
 *    boardcam_mt_frame_is_read_only()). No frame changes while a reader
 *    holds it, and no reader can change what another reads.
 *  - Flow. A subscriber holds at most BOARDCAM_MT_MAX_HELD frames it has not
 *    released; while it holds that many it misses the next ones, which its
 *    frames' sequence and dropped show. The owner never waits for a
 *    subscriber, and no subscriber waits for another. The owner's own reads
 *    get the newest frame, as a lone reader's do.
 *  - Lifetimes. A subscriber that closes, exits or is killed gives its frames
 *    back at once. An owner that closes or dies hands the camera on: the next
 *    read of each subscriber makes one of them the owner (it opens the
 *    camera) and attaches the others to it, within about a second; the gap
 *    shows as dropped frames, and its sequence goes on by the time that
 *    passed. A subscriber never holds up the owner's close.
 *  - Reconfiguration. An owner may reconfigure its camera while others are
 *    attached. Subscribers whose size and rate still fit go on; the next
 *    read of any other gets BOARDCAM_MT_BUSY, naming the new format (frames
 *    it holds stay valid). A subscriber may reconfigure itself to another
 *    rate that fits.
 *  - Who may attach. The owner listens on a socket in the runtime folder:
 *    $BOARDCAM_RUNTIME_DIR, else /run/boardcam where it can be used, else
 *    $XDG_RUNTIME_DIR/boardcam. The socket is mode 0660, in group video
 *    where that group exists, and the owner checks each peer's credentials:
 *    root, the owner's own user and members of group video may attach;
 *    anyone else gets BOARDCAM_MT_DENIED, and the owner goes on unharmed.
 *    With no usable runtime folder nothing is shared: a second open in the
 *    process gets BOARDCAM_MT_BUSY, as it did before sharing.
 *
 * Results: 0 on success; BOARDCAM_MT_ERROR (-1, the camera library's failure)
 * when the library or the runtime refused; BOARDCAM_MT_INTERRUPTED,
 * BOARDCAM_MT_BUSY and BOARDCAM_MT_DENIED as described at the functions that
 * return them. No failed call leaves a device buffer behind.
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
/** The camera is in use at a format this open cannot share, by a program
 *  that does not share it, or by as many subscribers as it takes;
 *  boardcam_mt_last_message() says which. */
#define BOARDCAM_MT_BUSY (-3)
/** The camera is another user's, and this process may not share it (it is
 *  not root, the owner's user or in group video); boardcam_mt_last_message()
 *  says why. */
#define BOARDCAM_MT_DENIED (-4)

/** Frames a subscriber may hold unreleased before it misses the next ones. */
#define BOARDCAM_MT_MAX_HELD 2
/** Subscribers one camera takes at once. */
#define BOARDCAM_MT_MAX_SUBSCRIBERS 16
/** Bytes of a program's name kept for status, with its terminating NUL. */
#define BOARDCAM_MT_PROGRAM_MAX 32

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
 * What one program sharing a camera is doing, as boardcam_mt_status() shows it.
 */
typedef struct boardcam_mt_peer {
    int32_t pid;                            /**< its process id */
    char program[BOARDCAM_MT_PROGRAM_MAX];  /**< its name, NUL-terminated */
    int32_t fps;                            /**< the rate it reads at */
    uint32_t held;                          /**< frames it holds now (subscribers) */
    uint64_t frames;                        /**< frames it was given (subscribers) */
    uint64_t dropped;                       /**< frames it missed holding too many (subscribers) */
} boardcam_mt_peer;

/**
 * Who has a camera: the owner and every subscriber; filled by
 * boardcam_mt_status().
 */
typedef struct boardcam_mt_camera_status {
    int32_t id;                /**< the camera */
    bool owned;                /**< a program has it open through this library; the rest is 0 otherwise */
    int32_t width;             /**< the owner's size and rate */
    int32_t height;
    int32_t fps;
    uint64_t frames;           /**< frames the owner's process has read since it opened the camera */
    uint64_t copies;           /**< of those, frames copied (once each) into memory its subscribers map */
    boardcam_mt_peer owner;
    uint32_t subscriber_count; /**< entries of subscribers[] in use */
    boardcam_mt_peer subscribers[BOARDCAM_MT_MAX_SUBSCRIBERS];
} boardcam_mt_camera_status;

/**
 * Open a camera: own it (OpenCameraEx()) when nobody has it, else attach to
 * its owner as a subscriber (see "Sharing a camera" above).
 *
 * \param id     camera id, 0 or 1
 * \param fps    frame rate, frames per second; 0: the owner's, or 30
 * \param width  frame width in pixels; 0 (with height 0): the owner's, or 640
 * \param height frame height in pixels; 0 (with width 0): the owner's, or 480
 * \param camera receives the new handle on success; untouched otherwise
 * \returns 0: the camera is open, and *camera is its handle, the caller's
 *          until boardcam_mt_close(); boardcam_mt_format() tells its format;
 *          BOARDCAM_MT_BUSY: another program has the camera at a format this
 *          open cannot share, does not share it, or has as many subscribers
 *          as it takes (boardcam_mt_last_message() says which, naming the
 *          owner); nothing was called and the owner is untouched;
 *          BOARDCAM_MT_DENIED: another user's program has the camera, and this
 *          process may not share it (the message says why);
 *          BOARDCAM_MT_ERROR: OpenCameraEx() failed (its reports say why), or
 *          \p camera is NULL, or memory for the handle ran out.
 *
 * Thread safe.
 */
BOARDCAM_MT_API int32_t boardcam_mt_open(int32_t id, int32_t fps, int32_t width, int32_t height,
                                         boardcam_mt_camera **camera);

/**
 * Configure an open camera at new values, for example when a stream
 * renegotiates. An owner's camera is configured again through
 * OpenCameraEx(); the read schedule starts afresh and frame sequences go on
 * from where they were. Subscribers that no longer fit are told at their next
 * read. A subscriber may change to any rate up to the owner's, at the
 * owner's size.
 *
 * \param camera a handle from boardcam_mt_open()
 * \param fps    frame rate, frames per second
 * \param width  frame width in pixels
 * \param height frame height in pixels
 * \returns 0 on success; BOARDCAM_MT_ERROR when OpenCameraEx() failed (a
 *          refused configuration has closed the camera: reads then fail until
 *          a reconfiguration succeeds) or \p camera is NULL;
 *          BOARDCAM_MT_BUSY: a subscriber asked for a format its owner does
 *          not have (the message names it; the subscriber goes on as it was).
 *          The handle stays valid either way; close it with
 *          boardcam_mt_close().
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
 * \returns 0: frame->data is a frame that belongs to the caller, who
 *          releases it with boardcam_mt_release_frame(): an owner's is a new
 *          device buffer; a subscriber's is shared memory, read-only;
 *          BOARDCAM_MT_INTERRUPTED: the handle is flushing; no frame;
 *          BOARDCAM_MT_BUSY: a subscriber whose owner changed to a format it
 *          does not fit (the message names it); no frame;
 *          BOARDCAM_MT_ERROR: ReadCameraFrame() failed (the library released
 *          its buffer), or a subscriber's owner went away and the camera
 *          could not be taken over, or an argument is NULL.
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
 * Release a frame: an owner's device buffer with vekpimoFree() under the
 * process-wide lock, a subscriber's shared frame back to its owner.
 *
 * \param data a frame's data from boardcam_mt_read(), released exactly once;
 *             NULL does nothing
 *
 * Thread safe; may be called from any thread, also after the camera closed.
 */
BOARDCAM_MT_API void boardcam_mt_release_frame(void *data);

/**
 * Whether a frame is a subscriber's shared frame, which must not be written.
 *
 * \param data a frame's data from boardcam_mt_read(), not yet released
 * \returns true for a subscriber's frame (mapped read-only: writing it
 *          faults); false for an owner's device buffer, which is the
 *          caller's to write, and for NULL.
 *
 * Thread safe.
 */
BOARDCAM_MT_API bool boardcam_mt_frame_is_read_only(const void *data);

/**
 * The format a handle reads at: what was asked, or for a handle opened with
 * zeros, what it got.
 *
 * \param camera a handle from boardcam_mt_open()
 * \param fps    receives frames per second; may be NULL
 * \param width  receives the width in pixels; may be NULL
 * \param height receives the height in pixels; may be NULL
 * \returns 0; BOARDCAM_MT_ERROR for a NULL handle.
 *
 * Thread safe.
 */
BOARDCAM_MT_API int32_t boardcam_mt_format(const boardcam_mt_camera *camera, int32_t *fps, int32_t *width,
                                           int32_t *height);

/**
 * Who has a camera, anywhere on the board: its owner's program, pid, size
 * and rate, and every subscriber's program, pid, rate, frames held and
 * dropped. Calls nothing in the camera library.
 *
 * \param id  camera id, 0 or 1
 * \param out receives the status; out->owned is false when no program has
 *            the camera through this library
 * \returns 0; BOARDCAM_MT_DENIED when the camera is another user's and this
 *          process may not see it (the message says why); BOARDCAM_MT_ERROR
 *          for another id, a NULL \p out, or an owner that did not answer.
 *
 * Thread safe.
 */
BOARDCAM_MT_API int32_t boardcam_mt_status(int32_t id, boardcam_mt_camera_status *out);

/**
 * Why the calling thread's last boardcam_mt_ call failed, when it said more
 * than its result: the owner a BOARDCAM_MT_BUSY names, why a
 * BOARDCAM_MT_DENIED was refused.
 *
 * \returns a NUL-terminated text, empty when there is nothing to add; owned
 *          by the library, valid until the thread's next boardcam_mt_ call.
 *
 * Thread safe: each thread has its own.
 */
BOARDCAM_MT_API const char *boardcam_mt_last_message(void);

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
