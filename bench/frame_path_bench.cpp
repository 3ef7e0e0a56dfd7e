// The frame path against its physical floor.
//
// BM_LibraryRead: ReadCameraFrame plus the caller's vekpimoFree.
// BM_DirectRead:  the same platform calls made directly, without the library.
// BM_FrameWrite:  one write-only pass over a warm frame-sized buffer (memset):
//                 the floor. A memcpy would read as much as it writes, which a
//                 sensor's write into memory does not.
// BM_OpenClose:   OpenCameraEx then CloseCameraEx.
// BM_MtRead:      boardcam_mt_read and boardcam_mt_release_frame at 240 fps:
//                 the C loop at the camera's pace, in the process's CPU time,
//                 the baseline of the element and the Python package. A read
//                 that follows a 4 ms wait costs several times one in a tight
//                 loop (the frame and the code have left the caches), so the
//                 paced consumers are compared with a paced C loop.
// BM_ElementRead: one frame through `boardcamsrc ! fakesink`, the GStreamer
//                 element's whole path: the process's CPU time from the first
//                 frame to the last. The element reads through libboardcam-mt,
//                 which keeps the camera's rate even with pacing off, so wall
//                 time would measure the frame period, not the cost.
//
// The simulator delivers frames at once (pacing off), its journal is off, and
// the library's standard output goes to a file, as a service would run it.
// After the runs a table gives library/direct and direct/floor per size.
#include <sys/resource.h>
#include <time.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef BOARDCAM_BENCH_GSTREAMER
#include <gst/gst.h>
#endif

#include "boardcam-mt.h"
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
    std::vector<uint8_t> target(bytes, 0);
    const long faults = minorFaults();
    int value = 0;
    for (auto _ : state) {
        std::memset(target.data(), ++value & 0xff, bytes);
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

// Frames per paced run; opening and closing are not timed.
constexpr int kPacedFrames = 120;

int64_t processCpuNs() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void BM_MtRead(benchmark::State &state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    for (auto _ : state) {
        boardcam_mt_camera *camera = nullptr;
        if (boardcam_mt_open(0, 240, width, height, &camera) != 0) {
            state.SkipWithError("camera 0 did not open");
            break;
        }
        int64_t first = 0;
        bool ok = true;
        for (int i = 0; i < kPacedFrames && ok; ++i) {
            boardcam_mt_frame frame;
            ok = boardcam_mt_read(camera, &frame) == 0;
            if (ok) boardcam_mt_release_frame(frame.data);
            if (i == 0) first = processCpuNs();
        }
        const int64_t last = processCpuNs();
        boardcam_mt_close(camera);
        if (!ok) {
            state.SkipWithError("read failed");
            break;
        }
        // CPU time per frame: from the first frame's arrival to the last's.
        state.SetIterationTime(double(last - first) * 1e-9 / (kPacedFrames - 1));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * width * height * 3 / 2);
}

#ifdef BOARDCAM_BENCH_GSTREAMER
constexpr int kElementFrames = kPacedFrames;

struct ElementClock {
    int frames = 0;
    int64_t first = 0, last = 0;  // process CPU time, ns
};

void BM_ElementRead(benchmark::State &state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const std::string description = "boardcamsrc num-buffers=" + std::to_string(kElementFrames) +
                                    " ! video/x-raw,width=" + std::to_string(width) + ",height=" +
                                    std::to_string(height) + ",framerate=240/1 ! fakesink name=sink sync=false enable-last-sample=false "
                                    "signal-handoffs=true";
    for (auto _ : state) {
        GstElement *pipeline = gst_parse_launch(description.c_str(), nullptr);
        GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
        ElementClock clock;
        g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *, GstPad *, gpointer data) {
                             ElementClock *c = static_cast<ElementClock *>(data);
                             c->last = processCpuNs();
                             if (c->frames++ == 0) c->first = c->last;
                         }),
                         &clock);
        GstBus *bus = gst_element_get_bus(pipeline);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        GstMessage *done = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND,
                                                      GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        const bool ok = done != nullptr && GST_MESSAGE_TYPE(done) == GST_MESSAGE_EOS && clock.frames == kElementFrames;
        if (done != nullptr) gst_message_unref(done);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(bus);
        gst_object_unref(sink);
        gst_object_unref(pipeline);
        if (!ok) {
            state.SkipWithError("the pipeline did not deliver its frames");
            break;
        }
        // CPU time per frame: from the first frame's arrival to the last's.
        state.SetIterationTime(double(clock.last - clock.first) * 1e-9 / (kElementFrames - 1));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * width * height * 3 / 2);
}
#endif

double minimum(const std::vector<double> &values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

void frameSizes(benchmark::internal::Benchmark *b) {
    // 8192x8192 (96 MiB) is the largest frame the simulated sensor delivers and
    // lies above the C library's largest heap threshold.
    b->Args({64, 64})->Args({640, 480})->Args({1920, 1080})->Args({3840, 2160})->Args({8192, 8192});
    // Noise on a shared machine only ever adds time: the fastest of the
    // interleaved repetitions is reported beside the median.
    b->ComputeStatistics("min", minimum);
}

BENCHMARK(BM_LibraryRead)->Apply(frameSizes);
BENCHMARK(BM_DirectRead)->Apply(frameSizes);
BENCHMARK(BM_FrameWrite)->Apply(frameSizes);
BENCHMARK(BM_OpenClose);
BENCHMARK(BM_MtRead)->Args({640, 480})->Args({1920, 1080})->UseManualTime()->Iterations(10);
#ifdef BOARDCAM_BENCH_GSTREAMER
BENCHMARK(BM_ElementRead)->Args({640, 480})->Args({1920, 1080})->UseManualTime()->Iterations(10);
#endif

// Keeps each run's time per frame for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, std::map<std::string, double>> nsPerFrame;  // size -> kind -> ns (median)
    std::map<std::string, std::map<std::string, double>> minNsPerFrame;  // size -> kind -> ns (fastest)

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_name.args.empty()) continue;
            // With repetitions the median and the minimum stand for the size;
            // otherwise the one run is both.
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            const bool median = aggregate && run.aggregate_name == "median";
            const bool fastest = aggregate && run.aggregate_name == "min";
            if (aggregate && !median && !fastest) continue;
            const std::string kind = run.run_name.function_name.substr(3);  // drop "BM_"
            const std::string args = run.run_name.args.substr(0, run.run_name.args.find("/min_time"));
            const std::string key = args + kind;
            if (!aggregate && aggregated_.count(key) != 0) continue;
            if (aggregate) aggregated_.insert(key);
            const double ns = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (!fastest) nsPerFrame[args][kind] = ns;
            if (!median) minNsPerFrame[args][kind] = ns;
        }
    }

    void printTable() const {
        std::fprintf(stderr, "\n%-10s %12s %12s %12s %15s %15s %13s %12s %12s %14s\n", "size", "library ns",
                     "direct ns", "floor ns", "library/direct", "(fastest runs)", "direct/floor", "paced C ns",
                     "element ns", "element/C");
        for (const char *size : {"64/64", "640/480", "1920/1080", "3840/2160", "8192/8192"}) {
            auto it = nsPerFrame.find(size);
            if (it == nsPerFrame.end()) continue;
            const double lib = get(nsPerFrame, size, "LibraryRead"), direct = get(nsPerFrame, size, "DirectRead");
            const double floor = get(nsPerFrame, size, "FrameWrite"), element = get(nsPerFrame, size, "ElementRead");
            const double paced = get(nsPerFrame, size, "MtRead");
            const double libMin = get(minNsPerFrame, size, "LibraryRead");
            const double directMin = get(minNsPerFrame, size, "DirectRead");
            std::fprintf(stderr, "%-10s %12.0f %12.0f %12.0f %15.3f %15.3f %13.3f %12.0f %12.0f %14.3f\n", size,
                         lib, direct, floor, ratio(lib, direct), ratio(libMin, directMin), ratio(direct, floor), paced,
                         element, ratio(element, paced));
        }
    }

  private:
    static double get(const std::map<std::string, std::map<std::string, double>> &table, const char *size,
                      const char *kind) {
        auto row = table.find(size);
        if (row == table.end()) return 0.0;
        auto cell = row->second.find(kind);
        return cell == row->second.end() ? 0.0 : cell->second;
    }
    static double ratio(double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; }

    std::set<std::string> aggregated_;  // size + kind already taken from an aggregate
};

}  // namespace

int main(int argc, char **argv) {
    const char *log = std::getenv("BOARDCAM_BENCH_STDOUT");
    if (std::freopen(log != nullptr ? log : "/dev/null", "w", stdout) == nullptr) return 2;
    boardsim_set_pacing(false);
    boardsim_journal_enable(false);
#ifdef BOARDCAM_BENCH_GSTREAMER
    setenv("GST_PLUGIN_PATH", BOARDCAM_BENCH_PLUGIN_DIR, 1);
    setenv("GST_REGISTRY_FORK", "no", 1);
    gst_init(nullptr, nullptr);
#endif

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
