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

// A sensor as the simulator runs one: frame k is available from
// `firstFrame` + k periods; a read gets the newest frame not yet delivered,
// or waits for the next. A reader reads in a loop, each read beginning when
// the schedule says or, if that is past, at once.
class SensorAndReader {
public:
    SensorAndReader(int64_t firstFrame, int64_t firstRead) : firstFrame_(firstFrame), now_(firstRead) {
        read_schedule_init(&schedule_, kPeriod, kGuard);
        read_schedule_opened(&schedule_, kOpened);
    }

    // One read; `heldUp` delays the sensor call past the read's start, as a
    // thread preempted inside the library would. Returns sequence minus the
    // sensor's index: 0 when the frame is numbered right.
    int64_t read(int64_t heldUp = 0) {
        const int64_t planned = read_schedule_next_read(&schedule_);
        const int64_t start = planned == INT64_MIN || planned < now_ ? now_ : planned;
        const int64_t call = start + heldUp;
        const int64_t newest = call < firstFrame_ ? -1 : (call - firstFrame_) / kPeriod;
        int64_t available = call;
        if (newest > delivered_) {
            delivered_ = newest;
        } else {
            available = firstFrame_ + ++delivered_ * kPeriod;
        }
        const int64_t end = available + kMs / 10;
        uint64_t sequence = 0;
        uint32_t dropped = 0;
        read_schedule_frame_read(&schedule_, planned, start, end, &sequence, &dropped);
        waited_ = end - start;
        now_ = end + kMs / 10;
        return int64_t(sequence) - delivered_;
    }

    int64_t waited() const { return waited_; }

private:
    read_schedule schedule_{};
    int64_t firstFrame_, now_;
    int64_t delivered_ = -1;
    int64_t waited_ = 0;
};

// The first read came 15 ms after the opening and found its frame waiting,
// so the estimate is 15 ms late; a read held up inside the library past a
// whole period is then numbered one short. Left so, every later read would
// wait for the frame after the one it meant to, and be numbered one short.
TEST(ReadScheduleSlip, ASlipOfOnePeriodIsCorrectedWithinTenReads) {
    SensorAndReader board(kOpened, kOpened + 15 * kMs);
    for (int n = 0; n < 10; ++n) ASSERT_EQ(board.read(), 0) << "read " << n;
    EXPECT_NE(board.read(kPeriod + 10 * kMs), 0) << "the held-up read is numbered from when it began";
    int corrected = -1;
    for (int n = 1; n <= 10 && corrected < 0; ++n) {
        if (board.read() == 0) corrected = n;
    }
    ASSERT_GT(corrected, 0) << "still one off after 10 reads";
    for (int n = 0; n < 50; ++n) {
        ASSERT_EQ(board.read(), 0) << "read " << n << " after the correction";
        EXPECT_LT(board.waited(), 2 * kGuard) << "reads wait just before their frame again";
    }
}

// Arrivals later than the estimate by a lasting amount, but by less than
// half a period, are a late sensor, not a slip: the estimate moves to them
// and the numbering stays.
TEST(ReadScheduleSlip, ALateSensorMovesTheEstimateNotTheNumbering) {
    // The sensor's first frame came 40 ms after the middle of the opening.
    SensorAndReader board(kOpened + 40 * kMs, kOpened + 45 * kMs);
    int64_t firstOffset = board.read();
    for (int n = 0; n < 60; ++n) ASSERT_EQ(board.read(), firstOffset) << "read " << n;
    EXPECT_LT(board.waited(), 2 * kGuard);
}

}  // namespace
