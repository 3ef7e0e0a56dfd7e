#!/usr/bin/env bash
# Checks the Debian packages as a user of each architecture meets them.
#   tests/package/check_debs.sh <amd64 packages dir> [<arm64 packages dir>]
# On the PC: installs the packages with apt, builds and runs a client through
# pkg-config and through CMake, finds the GStreamer element and the Python
# package with nothing set, and purges the packages again. For the board: the
# packages' architecture and dependencies, and a client built against their
# contents, unpacked into a scratch root, run under qemu-aarch64.
set -euo pipefail
# A grep that stops at its first match would break the pipe of a producer
# still writing, which pipefail reports: pipelines here read to the end.
host_dir=$(realpath "$1")
board_dir=${2:+$(realpath "$2")}
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
packages=(libboardcam1 libboardcam-mt1 libboardcam-dev boardcam-tools gstreamer1.0-boardcam python3-boardcam boardcam-serve
          boardcam-v4l2 boardcam-sim boardcam-sim-dev)
passed=0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

step() { printf -- '--- %s\n' "$*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { passed=$((passed + 1)); }
purge() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -q "${packages[@]}" >/dev/null 2>&1 || true; }
trap 'purge; rm -rf "$work"' EXIT
unset BOARDSIM_FAIL BOARDSIM_APP_LOG BOARDCAM_LIBRARY BOARDCAM_VEKPIMO_LIBRARY GST_PLUGIN_PATH
export BOARDSIM_PACING=0

step "lintian: no errors"
lintian --fail-on error "$host_dir"/*.changes || fail "lintian reports errors"
ok

step "install with apt"
debs=()
for p in "${packages[@]}"; do debs+=("$(ls "$host_dir"/"${p}"_*.deb)"); done
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${debs[@]}" >/dev/null || fail "apt-get install"
ok

step "client through pkg-config and through CMake against the installed files"
cc -std=c99 -Wall -Werror "$src/tests/consumer/main.c" $(pkg-config --cflags --libs boardcam boardsim) \
  -o "$work/consumer-pc"
"$work/consumer-pc" >/dev/null || fail "pkg-config client"
cmake -S "$src/tests/consumer" -B "$work/consumer-cmake" >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
"$work/consumer-cmake/consumer" >/dev/null || fail "CMake client"
"$work/consumer-cmake/mt_consumer" >/dev/null || fail "CMake client of libboardcam-mt"
cc -std=c99 -Wall -Werror "$src/tests/consumer/mt_main.c" $(pkg-config --cflags --libs boardcam-mt boardsim) \
  -pthread -o "$work/mt-consumer-pc"
"$work/mt-consumer-pc" >/dev/null || fail "pkg-config client of libboardcam-mt"
ok

step "gst-inspect-1.0 finds boardcamsrc with no GST_PLUGIN_PATH"
GST_REGISTRY="$work/registry.bin" gst-inspect-1.0 boardcamsrc >/dev/null || fail "boardcamsrc not found"
GST_REGISTRY="$work/registry.bin" gst-launch-1.0 -q boardcamsrc num-buffers=3 ! fakesink >/dev/null \
  || fail "boardcamsrc does not stream"
ok

step "python3 imports boardcam and reads a frame"
(cd "$work" && /usr/bin/python3 -c 'import boardcam
with boardcam.Camera(0, width=64, height=48) as cam, cam.read() as frame:
    assert frame.array.shape == (72, 64)' >/dev/null) || fail "python3-boardcam"
ok

step "boardcam-capture from the package"
boardcam-capture --camera both --frames 3 --format jpeg --out "$work/captures" 2>/dev/null >/dev/null \
  || fail "boardcam-capture"
[ "$(ls "$work/captures"/cam*_*.jpg | wc -l)" -eq 6 ] || fail "boardcam-capture did not write 6 frames"
ok

step "boardcam-serve.service starts as shipped, on loopback, and serves the page"
unit=/lib/systemd/system/boardcam-serve.service
[ -f "$unit" ] && [ -f /etc/default/boardcam-serve ] || fail "the unit or its defaults are not installed"
[ -f /usr/share/man/man1/boardcam-serve.1.gz ] || fail "no manual page"
grep -q '^BOARDCAM_SERVE_OPTIONS="--listen 127.0.0.1"' /etc/default/boardcam-serve \
  || fail "the shipped defaults do not listen on loopback only"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit" 2>&1 | grep -v 'bus\|dbus' | grep . && fail "systemd-analyze verify complains" || true
fi
# Starts and stops the unit: through systemd where it runs, else (a
# container) its command line the way systemd would run it, from its
# EnvironmentFile and ExecStart, with the directories systemd would make.
start_unit() {
  if [ -d /run/systemd/system ]; then
    $SUDO systemctl start boardcam-serve.service
    systemctl is-active --quiet boardcam-serve.service || fail "the unit did not start"
  else
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    $SUDO mkdir -p /var/lib/boardcam-serve
    (set -a; . /etc/default/boardcam-serve; set +a; export LOGS_DIRECTORY="$work/logs"; mkdir -p "$LOGS_DIRECTORY"
     export STATE_DIRECTORY=/var/lib/boardcam-serve
     eval "exec $exec_start" >/dev/null 2>"$work/serve.err") &
    serve_pid=$!
  fi
  for _ in $(seq 50); do curl -sf -o "$work/page.html" http://127.0.0.1:8080/ && break; sleep 0.2; done
}
stop_unit() {
  if [ -d /run/systemd/system ]; then
    $SUDO systemctl stop boardcam-serve.service
  else
    kill -TERM "$serve_pid"
    wait "$serve_pid" || fail "boardcam-serve did not exit cleanly: $(cat "$work/serve.err")"
    if grep -q 'still live' "$work/serve.err"; then fail "device buffers live at exit"; fi
  fi
}
start_unit
grep -q 'page/status.js' "$work/page.html" && curl -sf http://127.0.0.1:8080/page/tile.js | grep 'mjpg' >/dev/null || fail "curl did not get the page and its modules"
curl -sf http://127.0.0.1:8080/api/status | grep '"cameras"' >/dev/null || fail "no status"
[ "$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:8080/api/recordings)" = 404 ] \
  || fail "the shipped defaults record"
stop_unit
ok

step "boardcam-serve.service records into its state directory when its defaults say so"
grep -q '^BOARDCAM_SERVE_RECORD_OPTIONS=""' /etc/default/boardcam-serve || fail "no recording options in the defaults"
$SUDO sed -i 's|^BOARDCAM_SERVE_RECORD_OPTIONS=.*|BOARDCAM_SERVE_RECORD_OPTIONS="--record /var/lib/boardcam-serve --segment-seconds 2"|' \
  /etc/default/boardcam-serve
start_unit
for _ in $(seq 100); do
  [ "$(find /var/lib/boardcam-serve/ -name '*.mp4' 2>/dev/null | wc -l)" -ge 4 ] && break
  sleep 0.2
done
curl -sf http://127.0.0.1:8080/api/recordings | grep '"url":"/recordings/cam0/' >/dev/null || fail "no recordings listed"
# A program of the user's shares the service's camera as it records.
/usr/bin/python3 -c '
import boardcam
with boardcam.Camera(0) as cam, cam.read() as frame:
    assert frame.read_only, "the frame is the service'"'"'s, shared"' >/dev/null || fail "a script could not share the service's camera"
boardcam-ctl status | grep '^camera 0: boardcam-serve' >/dev/null || fail "boardcam-ctl does not show the service owning camera 0"
# And so does a V4L2 program, through boardcamify, at the service's size.
[ -f /usr/share/man/man1/boardcamify.1.gz ] || fail "no manual page for boardcamify"
boardcamify v4l2-ctl -d /dev/video0 --stream-mmap --stream-count=5 --stream-to="$work/v4l2.nv12" >/dev/null 2>&1 \
  || fail "a V4L2 program could not share the service's camera"
[ "$(stat -c %s "$work/v4l2.nv12")" -eq $((5 * 1280 * 720 * 3 / 2)) ] || fail "the V4L2 program did not get 5 frames at the service's 1280x720"
stop_unit
segment=$(find /var/lib/boardcam-serve/ -name '*.mp4' | sort | head -1)
[ -n "$segment" ] || fail "nothing recorded under /var/lib/boardcam-serve"
ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$segment" | grep h264 >/dev/null || fail "$segment is not H.264"
ok

step "purge, leaving the machine as it was"
purge
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok' >/dev/null || fail "$p still installed"
done
[ ! -e /lib/systemd/system/boardcam-serve.service ] && [ ! -e /etc/default/boardcam-serve ] \
  || fail "purge left the unit or its defaults"
[ ! -e /var/lib/boardcam-serve ] && [ ! -e /var/lib/private/boardcam-serve ] || fail "purge left the recordings"
ok

if [ -n "$board_dir" ]; then
  step "arm64 packages: architecture and dependencies"
  for p in "${packages[@]}"; do
    deb=$(ls "$board_dir"/"${p}"_*.deb)
    arch=$(dpkg-deb -f "$deb" Architecture)
    want=arm64
    [ "$p" = python3-boardcam ] && want=all
    [ "$arch" = "$want" ] || fail "$p is $arch, not $want"
  done
  dpkg-deb -f "$board_dir"/gstreamer1.0-boardcam_*.deb Depends | grep 'libgstreamer1.0-0' >/dev/null \
    || fail "the plugin does not depend on GStreamer"
  dpkg-deb -f "$board_dir"/boardcam-tools_*.deb Depends | grep 'libturbojpeg0' >/dev/null \
    || fail "the tool does not depend on libjpeg-turbo"
  ! dpkg-deb -f "$board_dir"/libboardcam1_*.deb Depends | grep 'boardcam-sim' >/dev/null \
    || fail "the library depends on the simulator, which the board must never install"
  dpkg-deb -f "$board_dir"/libboardcam-mt1_*.deb Depends | grep 'libboardcam1' >/dev/null \
    || fail "libboardcam-mt1 does not depend on libboardcam1"
  dpkg-deb -f "$board_dir"/gstreamer1.0-boardcam_*.deb Depends | grep 'libboardcam-mt1' >/dev/null \
    || fail "the plugin does not depend on libboardcam-mt1"
  dpkg-deb -f "$board_dir"/boardcam-serve_*.deb Depends | grep 'gstreamer1.0-boardcam' >/dev/null \
    || fail "the server does not depend on the plugin"
  dpkg-deb -f "$board_dir"/boardcam-serve_*.deb Depends | grep 'libsoup-3.0-0' >/dev/null \
    || fail "the server does not depend on libsoup"
  dpkg-deb -f "$board_dir"/boardcam-v4l2_*.deb Depends | grep 'libboardcam-mt1' >/dev/null \
    || fail "the V4L2 layer does not depend on libboardcam-mt1, which it loads"
  dpkg-deb -c "$board_dir"/boardcam-v4l2_*.deb | grep 'usr/lib/aarch64-linux-gnu/boardcam/libboardcam-v4l2.so' >/dev/null \
    || fail "the V4L2 layer is not where boardcamify looks"
  ok

  step "arm64 client built against the unpacked packages runs under qemu-aarch64"
  root=$work/arm64-root
  for deb in "$board_dir"/*.deb; do dpkg-deb -x "$deb" "$root"; done
  lib=$root/usr/lib/aarch64-linux-gnu
  aarch64-linux-gnu-gcc -std=c99 -Wall -Werror "$src/tests/consumer/main.c" -I"$root/usr/include" \
    -I"$root/usr/include/boardsim" -L"$lib" -Wl,-rpath-link,"$lib" -lboardcam -lvekpimo -o "$work/consumer-arm64"
  qemu-aarch64 -E LD_LIBRARY_PATH="$lib" "$work/consumer-arm64" >/dev/null || fail "arm64 client"
  ok
fi

echo "deb checks: $passed passed, 0 failed"
