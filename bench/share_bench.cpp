// A camera shared between processes, at 1920x1080 and 30 fps on the
// simulator's free-running sensor:
//
//   share_bench SECONDS
//
// For 0, 1 and 4 subscribers (each a process of its own, this program run as
// `share_bench subscriber SECONDS`): the owner's CPU per frame (this
// process, which reads the camera and, with subscribers, copies each frame
// for them), the copies it made per frame, and each subscriber's latency
// from the owner's read of a frame to its own read of it, p50 and p99.
// Results go to standard error; the library's per-frame reports go to
// standard output.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "boardcam-mt.h"
#include "boardsim.h"

// Weak: the same program measures a libboardcam-mt from before sharing
// (LD_LIBRARY_PATH), which has no status to give.
extern "C" int32_t boardcam_mt_status(int32_t id, boardcam_mt_camera_status *out) __attribute__((weak));

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFps = 30;

int64_t monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t cpuNs() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (int64_t(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000 +
           (int64_t(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// A subscriber: reads for `seconds`, then prints "p50 p99 frames" of its
// latency in milliseconds on standard error.
int subscriber(double seconds) {
    boardcam_mt_camera *camera = nullptr;
    if (boardcam_mt_open(0, 0, 0, 0, &camera) != 0) {
        std::fprintf(stderr, "subscriber: %s\n", boardcam_mt_last_message());
        return 1;
    }
    std::vector<double> latency;
    const int64_t end = monotonicNs() + int64_t(seconds * 1e9);
    // The first second warms up: the owner makes the shared frames as they
    // are first needed, and their pages are first touched.
    const int64_t warm = monotonicNs() + 1000000000;
    while (monotonicNs() < end) {
        boardcam_mt_frame frame;
        if (boardcam_mt_read(camera, &frame) != 0) break;
        if (frame.monotonic_ns > warm) latency.push_back(double(monotonicNs() - frame.monotonic_ns) / 1e6);
        boardcam_mt_release_frame(frame.data);
    }
    boardcam_mt_close(camera);
    std::fprintf(stderr, "%.3f %.3f %zu\n", percentile(latency, 0.5), percentile(latency, 0.99), latency.size());
    return 0;
}

struct Run {
    double cpuUsPerFrame = 0, copiesPerFrame = 0;
    std::vector<std::string> latencies;  // "p50 p99 frames" of each subscriber
};

Run measure(const char *self, int subscribers, double seconds) {
    boardcam_mt_camera *camera = nullptr;
    Run run;
    if (boardcam_mt_open(0, kFps, kWidth, kHeight, &camera) != 0) return run;
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::thread reader([&] {
        while (!stop) {
            boardcam_mt_frame frame;
            if (boardcam_mt_read(camera, &frame) != 0) break;
            ++frames;
            boardcam_mt_release_frame(frame.data);
        }
    });
    struct Child {
        pid_t pid;
        int out;
    };
    std::vector<Child> children;
    const std::string length = std::to_string(seconds + 1.5);
    for (int i = 0; i < subscribers; ++i) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) break;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], STDERR_FILENO);
            execl(self, self, "subscriber", length.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        children.push_back({pid, pipeFds[0]});
    }
    // Measured once everyone is attached and reading.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    boardcam_mt_camera_status before{}, after{};
    if (boardcam_mt_status != nullptr) boardcam_mt_status(0, &before);
    const int framesBefore = frames;
    const int64_t cpuBefore = cpuNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const int64_t cpu = cpuNs() - cpuBefore;
    const int framesRead = frames - framesBefore;
    if (boardcam_mt_status != nullptr) boardcam_mt_status(0, &after);
    for (Child &child : children) {
        char text[256] = {};
        const ssize_t got = read(child.out, text, sizeof text - 1);
        waitpid(child.pid, nullptr, 0);
        close(child.out);
        if (got > 0) run.latencies.push_back(std::string(text, strcspn(text, "\n")));
    }
    stop = true;
    reader.join();
    boardcam_mt_close(camera);
    run.cpuUsPerFrame = framesRead > 0 ? double(cpu) / 1e3 / framesRead : 0;
    const uint64_t frameSpan = after.frames - before.frames;
    run.copiesPerFrame = frameSpan > 0 ? double(after.copies - before.copies) / double(frameSpan) : 0;
    return run;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "subscriber") == 0) return subscriber(std::atof(argv[2]));
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SECONDS\n", argv[0]);
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
    boardsim_set_pacing(true);
    boardsim_journal_enable(false);
    std::fprintf(stderr, "| subscribers | owner CPU per frame (us) | copies per frame | subscriber latency p50 / p99 "
                         "(ms) |\n| ---: | ---: | ---: | --- |\n");
    double cpu[3] = {0, 0, 0};
    int row = 0;
    for (int subscribers : {0, 1, 4}) {
        const Run run = measure(argv[0], subscribers, seconds);
        cpu[row++] = run.cpuUsPerFrame;
        std::string latencies;
        for (const std::string &l : run.latencies) {
            double p50 = 0, p99 = 0;
            if (std::sscanf(l.c_str(), "%lf %lf", &p50, &p99) == 2) {
                char cell[64];
                std::snprintf(cell, sizeof cell, "%s%.2f / %.2f", latencies.empty() ? "" : "; ", p50, p99);
                latencies += cell;
            }
        }
        char copies[32] = "-";
        if (boardcam_mt_status != nullptr) std::snprintf(copies, sizeof copies, "%.2f", run.copiesPerFrame);
        std::fprintf(stderr, "| %d | %.1f | %s | %s |\n", subscribers, run.cpuUsPerFrame, copies,
                     latencies.empty() ? "-" : latencies.c_str());
    }
    // The first subscriber brings the copy and the pump; each further one
    // costs only its messages.
    std::fprintf(stderr, "\nThe first subscriber adds %.1f us of the owner's CPU a frame (the one copy and the "
                         "pump); each further one %.1f us.\n",
                 cpu[1] - cpu[0], (cpu[2] - cpu[1]) / 3);
    return 0;
}
