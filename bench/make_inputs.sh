#!/usr/bin/env bash
# Generates the large inputs of the benchmarks with ffmpeg from synthetic
# sources.  They go to bench/inputs/ (or the directory given), which is not
# committed.  Low-complexity sources and the MPEG-4 Visual encoder keep the
# generation to a few minutes of CPU even for the one-hour file.
#
#   bench/make_inputs.sh [--quick] [DIR]
#
# Files made (NAME = hour, and short for a five-minute version):
#   NAME.mp4   MPEG-4 Visual 160x120 25 fps + AAC mono 44.1 kHz, moov first
#              (hour: 90,000 video and about 155,000 audio samples)
#   NAME.m4v   its video as a raw MPEG-4 Visual stream (headers before every
#              key frame, as an encoder writing a raw stream puts them)
#   NAME.aac   its audio as ADTS
#   big.mp4    about 1 GB of large samples: 1920x1080 noise at -q:v 1
#              (about 2.4 MB a frame) with AAC audio, moov first; big.aac
#              its audio as ADTS
#   big.m4v    the video of big.mp4 as a raw MPEG-4 Visual stream (about 1 GB)
#   big_short.mp4, big_short.aac  the same, about 120 MB (made with --quick too)
#   wide.m4v   1 hour of MPEG-4 Visual 320x240 25 fps at a high bit rate
#              (noise, about 450 MB in 90,000 frames); wide.aac 1 hour of
#              AAC stereo at 128 kb/s (about 58 MB): the writing path on
#              high-bit-rate media, where the bytes and not the frames cost
# --quick makes only short.* and big_short.*.
set -euo pipefail

quick=0
if [[ "${1:-}" == "--quick" ]]; then quick=1; shift; fi
out="${1:-$(dirname "$0")/inputs}"
mkdir -p "$out"
cd "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# Bit-exact output: no encoder version strings in the streams, so the raw
# video's leading header is the bare VOS/VO/VOL.
common=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)

# A long file at low resolution: its cost is in the number of samples.
long_file() {  # NAME SECONDS
    local name=$1 seconds=$2
    [[ -s $name.mp4 ]] || ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=$seconds" \
        "${common[@]}" -c:v mpeg4 -q:v 5 -g 25 -c:a aac -b:a 32k -ac 1 \
        -movflags +faststart "$name.mp4"
    # The configuration lives in the MP4's esds; dump_extra puts it back in
    # front of every key frame of the raw stream.
    [[ -s $name.m4v ]] || ff -i "$name.mp4" -map 0:v -c copy -bsf:v dump_extra -f m4v "$name.m4v"
    [[ -s $name.aac ]] || ff -i "$name.mp4" -map 0:a -c copy -f adts "$name.aac"
}

# Few, large samples: its cost is in the bytes.
big_file() {  # NAME SECONDS
    local name=$1 seconds=$2
    [[ -s $name.mp4 ]] || ff -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=$seconds,noise=alls=100:allf=t+u" \
        -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=$seconds" \
        "${common[@]}" -c:v mpeg4 -q:v 1 -g 25 -c:a aac -b:a 32k -ac 1 \
        -movflags +faststart "$name.mp4"
    [[ -s $name.aac ]] || ff -i "$name.mp4" -map 0:a -c copy -f adts "$name.aac"
    [[ -s $name.m4v ]] || ff -i "$name.mp4" -map 0:v -c copy -bsf:v dump_extra -f m4v "$name.m4v"
}

# Many frames of some kilobytes each: a high bit rate at a modest size.
wide_streams() {  # NAME SECONDS
    local name=$1 seconds=$2
    [[ -s $name.m4v ]] || ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=$seconds,noise=alls=10:allf=t+u" \
        "${common[@]}" -c:v mpeg4 -q:v 4 -g 25 -f m4v "$name.m4v"
    [[ -s $name.aac ]] || ff -f lavfi -i "anoisesrc=color=pink:amplitude=0.3:sample_rate=44100:duration=$seconds" \
        "${common[@]}" -c:a aac -b:a 128k -ac 2 -f adts "$name.aac"
}

long_file short 300
big_file big_short 2
if [[ $quick == 0 ]]; then
    long_file hour 3600
    big_file big 17
    wide_streams wide 3600
fi
ls -l
