// The simulated sensors' photograph-like scene: a textured picture per camera
// with detail at several scales, hard edges and gradients, a few objects
// moving at a steady speed, and a few levels of sensor noise drawn anew for
// every frame. Deterministic: frame k of a camera at a size is always the
// same bytes. Frames are NV12.
#ifndef BOARDSIM_SCENE_H
#define BOARDSIM_SCENE_H

#include <cstdint>

namespace boardsim {

// Builds the camera's picture at this size now, so that rendering frames
// costs only a pass over the frame.
void prepareScene(int camera, int width, int height);

// Writes frame `index` of `camera` at width x height (both even and positive)
// into dst, which holds width * height * 3 / 2 bytes.
void renderScene(int camera, uint32_t index, int width, int height, uint8_t *dst);

}  // namespace boardsim

#endif
