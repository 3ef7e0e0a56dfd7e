// The frame path against its physical floor.
//
// BM_LibraryRead: ReadCameraFrame plus the caller's vekpimoFree.
// BM_DirectRead:  the same platform calls made directly, without the library.
// BM_FrameWrite:  one memcpy of a frame into a warm buffer: the floor.
// BM_OpenClose:   OpenCameraEx then CloseCameraEx.
//
// The simulator delivers frames at once (pacing off), its journal is off, and
// the library's standard output goes to a file, as a service would run it.
// After the runs a table gives library/direct and direct/floor per size.
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "boardcam.h"
#include "boardsim.h"
#include "cammedia.h"
#include "vekpimo.h"

namespace {

long minorFaults() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Camera 0 opened at the benchmark's size; opening is not measured.
bool openAt(benchmark::State &state, int width, int height) {
    if (OpenCameraEx(0, 240, width, height) != 0) {
        state.SkipWithError("camera 0 did not open");
        return false;
    }
    return true;
}

void finish(benchmark::State &state, size_t frameBytes, long faultsBefore) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frameBytes));
    state.counters["faults/frame"] =
        benchmark::Counter(double(minorFaults() - faultsBefore) / double(state.iterations()));
}

void BM_LibraryRead(benchmark::State &state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    if (!openAt(state, width, height)) return;
    const size_t bytes = size_t(width) * size_t(height) * 3 / 2;
    CameraFrame warm = {0, nullptr};
    if (ReadCameraFrame(0, &warm) == 0) vekpimoFree(warm.data);
    const long faults = minorFaults();
    for (auto _ : state) {
        CameraFrame frame;
        if (ReadCameraFrame(0, &frame) != 0) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(frame.data);
        vekpimoFree(frame.data);
    }
    finish(state, bytes, faults);
    CloseCameraEx(0);
}

void BM_DirectRead(benchmark::State &state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    if (!openAt(state, width, height)) return;
    const size_t bytes = size_t(width) * size_t(height) * 3 / 2;
    auto once = [&]() {
        void *buf = nullptr;
        uint32_t size = uint32_t(bytes);
        if (vekpimoMalloc(&buf, bytes) != 0) return false;
        const bool ok = ReadFrameFromCamera(0, buf, &size) != 0 && size == bytes;
        benchmark::DoNotOptimize(buf);
        vekpimoFree(buf);
        return ok;
    };
    once();
    const long faults = minorFaults();
    for (auto _ : state) {
        if (!once()) {
            state.SkipWithError("read failed");
            break;
        }
    }
    finish(state, bytes, faults);
    CloseCameraEx(0);
}

void BM_FrameWrite(benchmark::State &state) {
    const size_t bytes = size_t(state.range(0)) * size_t(state.range(1)) * 3 / 2;
    std::vector<uint8_t> source(bytes, 0x5A), target(bytes, 0);
    std::memcpy(target.data(), source.data(), bytes);
    const long faults = minorFaults();
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), bytes);
        benchmark::ClobberMemory();
    }
    finish(state, bytes, faults);
}

void BM_OpenClose(benchmark::State &state) {
    for (auto _ : state) {
        if (OpenCameraEx(1, 30, 640, 480) != 0 || CloseCameraEx(1) != 0) {
            state.SkipWithError("open or close failed");
            break;
        }
    }
}

void frameSizes(benchmark::internal::Benchmark *b) {
    // 8192x8192 (96 MiB) is the largest frame the simulated sensor delivers and
    // lies above the C library's largest heap threshold.
    b->Args({64, 64})->Args({640, 480})->Args({1920, 1080})->Args({3840, 2160})->Args({8192, 8192});
}

BENCHMARK(BM_LibraryRead)->Apply(frameSizes);
BENCHMARK(BM_DirectRead)->Apply(frameSizes);
BENCHMARK(BM_FrameWrite)->Apply(frameSizes);
BENCHMARK(BM_OpenClose);

// Keeps each run's time per frame for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, std::map<std::string, double>> nsPerFrame;  // size -> kind -> ns

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_name.args.empty()) continue;
            // With repetitions the median stands for the size; otherwise the one run.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            const std::string kind = run.run_name.function_name.substr(3);  // drop "BM_"
            auto &slot = nsPerFrame[run.run_name.args];
            if (!median && medians_.count(run.run_name.args + kind) != 0) continue;
            if (median) medians_.insert(run.run_name.args + kind);
            slot[kind] = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }

    void printTable() const {
        std::fprintf(stderr, "\n%-12s %14s %14s %14s %16s %14s\n", "size", "library ns", "direct ns", "floor ns",
                    "library/direct", "direct/floor");
        for (const char *size : {"64/64", "640/480", "1920/1080", "3840/2160", "8192/8192"}) {
            auto it = nsPerFrame.find(size);
            if (it == nsPerFrame.end()) continue;
            const auto &k = it->second;
            auto get = [&](const char *kind) {
                auto f = k.find(kind);
                return f == k.end() ? 0.0 : f->second;
            };
            const double lib = get("LibraryRead"), direct = get("DirectRead"), floor = get("FrameWrite");
            std::fprintf(stderr, "%-12s %14.0f %14.0f %14.0f %16.3f %14.3f\n", size, lib, direct, floor,
                        direct > 0 ? lib / direct : 0.0, floor > 0 ? direct / floor : 0.0);
        }
    }

  private:
    std::set<std::string> medians_;  // size + kind already taken from a median
};

}  // namespace

int main(int argc, char **argv) {
    const char *log = std::getenv("BOARDCAM_BENCH_STDOUT");
    if (std::freopen(log != nullptr ? log : "/dev/null", "w", stdout) == nullptr) return 2;
    boardsim_set_pacing(false);
    boardsim_journal_enable(false);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Standard output belongs to the library's reports: results go to standard error.
    RatioReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printTable();
    benchmark::Shutdown();
    return 0;
}
