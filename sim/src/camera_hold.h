// Which process has each camera. On the board the media library gives a
// camera to one process at a time, until that process closes it or dies.
// Here a lock on <runtime dir>/camera<N>.lock stands for that hold: an open
// file description lock, which the kernel drops when the process ends,
// however it ends. The runtime folder is BOARDSIM_RUNTIME_DIR, else
// /tmp/boardsim, shared by every user of the machine as the cameras are;
// parallel tests each name a folder of their own.
//
// Called with the state's lock held.
#ifndef BOARDSIM_CAMERA_HOLD_H
#define BOARDSIM_CAMERA_HOLD_H

namespace boardsim {

// Takes the camera for this process: true when it now has it (or had it
// already), false when another process has it.
bool takeCameraHold(int id);

// Gives the camera back, if this process had it.
void dropCameraHold(int id);

// Whether another process has the camera now.
bool cameraHeldElsewhere(int id);

}  // namespace boardsim

#endif
