/*
 * boardsim: control interface of the host board simulator.
 *
 * The simulator stands in for the board's media library and device runtime
 * on a PC. Tests and application developers use this interface to script the
 * board (camera status, refused calls, short frames, memory pressure) and to
 * read back what happened (an ordered journal of every platform call, log
 * records included, and the live device buffers).
 *
 * Every function is safe to call from any thread. Nothing here is ever called
 * by the camera library itself.
 */
#ifndef BOARDSIM_H
#define BOARDSIM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(BOARDSIM_BUILDING) && (defined(__GNUC__) || defined(__clang__))
#define BOARDSIM_API __attribute__((visibility("default")))
#else
#define BOARDSIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** The platform calls the simulator provides. */
typedef enum BoardsimCall {
    BOARDSIM_MEDIA_LIB_INIT = 0,
    BOARDSIM_QUERY_CAMERA_STATUS,
    BOARDSIM_OPEN_CAMERA,
    BOARDSIM_SET_CAMERA_PROPERTY,
    BOARDSIM_READ_FRAME_FROM_CAMERA,
    BOARDSIM_CLOSE_CAMERA,
    BOARDSIM_APP_LOG,
    BOARDSIM_PIMO_MALLOC,
    BOARDSIM_PIMO_FREE,
    BOARDSIM_CALL_COUNT
} BoardsimCall;

/**
 * What QueryCameraStatus answers in a process for a camera that another
 * process has opened (an unusable status): on the board a camera belongs to
 * one process at a time, until it closes the camera or dies. OpenCamera
 * fails meanwhile. The simulator keeps this rule across processes with a
 * lock per camera in BOARDSIM_RUNTIME_DIR (default /tmp/boardsim).
 */
#define BOARDSIM_STATUS_IN_USE 4

/** Camera argument that matches every camera (and the runtime calls, which have none). */
#define BOARDSIM_ANY_CAMERA (-1)

/** How long a scripted refusal lasts. */
typedef enum BoardsimFailMode {
    BOARDSIM_FAIL_ONCE = 0,  /**< the first matching call is refused, then the fault is gone */
    BOARDSIM_FAIL_ALWAYS = 1 /**< every matching call is refused until the faults are cleared */
} BoardsimFailMode;

/** Largest text kept for one log record (longer texts are cut). */
#define BOARDSIM_TEXT_MAX 256
#define BOARDSIM_NAME_MAX 64

/**
 * One journal entry: a platform call with its arguments and its answer.
 * Fields that do not apply to the call are 0.
 */
typedef struct BoardsimEvent {
    BoardsimCall call;
    int camera;          /**< camera id argument; -1 for runtime calls */
    int result;          /**< what the call returned */
    bool refused;        /**< a scripted fault made the call fail */
    int prop;            /**< SetCameraProperty: property code */
    int32_t value[2];    /**< SetCameraProperty: the value read through the address
                              (resolution: width, height; others: value[0]) */
    uint64_t size;       /**< ReadFrameFromCamera: capacity passed in;
                              vekpimoMalloc: bytes requested; vekpimoFree: bytes released */
    uint32_t sizeOut;    /**< ReadFrameFromCamera: byte count on return */
    uintptr_t ptr;       /**< buffer passed (read, free) or handed out (malloc) */
    int level;           /**< vekAppLog: level */
    int line;            /**< vekAppLog: source line */
    char func[BOARDSIM_NAME_MAX]; /**< vekAppLog: function name */
    char file[BOARDSIM_NAME_MAX]; /**< vekAppLog: source file name */
    char text[BOARDSIM_TEXT_MAX]; /**< vekAppLog: formatted message */
    uint32_t frame;      /**< ReadFrameFromCamera: index of the sensor frame delivered */
    int64_t startNs;     /**< CLOCK_MONOTONIC time the call was entered, in nanoseconds */
    int64_t endNs;       /**< CLOCK_MONOTONIC time the call returned, in nanoseconds */
} BoardsimEvent;

/** Error codes of the simulated image-processing allocator. */
#define BOARDSIM_PIMO_ERR_ARGUMENT 1    /**< null address for the result */
#define BOARDSIM_PIMO_ERR_NO_MEMORY 2   /**< over the device-memory limit, or refused by script */
#define BOARDSIM_PIMO_ERR_UNKNOWN 3     /**< free of a pointer the allocator never handed out */

/** Default device-memory limit: 256 MiB live at once. */
#define BOARDSIM_DEFAULT_MEMORY_LIMIT ((size_t)256 << 20)

/** What the simulated sensors show. */
typedef enum BoardsimPattern {
    BOARDSIM_PATTERN_BARS = 0, /**< colour bars with a moving block: flat, cheap to encode (the default) */
    BOARDSIM_PATTERN_SCENE = 1 /**< a photograph-like scene with moving objects and sensor noise:
                                    as hard to encode as a real camera's frames */
} BoardsimPattern;

/** Name of a call as the platform spells it ("OpenCamera"); NULL when out of range. */
BOARDSIM_API const char *boardsim_call_name(BoardsimCall call);

/** Look up a call by its platform name; 0 on success, -1 when unknown. */
BOARDSIM_API int boardsim_call_from_name(const char *name, BoardsimCall *call);

/**
 * Put the simulator back to its state at start: both cameras closed and
 * unconfigured, faults cleared, pacing on, colour bars, default memory limit,
 * journal empty and enabled, frame counters 0. Live device buffers stay live.
 * Settings from the environment are not applied again.
 */
BOARDSIM_API void boardsim_reset(void);

/**
 * Refuse calls of \p call, for one camera or for BOARDSIM_ANY_CAMERA.
 * Faults add up; a call is refused when any fault matches it.
 * \returns 0, or -1 for an unknown call or camera.
 */
BOARDSIM_API int boardsim_fail_call(BoardsimCall call, int camera, BoardsimFailMode mode);

/**
 * Refuse the \p k-th platform call from now on (1 is the next call), whatever
 * it is; with BOARDSIM_FAIL_ALWAYS that call and every later one.
 * \returns 0, or -1 when \p k is 0.
 */
BOARDSIM_API int boardsim_fail_nth_call(uint64_t k, BoardsimFailMode mode);

/** Remove every scripted fault, those from the environment included. */
BOARDSIM_API void boardsim_clear_faults(void);

/** Platform calls made since the process started (or since boardsim_reset). */
BOARDSIM_API uint64_t boardsim_call_count(void);

/**
 * Set the status that QueryCameraStatus answers for a camera: 1 open,
 * 2 closed, anything else unusable (opening and reading then fail).
 * \returns 0, or -1 for an unknown camera.
 */
BOARDSIM_API int boardsim_set_status(int camera, int status);

/** The camera's current status without a journal entry; 0 for an unknown camera. */
BOARDSIM_API int boardsim_status(int camera);

/**
 * Make the camera's next successful read report \p bytes as the byte count
 * (the frame itself is written up to the capacity).
 * \returns 0, or -1 for an unknown camera.
 */
BOARDSIM_API int boardsim_set_next_read_size(int camera, uint32_t bytes);

/** Largest number of device-memory bytes live at once; larger requests are refused. */
BOARDSIM_API void boardsim_set_memory_limit(size_t bytes);

/**
 * Run each sensor on its own clock (on at start), or deliver a frame at once
 * on every read.
 *
 * With pacing on a sensor is free-running, as a real one is: from the moment
 * its frame rate is set (or the camera opened), frame k is due k periods
 * later, whether or not anyone reads. A read before the next frame is due
 * waits for it; a read after that gets the newest frame at once, and the
 * frames it missed are lost. A late reader never shifts the cadence.
 * With pacing off every read delivers the next frame index at once.
 */
BOARDSIM_API void boardsim_set_pacing(bool on);

/**
 * Choose what the sensors show from the next frame on, for both cameras
 * (BOARDSIM_PATTERN=bars|scene sets it at start). The scene's picture is
 * built when a camera's resolution is set, so frames cost one pass over the
 * frame. \p pattern is a BoardsimPattern; \returns 0, or -1 for any other value.
 */
BOARDSIM_API int boardsim_set_pattern(int pattern);

/** The pattern the sensors show. */
BOARDSIM_API BoardsimPattern boardsim_pattern(void);

/** Device buffers handed out and not yet released. */
BOARDSIM_API size_t boardsim_live_buffers(void);

/** Bytes in the device buffers handed out and not yet released. */
BOARDSIM_API size_t boardsim_live_bytes(void);

/** Keep journal entries (on at start). With it off nothing is recorded. */
BOARDSIM_API void boardsim_journal_enable(bool on);

/** Entries in the journal. The journal keeps the newest 16384 entries. */
BOARDSIM_API size_t boardsim_journal_size(void);

/** Copy entry \p index (0 is the oldest kept). \returns 0, or -1 when out of range. */
BOARDSIM_API int boardsim_journal_entry(size_t index, BoardsimEvent *out);

/** Forget every journal entry. */
BOARDSIM_API void boardsim_journal_clear(void);

/**
 * One past the index of the newest frame a camera delivered (0 before the
 * first): with pacing off, the index of the next frame; with pacing on, frames
 * the sensor produced while nobody read are skipped.
 */
BOARDSIM_API uint32_t boardsim_frames_delivered(int camera);

/**
 * Render frame \p index of a camera at a resolution, in the current pattern,
 * into \p buf, exactly as a read would deliver it (NV12, width * height * 3 / 2
 * bytes). \returns the byte count, or 0 for an unknown camera, an odd or
 * non-positive size, or a capacity too small.
 */
BOARDSIM_API size_t boardsim_render_frame(int camera, uint32_t index, int width, int height,
                                          void *buf, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* BOARDSIM_H */
