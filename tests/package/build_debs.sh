#!/usr/bin/env bash
# Builds the Debian packages from the committed and working-tree sources:
#   tests/package/build_debs.sh <output dir> [host architecture]
# A copy of the tree is built in <output dir>/src, so the work tree stays
# clean; the packages, .buildinfo and .changes land in <output dir>.
set -euo pipefail
out=$(realpath -m "$1")
arch=${2:-$(dpkg --print-architecture)}
src=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$out" && mkdir -p "$out/src"
(cd "$src" && git ls-files -co --exclude-standard -z | xargs -0 tar -cf - --no-recursion) | tar -xf - -C "$out/src"
cd "$out/src"
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  dpkg-buildpackage -b -us -uc
else
  # The arm64 build dependencies cannot all be installed beside the PC's
  # (libgstreamer-plugins-base1.0-dev is not Multi-Arch: same); the cross
  # toolchain file takes those headers from the PC and links the arm64
  # runtime libraries, so the check of build dependencies is skipped.
  DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc -a"$arch" -d
fi
ls "$out"/*.deb
