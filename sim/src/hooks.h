// The simulator's platform calls, exported by the state library and forwarded
// to by the three stand-in libraries that carry the board's own names.
#ifndef BOARDSIM_HOOKS_H
#define BOARDSIM_HOOKS_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "boardsim.h"

extern "C" {
BOARDSIM_API int boardsim_impl_MediaLibInit(void);
BOARDSIM_API int boardsim_impl_QueryCameraStatus(int id);
BOARDSIM_API int boardsim_impl_OpenCamera(int id);
BOARDSIM_API int boardsim_impl_SetCameraProperty(int id, int prop, void *value);
BOARDSIM_API int boardsim_impl_ReadFrameFromCamera(int id, void *buf, uint32_t *size);
BOARDSIM_API int boardsim_impl_CloseCamera(int id);
BOARDSIM_API int boardsim_impl_vekAppLog(int level, const char *func, const char *file, int line,
                                         const char *fmt, va_list args)
    __attribute__((format(printf, 5, 0)));
BOARDSIM_API int boardsim_impl_vekpimoMalloc(void **ptr, size_t size);
BOARDSIM_API int boardsim_impl_vekpimoFree(void *ptr);
}

#endif
