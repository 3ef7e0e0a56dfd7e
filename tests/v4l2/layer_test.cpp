// libboardcam-v4l2 as a V4L2 program meets it: this test binary runs with
// the layer preloaded (LD_PRELOAD, set by CTest), opens /dev/video0 and
// /dev/video1, which do not exist here, and makes the calls a driver
// answers. Frames are checked against the simulator's reference, by the
// sequence each buffer carries.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boardcam-mt.h"
#include "boardsim.h"

namespace {

int xioctl(int fd, unsigned long request, void *argument) {
    int result;
    do {
        result = ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

// The errno of a failed ioctl, or 0 when it succeeded.
int ioctlError(int fd, unsigned long request, void *argument) { return xioctl(fd, request, argument) == 0 ? 0 : errno; }

int64_t monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

v4l2_format formatOf(uint32_t fourcc, uint32_t width, uint32_t height) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = fourcc;
    format.fmt.pix.width = width;
    format.fmt.pix.height = height;
    return format;
}

// A stream as a V4L2 program runs one: buffers requested, mapped, queued.
struct Stream {
    int fd = -1;
    std::vector<void *> maps;
    size_t length = 0;

    bool start(int descriptor, unsigned count) {
        fd = descriptor;
        v4l2_requestbuffers request{};
        request.count = count;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd, VIDIOC_REQBUFS, &request) != 0) return false;
        for (unsigned i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            if (xioctl(fd, VIDIOC_QUERYBUF, &buffer) != 0) return false;
            length = buffer.length;
            void *map = mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
            if (map == MAP_FAILED) return false;
            maps.push_back(map);
            if (xioctl(fd, VIDIOC_QBUF, &buffer) != 0) return false;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return xioctl(fd, VIDIOC_STREAMON, &type) == 0;
    }
    bool dequeue(v4l2_buffer *buffer) const {
        *buffer = {};
        buffer->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer->memory = V4L2_MEMORY_MMAP;
        return xioctl(fd, VIDIOC_DQBUF, buffer) == 0;
    }
    bool requeue(v4l2_buffer *buffer) const { return xioctl(fd, VIDIOC_QBUF, buffer) == 0; }
    void unmap() {
        for (void *map : maps) munmap(map, length);
        maps.clear();
    }
};

std::vector<uint8_t> reference(int camera, uint32_t sequence, int width, int height) {
    std::vector<uint8_t> frame(size_t(width) * height * 3 / 2);
    boardsim_render_frame(camera, sequence, width, height, frame.data(), frame.size());
    return frame;
}

bool cameraOwned(int camera) {
    boardcam_mt_camera_status status;
    return boardcam_mt_status(camera, &status) == 0 && status.owned;
}

TEST(V4l2Layer, TheCamerasAnswerAsCaptureDevicesWithTheirFormatsSizesAndRates) {
    const int fd = open("/dev/video1", O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    v4l2_capability cap{};
    ASSERT_EQ(xioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(cap.driver), "boardcam");
    EXPECT_STREQ(reinterpret_cast<char *>(cap.card), "Board camera 1");
    EXPECT_STREQ(reinterpret_cast<char *>(cap.bus_info), "platform:boardcam-1");
    EXPECT_EQ(cap.device_caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING),
              uint32_t(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING));

    std::vector<uint32_t> formats;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (; xioctl(fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) formats.push_back(desc.pixelformat);
    EXPECT_EQ(formats, (std::vector<uint32_t>{V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_YUV420}));

    // The camera's own format, packed: rows are the width, nothing more.
    v4l2_format format = formatOf(0, 0, 0);
    ASSERT_EQ(xioctl(fd, VIDIOC_G_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_NV12));
    EXPECT_EQ(format.fmt.pix.bytesperline, format.fmt.pix.width);
    EXPECT_EQ(format.fmt.pix.sizeimage, format.fmt.pix.width * format.fmt.pix.height * 3 / 2);
    format = formatOf(V4L2_PIX_FMT_YUYV, 1280, 720);
    ASSERT_EQ(xioctl(fd, VIDIOC_S_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.bytesperline, 2560u);
    EXPECT_EQ(format.fmt.pix.sizeimage, 2560u * 720);
    EXPECT_EQ(format.fmt.pix.field, uint32_t(V4L2_FIELD_NONE));
    // Any even size is taken; an odd one is made even; an unknown format is NV12.
    format = formatOf(V4L2_PIX_FMT_YUV420, 1001, 333);
    ASSERT_EQ(xioctl(fd, VIDIOC_TRY_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.width, 1000u);
    EXPECT_EQ(format.fmt.pix.height, 332u);
    format = formatOf(V4L2_PIX_FMT_MJPEG, 640, 480);
    ASSERT_EQ(xioctl(fd, VIDIOC_TRY_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_NV12));

    // A list of sizes, then of whole rates for each.
    v4l2_frmsizeenum size{};
    size.pixel_format = V4L2_PIX_FMT_NV12;
    int sizes = 0;
    for (; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; size.index = ++sizes)
        EXPECT_EQ(size.type, uint32_t(V4L2_FRMSIZE_TYPE_DISCRETE));
    EXPECT_GE(sizes, 3);
    v4l2_frmivalenum interval{};
    interval.pixel_format = V4L2_PIX_FMT_NV12;
    interval.width = 640;
    interval.height = 480;
    ASSERT_EQ(xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval), 0);
    EXPECT_EQ(interval.discrete.numerator, 1u);

    // Rates are whole frames per second from 1 to 240.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe = {1, 1000};
    ASSERT_EQ(xioctl(fd, VIDIOC_S_PARM, &parm), 0);
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 240u);
    parm.parm.capture.timeperframe = {1001, 30000};
    ASSERT_EQ(xioctl(fd, VIDIOC_S_PARM, &parm), 0);
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 30u);
    EXPECT_EQ(parm.parm.capture.timeperframe.numerator, 1u);

    // One input, priorities, and no controls.
    int input = -1;
    EXPECT_EQ(xioctl(fd, VIDIOC_G_INPUT, &input), 0);
    EXPECT_EQ(input, 0);
    v4l2_queryctrl control{};
    control.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    EXPECT_EQ(ioctlError(fd, VIDIOC_QUERYCTRL, &control), EINVAL);

    // The node is a character device of the V4L2 major, there or not.
    struct stat node;
    ASSERT_EQ(stat("/dev/video1", &node), 0);
    EXPECT_TRUE(S_ISCHR(node.st_mode));
    EXPECT_EQ(major(node.st_rdev), 81u);
    ASSERT_EQ(fstat(fd, &node), 0);
    EXPECT_TRUE(S_ISCHR(node.st_mode));
    EXPECT_EQ(access("/dev/video0", R_OK | W_OK), 0);
    EXPECT_EQ(close(fd), 0);
}

TEST(V4l2Layer, WrongCallsGetADriversErrorAndNeverACrash) {
    const int fd = open("/dev/video0", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    char junk[256] = {};
    EXPECT_EQ(ioctlError(fd, _IOWR('V', 250, int), junk), ENOTTY) << "an unknown ioctl";
    EXPECT_EQ(ioctlError(fd, VIDIOC_G_TUNER, junk), ENOTTY) << "a V4L2 ioctl of no capture device";
    EXPECT_EQ(ioctlError(fd, VIDIOC_QUERYCAP, nullptr), EFAULT) << "a NULL argument";
    EXPECT_EQ(ioctlError(fd, VIDIOC_G_FMT, nullptr), EFAULT);
    EXPECT_EQ(ioctlError(fd, VIDIOC_DQBUF, nullptr), EFAULT);

    v4l2_format format = formatOf(V4L2_PIX_FMT_NV12, 640, 480);
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(ioctlError(fd, VIDIOC_S_FMT, &format), EINVAL) << "not a capture type";
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    desc.index = 99;
    EXPECT_EQ(ioctlError(fd, VIDIOC_ENUM_FMT, &desc), EINVAL);
    int input = 3;
    EXPECT_EQ(ioctlError(fd, VIDIOC_S_INPUT, &input), EINVAL);
    v4l2_requestbuffers user{};
    user.count = 4;
    user.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    user.memory = V4L2_MEMORY_USERPTR;
    EXPECT_EQ(ioctlError(fd, VIDIOC_REQBUFS, &user), EINVAL) << "only MMAP";

    // Nothing to stream yet.
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(ioctlError(fd, VIDIOC_STREAMON, &type), EINVAL);
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(ioctlError(fd, VIDIOC_DQBUF, &buffer), EINVAL);

    // ffmpeg asks for 256 buffers: it is granted what there is, and told.
    v4l2_requestbuffers request{};
    request.count = 256;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(xioctl(fd, VIDIOC_REQBUFS, &request), 0);
    EXPECT_GE(request.count, 2u);
    EXPECT_LE(request.count, 32u);
    buffer.index = request.count;
    EXPECT_EQ(ioctlError(fd, VIDIOC_QUERYBUF, &buffer), EINVAL) << "an index past the buffers";
    EXPECT_EQ(ioctlError(fd, VIDIOC_QBUF, &buffer), EINVAL);
    EXPECT_EQ(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 4096 * 1000), MAP_FAILED) << "an offset of no buffer";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0), MAP_FAILED) << "a private mapping";

    // Queued twice is refused; streaming without a done buffer is EAGAIN here.
    buffer.index = 0;
    ASSERT_EQ(xioctl(fd, VIDIOC_QBUF, &buffer), 0);
    EXPECT_EQ(ioctlError(fd, VIDIOC_QBUF, &buffer), EINVAL);
    // A second handle may look but not take the buffers.
    const int other = open("/dev/video0", O_RDWR);
    ASSERT_GE(other, 0);
    v4l2_requestbuffers theirs = request;
    theirs.count = 2;
    EXPECT_EQ(ioctlError(other, VIDIOC_REQBUFS, &theirs), EBUSY);
    EXPECT_EQ(ioctlError(other, VIDIOC_STREAMON, &type), EBUSY);
    close(other);
    // Stopping what never started is fine; the buffers are the program's again.
    EXPECT_EQ(xioctl(fd, VIDIOC_STREAMOFF, &type), 0);
    ASSERT_EQ(xioctl(fd, VIDIOC_QBUF, &buffer), 0);
    ASSERT_EQ(xioctl(fd, VIDIOC_STREAMON, &type), 0);
    v4l2_buffer done{};
    done.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    done.memory = V4L2_MEMORY_MMAP;
    int dequeued = -1;
    for (int i = 0; i < 2000 && dequeued != 0; ++i) {
        dequeued = ioctlError(fd, VIDIOC_DQBUF, &done);
        if (dequeued == EAGAIN) usleep(5000);
        else
            EXPECT_EQ(dequeued, 0);
    }
    EXPECT_EQ(dequeued, 0) << "a frame within ten seconds";
    EXPECT_EQ(ioctlError(fd, VIDIOC_DQBUF, &done), EAGAIN) << "the only buffer is the program's";
    // Formats and rates are fixed while streaming.
    format = formatOf(V4L2_PIX_FMT_NV12, 320, 240);
    EXPECT_EQ(ioctlError(fd, VIDIOC_S_FMT, &format), EBUSY);
    EXPECT_EQ(close(fd), 0);
}

TEST(V4l2Layer, BuffersCarryTheCamerasFramesSequencesAndMonotonicTimes) {
    // The layer wakes poll() when a buffer is done: the descriptor is real.
    const int fd = open("/dev/video0", O_RDWR);
    ASSERT_GE(fd, 0);
    for (const uint32_t fourcc : {uint32_t(V4L2_PIX_FMT_NV12), uint32_t(V4L2_PIX_FMT_YUV420)}) {
        SCOPED_TRACE(fourcc == V4L2_PIX_FMT_NV12 ? "NV12" : "YU12");
        v4l2_format format = formatOf(fourcc, 320, 240);
        ASSERT_EQ(xioctl(fd, VIDIOC_S_FMT, &format), 0);
        Stream stream;
        ASSERT_TRUE(stream.start(fd, 4)) << strerror(errno);
        uint32_t last = 0, offset = 0;
        int64_t lastNs = 0;
        for (int i = 0; i < 12; ++i) {
            pollfd ready{fd, POLLIN, 0};
            ASSERT_EQ(poll(&ready, 1, 10000), 1) << "a buffer done within ten seconds";
            v4l2_buffer buffer;
            const int64_t before = monotonicNs();
            ASSERT_TRUE(stream.dequeue(&buffer)) << strerror(errno);
            EXPECT_EQ(buffer.bytesused, 320u * 240 * 3 / 2);
            EXPECT_EQ(buffer.field, uint32_t(V4L2_FIELD_NONE));
            EXPECT_TRUE(buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);
            EXPECT_FALSE(buffer.flags & V4L2_BUF_FLAG_ERROR);
            const int64_t stamp = int64_t(buffer.timestamp.tv_sec) * 1000000000 + buffer.timestamp.tv_usec * 1000;
            EXPECT_LE(stamp, before + 1000) << "a frame is captured before it is done";
            EXPECT_GT(stamp, before - 10'000'000'000) << "on CLOCK_MONOTONIC";
            if (i > 0) {
                EXPECT_GT(buffer.sequence, last);
                EXPECT_GT(stamp, lastNs);
            }
            last = buffer.sequence;
            lastNs = stamp;
            // The frame of its sequence, in the format asked for. The
            // sequence starts again with each stream; the sensor's frames
            // go on, so the first one says where this stream is.
            const uint8_t *got = static_cast<const uint8_t *>(stream.maps[buffer.index]);
            const size_t luma = 320 * 240;
            if (i == 0) {
                for (offset = 0; offset < 1000; ++offset)
                    if (memcmp(got, reference(0, buffer.sequence + offset, 320, 240).data(), luma) == 0) break;
            }
            std::vector<uint8_t> expected = reference(0, buffer.sequence + offset, 320, 240);
            ASSERT_EQ(memcmp(got, expected.data(), luma), 0) << "luma of frame " << buffer.sequence;
            if (fourcc == V4L2_PIX_FMT_NV12) {
                ASSERT_EQ(memcmp(got + luma, expected.data() + luma, luma / 2), 0);
            } else {
                for (size_t c = 0; c < luma / 4; ++c) {
                    ASSERT_EQ(got[luma + c], expected[luma + 2 * c]) << "U at " << c;
                    ASSERT_EQ(got[luma + luma / 4 + c], expected[luma + 2 * c + 1]) << "V at " << c;
                }
            }
            ASSERT_TRUE(stream.requeue(&buffer));
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ASSERT_EQ(xioctl(fd, VIDIOC_STREAMOFF, &type), 0);
        // Stopped: nothing done is left to poll for.
        pollfd ready{fd, POLLIN, 0};
        EXPECT_EQ(poll(&ready, 1, 0), 0);
        stream.unmap();
        v4l2_requestbuffers none{};
        none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        none.memory = V4L2_MEMORY_MMAP;
        ASSERT_EQ(xioctl(fd, VIDIOC_REQBUFS, &none), 0);
    }
    close(fd);
    EXPECT_FALSE(cameraOwned(0));
    EXPECT_EQ(boardsim_live_buffers(), 0u);
}

TEST(V4l2Layer, BuffersRequestedAgainWhileQueuedStartAFreshQueue) {
    // v4l2-compliance does this: queue, then REQBUFS without STREAMOFF,
    // then queue the new buffers. Nothing of the old queue may remain, or
    // one buffer would be filled twice and frames come out of order.
    const int fd = open("/dev/video0", O_RDWR);
    ASSERT_GE(fd, 0);
    v4l2_requestbuffers request{};
    request.count = 2;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(xioctl(fd, VIDIOC_REQBUFS, &request), 0);
        for (unsigned i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            ASSERT_EQ(xioctl(fd, VIDIOC_QBUF, &buffer), 0);
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(fd, VIDIOC_STREAMON, &type), 0);
    // Every queued buffer is filled before the first is taken: an old queue
    // left behind would have a buffer filled twice by now.
    usleep(300000);
    Stream stream;
    stream.fd = fd;
    uint32_t last = 0;
    for (int i = 0; i < 20; ++i) {
        v4l2_buffer buffer;
        ASSERT_TRUE(stream.dequeue(&buffer));
        ASSERT_LT(buffer.index, 2u);
        if (i > 0) {
            EXPECT_GT(buffer.sequence, last) << "frames in the order they were made";
        }
        last = buffer.sequence;
        ASSERT_TRUE(stream.requeue(&buffer)) << "buffer " << buffer.index << " was the program's";
    }
    close(fd);
}

TEST(V4l2Layer, ADupSharesTheStreamAndACloseMidStreamReleasesEverything) {
    int fd = open("/dev/video0", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Stream stream;
    ASSERT_TRUE(stream.start(fd, 3));
    v4l2_buffer buffer;
    ASSERT_TRUE(stream.dequeue(&buffer));
    ASSERT_TRUE(stream.requeue(&buffer));
    // Duplicates are the same open file: they dequeue from the same stream.
    const int copies[] = {dup(fd), fcntl(fd, F_DUPFD_CLOEXEC, 100), dup3(fd, 200, O_CLOEXEC)};
    for (const int copy : copies) {
        ASSERT_GE(copy, 0);
        v4l2_buffer got{};
        got.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        got.memory = V4L2_MEMORY_MMAP;
        ASSERT_EQ(xioctl(copy, VIDIOC_DQBUF, &got), 0);
        ASSERT_EQ(xioctl(copy, VIDIOC_QBUF, &got), 0);
        EXPECT_EQ(close(copy), 0);
    }
    EXPECT_TRUE(cameraOwned(0)) << "the stream outlives its duplicates";
    // The last close, streaming and mapped: the stream ends, the camera is free.
    EXPECT_EQ(close(fd), 0);
    EXPECT_FALSE(cameraOwned(0));
    EXPECT_EQ(boardsim_live_buffers(), 0u);
    // The program's mappings stay valid until it unmaps them.
    memset(stream.maps[0], 1, 64);
    stream.unmap();
    // The camera opens again as new.
    fd = open("/dev/video0", O_RDWR);
    Stream again;
    ASSERT_TRUE(again.start(fd, 2));
    ASSERT_TRUE(again.dequeue(&buffer));
    close(fd);
    again.unmap();
}

TEST(V4l2Layer, AKilledProgramAndAForkedChildLeaveTheCameraWorking) {
    // A program streaming camera 1 is killed...
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t streamer = fork();
    if (streamer == 0) {
        const int fd = open("/dev/video1", O_RDWR);
        Stream stream;
        v4l2_buffer buffer;
        if (fd < 0 || !stream.start(fd, 2) || !stream.dequeue(&buffer)) _exit(1);
        if (write(ready[1], "s", 1) != 1) _exit(1);
        for (;;) {
            if (!stream.requeue(&buffer) || !stream.dequeue(&buffer)) _exit(1);
        }
    }
    close(ready[1]);
    char said = 0;
    ASSERT_EQ(read(ready[0], &said, 1), 1) << "the streamer started";
    close(ready[0]);
    kill(streamer, SIGKILL);
    waitpid(streamer, nullptr, 0);

    // ...and this one streams it at once, at another size.
    const int fd = open("/dev/video1", O_RDWR);
    v4l2_format format = formatOf(V4L2_PIX_FMT_NV12, 160, 120);
    ASSERT_EQ(xioctl(fd, VIDIOC_S_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.width, 160u) << "nobody owns the camera any more";
    Stream stream;
    ASSERT_TRUE(stream.start(fd, 2)) << strerror(errno);
    v4l2_buffer buffer;
    ASSERT_TRUE(stream.dequeue(&buffer));
    ASSERT_TRUE(stream.requeue(&buffer));

    // A forked child does not inherit the stream: its copy of the
    // descriptor is no camera, and its exit stops nothing.
    const pid_t child = fork();
    if (child == 0) {
        v4l2_capability cap{};
        const bool notACamera = ioctl(fd, VIDIOC_QUERYCAP, &cap) != 0 && errno == ENOTTY;
        close(fd);
        _exit(notACamera ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's descriptor is no camera";
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(stream.dequeue(&buffer)) << "the stream goes on after the child";
        ASSERT_TRUE(stream.requeue(&buffer));
    }
    close(fd);
    stream.unmap();
}

TEST(V4l2Layer, PathsOutsideTheMapAreTheSystemsUntouched) {
    // Cameras at other paths: /dev/video0 is the system's again.
    setenv("BOARDCAM_V4L2_DEVICES", "/dev/video4=0,/dev/video5=1", 1);
    errno = 0;
    EXPECT_LT(open("/dev/video0", O_RDWR), 0);
    EXPECT_EQ(errno, ENOENT);
    struct stat node;
    EXPECT_NE(stat("/dev/video0", &node), 0);
    const int camera = open("/dev/video5", O_RDWR);
    ASSERT_GE(camera, 0);
    v4l2_capability cap{};
    ASSERT_EQ(xioctl(camera, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(cap.card), "Board camera 1");
    close(camera);

    // /dev/null and a regular file behave as they do without the layer.
    const int null = open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    ASSERT_EQ(fstat(null, &node), 0);
    EXPECT_EQ(major(node.st_rdev), 1u);
    EXPECT_EQ(write(null, "x", 1), 1);
    EXPECT_EQ(ioctlError(null, VIDIOC_QUERYCAP, &cap), ENOTTY);
    close(null);
    char path[] = "/tmp/boardcam-v4l2-file-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "frame", 5), 5);
    const int copy = dup(file);
    char back[8] = {};
    ASSERT_EQ(pread(copy, back, 5, 0), 5);
    EXPECT_STREQ(back, "frame");
    ASSERT_EQ(fstat(copy, &node), 0);
    EXPECT_TRUE(S_ISREG(node.st_mode));
    EXPECT_EQ(node.st_size, 5);
    void *map = mmap(nullptr, 5, PROT_READ, MAP_SHARED, file, 0);
    ASSERT_NE(map, MAP_FAILED);
    EXPECT_EQ(memcmp(map, "frame", 5), 0);
    munmap(map, 5);
    close(copy);
    close(file);
    unlink(path);
    EXPECT_FALSE(cameraOwned(0));
    EXPECT_FALSE(cameraOwned(1));
}

}  // namespace
