#!/usr/bin/env bash
# The main job on the bundled sample: builds the library and the corvane
# tool, prints what the library finds in tests/data/av.mp4, and writes a
# remultiplexed file (the video of tests/data/video.mp4 with the ADTS audio
# of tests/data/audio.aac) to out/remuxed.mp4.
#
# A new build/ is configured as README.md's install section configures it
# (without the tests, so GoogleTest is not needed); an existing one keeps
# its configuration.  Both targets that `cmake --install build` installs
# are built, so that command works after the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF >/dev/null
fi
cmake --build build -j"$(nproc)" --target Corvane2 corvane >/dev/null
mkdir -p out
./build/corvane info
echo
# add-audio uses the temporary files tempv.v and tempa.a of the working directory.
(cd out && ../build/corvane add-audio ../tests/data/video.mp4 ../tests/data/audio.aac remuxed.mp4)
./build/corvane tree out/remuxed.mp4
