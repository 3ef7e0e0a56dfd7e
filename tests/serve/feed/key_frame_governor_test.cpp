// The key-frame governor on request traces: a storm of PLIs makes at most
// one key frame a second, a request beyond the budget is made when the budget
// allows unless a key frame answers it first, and a lone request is served at
// once.
#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include "feed/key_frame_governor.h"
}

namespace {

constexpr int64_t kSecond = 1000000;

// Replays requests (times in microseconds) with the encoder's frames every
// `frame_us` between `start` and `end`; returns the times key frames were
// sent to the encoder.
std::vector<int64_t> Replay(key_frame_governor &governor, std::vector<int64_t> requests, int64_t frame_us,
                            int64_t end) {
    std::vector<int64_t> made;
    size_t next = 0;
    for (int64_t t = 0; t <= end; t += frame_us) {
        while (next < requests.size() && requests[next] <= t) {
            if (key_frame_governor_ask(&governor, requests[next]) == KEY_FRAME_MAKE_NOW) made.push_back(requests[next]);
            ++next;
        }
        if (key_frame_governor_due(&governor, t)) made.push_back(t);
    }
    return made;
}

TEST(KeyFrameGovernor, ManyRequestsInASecondMakeOneKeyFrameThenOneMore) {
    key_frame_governor governor;
    key_frame_governor_init(&governor, KEY_FRAME_GOVERNOR_INTERVAL_US);
    // Twenty PLIs within 400 ms from a viewer on a lossy link.
    std::vector<int64_t> requests;
    for (int i = 0; i < 20; ++i) requests.push_back(100000 + i * 20000);
    const auto made = Replay(governor, requests, 33333, 5 * kSecond);
    ASSERT_EQ(made.size(), 2u) << "one at once, one for the requests that came after it";
    EXPECT_EQ(made[0], 100000);
    EXPECT_GE(made[1] - made[0], KEY_FRAME_GOVERNOR_INTERVAL_US);
    EXPECT_LT(made[1] - made[0], KEY_FRAME_GOVERNOR_INTERVAL_US + 40000) << "made as soon as the budget allows";
    EXPECT_EQ(governor.asked, 20u);
    EXPECT_EQ(governor.made, 2u);
}

TEST(KeyFrameGovernor, SustainedRequestsNeverExceedOneASecond) {
    key_frame_governor governor;
    key_frame_governor_init(&governor, KEY_FRAME_GOVERNOR_INTERVAL_US);
    // A PLI every 50 ms for 30 s (three viewers asking over each other).
    std::vector<int64_t> requests;
    for (int64_t t = 0; t < 30 * kSecond; t += 50000) requests.push_back(t);
    const auto made = Replay(governor, requests, 33333, 30 * kSecond);
    for (size_t i = 1; i < made.size(); ++i)
        EXPECT_GE(made[i] - made[i - 1], KEY_FRAME_GOVERNOR_INTERVAL_US) << "key frames " << i - 1 << " and " << i;
    EXPECT_GE(made.size(), 29u) << "the budget is used, not starved";
    EXPECT_LE(made.size(), 31u);
}

TEST(KeyFrameGovernor, AKeyFrameThatPassesAnswersAWaitingRequest) {
    key_frame_governor governor;
    key_frame_governor_init(&governor, KEY_FRAME_GOVERNOR_INTERVAL_US);
    EXPECT_EQ(key_frame_governor_ask(&governor, 0), KEY_FRAME_MAKE_NOW);
    EXPECT_EQ(key_frame_governor_ask(&governor, 200000), KEY_FRAME_WAITS);
    // The encoder's own group of pictures (or a segment boundary) ends here.
    key_frame_governor_key_frame_seen(&governor);
    for (int64_t t = 200000; t < 3 * kSecond; t += 33333) EXPECT_FALSE(key_frame_governor_due(&governor, t));
    EXPECT_EQ(governor.made, 1u);
}

TEST(KeyFrameGovernor, LoneRequestsAreServedAtOnce) {
    key_frame_governor governor;
    key_frame_governor_init(&governor, KEY_FRAME_GOVERNOR_INTERVAL_US);
    // Viewers joining now and then: each gets its key frame at once.
    for (int64_t t : {int64_t{5} * kSecond, int64_t{7} * kSecond, int64_t{8} * kSecond + 1, int64_t{20} * kSecond})
        EXPECT_EQ(key_frame_governor_ask(&governor, t), KEY_FRAME_MAKE_NOW) << t;
    // A join at time 0 of the clock is not mistaken for "just made one".
    key_frame_governor fresh;
    key_frame_governor_init(&fresh, KEY_FRAME_GOVERNOR_INTERVAL_US);
    EXPECT_EQ(key_frame_governor_ask(&fresh, 0), KEY_FRAME_MAKE_NOW);
    EXPECT_EQ(key_frame_governor_ask(&fresh, 1), KEY_FRAME_WAITS);
}

TEST(KeyFrameGovernor, NewViewersAreServedAtOnceSharingAKeyFrameOnItsWay) {
    key_frame_governor governor;
    key_frame_governor_init(&governor, KEY_FRAME_GOVERNOR_INTERVAL_US);
    // Four RTSP clients of one media arrive within 30 ms: the first key
    // frame serves them all, as none has come out of the encoder yet.
    EXPECT_EQ(key_frame_governor_join(&governor, 0), KEY_FRAME_MAKE_NOW);
    for (int64_t t : {10000, 20000, 30000}) EXPECT_EQ(key_frame_governor_join(&governor, t), KEY_FRAME_WAITS);
    key_frame_governor_key_frame_seen(&governor);
    // A fifth comes 200 ms later, after that key frame: it gets its own at
    // once, the budget spent or not.
    EXPECT_EQ(key_frame_governor_join(&governor, 230000), KEY_FRAME_MAKE_NOW);
    // And a PLI right after waits for the budget, which the join restarted.
    EXPECT_EQ(key_frame_governor_ask(&governor, 300000), KEY_FRAME_WAITS);
    key_frame_governor_key_frame_seen(&governor);  // the join's own
    EXPECT_FALSE(key_frame_governor_due(&governor, 400000)) << "answered by the join's key frame";
    EXPECT_EQ(governor.asked, 6u);
    EXPECT_EQ(governor.made, 2u);
}

}  // namespace
