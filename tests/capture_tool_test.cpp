// boardcam-capture end to end, as a user runs it, against the simulator.
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <zlib.h>

#include "boardsim.h"
#include "files.h"
#include "tool_command.h"

namespace {

struct ToolRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

using testsupport::exists;
using testsupport::slurp;

class CaptureTool : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        out_ = dir_ + "/frames";
    }

    // Runs the tool with `args` and extra environment settings; the simulator
    // paces nothing unless asked to.
    ToolRun run(const std::vector<std::string> &args, std::vector<std::string> env = {}) {
        pid_t pid = start(args, env);
        return finish(pid);
    }

    pid_t start(const std::vector<std::string> &args, std::vector<std::string> env) {
        env.insert(env.begin(), "BOARDSIM_PACING=0");
        const std::string outPath = dir_ + "/stdout", errPath = dir_ + "/stderr";
        const pid_t pid = fork();
        if (pid == 0) {
            if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(126);
            unsetenv("BOARDSIM_FAIL");
            unsetenv("BOARDSIM_APP_LOG");
            for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
            testsupport::execProgram(BOARDCAM_TOOL_LAUNCHER, BOARDCAM_CAPTURE_TOOL, args);
        }
        return pid;
    }

    ToolRun finish(pid_t pid) {
        ToolRun r;
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        r.out = slurp(dir_ + "/stdout");
        r.err = slurp(dir_ + "/stderr");
        return r;
    }

    testsupport::ScratchDir scratch_{"boardcam-capture"};
    const std::string dir_ = scratch_.path();
    std::string out_;
};

struct Image {
    unsigned width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t *at(unsigned x, unsigned y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};

Image readPng(const std::string &path) {
    Image image;
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
    png.format = PNG_FORMAT_RGB;
    image.rgb.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr)) return Image{};
    image.width = png.width;
    image.height = png.height;
    return image;
}

void expectColour(const Image &image, unsigned x, unsigned y, int r, int g, int b, const char *what) {
    const uint8_t *p = image.at(x, y);
    EXPECT_NEAR(p[0], r, 3) << what << " red at " << x << "," << y;
    EXPECT_NEAR(p[1], g, 3) << what << " green at " << x << "," << y;
    EXPECT_NEAR(p[2], b, 3) << what << " blue at " << x << "," << y;
}

TEST_F(CaptureTool, WritesPngFramesOfBothCamerasWithThePatternColours) {
    const ToolRun r = run({"--camera", "both", "--size", "64x48", "--frames", "3", "--out", out_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("captured 3 frames from cam0 and 3 from cam1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("0 failures"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("still live"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << "the library's reports go to the log: " << r.out;
    EXPECT_NE(slurp(out_ + "/boardcam.log").find("Open camera 1 success"), std::string::npos);

    for (const char *name : {"cam0_0000", "cam0_0002", "cam1_0000", "cam1_0002"}) {
        const Image image = readPng(out_ + "/" + name + ".png");
        ASSERT_EQ(image.width, 64u) << name;
        ASSERT_EQ(image.height, 48u) << name;
    }
    EXPECT_FALSE(exists(out_ + "/cam0_0003.png"));

    // Camera 0: vertical bars, read along the top row above the block.
    const Image cam0 = readPng(out_ + "/cam0_0000.png");
    expectColour(cam0, 4, 0, 191, 191, 191, "white bar");
    expectColour(cam0, 12, 0, 191, 191, 0, "yellow bar");
    expectColour(cam0, 44, 0, 191, 0, 0, "red bar");
    expectColour(cam0, 60, 0, 0, 0, 0, "black bar");
    expectColour(cam0, 4, 24, 255, 255, 255, "block");
    // Camera 1: horizontal bars, read down the left column beside the block.
    const Image cam1 = readPng(out_ + "/cam1_0000.png");
    expectColour(cam1, 0, 2, 191, 191, 191, "white bar");
    expectColour(cam1, 0, 32, 191, 0, 0, "red bar");
    expectColour(cam1, 0, 46, 0, 0, 0, "black bar");
    expectColour(cam1, 30, 4, 255, 255, 255, "block");
}

TEST_F(CaptureTool, WritesRawFramesByteForByte) {
    const ToolRun r = run({"--size=64x48", "--frames=2", "--format=nv12", "--camera=1", "--out=" + out_});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> expected(64 * 48 * 3 / 2);
    for (uint32_t i = 0; i < 2; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/cam1_%04u.nv12", i);
        const std::string bytes = slurp(out_ + name);
        ASSERT_EQ(bytes.size(), expected.size()) << name;
        ASSERT_EQ(boardsim_render_frame(1, i, 64, 48, expected.data(), expected.size()), expected.size());
        EXPECT_EQ(bytes, std::string(expected.begin(), expected.end())) << name;
    }
    EXPECT_FALSE(exists(out_ + "/cam0_0000.nv12"));
    EXPECT_NE(r.err.find("9216 bytes written"), std::string::npos) << r.err;
}

TEST_F(CaptureTool, BadArgumentsExitTwoAndWriteNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},         {"--size", "64by48"}, {"--size", "0x48"}, {"--size", "64x"},
        {"--frames", "0"},   {"--frames", "-3"},   {"--camera", "2"},  {"--fps", "abc"},
        {"--format", "jpg"}, {"--size", "63x48"},  {"--frames"},       {"stray"},
        {"--jobs", "0"},     {"--jobs", "65"},     {"--jobs", "two"},  {"--jobs", "1.5"},
        {"--quality", "0"},  {"--quality", "101"}, {"--quality", ""},  {"--format", "y4m", "--size", "64x47"},
        // A camera has one reader, however it is spelt.
        {"--camera", "0,0"}, {"--camera", "both,1"}, {"--camera", "1,1"}, {"--camera", "0,"},
        {"--fps", "5,60"},   {"--fps", "5,"},      {"--fps", "5,60,7"}, {"--duration", "0"},
        {"--duration", "-1"}, {"--duration", "2s"}, {"--duration", "1", "--frames", "3"},
        // Sizes no camera takes, refused before a frame's worth is allocated.
        {"--size", "100000x100000"}, {"--size", "8194x2"}, {"--format", "nv12", "--size", "1x48"},
    };
    for (const auto &args : cases) {
        std::vector<std::string> full = args;
        full.insert(full.begin(), {"--out", out_});
        const ToolRun r = run(full);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.err.rfind("boardcam-capture: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("\nTry 'boardcam-capture --help'"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_TRUE(r.out.empty()) << "nothing opened: " << r.out;
        EXPECT_FALSE(exists(out_)) << args[0];
    }
    // A size out of range says so, and gives the range.
    const ToolRun huge = run({"--out", out_, "--size", "100000x100000"});
    EXPECT_NE(huge.err.find("size 100000x100000 is out of range: the cameras take 2 to 8192 pixels a side"),
              std::string::npos) << huge.err;
    const ToolRun odd = run({"--out", out_, "--size", "63x48"});
    EXPECT_NE(odd.err.find("width and height must be even"), std::string::npos) << odd.err;
    const ToolRun help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--camera 0|1|both"), std::string::npos);
}

// The lines of a cam<id>.timestamps file after its header, in milliseconds.
std::vector<double> readTimestamps(const std::string &path) {
    std::istringstream in(slurp(path));
    std::string line;
    std::vector<double> ms;
    if (!std::getline(in, line) || line != "# timestamp format v2") return {-1};
    while (std::getline(in, line)) ms.push_back(std::stod(line));
    return ms;
}

TEST_F(CaptureTool, EachCameraAtItsOwnRateForADuration) {
    const ToolRun r = run({"--camera", "both", "--fps", "5,60", "--duration", "2", "--size", "32x16",
                           "--format", "y4m", "--out", out_},
                          {"BOARDSIM_PACING=1"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto &[camera, fps] : {std::pair<int, int>{0, 5}, {1, 60}}) {
        SCOPED_TRACE("camera " + std::to_string(camera));
        const std::vector<double> ms = readTimestamps(out_ + "/cam" + std::to_string(camera) + ".timestamps");
        // About two seconds' worth; a camera starved by the other gets a
        // fraction. Counted from the first read, which may return a frame
        // already waiting, with one more read in flight at the end: a tool
        // that ignored --duration would give far more than three over.
        EXPECT_GE(ms.size(), size_t(fps * 2 * 0.8)) << r.err;
        EXPECT_LE(ms.size(), size_t(fps * 2 + 3)) << r.err;
        ASSERT_FALSE(ms.empty());
        EXPECT_EQ(ms.front(), 0.0);
        EXPECT_TRUE(std::is_sorted(ms.begin(), ms.end()));
        // Frames a period apart, on average.
        const double mean = (ms.back() - ms.front()) / double(ms.size() - 1);
        EXPECT_NEAR(mean, 1000.0 / fps, 1000.0 / fps * 0.1);
        // The Y4M file holds one frame per timestamp, at its camera's nominal rate.
        const std::string video = slurp(out_ + "/cam" + std::to_string(camera) + ".y4m");
        EXPECT_EQ(video.rfind("YUV4MPEG2 W32 H16 F" + std::to_string(fps) + ":1 ", 0), 0u);
        const size_t header = video.find('\n') + 1, frameBytes = std::string("FRAME\n").size() + 32 * 16 * 3 / 2;
        ASSERT_EQ((video.size() - header) % frameBytes, 0u);
        const size_t frameLines = (video.size() - header) / frameBytes;
        EXPECT_EQ(frameLines, ms.size());
    }
    EXPECT_NE(r.err.find(" fps), "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" and "), std::string::npos) << "a rate per camera: " << r.err;
}

// The scene costs what a real camera's frames cost to encode: sizes of the
// tool's own JPEG and PNG files, and what a lossless compressor gains.
TEST_F(CaptureTool, TheSceneIsAsHardToEncodeAsARealOne) {
    // About pictures, not threads: ThreadSanitizer would spend a minute on
    // the conversions of three 1080p frames and find nothing the other
    // cases do not show.
    if (std::getenv("TSAN_OPTIONS") != nullptr) GTEST_SKIP() << "not a threads case";
    for (const char *format : {"jpeg", "png", "nv12"}) {
        const ToolRun r = run({"--pattern", "scene", "--size", "1920x1080", "--frames", "1", "--format", format,
                               "--out", out_});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("means nothing"), std::string::npos) << r.err;
    }
    EXPECT_GE(slurp(out_ + "/cam0_0000.jpg").size(), 150u * 1000) << "JPEG at quality 90";
    EXPECT_GE(slurp(out_ + "/cam0_0000.png").size(), 1500u * 1000) << "PNG at the tool's settings";
    const std::string raw = slurp(out_ + "/cam0_0000.nv12");
    ASSERT_EQ(raw.size(), 1920u * 1080 * 3 / 2);
    uLongf packed = compressBound(uLong(raw.size()));
    std::vector<Bytef> out(packed);
    ASSERT_EQ(compress2(out.data(), &packed, reinterpret_cast<const Bytef *>(raw.data()), uLong(raw.size()), 9), Z_OK);
    EXPECT_LT(double(raw.size()) / double(packed), 3.0) << "zlib at level 9 gains " << raw.size() / packed << ":1";
    // Bars, the default, compress far better: the pattern really changed.
    const ToolRun bars = run({"--size", "1920x1080", "--frames", "1", "--format", "png", "--out", out_ + "/bars"});
    ASSERT_EQ(bars.status, 0) << bars.err;
    EXPECT_LT(slurp(out_ + "/bars/cam0_0000.png").size(), 200u * 1000);
    const ToolRun bad = run({"--pattern", "noise", "--out", out_});
    EXPECT_EQ(bad.status, 2);
}

TEST_F(CaptureTool, RefusedOpenFailsClearly) {
    const ToolRun r = run({"--out", out_}, {"BOARDSIM_FAIL=OpenCamera"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("camera 0 failed to open"), std::string::npos) << r.err;
    // The error line names the log that holds the library's own report.
    EXPECT_NE(r.err.find("(the library's report is in " + out_ + "/boardcam.log)"), std::string::npos) << r.err;
    EXPECT_NE(slurp(out_ + "/boardcam.log").find("Camera0 closed, and open failed."), std::string::npos);
    EXPECT_NE(r.err.find("1 failure"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("still live"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(out_ + "/cam0_0000.png"));
}

TEST_F(CaptureTool, FailedReadClosesEveryCameraAndLeaksNothing) {
    const std::string log = dir_ + "/app.log";
    const ToolRun r = run({"--camera", "both", "--size", "64x48", "--out", out_},
                      {"BOARDSIM_FAIL=ReadFrameFromCamera:1", "BOARDSIM_APP_LOG=" + log});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("camera 1: reading frame 0 failed"), std::string::npos) << r.err;
    // Camera 0 reads on its own thread, so it may or may not have had its
    // first frame before camera 1's failure stopped both; what it did read
    // is on disk.
    std::smatch summary;
    ASSERT_TRUE(std::regex_search(r.err, summary, std::regex("captured ([0-9]+) frames from cam0 and 0 from cam1")))
        << r.err;
    const int cam0Frames = std::stoi(summary[1]);
    EXPECT_LT(cam0Frames, 30) << "camera 0 read all its frames: the failure did not stop it";
    for (int i = 0; i < cam0Frames; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/cam0_%04d.png", i);
        EXPECT_TRUE(exists(out_ + name)) << name;
    }
    EXPECT_EQ(r.err.find("still live"), std::string::npos) << r.err;
    const std::string records = slurp(log);
    EXPECT_NE(records.find("Get image from camera 1 failed"), std::string::npos) << records;
    EXPECT_EQ(records.find("Close camera"), std::string::npos) << "both closes succeeded: " << records;
}

TEST_F(CaptureTool, InterruptStopsAfterTheCurrentFrame) {
    // One frame a second: the interrupt arrives while the next frame is awaited.
    const pid_t pid = start({"--fps", "1", "--frames", "100", "--size", "64x48", "--out", out_},
                            {"BOARDSIM_PACING=1"});
    while (!exists(out_ + "/cam0_0000.png")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGINT);
    const ToolRun r = finish(pid);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("still live"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(out_ + "/cam0_0005.png"));
}

// The luma and chroma of a decoded JPEG against the reference frame.
TEST_F(CaptureTool, JpegIsEncodedFromTheFramePlanesAndDecodesCloseToTheReference) {
    // 5 fps: under qemu two encoders fall behind 30 fps and drop frames.
    const ToolRun r = run({"--camera", "both", "--size", "64x48", "--fps", "5", "--frames", "2", "--format", "jpeg",
                           "--quality", "95", "--jobs", "2", "--out", out_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("0 dropped"), std::string::npos) << r.err;
    tjhandle decoder = tjInitDecompress();
    ASSERT_NE(decoder, nullptr);
    for (int camera = 0; camera < 2; ++camera) {
        for (uint32_t index = 0; index < 2; ++index) {
            char name[32];
            std::snprintf(name, sizeof name, "/cam%d_%04u.jpg", camera, index);
            const std::string jpeg = slurp(out_ + name);
            ASSERT_FALSE(jpeg.empty()) << name;
            int width = 0, height = 0, subsampling = -1, colourspace = -1;
            ASSERT_EQ(tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char *>(jpeg.data()),
                                          jpeg.size(), &width, &height, &subsampling, &colourspace), 0);
            EXPECT_EQ(width, 64);
            EXPECT_EQ(height, 48);
            EXPECT_EQ(subsampling, TJSAMP_420) << "encoded from 4:2:0 planes, not from RGB";
            std::vector<uint8_t> planes(64 * 48 * 3 / 2);
            ASSERT_EQ(tjDecompressToYUV2(decoder, reinterpret_cast<const unsigned char *>(jpeg.data()),
                                         jpeg.size(), planes.data(), 64, 1, 48, 0), 0);
            std::vector<uint8_t> reference(planes.size());
            ASSERT_EQ(boardsim_render_frame(camera, index, 64, 48, reference.data(), reference.size()),
                      reference.size());
            // Luma as it is; chroma planar (U then V) in the decoded image, interleaved in NV12.
            double error = 0;
            int worst = 0;
            for (size_t i = 0; i < size_t(64 * 48); ++i) {
                const int d = std::abs(int(planes[i]) - int(reference[i]));
                error += d;
                worst = std::max(worst, d);
            }
            for (size_t i = 0; i < size_t(32 * 24); ++i) {
                const uint8_t *uv = reference.data() + 64 * 48 + 2 * i;
                error += std::abs(int(planes[64 * 48 + i]) - int(uv[0]));
                error += std::abs(int(planes[64 * 48 + 32 * 24 + i]) - int(uv[1]));
            }
            EXPECT_LT(error / double(planes.size()), 3.0) << name;
            EXPECT_LT(worst, 64) << name;
        }
    }
    tjDestroy(decoder);
}

TEST_F(CaptureTool, Y4mHoldsEveryFrameOfEachCameraInOrder) {
    const ToolRun r = run({"--camera", "both", "--size", "32x16", "--fps", "25", "--frames", "12",
                           "--format", "y4m", "--jobs", "3", "--out", out_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(exists(out_ + "/cam0_0000.y4m"));
    const std::string header = "YUV4MPEG2 W32 H16 F25:1 Ip A1:1 C420jpeg\n";
    const size_t frameBytes = 32 * 16 * 3 / 2;
    long long total = 0;
    for (int camera = 0; camera < 2; ++camera) {
        const std::string video = slurp(out_ + "/cam" + std::to_string(camera) + ".y4m");
        ASSERT_EQ(video.compare(0, header.size(), header), 0) << video.substr(0, 60);
        ASSERT_EQ(video.size(), header.size() + 12 * (6 + frameBytes));
        total += (long long)video.size();
        std::vector<uint8_t> reference(frameBytes);
        for (uint32_t index = 0; index < 12; ++index) {
            const size_t at = header.size() + index * (6 + frameBytes);
            ASSERT_EQ(video.compare(at, 6, "FRAME\n"), 0) << "frame " << index;
            boardsim_render_frame(camera, index, 32, 16, reference.data(), reference.size());
            // Luma, then the U plane and the V plane split from NV12's pairs.
            std::string expected(reference.begin(), reference.begin() + 32 * 16);
            for (int plane = 0; plane < 2; ++plane) {
                for (size_t i = 0; i < 16 * 8; ++i) expected += char(reference[32 * 16 + 2 * i + plane]);
            }
            EXPECT_EQ(video.substr(at + 6, frameBytes), expected) << "camera " << camera << " frame " << index;
        }
    }
    EXPECT_NE(r.err.find(std::to_string(total) + " bytes written"), std::string::npos) << r.err;
}

// One encoder against two cameras at a high rate: frames arrive faster than
// PNG can be written, the reader waits for room, and periods go by unread.
TEST_F(CaptureTool, AWriterThatFallsBehindCountsDroppedFramesAndSaysWhy) {
    // 120 frames of 640x480 in half a second of camera time; one PNG encoder
    // needs several times that, and its queue holds only four frames.
    const ToolRun r = run({"--camera", "both", "--size", "640x480", "--fps", "240", "--frames", "60",
                           "--jobs", "1", "--out", out_},
                          {"BOARDSIM_PACING=1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t at = r.err.find(" dropped (");
    ASSERT_NE(at, std::string::npos) << r.err;
    const long dropped = std::atol(r.err.substr(r.err.rfind(", ", at) + 2).c_str());
    EXPECT_GT(dropped, 0) << r.err;
    // The total is the two cameras' drops.
    long cam0 = -1, cam1 = -1;
    ASSERT_EQ(std::sscanf(r.err.c_str() + at, " dropped (%ld from cam0, %ld from cam1)", &cam0, &cam1), 2) << r.err;
    EXPECT_EQ(cam0 + cam1, dropped) << r.err;
    EXPECT_NE(r.err.find("png at 640x480, 240 fps outran 1 encoder"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("try --format jpeg or --format nv12"), std::string::npos) << r.err;
    // Every frame read was still written.
    EXPECT_NE(r.err.find("captured 60 frames from cam0 and 60 from cam1"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("still live"), std::string::npos) << r.err;
}

// Two sensors that run from their openings, each opening taking a while
// (the scene is built for the size being set): the frames made before each
// camera's first read were never asked for, and are not drops.
TEST_F(CaptureTool, FramesBeforeEachCamerasFirstReadAreNotDropped) {
#ifdef BOARDCAM_TEST_EMULATED
    GTEST_SKIP() << "an emulated board renders 1080p scenes slower than the cameras' rate: drops there are real";
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "under the sanitizers the scene renders slower than the cameras' rate: drops there are real";
#endif
    // 10 fps: each opening builds the scene for 1080p, several periods at
    // 30 fps, so frames come before each first read; at 100 ms periods a
    // busy machine does not also hold a read up past a frame.
    const ToolRun r = run({"--camera", "both", "--size", "1920x1080", "--fps", "10", "--format", "nv12",
                           "--frames", "10", "--out", out_},
                          {"BOARDSIM_PACING=1", "BOARDSIM_PATTERN=scene"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("captured 10 frames from cam0 and 10 from cam1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(", 0 dropped (0 from cam0, 0 from cam1)\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("outran"), std::string::npos) << r.err;
}

// A read that fails stops the capture by the tool's own rule; it is neither a
// dropped frame nor something the encoders are blamed for.
TEST_F(CaptureTool, AFailedReadIsAFailureNotADropOrAnEncoderShortfall) {
    const ToolRun r = run({"--camera", "both", "--size", "320x240", "--format", "nv12", "--frames", "30",
                           "--out", out_},
                          {"BOARDSIM_PACING=1", "BOARDSIM_FAIL=ReadFrameFromCamera:0@10+3"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("camera 0: reading frame 10 failed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("captured 10 frames from cam0"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(", 0 dropped (0 from cam0, "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("outran"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("still live"), std::string::npos) << r.err;
}

TEST_F(CaptureTool, InterruptWithAFullQueueReleasesEveryFrame) {
    // One slow encoder and frames at once: the queue is full when the interrupt comes.
    const pid_t pid = start({"--camera", "both", "--size", "1280x720", "--frames", "100000", "--jobs", "1",
                             "--out", out_}, {});
    while (!exists(out_ + "/cam0_0001.png")) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(pid, SIGINT);
    const ToolRun r = finish(pid);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find(", interrupted"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("still live"), std::string::npos) << "device buffers leaked: " << r.err;
    EXPECT_EQ(r.err.find("100000 frames"), std::string::npos) << r.err;
}

}  // namespace
