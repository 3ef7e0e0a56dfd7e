#!/usr/bin/env bash
# Installs the project into scratch prefixes and uses it as a board team
# would: the installed tree, a client through find_package and through
# pkg-config, and the library built against the simulator installed as if it
# were the board SDK.
#   tests/package/check.sh <build dir> <scratch dir>
set -euo pipefail
build=$(realpath "$1")
work=$(realpath -m "$2")
src=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work" && mkdir -p "$work"
export BOARDSIM_PACING=0
unset BOARDSIM_FAIL BOARDSIM_APP_LOG

step() { printf -- '--- %s\n' "$*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

step "install into $work/prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component boardcam >/dev/null
cmake --install "$build" --prefix "$prefix" --component boardcam-mt >/dev/null
cmake --install "$build" --prefix "$prefix" --component boardcam-sim >/dev/null
(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||; s|Targets-[a-z]*\.cmake$|Targets-<config>.cmake|' | sort) > "$work/tree"
sort > "$work/expected" <<'TREE'
include/boardcam-mt.h
include/boardcam.h
include/boardsim/boardsim.h
include/boardsim/cammedia.h
include/boardsim/vekpimo.h
include/boardsim/vekrt.h
lib/cmake/boardcam-mt/boardcam-mtConfig.cmake
lib/cmake/boardcam-mt/boardcam-mtConfigVersion.cmake
lib/cmake/boardcam-mt/boardcam-mtTargets-<config>.cmake
lib/cmake/boardcam-mt/boardcam-mtTargets.cmake
lib/cmake/boardcam/boardcamConfig.cmake
lib/cmake/boardcam/boardcamConfigVersion.cmake
lib/cmake/boardcam/boardcamTargets-<config>.cmake
lib/cmake/boardcam/boardcamTargets.cmake
lib/cmake/boardsim/boardsimConfig.cmake
lib/cmake/boardsim/boardsimConfigVersion.cmake
lib/cmake/boardsim/boardsimTargets-<config>.cmake
lib/cmake/boardsim/boardsimTargets.cmake
lib/libboardcam-mt.so
lib/libboardcam-mt.so.1
lib/libboardcam-mt.so.1.0.0
lib/libboardcam.so
lib/libboardcam.so.1
lib/libboardcam.so.1.0.0
lib/libboardsim.so
lib/libboardsim.so.1
lib/libboardsim.so.1.0.0
lib/libcammedia.so
lib/libvekpimo.so
lib/libvekrt.so
lib/pkgconfig/boardcam-mt.pc
lib/pkgconfig/boardcam.pc
lib/pkgconfig/boardsim.pc
TREE
diff -u "$work/expected" "$work/tree" || fail "installed tree differs"
[ "$(readlink "$prefix/lib/libboardcam.so.1")" = libboardcam.so.1.0.0 ] || fail "soname link"
readelf -d "$prefix/lib/libboardcam.so.1.0.0" | grep 'SONAME.*\[libboardcam.so.1\]' >/dev/null || fail "soname"

step "GStreamer plugin from the installed tree"
cmake --install "$build" --prefix "$prefix" --component boardcam-gstreamer >/dev/null
[ -f "$prefix/lib/gstreamer-1.0/libgstboardcam.so" ] || fail "plugin not in lib/gstreamer-1.0"
# The plugin finds the camera library beside its folder, with no search path set.
GST_PLUGIN_PATH="$prefix/lib/gstreamer-1.0" GST_REGISTRY="$work/registry.bin" \
  gst-inspect-1.0 boardcamsrc >/dev/null || fail "gst-inspect-1.0 does not find the installed boardcamsrc"
GST_PLUGIN_PATH="$prefix/lib/gstreamer-1.0" GST_REGISTRY="$work/registry.bin" \
  gst-launch-1.0 -q boardcamsrc num-buffers=3 ! fakesink >/dev/null || fail "installed boardcamsrc does not stream"

step "Python package from the installed tree"
cmake --install "$build" --prefix "$prefix" --component boardcam-python >/dev/null
[ -f "$prefix/lib/python3/dist-packages/boardcam/__init__.py" ] || fail "Python package not in lib/python3/dist-packages"
# It finds the library installed beside it, with nothing set.
(cd "$work" && env -u BOARDCAM_LIBRARY -u BOARDCAM_VEKPIMO_LIBRARY PYTHONPATH="$prefix/lib/python3/dist-packages" \
  /usr/bin/python3 -c 'import boardcam
with boardcam.Camera(1, width=64, height=48) as cam, cam.read() as frame:
    assert frame.array.shape == (72, 64)
    assert boardcam._native.native().library._name.startswith("'"$prefix"'/lib/")
    assert boardcam._native.native().mt._name.startswith("'"$prefix"'/lib/")' >/dev/null) \
  || fail "the installed Python package does not read a frame through the installed library"

step "client through find_package"
cmake -S "$src/tests/consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
"$work/consumer-cmake/consumer" >/dev/null
"$work/consumer-cmake/mt_consumer" >/dev/null || fail "the libboardcam-mt client through find_package"

step "client through pkg-config"
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs boardcam boardsim)
cc -std=c99 -Wall -Wextra -Werror "$src/tests/consumer/main.c" $flags -o "$work/consumer-pc"
LD_LIBRARY_PATH="$prefix/lib" "$work/consumer-pc" >/dev/null
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs boardcam-mt boardsim)
cc -std=c99 -Wall -Wextra -Werror "$src/tests/consumer/mt_main.c" $flags -pthread -o "$work/mt-consumer-pc"
LD_LIBRARY_PATH="$prefix/lib" "$work/mt-consumer-pc" >/dev/null || fail "the libboardcam-mt client through pkg-config"

step "library built against the simulator installed as the board SDK"
sdk=$work/sdk
cmake --install "$build" --prefix "$sdk" --component boardcam-sim >/dev/null
cmake -S "$src" -B "$work/sdk-build" -DBOARDCAM_PLATFORM=sdk -DBOARDCAM_SDK_ROOT="$sdk" \
      -DBOARDCAM_SDK_INCLUDE_DIR="$sdk/include/boardsim" >/dev/null
cmake --build "$work/sdk-build" -j 2 >/dev/null
needed=$(readelf -d "$work/sdk-build/src/libboardcam.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
echo "NEEDED: $needed"
for lib in libcammedia.so libvekrt.so libvekpimo.so; do
  [[ " $needed " == *" $lib "* ]] || fail "libboardcam.so does not need $lib"
done
[[ " $needed " != *"libboardsim"* ]] || fail "libboardcam.so must not need the simulator's state library"
LD_LIBRARY_PATH="$sdk/lib" "$work/sdk-build/tools/boardcam-capture" --camera both --frames 5 \
  --out "$work/sdk-captures" >/dev/null
[ "$(ls "$work/sdk-captures"/cam*_*.png | wc -l)" -eq 10 ] || fail "sdk-mode capture did not write 10 frames"

step "configure errors name what is missing"
if cmake -S "$src" -B "$work/bad-sdk" -DBOARDCAM_PLATFORM=sdk -DBOARDCAM_SDK_ROOT="$work/nowhere" \
     >"$work/bad-sdk.log" 2>&1; then fail "missing SDK root accepted"; fi
grep -q "BOARDCAM_SDK_ROOT" "$work/bad-sdk.log" || fail "missing SDK root not named"
if cmake -S "$src" -B "$work/bad-lib" -DBOARDCAM_PLATFORM=sdk -DBOARDCAM_SDK_ROOT="$sdk" \
     -DBOARDCAM_SDK_MEDIA_LIB=libnosuch.so >"$work/bad-lib.log" 2>&1; then fail "missing SDK library accepted"; fi
grep -q "libnosuch.so" "$work/bad-lib.log" || fail "missing SDK library not named"

echo "package checks: 8 passed, 0 failed"
