// Stand-in for the board's media library: the board's call names, forwarded
// to the simulator.
#include "cammedia.h"
#include "hooks.h"

#define STANDIN extern "C" __attribute__((visibility("default")))

STANDIN int MediaLibInit(void) { return boardsim_impl_MediaLibInit(); }
STANDIN int QueryCameraStatus(int id) { return boardsim_impl_QueryCameraStatus(id); }
STANDIN int OpenCamera(int id) { return boardsim_impl_OpenCamera(id); }
STANDIN int SetCameraProperty(int id, int prop, void *value) {
    return boardsim_impl_SetCameraProperty(id, prop, value);
}
STANDIN int ReadFrameFromCamera(int id, void *buf, uint32_t *size) {
    return boardsim_impl_ReadFrameFromCamera(id, buf, size);
}
STANDIN int CloseCamera(int id) { return boardsim_impl_CloseCamera(id); }
