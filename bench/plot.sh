#!/usr/bin/env bash
# Plots time per frame against frame size for library, direct and floor from
# frame_path_bench's JSON output.
#   bench/plot.sh <results.json> <out.png>
# Installs gnuplot from Debian's packages when it is missing.
set -euo pipefail
json=$1
png=$2

if ! command -v gnuplot >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q gnuplot-nox >/dev/null
fi

data=$(mktemp)
trap 'rm -f "$data"' EXIT
python3 - "$json" > "$data" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
table = {}
for r in runs:
    # Medians when the run had repetitions, otherwise the single runs.
    if r.get("run_type") == "aggregate" and r.get("aggregate_name") != "median":
        continue
    name = r["run_name"].split("/")
    if len(name) != 3:
        continue
    kind, w, h = name[0][3:], int(name[1]), int(name[2])
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[r["time_unit"]]
    entry = table.setdefault(w * h * 3 // 2, {})
    if r.get("run_type") == "aggregate" or kind not in entry:
        entry[kind] = r["real_time"] * scale
print("# bytes library_ns direct_ns floor_ns")
for size in sorted(table):
    e = table[size]
    print(size, e.get("LibraryRead", "NaN"), e.get("DirectRead", "NaN"), e.get("FrameWrite", "NaN"))
PY

gnuplot <<GP
set terminal png size 900,600 font ",11"
set output "$png"
set title "Time per frame against frame size"
set xlabel "frame size (bytes)"
set ylabel "time per frame (ns)"
set logscale xy
set grid
set key top left
plot "$data" using 1:2 with linespoints lw 2 title "library (ReadCameraFrame + vekpimoFree)", \
     "$data" using 1:3 with linespoints lw 2 title "direct platform calls", \
     "$data" using 1:4 with linespoints lw 2 dt 2 title "floor (memset of one frame: a write-only stream)"
GP
echo "plot written to $png"
