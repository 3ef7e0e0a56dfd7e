// Stand-in for the device runtime's core library: the application log.
#include "hooks.h"
#include "vekrt.h"

extern "C" __attribute__((visibility("default"))) int vekAppLog(int level, const char *func,
                                                                const char *file, int line,
                                                                const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int result = boardsim_impl_vekAppLog(level, func, file, line, fmt, args);
    va_end(args);
    return result;
}
