#!/usr/bin/env bash
# Instructions per frame for the library path and the direct path, counted by
# callgrind (repeatable on a busy machine, unlike time).
#   bench/count_instructions.sh <frame_path_count binary> [frames]
set -euo pipefail
bin=$1
frames=${2:-20}

# Total instructions of one run (callgrind's summary line).
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

printf '%-12s %16s %16s %16s %16s\n' size "library instr" "direct instr" "library extra" "library/direct"
for size in 64x64 640x480 1920x1080 3840x2160; do
  w=${size%x*} h=${size#*x}
  base=$(count "$bin" direct "$w" "$h" 0)
  lib=$(count "$bin" library "$w" "$h" "$frames")
  direct=$(count "$bin" direct "$w" "$h" "$frames")
  awk -v s="$size" -v b="$base" -v l="$lib" -v d="$direct" -v n="$frames" 'BEGIN {
    lf = (l - b) / n; df = (d - b) / n
    printf "%-12s %16.0f %16.0f %16.0f %16.4f\n", s, lf, df, lf - df, lf / df }'
done
