// What a frame of the simulated scene costs to render on one core, with the
// picture already built (as it is once a camera's size is set).
#include <benchmark/benchmark.h>

#include <vector>

#include "boardsim.h"

namespace {

void BM_SceneRender(benchmark::State &state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    std::vector<uint8_t> frame(size_t(width) * size_t(height) * 3 / 2);
    boardsim_set_pattern(BOARDSIM_PATTERN_SCENE);
    boardsim_render_frame(0, 0, width, height, frame.data(), frame.size());  // builds the picture
    uint32_t index = 1;
    for (auto _ : state) {
        boardsim_render_frame(0, index++, width, height, frame.data(), frame.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
}

void BM_BarsRender(benchmark::State &state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    std::vector<uint8_t> frame(size_t(width) * size_t(height) * 3 / 2);
    boardsim_set_pattern(BOARDSIM_PATTERN_BARS);
    uint32_t index = 0;
    for (auto _ : state) {
        boardsim_render_frame(0, index++, width, height, frame.data(), frame.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
}

BENCHMARK(BM_SceneRender)->Args({640, 480})->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BarsRender)->Args({640, 480})->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
