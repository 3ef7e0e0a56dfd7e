#!/usr/bin/env bash
# Instructions per frame for the library path and the direct path, counted by
# callgrind (repeatable on a busy machine, unlike time), and for the
# GStreamer element and the Python package over the library.
#   bench/count_instructions.sh <frame_path_count binary> [frames]
# With BOARDCAM_BENCH_PLUGIN_DIR (the plugin's folder) the element is counted
# through gst-launch-1.0; with BOARDCAM_BENCH_PYTHON (bench/python_read.py,
# which needs PYTHONPATH, BOARDCAM_LIBRARY and BOARDCAM_BENCH_BOARDSIM) the
# Python package. Both pay a start-up of their own, so their per-frame figure
# is the difference between a run of 3n frames and one of n.
set -euo pipefail
bin=$1
frames=${2:-20}
plugin_dir=${BOARDCAM_BENCH_PLUGIN_DIR:-}
python_read=${BOARDCAM_BENCH_PYTHON:-}

# Total instructions of one run (callgrind's summary line).
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

registry=$(mktemp)
trap 'rm -f "$registry"' EXIT
element() {  # width height frames
  BOARDSIM_PACING=0 GST_PLUGIN_PATH=$plugin_dir GST_REGISTRY=$registry GST_REGISTRY_FORK=no \
    count gst-launch-1.0 -q boardcamsrc num-buffers="$3" ! "video/x-raw,width=$1,height=$2,framerate=240/1" ! \
    fakesink sync=false enable-last-sample=false
}
per_frame() {  # command...: instructions per frame between n and 3n frames
  local small large
  small=$("$@" "$frames")
  large=$("$@" $((3 * frames)))
  echo $(((large - small) / (2 * frames)))
}

[ -n "$plugin_dir" ] && element 64 64 1 >/dev/null  # build the registry outside the counts
printf '%-12s %14s %14s %14s %16s %14s %16s %14s %16s\n' size "library instr" "direct instr" "library extra" \
  "library/direct" "element instr" "element/library" "python instr" "python/library"
for size in 64x64 640x480 1920x1080 3840x2160; do
  w=${size%x*} h=${size#*x}
  base=$(count "$bin" direct "$w" "$h" 0)
  lib=$(count "$bin" library "$w" "$h" "$frames")
  direct=$(count "$bin" direct "$w" "$h" "$frames")
  elem=0 py=0
  if [ -n "$plugin_dir" ] && [[ $size == 640x480 || $size == 1920x1080 ]]; then
    elem=$(per_frame element "$w" "$h")
  fi
  if [ -n "$python_read" ] && [[ $size == 640x480 || $size == 1920x1080 ]]; then
    py=$(per_frame count /usr/bin/python3 "$python_read" "$w" "$h")
  fi
  awk -v s="$size" -v b="$base" -v l="$lib" -v d="$direct" -v n="$frames" -v e="$elem" -v p="$py" 'BEGIN {
    lf = (l - b) / n; df = (d - b) / n
    printf "%-12s %14.0f %14.0f %14.0f %16.4f", s, lf, df, lf - df, lf / df
    if (e > 0) printf " %14.0f %16.4f", e, e / lf; else printf " %14s %16s", "-", "-"
    if (p > 0) printf " %14.0f %16.4f", p, p / lf; else printf " %14s %16s", "-", "-"
    printf "\n" }'
done
