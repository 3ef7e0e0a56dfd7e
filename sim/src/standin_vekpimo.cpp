// Stand-in for the device runtime's image-processing library: device memory.
#include "hooks.h"
#include "vekpimo.h"

#define STANDIN extern "C" __attribute__((visibility("default")))

STANDIN int vekpimoMalloc(void **ptr, size_t size) { return boardsim_impl_vekpimoMalloc(ptr, size); }
STANDIN int vekpimoFree(void *ptr) { return boardsim_impl_vekpimoFree(ptr); }
