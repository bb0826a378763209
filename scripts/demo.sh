#!/usr/bin/env bash
# The main job on the bundled sample: builds the library and the corvane
# tool, prints what the library finds in tests/data/av.mp4, and writes a
# remultiplexed file (the video of tests/data/video.mp4 with the ADTS audio
# of tests/data/audio.aac) to out/remuxed.mp4.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target corvane >/dev/null
mkdir -p out
./build/corvane info
echo
# add-audio uses the temporary files tempv.v and tempa.a of the working directory.
(cd out && ../build/corvane add-audio ../tests/data/video.mp4 ../tests/data/audio.aac remuxed.mp4)
./build/corvane tree out/remuxed.mp4
