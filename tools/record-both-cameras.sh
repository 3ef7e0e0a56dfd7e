#!/bin/sh
# Records both cameras side by side, VP8 in WebM:
#   record-both-cameras.sh OUT.webm [SECONDS]
# The camera library reports on standard output, so the file is written by
# filesink, never through standard output.
set -eu
out=${1:?usage: record-both-cameras.sh OUT.webm [SECONDS]}
seconds=${2:-5}
frames=$((seconds * 30))
# The output format is pinned whole: a live compositor negotiates before its
# inputs have arrived, and WebM cannot take a change of caps afterwards.
exec gst-launch-1.0 -q -e \
  compositor name=mix background=black start-time-selection=first sink_1::xpos=640 ! \
    video/x-raw,format=I420,width=1280,height=480,framerate=30/1,pixel-aspect-ratio=1/1,colorimetry=bt601,chroma-site=jpeg,interlace-mode=progressive ! \
    videoconvert ! vp8enc deadline=1 cpu-used=8 ! webmmux ! filesink location="$out" \
  boardcamsrc camera=0 num-buffers=$frames ! video/x-raw,width=640,height=480,framerate=30/1 ! mix.sink_0 \
  boardcamsrc camera=1 num-buffers=$frames ! video/x-raw,width=640,height=480,framerate=30/1 ! mix.sink_1
