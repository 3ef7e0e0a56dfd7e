#include "pattern.h"

#include "scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace boardsim {
namespace {

constexpr Yuv kBlockColour = {235, 128, 128};

Yuv fromRgb(double r, double g, double b) {
    auto clampByte = [](double v) { return uint8_t(std::lround(std::min(255.0, std::max(0.0, v)))); };
    return {clampByte(16 + 219 * (0.299 * r + 0.587 * g + 0.114 * b)),
            clampByte(128 + 224 * (-0.168736 * r - 0.331264 * g + 0.5 * b)),
            clampByte(128 + 224 * (0.5 * r - 0.418688 * g - 0.081312 * b))};
}

// Bar i spans columns (or rows) [i * n / 8, (i + 1) * n / 8).
int barAt(int pos, int extent) { return int(int64_t(pos) * kBarCount / extent); }

// Rows that do not change from frame to frame, built once per camera and size
// so that a frame is a series of row copies plus the block overlay.
struct Rows {
    int camera = -1, width = 0, height = 0;
    std::vector<uint8_t> luma;    // camera 0: one row; camera 1: one row per bar
    std::vector<uint8_t> chroma;  // the same, interleaved U V
};

void build(Rows &rows, int camera, int width, int height) {
    rows.camera = camera;
    rows.width = width;
    rows.height = height;
    if (camera == 0) {
        rows.luma.resize(size_t(width));
        rows.chroma.resize(size_t(width));
        for (int x = 0; x < width; ++x) rows.luma[size_t(x)] = barColour(barAt(x, width)).y;
        for (int x = 0; x < width; x += 2) {
            Yuv c = barColour(barAt(x, width));
            rows.chroma[size_t(x)] = c.u;
            rows.chroma[size_t(x) + 1] = c.v;
        }
    } else {
        rows.luma.resize(size_t(kBarCount) * size_t(width));
        rows.chroma.resize(size_t(kBarCount) * size_t(width));
        for (int bar = 0; bar < kBarCount; ++bar) {
            Yuv c = barColour(bar);
            uint8_t *l = &rows.luma[size_t(bar) * size_t(width)];
            uint8_t *ch = &rows.chroma[size_t(bar) * size_t(width)];
            std::memset(l, c.y, size_t(width));
            for (int x = 0; x < width; x += 2) {
                ch[x] = c.u;
                ch[x + 1] = c.v;
            }
        }
    }
}

}  // namespace

Yuv barColour(int bar) {
    // 75% bars: white, yellow, cyan, green, magenta, red, blue, black.
    static const Yuv colours[kBarCount] = {
        fromRgb(.75, .75, .75), fromRgb(.75, .75, 0), fromRgb(0, .75, .75), fromRgb(0, .75, 0),
        fromRgb(.75, 0, .75),   fromRgb(.75, 0, 0),   fromRgb(0, 0, .75),   fromRgb(0, 0, 0),
    };
    return colours[bar];
}

Block blockOf(int camera, uint32_t index, int width, int height) {
    const int side = std::max(2, (std::min(width, height) / 4) & ~1);
    const int stepX = std::max(2, (width / 32) & ~1);
    const int stepY = std::max(2, (height / 32) & ~1);
    Block block{0, 0, std::min(side, std::min(width, height))};
    if (camera == 0) {
        const int travel = width - block.side + 1;
        block.x = int(uint64_t(index) * uint64_t(stepX) % uint64_t(travel)) & ~1;
        block.y = ((height - block.side) / 2) & ~1;
    } else {
        const int travel = height - block.side + 1;
        block.x = ((width - block.side) / 2) & ~1;
        block.y = int(uint64_t(index) * uint64_t(stepY) % uint64_t(travel)) & ~1;
    }
    return block;
}

void renderFrame(BoardsimPattern pattern, int camera, uint32_t index, int width, int height, uint8_t *dst) {
    if (pattern == BOARDSIM_PATTERN_SCENE) {
        renderScene(camera, index, width, height, dst);
    } else {
        renderBars(camera, index, width, height, dst);
    }
}

void renderBars(int camera, uint32_t index, int width, int height, uint8_t *dst) {
    static std::mutex cacheLocks[2];
    static Rows cache[2];

    const size_t w = size_t(width);
    uint8_t *lumaPlane = dst;
    uint8_t *chromaPlane = dst + w * size_t(height);
    {
        std::lock_guard<std::mutex> lock(cacheLocks[camera]);
        Rows &rows = cache[camera];
        if (rows.camera != camera || rows.width != width || rows.height != height) {
            build(rows, camera, width, height);
        }
        for (int y = 0; y < height; ++y) {
            const size_t src = camera == 0 ? 0 : size_t(barAt(y, height)) * w;
            std::memcpy(lumaPlane + size_t(y) * w, &rows.luma[src], w);
        }
        for (int cy = 0; cy < height / 2; ++cy) {
            const size_t src = camera == 0 ? 0 : size_t(barAt(2 * cy, height)) * w;
            std::memcpy(chromaPlane + size_t(cy) * w, &rows.chroma[src], w);
        }
    }

    const Block block = blockOf(camera, index, width, height);
    for (int y = block.y; y < block.y + block.side; ++y) {
        std::memset(lumaPlane + size_t(y) * w + size_t(block.x), kBlockColour.y, size_t(block.side));
    }
    for (int cy = block.y / 2; cy < (block.y + block.side) / 2; ++cy) {
        uint8_t *row = chromaPlane + size_t(cy) * w + size_t(block.x);
        for (int i = 0; i < block.side; i += 2) {
            row[i] = kBlockColour.u;
            row[i + 1] = kBlockColour.v;
        }
    }
}

}  // namespace boardsim
