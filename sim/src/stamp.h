// The capture-time stamp: a strip of 32 large blocks across the top of a
// frame, white for a one bit and black for a zero, holding the time the
// sensor produced the frame. The blocks are big enough to come through JPEG
// and H.264 intact, so a client that decodes them measures the whole way
// from sensor to screen.
#ifndef BOARDSIM_STAMP_H
#define BOARDSIM_STAMP_H

#include <cstdint>

namespace boardsim {

// Bits in the stamp; the value is CLOCK_MONOTONIC in units of
// kStampUnitNs, modulo 2^32 (about five days).
constexpr int kStampBits = 32;
constexpr int64_t kStampUnitNs = 100000;

// Side of one block, in pixels, for a frame `width` wide (even, at most 32).
int stampBlockSize(int width);

// Writes the stamp of `monotonicNs` into the NV12 frame.
void stampCaptureTime(uint8_t *nv12, int width, int height, int64_t monotonicNs);

}  // namespace boardsim

#endif
