// Two cameras at two rates, against the simulator's free-running sensors:
//
//   two_rates c SECONDS        each mix read by two C threads through libboardcam-mt
//   two_rates element SECONDS  each mix as two boardcamsrc pipelines in this process
//   two_rates lock SECONDS     how long each read holds the process-wide lock
//   two_rates stop REPEATS     PLAYING to NULL of a 60 fps and a 1 fps pipeline side by side
//   two_rates shared SECONDS   as `c`, with another process sharing camera 0 at half its rate
//
// Rates are frames delivered over the run against the configured rate. The
// lock figures come from the simulator's journal: a read holds the lock from
// its allocation's start to its log record's end. Results go to standard
// error; the library's per-frame reports go to standard output.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#ifdef BOARDCAM_BENCH_GSTREAMER
#include <gst/gst.h>
#endif

#include "boardcam-mt.h"
#include "boardsim.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Mix {
    int fps[2];
};
const Mix kMixes[] = {{{1, 60}}, {{5, 60}}, {{15, 30}}, {{30, 30}}, {{60, 240}}};
constexpr int kWidth = 320, kHeight = 240;

// Frames seen by a consumer: how many, and when the first and the last arrived.
struct Arrivals {
    std::atomic<int> frames{0};
    std::atomic<int64_t> firstNs{0}, lastNs{0};

    void add(int64_t ns) {
        if (frames++ == 0) firstNs = ns;
        lastNs = ns;
    }
    // Frames per second from the first arrival to the last.
    double rate() const {
        return frames > 1 ? double(frames - 1) * 1e9 / double(lastNs - firstNs) : 0.0;
    }
};

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void printRow(const char *consumer, const Mix &mix, const Arrivals seen[2]) {
    const double rate0 = seen[0].rate(), rate1 = seen[1].rate();
    std::fprintf(stderr, "| %-8s | %3d + %3d | %7.2f | %7.2f | %5.3f | %5.3f |\n", consumer, mix.fps[0], mix.fps[1],
                 rate0, rate1, rate0 / mix.fps[0], rate1 / mix.fps[1]);
}

void printHeader() {
    std::fprintf(stderr, "| consumer | fps asked | cam0 fps | cam1 fps | cam0 achieved | cam1 achieved |\n"
                         "| --- | --- | --- | --- | --- | --- |\n");
}

// Reads one camera until `end`.
void readUntil(int id, int fps, Clock::time_point end, Arrivals *seen) {
    boardcam_mt_camera *camera = nullptr;
    if (boardcam_mt_open(id, fps, kWidth, kHeight, &camera) != 0) return;
    while (Clock::now() < end) {
        boardcam_mt_frame frame;
        if (boardcam_mt_read(camera, &frame) != 0) break;
        seen->add(frame.monotonic_ns);
        boardcam_mt_release_frame(frame.data);
    }
    boardcam_mt_close(camera);
}

void cThreads(double seconds) {
    printHeader();
    for (const Mix &mix : kMixes) {
        Arrivals seen[2];
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds));
        std::thread threads[2];
        for (int id = 0; id < 2; ++id) threads[id] = std::thread(readUntil, id, mix.fps[id], end, &seen[id]);
        for (std::thread &t : threads) t.join();
        printRow("C", mix, seen);
    }
}

// Another process sharing camera 0 at `fps`: its achieved rate comes back
// on the pipe as text.
pid_t shareCamera0(const char *self, int fps, double seconds, int *out) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        const std::string rate = std::to_string(fps), length = std::to_string(seconds);
        execl(self, self, "subscriber", rate.c_str(), length.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    *out = fds[0];
    return pid;
}

int subscriber(int fps, double seconds) {
    Arrivals seen;
    readUntil(0, fps, Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
              &seen);
    std::fprintf(stderr, "%.2f\n", seen.rate());
    return 0;
}

void sharedMixes(const char *self, double seconds) {
    std::fprintf(stderr, "| consumer | fps asked | cam0 fps | cam1 fps | cam0 achieved | cam1 achieved | sharer of cam0 "
                         "fps asked | sharer achieved |\n| --- | --- | --- | --- | --- | --- | --- | --- |\n");
    for (const Mix &mix : {Mix{{15, 30}}, Mix{{30, 30}}, Mix{{60, 240}}}) {
        Arrivals seen[2];
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds));
        std::thread threads[2];
        for (int id = 0; id < 2; ++id) threads[id] = std::thread(readUntil, id, mix.fps[id], end, &seen[id]);
        // Once camera 0 is open: the sharer attaches to it.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int out = -1;
        const int half = std::max(1, mix.fps[0] / 2);
        const pid_t pid = shareCamera0(self, half, seconds - 0.5, &out);
        for (std::thread &t : threads) t.join();
        char text[64] = {};
        if (pid > 0) {
            if (read(out, text, sizeof text - 1) < 0) text[0] = '\0';
            waitpid(pid, nullptr, 0);
            close(out);
        }
        const double shared = std::atof(text);
        std::fprintf(stderr, "| C + sharer | %3d + %3d | %7.2f | %7.2f | %5.3f | %5.3f | %d | %5.3f |\n", mix.fps[0],
                     mix.fps[1], seen[0].rate(), seen[1].rate(), seen[0].rate() / mix.fps[0],
                     seen[1].rate() / mix.fps[1], half, shared / half);
    }
}

#ifdef BOARDCAM_BENCH_GSTREAMER
GstElement *pipelineAt(int camera, int fps, Arrivals *seen) {
    const std::string description = "boardcamsrc camera=" + std::to_string(camera) + " ! video/x-raw,width=" +
                                    std::to_string(kWidth) + ",height=" + std::to_string(kHeight) +
                                    ",framerate=" + std::to_string(fps) +
                                    "/1 ! fakesink name=sink sync=false async=false signal-handoffs=true";
    GstElement *pipeline = gst_parse_launch(description.c_str(), nullptr);
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement *, GstBuffer *, GstPad *, gpointer data) {
                         static_cast<Arrivals *>(data)->add(monotonicNs());
                     }),
                     seen);
    gst_object_unref(sink);
    return pipeline;
}

double stopMs(GstElement *pipeline) {
    const auto start = Clock::now();
    gst_element_set_state(pipeline, GST_STATE_NULL);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    gst_object_unref(pipeline);
    return ms;
}

void elements(double seconds) {
    printHeader();
    for (const Mix &mix : kMixes) {
        Arrivals seen[2];
        GstElement *pipelines[2];
        for (int id = 0; id < 2; ++id) pipelines[id] = pipelineAt(id, mix.fps[id], &seen[id]);
        for (GstElement *p : pipelines) gst_element_set_state(p, GST_STATE_PLAYING);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        for (GstElement *p : pipelines) stopMs(p);
        printRow("element", mix, seen);
    }
}

void stops(int repeats) {
    std::vector<double> fast, slow;
    for (int i = 0; i < repeats; ++i) {
        Arrivals seen[2];
        GstElement *slowPipeline = pipelineAt(0, 1, &seen[0]), *fastPipeline = pipelineAt(1, 60, &seen[1]);
        gst_element_set_state(slowPipeline, GST_STATE_PLAYING);
        gst_element_set_state(fastPipeline, GST_STATE_PLAYING);
        // Stop in the middle of the slow camera's period, when its read waits.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        fast.push_back(stopMs(fastPipeline));
        slow.push_back(stopMs(slowPipeline));
    }
    auto report = [](const char *what, std::vector<double> ms) {
        std::sort(ms.begin(), ms.end());
        std::fprintf(stderr, "| %s | %.2f | %.2f |\n", what, ms[ms.size() / 2], ms.back());
    };
    std::fprintf(stderr, "| PLAYING to NULL, %d runs | median ms | max ms |\n| --- | --- | --- |\n", repeats);
    report("60 fps pipeline beside a 1 fps one", fast);
    report("1 fps pipeline beside a 60 fps one", slow);
}
#endif

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// How long each read in the journal held the lock, in ms: from its
// allocation's start to its log record's end.
std::vector<double> heldTimes() {
    std::vector<double> held;
    int64_t start = -1;
    for (size_t i = 0; i < boardsim_journal_size(); ++i) {
        BoardsimEvent e;
        boardsim_journal_entry(i, &e);
        if (e.call == BOARDSIM_PIMO_MALLOC) start = e.startNs;
        if (e.call == BOARDSIM_APP_LOG && start >= 0 && std::strncmp(e.text, "cpp image ptr", 13) == 0) {
            held.push_back(double(e.endNs - start) / 1e6);
            start = -1;
        }
    }
    return held;
}

// Each read's lock time from the journal, against the transfer: the same
// span for a read whose frame is already waiting.
void lockTimes(double seconds) {
    std::fprintf(stderr, "| size | transfer p50 ms | transfer p99 ms | held p50 ms | held p99 ms | held max ms | "
                         "guard + transfer p99 ms |\n| --- | --- | --- | --- | --- | --- | --- |\n");
    for (const auto &size : {std::pair<int, int>{640, 480}, {1920, 1080}}) {
        // The transfer: reads of a frame that is already there.
        boardsim_set_pacing(false);
        boardsim_journal_clear();
        {
            boardcam_mt_camera *camera = nullptr;
            boardcam_mt_open(0, 240, size.first, size.second, &camera);
            for (int i = 0; i < 200; ++i) {
                boardcam_mt_frame frame;
                if (boardcam_mt_read(camera, &frame) == 0) boardcam_mt_release_frame(frame.data);
            }
            boardcam_mt_close(camera);
        }
        const std::vector<double> transfer = heldTimes();

        // Both cameras at 30 fps on the free-running sensors.
        boardsim_set_pacing(true);
        boardsim_journal_clear();
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds));
        std::thread threads[2];
        for (int id = 0; id < 2; ++id) {
            threads[id] = std::thread([&, id] {
                boardcam_mt_camera *camera = nullptr;
                if (boardcam_mt_open(id, 30, size.first, size.second, &camera) != 0) return;
                while (Clock::now() < end) {
                    boardcam_mt_frame frame;
                    if (boardcam_mt_read(camera, &frame) != 0) break;
                    boardcam_mt_release_frame(frame.data);
                }
                boardcam_mt_close(camera);
            });
        }
        for (std::thread &t : threads) t.join();
        const std::vector<double> held = heldTimes();
        const double transfer99 = percentile(transfer, 0.99);
        std::fprintf(stderr, "| %dx%d | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n", size.first, size.second,
                     percentile(transfer, 0.5), transfer99, percentile(held, 0.5), percentile(held, 0.99),
                     percentile(held, 1.0), BOARDCAM_MT_GUARD_NS / 1e6 + transfer99);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "subscriber") {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
        return subscriber(std::atoi(argv[2]), std::atof(argv[3]));
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s c|element|lock SECONDS, or %s stop REPEATS\n", argv[0], argv[0]);
        return 2;
    }
    const std::string what = argv[1];
    const double amount = std::atof(argv[2]);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
    boardsim_set_pacing(true);
#ifdef BOARDCAM_BENCH_GSTREAMER
    setenv("GST_PLUGIN_PATH", BOARDCAM_BENCH_PLUGIN_DIR, 1);
    setenv("GST_REGISTRY_FORK", "no", 1);
    gst_init(nullptr, nullptr);
    if (what == "element") {
        boardsim_journal_enable(false);
        elements(amount);
        return 0;
    }
    if (what == "stop") {
        boardsim_journal_enable(false);
        stops(int(amount));
        return 0;
    }
#endif
    if (what == "c") {
        boardsim_journal_enable(false);
        cThreads(amount);
        return 0;
    }
    if (what == "lock") {
        lockTimes(amount);
        return 0;
    }
    if (what == "shared") {
        boardsim_journal_enable(false);
        sharedMixes(argv[0], amount);
        return 0;
    }
    std::fprintf(stderr, "%s: unknown measurement '%s'\n", argv[0], what.c_str());
    return 2;
}
