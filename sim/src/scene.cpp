#include "scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace boardsim {
namespace {

// Sensor noise: every sample gets one of these offsets, from a table drawn
// once; each frame starts at its own place in the table.
constexpr int kNoiseLevels = 3;  // -3 .. +3
constexpr size_t kNoiseWindow = 1 << 16;
// The background stays this far inside the video range, so that adding noise
// never needs clamping and the add loop vectorises.
constexpr int kLumaMin = 16 + kNoiseLevels, kLumaMax = 235 - kNoiseLevels;
constexpr int kChromaMin = 16 + kNoiseLevels, kChromaMax = 240 - kNoiseLevels;
constexpr int kObjectCount = 3;

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

uint8_t clampTo(double v, int lo, int hi) { return uint8_t(std::lround(std::min<double>(hi, std::max<double>(lo, v)))); }

// Fractal value noise over a width x height picture: detail at several
// scales, from hills down to grain, in -1 .. 1. Each octave's lattice of
// random values is drawn once, so a sample costs a few reads.
class Fractal {
  public:
    Fractal(uint32_t seed, int width, int height, double scale) {
        static const double cells[kOctaves] = {160, 48, 14, 4, 1.5};
        for (int o = 0; o < kOctaves; ++o) {
            Octave &oct = octaves_[o];
            oct.cell = std::max(1.0, cells[o] * scale);
            oct.columns = int(width / oct.cell) + 3;
            const int rows = int(height / oct.cell) + 3;
            oct.values.resize(size_t(oct.columns) * size_t(rows));
            uint32_t state = mix(seed + uint32_t(o) * 0x9e3779b9U) | 1;
            for (float &v : oct.values) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                v = float(state) / 4294967296.0f * 2 - 1;
            }
        }
    }

    double at(double x, double y) const {
        static const double weights[kOctaves] = {0.40, 0.25, 0.17, 0.11, 0.07};
        double sum = 0;
        for (int o = 0; o < kOctaves; ++o) {
            const Octave &oct = octaves_[o];
            const double fx = x / oct.cell, fy = y / oct.cell;
            const int ix = int(fx), iy = int(fy);
            double tx = fx - ix, ty = fy - iy;
            tx = tx * tx * (3 - 2 * tx);
            ty = ty * ty * (3 - 2 * ty);
            const float *row = &oct.values[size_t(iy) * size_t(oct.columns) + size_t(ix)];
            const double top = row[0] + (row[1] - row[0]) * tx;
            const double bottom = row[oct.columns] + (row[oct.columns + 1] - row[oct.columns]) * tx;
            sum += weights[o] * (top + (bottom - top) * ty);
        }
        return sum;
    }

  private:
    static constexpr int kOctaves = 5;
    struct Octave {
        double cell = 1;
        int columns = 0;
        std::vector<float> values;
    };
    Octave octaves_[kOctaves];
};

struct Object {
    int side;           // even, in pixels
    int x0, y0;         // position at frame 0
    int dx, dy;         // pixels per frame, even
    std::vector<uint8_t> luma;    // side * side
    std::vector<uint8_t> chroma;  // side / 2 rows of side bytes, U V interleaved
};

struct Scene {
    int camera = -1, width = 0, height = 0;
    std::vector<uint8_t> frame;  // background, NV12
    std::vector<int8_t> noise;   // frame size + window
    Object objects[kObjectCount];
};

// The picture: a sky gradient over textured ground, blocks with rows of
// windows (hard edges), a disc and diagonal stripes, all with fractal detail.
void buildBackground(Scene &s) {
    const int w = s.width, h = s.height;
    const uint32_t seed = 0x5ce9e000U + uint32_t(s.camera) * 0x1234567U;
    const double scale = std::max(0.25, h / 1080.0);
    uint8_t *luma = s.frame.data();
    uint8_t *chroma = luma + size_t(w) * size_t(h);
    const int horizon = int(h * (s.camera == 0 ? 0.45 : 0.35));

    struct Block {
        int x0, x1, y0, y1;
        double tone;
    };
    std::vector<Block> blocks;
    for (int i = 0; i < 7; ++i) {
        const uint32_t r = mix(seed + uint32_t(i) * 77U);
        const int bw = int(w * (0.06 + (r % 100) / 800.0));
        const int x0 = int((mix(r) % 1000) / 1000.0 * (w - bw));
        const int top = int(horizon - h * (0.10 + (mix(r + 1) % 100) / 400.0));
        blocks.push_back({x0, x0 + bw, std::max(0, top), horizon + int(h * 0.05), double(50 + mix(r + 2) % 120)});
    }
    const double sunX = w * (s.camera == 0 ? 0.78 : 0.2), sunY = h * 0.18, sunR = h * 0.07;

    const Fractal sky(seed, w, h, scale * 2), ground(seed + 1, w, h, scale), walls(seed + 2, w, h, scale * 0.5);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double v;
            if (y < horizon) {
                v = 150 + 60.0 * y / horizon + 14 * sky.at(x, y);
                if (std::hypot(x - sunX, y - sunY) < sunR) v = 228;
            } else {
                v = 95 + 55 * ground.at(x, y) + 30.0 * (y - horizon) / (h - horizon);
                // Furrows: diagonal stripes in the ground.
                if (((x + 2 * y) / std::max(2, int(12 * scale))) % 2 == 0) v -= 14;
            }
            for (const Block &b : blocks) {
                if (x < b.x0 || x >= b.x1 || y < b.y0 || y >= b.y1) continue;
                v = b.tone + 18 * walls.at(x, y);
                const int cell = std::max(4, int(18 * scale));
                if ((x - b.x0) % cell > cell / 3 && (y - b.y0) % (cell * 2) > cell / 2) v = 40 + 160 * ((x / cell + y / cell) % 3 == 0);
            }
            luma[size_t(y) * size_t(w) + size_t(x)] = clampTo(v, kLumaMin, kLumaMax);
        }
    }
    const Fractal skyU(seed + 3, w, h, scale * 4), skyV(seed + 4, w, h, scale * 4);
    const Fractal groundU(seed + 5, w, h, scale * 2), groundV(seed + 6, w, h, scale * 2);
    for (int cy = 0; cy < h / 2; ++cy) {
        for (int cx = 0; cx < w / 2; ++cx) {
            const int x = cx * 2, y = cy * 2;
            double u, v;
            if (y < horizon) {  // a blue sky
                u = 150 + 8 * skyU.at(x, y);
                v = 115 + 6 * skyV.at(x, y);
            } else {  // green and brown ground
                u = 112 + 14 * groundU.at(x, y);
                v = 125 + 16 * groundV.at(x, y);
            }
            for (const Block &b : blocks) {
                if (x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1) {
                    u = 120 + int(b.tone) % 17;
                    v = 135 + int(b.tone) % 11;
                }
            }
            uint8_t *c = chroma + size_t(cy) * size_t(w) + size_t(x);
            c[0] = clampTo(u, kChromaMin, kChromaMax);
            c[1] = clampTo(v, kChromaMin, kChromaMax);
        }
    }
}

void buildObjects(Scene &s) {
    const uint32_t seed = 0x0b1ec700U + uint32_t(s.camera) * 0x31337U;
    const double scale = std::max(0.25, s.height / 1080.0);
    for (int i = 0; i < kObjectCount; ++i) {
        Object &o = s.objects[i];
        const uint32_t r = mix(seed + uint32_t(i));
        o.side = std::max(2, std::min(std::min(s.width, s.height), int(s.height * (0.10 + 0.05 * i))) & ~1);
        o.x0 = int(mix(r) % uint32_t(std::max(1, s.width - o.side))) & ~1;
        o.y0 = int(mix(r + 1) % uint32_t(std::max(1, s.height - o.side))) & ~1;
        o.dx = std::max(2, int(std::lround((4 + 2 * i) * scale)) & ~1) * (i % 2 == 0 ? 1 : -1);
        o.dy = (std::max(0, int(std::lround((2 + i) * scale))) & ~1) * (s.camera == 0 ? 1 : -1);
        o.luma.resize(size_t(o.side) * size_t(o.side));
        o.chroma.resize(size_t(o.side) * size_t(o.side) / 2);
        const double tone = 60 + 50 * i;
        const Fractal texture(seed + uint32_t(i), o.side, o.side, scale * 0.3);
        for (int y = 0; y < o.side; ++y) {
            for (int x = 0; x < o.side; ++x) {
                const bool edge = x < 2 || y < 2 || x >= o.side - 2 || y >= o.side - 2;
                const double v = edge ? 30 : tone + 45 * texture.at(x, y) +
                                                 (((x / 6) + (y / 6)) % 2 ? 12 : -12);
                o.luma[size_t(y) * size_t(o.side) + size_t(x)] = clampTo(v, kLumaMin, kLumaMax);
            }
        }
        for (int cy = 0; cy < o.side / 2; ++cy) {
            for (int cx = 0; cx < o.side / 2; ++cx) {
                uint8_t *c = &o.chroma[size_t(cy) * size_t(o.side) + size_t(cx) * 2];
                c[0] = clampTo(i == 1 ? 90 : 170, kChromaMin, kChromaMax);
                c[1] = clampTo(i == 2 ? 100 : 180, kChromaMin, kChromaMax);
            }
        }
    }
}

void buildNoise(Scene &s) {
    s.noise.resize(s.frame.size() + kNoiseWindow);
    uint32_t state = 0x2545f491U + uint32_t(s.camera);
    for (int8_t &n : s.noise) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        n = int8_t(int(state % (2 * kNoiseLevels + 1)) - kNoiseLevels);
    }
}

// Bounces a coordinate between 0 and `room` along a steady speed.
int bounce(int start, int speed, uint32_t index, int room) {
    if (room <= 0) return 0;
    const int64_t span = 2 * int64_t(room);
    int64_t p = (int64_t(start) + int64_t(speed) * int64_t(index)) % span;
    if (p < 0) p += span;
    return int(p <= room ? p : span - p) & ~1;
}

std::shared_ptr<const Scene> sceneFor(int camera, int width, int height) {
    static std::mutex lock;
    static std::shared_ptr<const Scene> cache[2];
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<const Scene> &slot = cache[camera];
    if (!slot || slot->width != width || slot->height != height) {
        auto s = std::make_shared<Scene>();
        s->camera = camera;
        s->width = width;
        s->height = height;
        s->frame.resize(size_t(width) * size_t(height) * 3 / 2);
        buildBackground(*s);
        buildObjects(*s);
        buildNoise(*s);
        slot = s;
    }
    return slot;
}

}  // namespace

void prepareScene(int camera, int width, int height) { sceneFor(camera, width, height); }

void renderScene(int camera, uint32_t index, int width, int height, uint8_t *dst) {
    const std::shared_ptr<const Scene> s = sceneFor(camera, width, height);
    const size_t bytes = s->frame.size();
    const size_t lumaBytes = size_t(width) * size_t(height);
    const int8_t *noise = s->noise.data() + mix(uint32_t(camera) * 0x10001U + index * 0x9e3779b9U) % kNoiseWindow;
    const uint8_t *bg = s->frame.data();
    for (size_t i = 0; i < bytes; ++i) dst[i] = uint8_t(bg[i] + noise[i]);

    for (const Object &o : s->objects) {
        const int x = bounce(o.x0, o.dx, index, width - o.side);
        const int y = bounce(o.y0, o.dy, index, height - o.side);
        for (int row = 0; row < o.side; ++row) {
            const size_t at = size_t(y + row) * size_t(width) + size_t(x);
            const uint8_t *src = &o.luma[size_t(row) * size_t(o.side)];
            for (int i = 0; i < o.side; ++i) dst[at + size_t(i)] = uint8_t(src[i] + noise[at + size_t(i)]);
        }
        for (int row = 0; row < o.side / 2; ++row) {
            const size_t at = lumaBytes + size_t(y / 2 + row) * size_t(width) + size_t(x);
            const uint8_t *src = &o.chroma[size_t(row) * size_t(o.side)];
            for (int i = 0; i < o.side; ++i) dst[at + size_t(i)] = uint8_t(src[i] + noise[at + size_t(i)]);
        }
    }
}

}  // namespace boardsim
