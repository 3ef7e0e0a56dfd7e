#!/usr/bin/env bash
# boardcam-capture against the cameras' own pace: both cameras at 30 fps with
# pacing on, each format at two sizes, on the colour bars and on the scene.
# Prints frames per second per camera, dropped frames and CPU seconds per
# frame (user + system over all frames).
#   bench/capture_rates.sh <boardcam-capture> [frames]
set -euo pipefail
tool=$1
frames=${2:-90}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset BOARDSIM_FAIL BOARDSIM_PACING BOARDSIM_APP_LOG

printf '%-8s %-8s %-10s %12s %12s %10s %16s\n' pattern format size "cam0 fps" "cam1 fps" dropped "CPU s/frame"
for pattern in bars scene; do
for format in png jpeg nv12 y4m; do
  for size in 640x480 1920x1080; do
    rm -rf "$work/out"
    /usr/bin/time -f '%U %S' -o "$work/cpu" "$tool" --camera both --size "$size" --fps 30 --frames "$frames" \
      --format "$format" --pattern "$pattern" --out "$work/out" >/dev/null 2>"$work/err" || true
    summary=$(grep 'captured' "$work/err")
    read -r user system <"$work/cpu"
    # "captured N frames from cam0 and M from cam1 in S s (F fps), ..., D dropped"
    awk -v p="$pattern" -v f="$format" -v s="$size" -v u="$user" -v y="$system" -v line="$summary" 'BEGIN {
      match(line, /captured [0-9]+ frames from cam0 and [0-9]+ from cam1 in [0-9.]+ s/)
      split(substr(line, RSTART, RLENGTH), w, " "); n0 = w[2]; n1 = w[7]; secs = w[11]
      match(line, /[0-9]+ dropped/); dropped = substr(line, RSTART, RLENGTH) + 0
      printf "%-8s %-8s %-10s %12.1f %12.1f %10d %16.4f\n", p, f, s, n0 / secs, n1 / secs, dropped, (u + y) / (n0 + n1) }'
  done
done
done
