#include "stamp.h"

#include <algorithm>
#include <cstring>

namespace boardsim {

int stampBlockSize(int width) { return std::max(2, std::min(32, width / kStampBits) & ~1); }

void stampCaptureTime(uint8_t *nv12, int width, int height, int64_t monotonicNs) {
    const int block = stampBlockSize(width);
    const int rows = std::min(block, height & ~1);
    const uint32_t value = uint32_t(uint64_t(monotonicNs / kStampUnitNs));
    uint8_t *chroma = nv12 + size_t(width) * size_t(height);
    for (int bit = 0; bit < kStampBits && (bit + 1) * block <= width; ++bit) {
        const uint8_t luma = (value >> (kStampBits - 1 - bit)) & 1u ? 235 : 16;
        for (int y = 0; y < rows; ++y) std::memset(nv12 + size_t(y) * width + size_t(bit) * block, luma, block);
        // Grey chroma: the blocks are pure black and white.
        for (int y = 0; y < rows / 2; ++y) std::memset(chroma + size_t(y) * width + size_t(bit) * block, 128, block);
    }
}

}  // namespace boardsim
