// The simulated sensors' test pattern: colour bars with a moving white block.
//
// Camera 0 shows eight vertical bars (75% white, yellow, cyan, green, magenta,
// red, blue, black from left to right) with the block moving left to right;
// camera 1 shows the same bars stacked horizontally, top to bottom, with the
// block moving downwards. Frames are NV12.
#ifndef BOARDSIM_PATTERN_H
#define BOARDSIM_PATTERN_H

#include <cstddef>
#include <cstdint>

#include "boardsim.h"

namespace boardsim {

struct Yuv {
    uint8_t y, u, v;
};

constexpr int kBarCount = 8;

// BT.601 limited-range colour of bar i.
Yuv barColour(int bar);

// The block: a square of side blockSide at (x, y), both even.
struct Block {
    int x, y, side;
};
Block blockOf(int camera, uint32_t index, int width, int height);

// Writes frame `index` of `camera` at width x height (both even and positive)
// into dst, which holds width * height * 3 / 2 bytes.
void renderBars(int camera, uint32_t index, int width, int height, uint8_t *dst);

// The same in the chosen pattern: the bars or the scene.
void renderFrame(BoardsimPattern pattern, int camera, uint32_t index, int width, int height, uint8_t *dst);

}  // namespace boardsim

#endif
