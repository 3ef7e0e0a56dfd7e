#include "tier_follow.h"

void tier_follow(struct feed *feed, GstAppSrc *sink, enum viewer_protocol protocol, enum tier before,
                 const struct tier_decision *decision) {
    const int camera = feed_camera(feed);
    if (decision->tier != before) {
        viewers_tier(camera, protocol, (int)before, -1);
        viewers_tier(camera, protocol, (int)decision->tier, +1);
        feed_switch_h264_sink(feed, sink, decision->tier == TIER_LOW ? FEED_TIER_LOW : FEED_TIER_MAIN);
    }
    feed_set_low_tier_wish(feed, sink, decision->tier == TIER_LOW ? decision->low_kbps : 0);
}

enum tier tier_followed(struct feed *feed, GstAppSrc *sink, int *fps) {
    const enum tier tier = feed_sink_tier(feed, sink, NULL) == FEED_TIER_LOW ? TIER_LOW : TIER_MAIN;
    *fps = tier == TIER_LOW ? feed_low_fps(feed) : feed_config(feed)->fps;
    return tier;
}
