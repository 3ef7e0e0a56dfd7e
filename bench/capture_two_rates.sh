#!/usr/bin/env bash
# boardcam-capture with each camera at its own rate, on the simulator's
# free-running sensors: achieved rates from each camera's timestamps file
# (frames over the time from the first arrival to the last), as Markdown rows.
#   bench/capture_two_rates.sh <boardcam-capture> [seconds]
set -euo pipefail
tool=$1
seconds=${2:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset BOARDSIM_FAIL BOARDSIM_PACING BOARDSIM_APP_LOG

# Rate from a timestamps file: lines after the header are milliseconds.
rate() { awk 'NR > 1 { n++; last = $1 } END { printf "%.2f", (n > 1 ? (n - 1) * 1000 / last : 0) }' "$1"; }

for mix in 1,60 5,60 15,30 30,30 60,240; do
  rm -rf "$work/out"
  "$tool" --camera both --fps "$mix" --duration "$seconds" --size 320x240 --format nv12 --out "$work/out" \
    >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  r0=$(rate "$work/out/cam0.timestamps")
  r1=$(rate "$work/out/cam1.timestamps")
  awk -v m="$mix" -v r0="$r0" -v r1="$r1" 'BEGIN { split(m, f, ",")
    printf "| capture  | %3d + %3d | %7.2f | %7.2f | %5.3f | %5.3f |\n", f[1], f[2], r0, r1, r0 / f[1], r1 / f[2] }'
done
