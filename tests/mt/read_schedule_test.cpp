// The read schedule's arithmetic on made-up times: which sensor frame a read
// returned, however long the machine took over it.
#include <gtest/gtest.h>

#include <cstdint>

extern "C" {
#include "read_schedule.h"
}

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kPeriod = 100 * kMs;  // 10 fps
constexpr int64_t kGuard = 1 * kMs;
constexpr int64_t kOpened = 10000 * kMs;

struct Read {
    uint64_t sequence;
    uint32_t dropped;
};

class ReadSchedule : public ::testing::Test {
protected:
    void SetUp() override {
        read_schedule_init(&schedule, kPeriod, kGuard);
        read_schedule_opened(&schedule, kOpened);
    }

    // A read that began `startMs` after opening and took `tookMs`.
    Read read(double startMs, double tookMs) {
        const int64_t planned = read_schedule_next_read(&schedule);
        const int64_t start = kOpened + int64_t(startMs * kMs);
        Read result{};
        read_schedule_frame_read(&schedule, planned, start, start + int64_t(tookMs * kMs), &result.sequence,
                                 &result.dropped);
        return result;
    }

    // Three frames on the sensor's cadence, each read waiting 1 ms for its frame.
    void readThreeOnCadence() {
        EXPECT_EQ(read(0.1, 0.1).sequence, 0u);
        for (uint64_t n = 1; n <= 2; ++n) {
            const double due = 0.1 + double(n) * 100;
            EXPECT_EQ((read_schedule_next_read(&schedule) - kOpened) / kMs, int64_t(due - 1)) << "read " << n;
            const Read r = read(due - 1, 1.1);
            EXPECT_EQ(r.sequence, n);
            EXPECT_EQ(r.dropped, 0u);
        }
    }

    read_schedule schedule{};
};

TEST_F(ReadSchedule, ReadsOnTheCadenceCountOneFrameEach) { readThreeOnCadence(); }

TEST_F(ReadSchedule, ASlowReadAfterAStallIsTheFrameThatWasWaiting) {
    readThreeOnCadence();
    // Frames 3 to 7 came unread; the read began half a period after frame 7
    // and took 2 ms without waiting: it returned frame 7.
    const Read late = read(750, 2);
    EXPECT_EQ(late.sequence, 7u);
    EXPECT_EQ(late.dropped, 4u);
    // The next read waits for frame 8 as usual.
    const Read next = read(799.1, 1.1);
    EXPECT_EQ(next.sequence, 8u);
    EXPECT_EQ(next.dropped, 0u);
}

TEST_F(ReadSchedule, AReadThatWaitedPastTheWaitingFrameIsTheOneAfter) {
    readThreeOnCadence();
    // A sensor that always hands out the frame after the call: the read
    // began after frame 7 was due and returned when frame 8 was.
    const Read waited = read(750, 50.2);
    EXPECT_EQ(waited.sequence, 8u);
    EXPECT_EQ(waited.dropped, 5u);
}

TEST_F(ReadSchedule, AFirstReadLongAfterOpeningCountsThePeriodsSinceThen) {
    const Read first = read(350, 0.1);
    EXPECT_EQ(first.sequence, 3u);
    EXPECT_EQ(first.dropped, 3u);
}

}  // namespace
