/*
 * What webrtcbin's statistics say about one viewer's link: the bytes sent to
 * it, its receiver reports (fraction lost, round-trip time) and, when the
 * viewer sends transport-wide congestion-control feedback, the rate that
 * arrived. Any thread.
 */
#ifndef SERVE_LINK_STATS_H
#define SERVE_LINK_STATS_H

#include <stdint.h>

#include <gst/gst.h>

struct link_stats {
    uint64_t bytes_sent;    /* RTP payload bytes sent, since the start */
    double fraction_lost;   /* from the newest receiver report; <0: none yet */
    double rtt_ms;          /* <0: none yet */
    double received_kbps;   /* from transport-wide feedback; <0: none */
    double feedback_sent_kbps; /* what was sent of the packets that feedback covers; <0: none */
    double delay_trend_ms;  /* the feedback's mean delta of inter-arrival deltas; 0: none */
    double feedback_loss;   /* packets lost per that feedback, 0..1; <0: none */
};

/* Reads the reply of webrtcbin's "get-stats" into `out`. */
void link_stats_read(const GstStructure *reply, struct link_stats *out);

#endif
