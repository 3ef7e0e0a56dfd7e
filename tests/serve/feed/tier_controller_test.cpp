// The per-viewer tier controller on link traces shaped like those of a
// browser behind a token-bucket link: a 4 Mbit/s main stream meeting a
// 1.5 Mbit/s link, a 1 Mbit/s link that never takes the main stream, a link
// that recovers. One report a second, as the server polls them.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

extern "C" {
#include "feed/tier_controller.h"
}

namespace {

constexpr int64_t kSecond = 1000000;

struct Row {
    double sent, received, loss, rtt, queue;
    int asked;
};

const Row kFree{4000, 3990, 0.0, 1, 0, 0};
// The main stream on a 1.5 Mbit/s link: most packets lost, the bottleneck's
// queue full (as measured with Chromium behind tbf).
const Row kMainOn1500{4000, 1450, 0.586, 278, 0, 1};
// The main stream on 1 Mbit/s, seen without transport-wide feedback.
const Row kMainOn1000NoFeedback{4000, -1, 0.70, 310, 0, 0};
const Row kLowClean{900, 895, 0.0, 2, 0, 0};

struct Viewer {
    tier_controller controller;
    int64_t now = 0;
    tier_decision last{};
    explicit Viewer(int has_low = 1) { tier_controller_init(&controller, has_low); }
    // `seconds` reports of `row`; returns the time of the first report that
    // changed the tier, or -1.
    int64_t Feed(const Row &row, int seconds) {
        int64_t changed_at = -1;
        for (int i = 0; i < seconds; ++i) {
            now += kSecond;
            link_report report{now, row.sent, row.received, row.loss, row.rtt, row.queue, row.asked, -1, -1};
            // On the low tier, what is sent is the low tier's bit rate.
            if (controller.tier == TIER_LOW && row.sent > TIER_LOW_MAX_KBPS) {
                report.sent_kbps = controller.low_kbps;
                report.received_kbps = row.received < 0 ? -1 : std::min(row.received, (double)controller.low_kbps);
                report.loss = 0;
                report.rtt_ms = 5;
                report.key_frames_asked = 0;
            }
            tier_controller_update(&controller, &report, &last);
            if (last.changed && changed_at < 0) changed_at = now;
        }
        return changed_at;
    }
    // One second's report of what was sent and what arrived, with its loss,
    // round-trip time and the link's rate if a burst showed it.
    void Report(double sent, double received, double loss, double rtt, double capacity = -1) {
        link_report report{now += kSecond, sent, received, loss, rtt, 0, 0, capacity, -1};
        tier_controller_update(&controller, &report, &last);
    }
    // A viewer that joined on a free link, then found it too slow for the
    // main stream: on the low tier.
    static Viewer OnTheLowTier() {
        Viewer run;
        run.Feed(kFree, 3);
        run.Feed(kMainOn1500, 2);
        return run;
    }
};

TEST(TierController, GoesDownWithinTwoSecondsOfSustainedOveruse) {
    Viewer run;
    EXPECT_EQ(run.Feed(kFree, 10), -1);
    EXPECT_EQ(run.controller.tier, TIER_MAIN);
    const int64_t overuse_starts = run.now;
    const int64_t down = run.Feed(kMainOn1500, 3);
    ASSERT_GT(down, 0);
    EXPECT_LE(down - overuse_starts, 2 * kSecond);
    EXPECT_EQ(run.controller.tier, TIER_LOW);
    // What arrived (1.45 Mbit/s) bounds the low tier's bit rate.
    EXPECT_LE(run.last.low_kbps, TIER_LOW_MAX_KBPS);
    EXPECT_GE(run.last.low_kbps, 1000);

    // Without transport-wide feedback, losses and a queue building on the
    // path are enough.
    Viewer blind;
    blind.Feed(kFree, 5);
    const int64_t starts = blind.now;
    const int64_t blind_down = blind.Feed(kMainOn1000NoFeedback, 3);
    ASSERT_GT(blind_down, 0);
    EXPECT_LE(blind_down - starts, 2 * kSecond);
}

TEST(TierController, OneBadSecondAloneDoesNotMoveAViewer) {
    Viewer run;
    run.Feed(kFree, 5);
    run.Feed(Row{4000, 3600, 0.12, 40, 0, 0}, 1);
    EXPECT_EQ(run.Feed(kFree, 10), -1);
    EXPECT_EQ(run.controller.tier, TIER_MAIN);
    // Nor does a viewer without a low tier to go to ever move.
    Viewer only_main(0);
    only_main.Feed(kMainOn1500, 30);
    EXPECT_EQ(only_main.controller.tier, TIER_MAIN);
}

TEST(TierController, AViewerThatKeepsAskingForKeyFramesIsMovedDown) {
    Viewer run;
    run.Feed(kFree, 5);
    const int64_t starts = run.now;
    const int64_t down = run.Feed(Row{4000, 3990, 0.02, 2, 0, 3}, 3);
    ASSERT_GT(down, 0);
    EXPECT_LE(down - starts, 2 * kSecond);
}

TEST(TierController, ATrialUpThatFailsBacksOffFrom10sTo120s) {
    Viewer run;
    run.Feed(kFree, 3);
    int64_t low_since = run.Feed(kMainOn1500, 2);
    ASSERT_EQ(run.controller.tier, TIER_LOW);
    // The 1 Mbit/s link: clean on the low tier, never taking the main stream.
    std::vector<int64_t> trials, waits;
    for (int second = 0; second < 600; ++second) {
        const Row row = run.controller.tier == TIER_MAIN ? kMainOn1000NoFeedback : kLowClean;
        const enum tier before = run.controller.tier;
        run.Feed(row, 1);
        if (before == TIER_LOW && run.controller.tier == TIER_MAIN) {
            trials.push_back(run.now);
            waits.push_back(run.now - low_since);
        }
        if (before == TIER_MAIN && run.controller.tier == TIER_LOW) low_since = run.now;
    }
    ASSERT_GE(waits.size(), 6u);
    // Each wait at least the back-off (10, 20, 40, 80, 120, 120 s), and not
    // much more: the viewer is tried again when it may be.
    const int64_t backoffs[] = {10, 20, 40, 80, 120, 120};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_GE(waits[i], backoffs[i] * kSecond) << "trial " << i;
        EXPECT_LE(waits[i], (backoffs[i] + 4) * kSecond) << "trial " << i;
    }
    EXPECT_EQ(run.controller.failed_trials, trials.size() - (run.controller.tier == TIER_MAIN ? 1 : 0));
}

TEST(TierController, ATrialThatHoldsStaysOnMainAndResetsTheBackOff) {
    Viewer run = Viewer::OnTheLowTier();
    ASSERT_EQ(run.controller.tier, TIER_LOW);
    // Still slow long enough for one trial to fail, then the link is free.
    int64_t now_free = -1;
    for (int second = 0; second < 120 && now_free < 0; ++second) {
        run.Feed(run.controller.tier == TIER_MAIN ? kMainOn1500 : kLowClean, 1);
        if (run.controller.failed_trials == 1) now_free = run.now;
    }
    ASSERT_GT(now_free, 0);
    int64_t up = -1;
    for (int second = 0; second < 40 && up < 0; ++second) {
        run.Feed(run.controller.tier == TIER_MAIN ? kFree : kLowClean, 1);
        if (run.controller.tier == TIER_MAIN) up = run.now;
    }
    ASSERT_GT(up, 0);
    EXPECT_LE(up - now_free, 25 * kSecond) << "back on main within the back-off after the link frees";
    run.Feed(kFree, 10);
    EXPECT_EQ(run.controller.tier, TIER_MAIN);
    EXPECT_EQ(run.controller.trial, 0);
    EXPECT_EQ(run.controller.backoff_us, TIER_FIRST_BACKOFF_US);
}

TEST(TierController, TheLowTiersBitRateFollowsTheLinkWithinItsClamps) {
    Viewer run = Viewer::OnTheLowTier();
    ASSERT_EQ(run.controller.tier, TIER_LOW);
    // A 100 kbit/s link: overuse on the low tier every second.
    for (int i = 0; i < 20; ++i) {
        const double sent = run.controller.low_kbps;
        run.Report(sent, 100, 0.4, 400);
        EXPECT_GE(run.last.low_kbps, TIER_LOW_MIN_KBPS);
        EXPECT_EQ(run.last.tier, TIER_LOW);
    }
    EXPECT_EQ(run.last.low_kbps, TIER_LOW_MIN_KBPS);
    // Clean again: up by a tenth a second, never past the top.
    int previous = run.last.low_kbps;
    for (int i = 0; i < 30; ++i) {
        run.Report(run.controller.low_kbps, run.controller.low_kbps, 0, 5);
        if (run.last.tier == TIER_MAIN) {
            previous = run.last.low_kbps;
            break;
        }
        EXPECT_GE(run.last.low_kbps, previous);
        EXPECT_LE(run.last.low_kbps, TIER_LOW_MAX_KBPS);
        EXPECT_LE(run.last.low_kbps, (int)(previous * 1.1) + 1);
        previous = run.last.low_kbps;
    }
    EXPECT_EQ(previous, TIER_LOW_MAX_KBPS);
}

TEST(TierController, AQueueOfMoreThanHalfASecondSkipsToTheNextKeyFrame) {
    Viewer run;
    run.Feed(kFree, 3);
    link_report report{run.now += kSecond, 4000, -1, 0, 3, 650, 0, -1, -1};
    tier_controller_update(&run.controller, &report, &run.last);
    EXPECT_TRUE(run.last.skip_to_key_frame);
    EXPECT_EQ(run.last.tier, TIER_LOW) << "severe: down at once";
    link_report fine{run.now += kSecond, 900, -1, 0, 3, 40, 0, -1, -1};
    tier_controller_update(&run.controller, &fine, &run.last);
    EXPECT_FALSE(run.last.skip_to_key_frame);
}

TEST(TierController, NoisyFeedbackAloneIsNotOveruse) {
    // A low tier of 200 kbit/s on a free link: the feedback's windows and
    // ours differ, so a second's figures swing by half, with no loss and no
    // queue.
    Viewer run = Viewer::OnTheLowTier();
    ASSERT_EQ(run.controller.tier, TIER_LOW);
    run.Feed(kLowClean, 5);
    run.controller.next_trial_us = run.now + 600 * kSecond;  // no trial up in the way
    const int before = run.controller.low_kbps;
    const double swings[][2] = {{408, 269}, {233, 137}, {130, 120}, {177, 112}, {271, 92}, {183, 157}};
    for (const auto &swing : swings) {
        link_report report{run.now += kSecond, swing[0], swing[1], 0, 1, 0, 0, -1, -1};
        tier_controller_update(&run.controller, &report, &run.last);
        EXPECT_FALSE(tier_controller_overused(&run.controller, &report));
    }
    EXPECT_GE(run.controller.low_kbps, before);
}

TEST(TierController, ALowTierAboveTheLinkComesDownToWhatArrives) {
    // A viewer that joined a full queue (its lowest RTT is already 180 ms),
    // sent 1200 kbit/s over a 1 Mbit/s link: 900 arrive, a few percent are
    // lost, the queue stays full.
    Viewer run;
    run.Feed(Row{4000, 900, 0.6, 300, 0, 2}, 2);
    ASSERT_EQ(run.controller.tier, TIER_LOW);
    run.now += TIER_SETTLE_US;
    const double rtts[] = {184, 295, 313, 242, 362, 300};
    for (double rtt : rtts) {
        const double sent = run.controller.low_kbps;
        run.Report(sent, std::min(sent, 900.0), sent > 950 ? 0.04 : 0, rtt);
    }
    EXPECT_LE(run.controller.low_kbps, 900) << "within what arrives";
    EXPECT_GE(run.controller.low_kbps, 600) << "not far below it";
    EXPECT_EQ(run.controller.tier, TIER_LOW);
}

TEST(TierController, ALinkSeenFullBoundsTheLowTierAndSparesUselessTrials) {
    // 1 Mbit/s: the low tier's key frames fill it now and then, and arrive
    // at 930 kbit/s while going out faster.
    Viewer run = Viewer::OnTheLowTier();
    ASSERT_EQ(run.controller.tier, TIER_LOW);
    for (int second = 0; second < 300; ++second) {
        const double sent = run.controller.low_kbps;
        run.Report(sent, sent, 0, 2, second % 7 == 0 ? 930.0 : -1);
        ASSERT_EQ(run.last.tier, TIER_LOW) << "no trial of 4 Mbit/s on a link seen at 930 kbit/s, second " << second;
        EXPECT_LE(run.last.low_kbps, 0.85 * 930 + 1);
    }
    EXPECT_GE(run.last.low_kbps, 0.85 * 930 - 1) << "and up to it";
    // Once the link has not been seen full for a while, a trial is made.
    for (int second = 0; second < 60 && run.controller.tier == TIER_LOW; ++second) {
        run.Report(run.controller.low_kbps, run.controller.low_kbps, 0, 2);
    }
    EXPECT_EQ(run.controller.tier, TIER_MAIN);
}

TEST(TierController, ATrialThatSendsTwiceWhatArrivesEndsAtOnce) {
    Viewer run = Viewer::OnTheLowTier();
    ASSERT_EQ(run.controller.tier, TIER_LOW);
    while (run.controller.tier == TIER_LOW && run.now < 60 * kSecond) run.Feed(kLowClean, 1);
    ASSERT_EQ(run.controller.tier, TIER_MAIN);
    ASSERT_TRUE(run.controller.trial);
    // The first quarter second of the main stream: 5.4 Mbit/s out, 0.9 in,
    // by the feedback's count, before any receiver report shows a loss.
    link_report report{run.now += kSecond / 4, 5400, 875, 0, 3, 0, 0, -1, 5400};
    tier_controller_update(&run.controller, &report, &run.last);
    EXPECT_EQ(run.last.tier, TIER_LOW);
    EXPECT_EQ(run.controller.failed_trials, 1u);

    // A key frame's burst on a link that carries the main stream: what we
    // sent in a quarter second is four times what the feedback saw arrive
    // in its own window, but the feedback's own count of what was sent of
    // those packets is close to what arrived. The trial goes on.
    Viewer wide = Viewer::OnTheLowTier();
    while (wide.controller.tier == TIER_LOW && wide.now < 60 * kSecond) wide.Feed(kLowClean, 1);
    ASSERT_TRUE(wide.controller.trial);
    link_report burst{wide.now += kSecond / 4, 4279, 1380, 0, 1, 0, 0, -1, 1550};
    tier_controller_update(&wide.controller, &burst, &wide.last);
    EXPECT_EQ(wide.last.tier, TIER_MAIN);
}

}  // namespace
