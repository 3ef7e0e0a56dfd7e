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

# Total instructions of one run (callgrind's summary line), or nothing when
# callgrind cannot run the program to its end: valgrind 3.19 stops with
# SIGILL at an instruction it cannot decode (RDTSCP on some AMD hosts, in
# a library the program loads). That one figure is then not measurable on
# this CPU; the others are still counted.
count() {
  local out
  if ! out=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1); then
    echo "count_instructions: callgrind cannot run '$*' on this CPU: $(grep -m1 -E 'unhandled instruction|Illegal|Process terminating' <<<"$out")" >&2
    return 0
  fi
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' <<<"$out"
}

# The element runs with the system's core elements alone, and a registry
# built before any count, outside valgrind: only what the pipeline needs is
# loaded under callgrind, not every plugin installed and its libraries.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/plugins"
system_plugins=$(pkg-config --variable=pluginsdir gstreamer-1.0 2>/dev/null || echo /usr/lib/$(gcc -print-multiarch)/gstreamer-1.0)
ln -s "$system_plugins/libgstcoreelements.so" "$work/plugins/"
element_run() {  # runner width height frames
  BOARDSIM_PACING=0 GST_PLUGIN_PATH=$plugin_dir GST_PLUGIN_SYSTEM_PATH=$work/plugins GST_REGISTRY=$work/registry.bin \
    GST_REGISTRY_FORK=no $1 gst-launch-1.0 -q boardcamsrc num-buffers="$4" ! \
    "video/x-raw,width=$2,height=$3,framerate=240/1" ! fakesink sync=false enable-last-sample=false
}
element() { element_run count "$@"; }  # width height frames
per_frame() {  # command...: instructions per frame between n and 3n frames; nothing if not measurable
  local small large
  small=$("$@" "$frames")
  large=$("$@" $((3 * frames)))
  [ -n "$small" ] && [ -n "$large" ] && echo $(((large - small) / (2 * frames)))
  return 0
}

[ -n "$plugin_dir" ] && element_run env 64 64 1 >/dev/null  # the registry, outside valgrind
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
  # "n/m": not measurable on this CPU (see count()); "-": not counted at this size.
  awk -v s="$size" -v b="$base" -v l="$lib" -v d="$direct" -v n="$frames" -v e="$elem" -v p="$py" 'BEGIN {
    if (b == "" || l == "" || d == "") { printf "%-12s %14s %14s %14s %16s", s, "n/m", "n/m", "n/m", "n/m"; lf = 0 }
    else {
      lf = (l - b) / n; df = (d - b) / n
      printf "%-12s %14.0f %14.0f %14.0f %16.4f", s, lf, df, lf - df, lf / df
    }
    if (e == "") printf " %14s %16s", "n/m", "n/m"; else if (e > 0 && lf > 0) printf " %14.0f %16.4f", e, e / lf; else printf " %14s %16s", "-", "-"
    if (p == "") printf " %14s %16s", "n/m", "n/m"; else if (p > 0 && lf > 0) printf " %14.0f %16.4f", p, p / lf; else printf " %14s %16s", "-", "-"
    printf "\n" }'
done
echo "n/m: not measurable on this CPU (callgrind could not run it); -: not counted at this size"
