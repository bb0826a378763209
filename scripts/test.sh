#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# This is the command README.md gives for the tests and the one CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian packages the build and the tests need.
packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev ffmpeg
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 clang libclang-rt-14-dev valgrind
          python3 diffutils bsdutils)
scripts/install-packages.sh "${packages[@]}"

build=${BUILD_DIR:-build}
# The 32-bit Wine, for the tests of the 32-bit DLL, where this machine can
# run 32-bit programs and its package source serves the i386 packages.
# Otherwise those tests report a skip with the reason recorded here, which
# is repeated at the very end, whatever the outcome.
wine32_unavailable=$build/wine32-unavailable.txt
repeat_wine32_reason() {
  if [ -s "$wine32_unavailable" ]; then
    echo
    echo "NOTE: the tests of the 32-bit Corvane2.dll (windows.host_win32, windows.scenarios_win32,"
    echo "and the 32-bit runs of install.windows)"
    echo "were skipped: $(cat "$wine32_unavailable")"
  fi
}
trap repeat_wine32_reason EXIT
scripts/install-wine32.sh "$wine32_unavailable"

# The benchmark drivers are built (so they keep compiling) but not run:
# bench/run.py runs them by hand, see docs/performance.md.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BENCH=ON -DCORVANE_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer, built
# with clang, together with a fixed-time run of every fuzz target over its
# committed corpus (label "fuzz").  The Windows and install checks do not
# depend on the sanitizers and are left to the build above.
asan=${ASAN_BUILD_DIR:-build-asan}
CC=clang CXX=clang++ cmake -S . -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_SANITIZE=ON -DCORVANE_FUZZ=ON >/dev/null
cmake --build "$asan" -j"$(nproc)"
(cd "$asan" && ctest --output-on-failure -j"$(nproc)" -LE 'windows|install')
