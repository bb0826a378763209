#!/usr/bin/env bash
# Cross-builds Corvane2.dll for 32-bit Windows hosts (build-win32/) and for
# 64-bit ones (build-win64/) with MinGW-w64, installing the cross compilers
# when they are missing.
#
#   scripts/build-windows.sh [output-parent-dir] [extra cmake arguments...]
#
# The DLL and its import library land in <dir>/build-win32 and
# <dir>/build-win64; <dir> defaults to the source tree.  CORVANE_TARGETS
# names the targets to build (default Corvane2); the tests add
# scenario_runner, with -DCORVANE_WINDOWS_RUNNER=ON.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$src}
[ $# -gt 0 ] && shift
mkdir -p "$out"
out=$(cd "$out" && pwd)

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64)
"$src/scripts/install-packages.sh" "${packages[@]}"

jobs=${CORVANE_JOBS:-2}
for arch in i686:win32 x86_64:win64; do
  triplet=${arch%%:*}-w64-mingw32
  dir=$out/build-${arch##*:}
  cmake -S "$src" -B "$dir" \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCORVANE_BUILD_TOOL=OFF -DCORVANE_BUILD_TESTS=OFF \
    "$@" >/dev/null
  cmake --build "$dir" --target ${CORVANE_TARGETS:-Corvane2} -j"$jobs"
  echo "built $dir/Corvane2.dll"
done
